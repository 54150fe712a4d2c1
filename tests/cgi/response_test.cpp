// Writing the response: the head writers, the terminal replies, JSON
// escaping and the bounded string helpers.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "tn_cgi.h"

namespace {

using testsupport::run_in_child;

TEST(CgiHeaders, WriteExactLinesEndingInCrLf) {
  struct Case {
    const char *label;
    std::function<void()> write;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"status with reason", [] { cgi_header_status(202, "Accepted"); },
       "Status: 202 Accepted\r\n"},
      {"status with empty reason", [] { cgi_header_status(404, ""); }, "Status: 404\r\n"},
      {"status with null reason", [] { cgi_header_status(500, nullptr); }, "Status: 500\r\n"},
      {"status not checked", [] { cgi_header_status(-7, "Odd"); }, "Status: -7 Odd\r\n"},
      {"html", [] { cgi_header_html(); }, "Content-Type: text/html; charset=utf-8\r\n"},
      {"json", [] { cgi_header_json(); }, "Content-Type: application/json; charset=utf-8\r\n"},
      {"text", [] { cgi_header_text(); }, "Content-Type: text/plain; charset=utf-8\r\n"},
      {"media type", [] { cgi_header_ct("application/octet-stream"); },
       "Content-Type: application/octet-stream\r\n"},
      {"extra line", [] { cgi_header_extra("Docker-Upload-UUID: abc"); },
       "Docker-Upload-UUID: abc\r\n"},
      {"blank line", [] { cgi_headers_end(); }, "\r\n"},
      {"whole head and body",
       [] {
         cgi_header_status(201, "Created");
         cgi_header_extra("Location: /v2/a/blobs/x");
         cgi_header_ct("text/plain");
         cgi_headers_end();
         fputs("line1\nline2\n", stdout);
       },
       "Status: 201 Created\r\nLocation: /v2/a/blobs/x\r\nContent-Type: text/plain\r\n\r\n"
       "line1\nline2\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    auto r = run_in_child(c.write);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, c.expected);
  }
}

// The terminal replies write a whole response and end the process with
// exit status 0; nothing after them runs.
TEST(CgiDie, WritesAWholeReplyAndExitsWithZero) {
  struct Case {
    const char *label;
    std::function<void()> die;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"text", [] { cgi_die_text(400, "bad request"); },
       "Status: 400\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nbad request\n"},
      {"null text", [] { cgi_die_text(503, nullptr); },
       "Status: 503\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n\n"},
      {"json", [] { cgi_die_json(500, "disk \"full\"\n"); },
       "Status: 500\r\nContent-Type: application/json; charset=utf-8\r\n\r\n"
       "{\"errors\":[{\"code\":\"ERROR\",\"message\":\"disk \\\"full\\\"\\n\"}]}\n"},
      {"json null message", [] { cgi_die_json(404, nullptr); },
       "Status: 404\r\nContent-Type: application/json; charset=utf-8\r\n\r\n"
       "{\"errors\":[{\"code\":\"ERROR\",\"message\":\"error\"}]}\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    auto die = c.die;
    auto r = run_in_child([die] {
      die();
      fputs("still running", stdout);
      fflush(stdout);
      _exit(9);
    });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.out, c.expected);
  }
}

// Escapes `s` through json_escape_f into a memory stream.
std::string escaped(const char *s) {
  char *mem = nullptr;
  size_t len = 0;
  FILE *f = open_memstream(&mem, &len);
  json_escape_f(f, s);
  fclose(f);
  std::string out(mem, len);
  free(mem);
  return out;
}

TEST(JsonEscape, EscapesQuotesBackslashesAndControlBytes) {
  struct Case {
    const char *label;
    const char *in;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"tab, quote, 0x01", "\t\"\x01", "\\t\\\"\\u0001"},
      {"backslash", "a\\b", "a\\\\b"},
      {"named controls", "\b\f\n\r", "\\b\\f\\n\\r"},
      {"other controls", "\x1f\x0b\x7f", "\\u001f\\u000b\x7f"},
      {"slash and UTF-8 pass", "a/b \xc3\xa9\xff", "a/b \xc3\xa9\xff"},
      {"empty", "", ""},
      {"null", nullptr, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(escaped(c.in), c.expected);
  }
  json_escape_f(nullptr, "x");  // no stream: nothing happens
}

TEST(TnStrlcpy, CopiesBoundedAndAlwaysTerminates) {
  struct Case {
    const char *label;
    const char *src;
    uint64_t size;
    std::string expected;  // the destination's first size bytes
  };
  const std::vector<Case> cases = {
      {"fits", "abc", 8, std::string("abc\0#####", 8)},
      {"exact fit", "abc", 4, std::string("abc\0", 4)},
      {"cut", "abcdef", 4, std::string("abc\0", 4)},
      {"size 1 writes only the terminator", "abc", 1, std::string("\0", 1)},
      {"size 0 writes nothing", "abc", 0, ""},
      {"null source", nullptr, 4, std::string("\0###", 4)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    char buf[16];
    memset(buf, '#', sizeof buf);
    tn_strlcpy(buf, c.src, c.size);
    EXPECT_EQ(std::string(buf, c.expected.size()), c.expected);
    EXPECT_EQ(buf[c.expected.size()], '#') << "wrote past the bound";
  }
  tn_strlcpy(nullptr, "abc", 4);
}

TEST(TnSnprintf, ReturnsTheCharactersStored) {
  struct Case {
    const char *label;
    uint64_t size;
    const char *arg;
    int ret;
    std::string stored;
  };
  const std::vector<Case> cases = {
      {"fits", 32, "abc", 5, "<abc>"},
      {"20 characters into 8 bytes", 8, "abcdefghijklmnopqr", 7, "<abcdef"},
      {"exactly size - 1", 6, "abc", 5, "<abc>"},
      {"cut by one", 5, "abc", 4, "<abc"},
      {"size 1", 1, "abc", 0, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    char buf[40];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(tn_snprintf(buf, c.size, "<%s>", c.arg), c.ret);
    EXPECT_EQ(std::string(buf), c.stored);
    EXPECT_EQ(buf[c.size], '#') << "wrote past the bound";
  }
  char buf[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(tn_snprintf(buf, 0, "%s", "abc"), 0);
  EXPECT_EQ(buf[0], '#');
  EXPECT_EQ(tn_snprintf(nullptr, 8, "%s", "abc"), 0);
}

TEST(TnPathJoin, JoinsWithOneBackslash) {
  struct Case {
    const char *label;
    const char *a;
    const char *b;
    uint64_t size;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"slash on both sides", "root/", "/x", 64, "root/x"},
      {"plain parts", "root", "x", 64, "root\\x"},
      {"backslash after a", "root\\", "x", 64, "root\\x"},
      {"leading separators of b skipped", "root", "/\\/x/y", 64, "root\\x/y"},
      {"empty a keeps b's separators", "", "/x", 64, "/x"},
      {"null a", nullptr, "/x", 64, "/x"},
      {"empty b", "root", "", 64, "root"},
      {"null b", "root", nullptr, 64, "root"},
      {"both null", nullptr, nullptr, 64, ""},
      {"b cut", "root", "abcdef", 8, "root\\ab"},
      {"no room for b", "root", "x", 6, "root\\"},
      {"no room for the backslash", "root", "x", 5, "root"},
      {"a cut, b dropped", "rootdir", "x", 5, "root"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    char buf[80];
    memset(buf, '#', sizeof buf);
    tn_path_join(buf, c.size, c.a, c.b);
    EXPECT_EQ(std::string(buf), c.expected);
    EXPECT_EQ(buf[c.size], '#') << "wrote past the bound";
  }
  char buf[2] = {'#', '#'};
  tn_path_join(buf, 0, "a", "b");
  EXPECT_EQ(buf[0], '#');
  tn_path_join(nullptr, 8, "a", "b");
}

}  // namespace
