// Reading the request: environment access, the method tests and query
// parameter decoding.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "tn_cgi.h"

namespace {

using testsupport::run_in_child;

// Sets (or, with nullopt, unsets) environment variables for one scope and
// puts the previous values back afterwards.
class ScopedEnv {
 public:
  ScopedEnv(std::initializer_list<std::pair<const char *, std::optional<std::string>>> vars) {
    for (const auto &[name, value] : vars) {
      const char *old = getenv(name);
      saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
      if (value)
        setenv(name, value->c_str(), 1);
      else
        unsetenv(name);
    }
  }
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second)
        setenv(it->first.c_str(), it->second->c_str(), 1);
      else
        unsetenv(it->first.c_str());
    }
  }
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(CgiEnv, UnsetAndEmptyVariablesFallBackToTheDefault) {
  struct Case {
    const char *label;
    std::optional<std::string> value;
    const char *def;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"set", "abc", "dflt", "abc"},
      {"unset", std::nullopt, "dflt", "dflt"},
      {"empty counts as unset", "", "dflt", "dflt"},
      {"unset, null default", std::nullopt, nullptr, ""},
      {"empty, null default", "", nullptr, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    ScopedEnv env({{"TN_CGI_TEST_VAR", c.value}});
    const char *got = cgi_env("TN_CGI_TEST_VAR", c.def);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got, c.expected);
  }
}

TEST(CgiEnv, MethodAndPathInfoDefaultsAndMethodTests) {
  struct Case {
    std::optional<std::string> method;
    std::optional<std::string> path;
    std::string want_method;
    std::string want_path;
    int post;
    int head;
  };
  const std::vector<Case> cases = {
      {std::nullopt, std::nullopt, "GET", "/", 0, 0},
      {"", "", "GET", "/", 0, 0},
      {"POST", "/v2/a/blobs/uploads/", "POST", "/v2/a/blobs/uploads/", 1, 0},
      {"POX", "/x", "POX", "/x", 1, 0},  // only two characters compared
      {"PO", "/x", "PO", "/x", 1, 0},
      {"P", "/x", "P", "/x", 0, 0},
      {"post", "/x", "post", "/x", 0, 0},  // case-sensitive
      {"PUT", "/x", "PUT", "/x", 0, 0},
      {"PATCH", "/x", "PATCH", "/x", 0, 0},
      {"HEAD", "/x", "HEAD", "/x", 0, 1},
      {"HEADER", "/x", "HEADER", "/x", 0, 1},  // only four characters compared
      {"HEA", "/x", "HEA", "/x", 0, 0},
      {"head", "/x", "head", "/x", 0, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.method ? "method=" + *c.method : "method unset");
    ScopedEnv env({{"REQUEST_METHOD", c.method}, {"PATH_INFO", c.path}});
    EXPECT_STREQ(cgi_method(), c.want_method.c_str());
    EXPECT_STREQ(cgi_path_info(), c.want_path.c_str());
    EXPECT_EQ(cgi_is_post(), c.post);
    EXPECT_EQ(cgi_is_head(), c.head);
  }
}

TEST(CgiQuery, DecodesTheFirstMatchingParameter) {
  struct Case {
    const char *label;
    std::string query;
    const char *name;
    std::string expected;
  };
  const std::string long_value(600, 'v');
  const std::vector<Case> cases = {
      {"colon escape and plus", "a=1&digest=sha256%3Aab+cd", "digest", "sha256:ab cd"},
      {"first parameter", "a=1&digest=x", "a", "1"},
      {"bare word has empty value", "digest", "digest", ""},
      {"first match only", "digest=&digest=x", "digest", ""},
      {"first of two values", "digest=one&digest=two", "digest", "one"},
      {"missing parameter", "a=1&b=2", "digest", ""},
      {"key is a longer word", "digests=1", "digest", ""},
      {"key is a shorter word", "dig=1", "digest", ""},
      {"case-sensitive key", "Digest=1", "digest", ""},
      {"key is not decoded", "dig%65st=1", "digest", ""},
      {"empty segments skipped", "&&digest=v&", "digest", "v"},
      {"equals sign in the value kept", "d=a=b", "d", "a=b"},
      {"percent 4 1", "d=%41", "d", "A"},
      {"percent 2 b", "d=%2b", "d", "+"},
      {"percent 2 B", "d=%2B", "d", "+"},
      {"escaped ampersand", "d=a%26b&e=1", "d", "a&b"},
      {"high byte", "d=%C3%A9", "d", "\xC3\xA9"},
      {"percent with one byte at the end", "d=ab%4", "d", "ab%4"},
      {"percent alone at the end", "d=ab%", "d", "ab%"},
      {"percent before the next segment", "d=%4&e=1", "d", "%4"},
      {"percent with non-digits", "d=%zz1", "d", "%zz1"},
      {"percent with one non-digit", "d=%4g", "d", "%4g"},
      {"zero byte ends the text", "d=ab%00cd", "d", "ab"},
      {"600 bytes cut to 511", "d=" + long_value, "d", long_value.substr(0, 511)},
      {"escapes count as one byte", "d=" + std::string(520, '+'), "d", std::string(511, ' ')},
      {"empty name", "a=1", "", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    ScopedEnv env({{"QUERY_STRING", c.query}});
    const char *got = cgi_query(c.name);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::string(got), c.expected);
  }
  EXPECT_STREQ(cgi_query(nullptr), "");
}

TEST(CgiQuery, FallsBackToAVariableOfTheParameterNameWithoutQueryString) {
  struct Case {
    const char *label;
    std::optional<std::string> query;
    std::optional<std::string> var;
    std::string expected;
  };
  const std::string long_value(700, 'x');
  const std::vector<Case> cases = {
      {"colon without semicolon", std::nullopt, "sha256:ab+cd%41", "sha256:ab+cd%41"},
      {"empty query string too", "", "sha256:ab", "sha256:ab"},
      {"search path refused", std::nullopt, "C:\\a;C:\\b", ""},
      {"semicolon alone is fine", std::nullopt, "a;b", "a;b"},
      {"unbounded", std::nullopt, long_value, long_value},
      {"variable unset", std::nullopt, std::nullopt, ""},
      {"variable empty", std::nullopt, "", ""},
      {"query string present wins", "other=1", "sha256:ab", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    ScopedEnv env({{"QUERY_STRING", c.query}, {"tn_cgi_test_param", c.var}});
    EXPECT_EQ(std::string(cgi_query("tn_cgi_test_param")), c.expected);
  }
}

// Started with TN_CGI_FRESH_QUERY set, this program does nothing but report
// which buffers the first cgi_query calls of a fresh process use, and exits
// before any test runs (a forked child would inherit the rotation).
const int fresh_query_probe = [] {
  if (getenv("TN_CGI_FRESH_QUERY") == nullptr) return 0;
  const char *p[10];
  for (int i = 0; i < 10; i++) p[i] = cgi_query(i == 4 ? "missing" : "a");
  // The eighth call uses buffer 0 and the buffers are 512 bytes apart in
  // one array, so the first call's index is its distance from it.
  printf("first=%ld", static_cast<long>((p[0] - p[7]) / 512));
  for (int i = 1; i < 8; i++) {
    if (i != 4) printf(" %ld", static_cast<long>((p[i] - p[7]) / 512));
  }
  printf(" ninth_is_first=%d tenth_is_second=%d value=%s\n", p[8] == p[0], p[9] == p[1], p[0]);
  fflush(stdout);
  _exit(0);
}();

// Each call with a name takes the next of eight buffers, misses included,
// starting with buffer 1 in a fresh process; the ninth reuses the first.
TEST(CgiQuery, RotatesEightBuffersStartingWithBufferOne) {
  (void)fresh_query_probe;
  auto r = testsupport::run_program("/proc/self/exe", {},
                                    {{"TN_CGI_FRESH_QUERY", "1"}, {"QUERY_STRING", "a=hello&b=2"}});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "first=1 2 3 4 6 7 0 ninth_is_first=1 tenth_is_second=1 value=hello\n");
}

TEST(CgiQuery, NinthCallOverwritesTheFirstResult) {
  auto r = run_in_child(
      [] {
        setenv("QUERY_STRING", "a=first", 1);
        const char *first = cgi_query("a");
        printf("[%s]", first);
        setenv("QUERY_STRING", "a=second", 1);
        for (int i = 0; i < 7; i++) cgi_query("a");
        printf("[%s]", first);  // seven more calls: still intact
        cgi_query("a");         // the ninth call reuses the first buffer
        printf("[%s]\n", first);
      });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "[first][first][second]\n");
}

// A miss still takes a buffer and empties it (returning a constant empty
// text); a null or empty name takes none.
TEST(CgiQuery, MissesEmptyTheirBufferAndEmptyNamesUseNone) {
  auto r = run_in_child(
      [] {
        setenv("QUERY_STRING", "a=x", 1);
        const char *one = cgi_query("a");  // buffer 1
        const char *two = cgi_query("a");  // buffer 2
        for (int i = 0; i < 6; i++) cgi_query("a");
        cgi_query("");
        cgi_query(nullptr);
        const char *miss = cgi_query("zz");  // buffer 1 again, emptied
        const char *next = cgi_query("a");   // buffer 2
        printf("[%s] [%s] [%s] %d\n", one, two, miss, next == two);
      });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "[] [x] [] 1\n");
}

}  // namespace
