// The registry front: storage start-up, the JSON replies, the repository
// name check and the path split.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "oci_common.h"
#include "reg_storage.h"
#include "support.h"

namespace {

using testsupport::exists;
using testsupport::is_dir;
using testsupport::make_dirs;
using testsupport::run_in_child;
using testsupport::TempDir;
using testsupport::write_all;

// True when a storage tree was made at `root`.
bool tree_at(const std::string &root) {
  return is_dir(root + "/blobs/sha256") && is_dir(root + "/repositories") &&
         is_dir(root + "/uploads") && exists(root + "/config.json");
}

// A relative path of exactly `len` characters made of short components.
std::string long_path(size_t len) {
  std::string p = "deep";
  while (p.size() < len) p += (p.size() % 100 == 99) ? '/' : 'x';
  p.resize(len);
  if (p.back() == '/') p.back() = 'y';
  return p;
}

// Runs oci_init_storage in a child whose working directory is `cwd`, with
// REGISTRY_STORAGE_ROOT set to `env_root` (unset when nullopt); the child
// prints the result.
testsupport::ChildResult init_in(const std::string &cwd,
                                 const std::optional<std::string> &env_root) {
  return run_in_child(
      [cwd] {
        if (chdir(cwd.c_str()) != 0) _exit(5);
        alarm(10);  // a blocked open must fail the test, not hang it
        printf("%d", oci_init_storage());
      },
      {{"REGISTRY_STORAGE_ROOT", env_root.value_or("")}});
}

TEST(OciInitStorage, FindsTheRootInEnvironmentConfigOrDefault) {
  const std::string deep1023 = long_path(1023);
  const std::string deep1024 = long_path(1024);
  const std::string deep1030 = long_path(1030);
  ASSERT_EQ(deep1023.size(), 1023u);
  // Pads the text so that the byte at index `at` is the first of `tail`.
  auto padded = [](size_t at, const std::string &tail) {
    std::string t = "{\"x\": \"" + std::string(at - 10, 'p') + "\",\n";
    t.resize(at, ' ');
    return t + tail;
  };
  struct Case {
    const char *label;
    std::optional<std::string> env_root;
    std::optional<std::string> config;  // nullopt: no config.json
    std::vector<std::string> pre_dirs;  // made before the call
    std::string root;                   // where the tree must appear
  };
  const std::vector<Case> cases = {
      {"default without config", std::nullopt, std::nullopt, {}, "registry_storage"},
      {"environment", "envroot", std::nullopt, {}, "envroot"},
      {"environment wins over config", "envroot", "{\"storage_root\": \"cfgroot\"}", {},
       "envroot"},
      {"empty environment uses config", "", "{\"storage_root\": \"cfgroot\"}", {}, "cfgroot"},
      {"environment cut to 1023", deep1030, std::nullopt, {}, deep1030.substr(0, 1023)},
      {"storage_root key", std::nullopt, "{\"storage_root\": \"D:/registry\"}", {"D:"},
       "D:/registry"},
      {"no space after the colon", std::nullopt, "{\"storage_root\":\"cfgroot\"}", {},
       "cfgroot"},
      {"space before the colon", std::nullopt, "{\"storage_root\" : \"cfgroot\"}", {},
       "registry_storage"},
      {"registry_storage_root key", std::nullopt, "{\"registry_storage_root\": \"other\"}", {},
       "other"},
      {"storage_root wins even when second", std::nullopt,
       "{\"registry_storage_root\": \"other\", \"storage_root\": \"cfgroot\"}", {}, "cfgroot"},
      {"backslashes in the value", std::nullopt, "{\"storage_root\": \"a\\\\b\"}", {},
       "a/b"},
      // The value ends at the first quotation mark: a\ (one trailing
      // backslash, which the storage drops).
      {"escaped quotation mark ends the value", std::nullopt,
       "{\"storage_root\": \"a\\\"b\"}", {}, "a"},
      {"value of 1023 characters", std::nullopt, "{\"storage_root\": \"" + deep1023 + "\"}", {},
       deep1023},
      {"value of 1024 characters", std::nullopt, "{\"storage_root\": \"" + deep1024 + "\"}", {},
       "registry_storage"},
      {"empty value", std::nullopt, "{\"storage_root\": \"\"}", {}, "registry_storage"},
      {"no closing quotation mark", std::nullopt, "{\"storage_root\": \"cfgroot", {},
       "registry_storage"},
      {"no opening quotation mark", std::nullopt, "{\"storage_root\": 5}", {},
       "registry_storage"},
      {"no key", std::nullopt, "{\"root\": \"cfgroot\"}", {}, "registry_storage"},
      {"closing quotation mark at byte 2046", std::nullopt,
       padded(2046 - 24, "\"storage_root\": \"cfgroot\""), {}, "cfgroot"},
      {"closing quotation mark at byte 2047", std::nullopt,
       padded(2047 - 24, "\"storage_root\": \"cfgroot\""), {}, "registry_storage"},
      {"key after 2047 bytes", std::nullopt, padded(3000, "\"storage_root\": \"cfgroot\""), {},
       "registry_storage"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    TempDir tmp;
    if (c.config) write_all(tmp.sub("config.json"), *c.config);
    for (const auto &d : c.pre_dirs) make_dirs(tmp.sub(d));
    auto r = init_in(tmp.path(), c.env_root);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "0");
    EXPECT_TRUE(tree_at(tmp.sub(c.root))) << "no tree at " << c.root;
    if (c.root != "registry_storage") {
      EXPECT_FALSE(exists(tmp.sub("registry_storage")));
    }
  }
}

// With the variable set the configuration file is never opened: a FIFO
// there would block the open until the alarm ends the child.
TEST(OciInitStorage, DoesNotOpenTheConfigWhenTheVariableIsSet) {
  TempDir tmp;
  ASSERT_EQ(mkfifo(tmp.sub("config.json").c_str(), 0600), 0);
  auto r = init_in(tmp.path(), "envroot");
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.out, "0");
  EXPECT_TRUE(tree_at(tmp.sub("envroot")));
}

TEST(OciInitStorage, BringsStorageUpOnceAndRetriesAfterAFailure) {
  TempDir tmp;
  write_all(tmp.sub("blocker"), "a file, not a directory");
  const std::string cwd = tmp.path();
  auto r = run_in_child([cwd] {
    if (chdir(cwd.c_str()) != 0) _exit(5);
    setenv("REGISTRY_STORAGE_ROOT", "blocker/root", 1);
    int failed = oci_init_storage();
    setenv("REGISTRY_STORAGE_ROOT", "first", 1);
    int first = oci_init_storage();
    setenv("REGISTRY_STORAGE_ROOT", "second", 1);
    int second = oci_init_storage();
    printf("%d %d %d", failed, first, second);
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "-1 0 0");
  EXPECT_TRUE(tree_at(tmp.sub("first")));
  EXPECT_FALSE(exists(tmp.sub("second"))) << "storage was initialised again";
}

// Runs `fn` in a child and expects it to end with exit status 0 having
// written exactly `expected`.
void expect_reply(const std::function<void()> &fn, const std::string &expected) {
  auto r = run_in_child([fn] {
    fn();
    fputs("[returned]", stdout);
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.out, expected);
}

const std::string kJsonHead =
    "\r\nDocker-Distribution-API-Version: registry/2.0\r\n"
    "Content-Type: application/json; charset=utf-8\r\n\r\n";

TEST(OciSendError, WritesTheErrorReplyAndExits) {
  struct Case {
    const char *label;
    int status;
    const char *code;
    const char *message;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"name unknown", 404, "NAME_UNKNOWN", "repository name not known",
       "{\"errors\":[{\"code\":\"NAME_UNKNOWN\",\"message\":\"repository name not known\"}]}\n"},
      {"message escaped", 400, "DIGEST_INVALID", "bad \"digest\"\\\n\x01",
       "{\"errors\":[{\"code\":\"DIGEST_INVALID\",\"message\":"
       "\"bad \\\"digest\\\"\\\\\\n\\u0001\"}]}\n"},
      {"code written as given", 500, "A\"B", "m",
       "{\"errors\":[{\"code\":\"A\"B\",\"message\":\"m\"}]}\n"},
      {"null code and message", 500, nullptr, nullptr,
       "{\"errors\":[{\"code\":\"UNKNOWN\",\"message\":\"Unknown error\"}]}\n"},
      {"empty code and message", 400, "", "", "{\"errors\":[{\"code\":\"\",\"message\":\"\"}]}\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    const Case cc = c;
    expect_reply([cc] { oci_send_error(cc.status, cc.code, cc.message); },
                 "Status: " + std::to_string(c.status) + kJsonHead + c.body);
  }
}

TEST(OciSendJson, WritesTheJsonReplyAndReturns) {
  struct Case {
    const char *label;
    const char *json;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"text", "{\"name\":\"a\",\"tags\":[]}", "{\"name\":\"a\",\"tags\":[]}\n"},
      {"null", nullptr, "{}\n"},
      {"empty", "", "{}\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    const char *json = c.json;
    expect_reply([json] { oci_send_json(200, json); },
                 "Status: 200" + kJsonHead + c.body + "[returned]");
  }
}

TEST(OciValidRepoName, AcceptsAsciiNamesWithInnerSeparators) {
  struct Case {
    std::string name;
    int valid;
  };
  const std::vector<Case> cases = {
      {"library/ubuntu", 1},
      {"a", 1},
      {"A1", 1},
      {"my-org/my_app.v2", 1},
      {"a/../b", 1},
      {"a/./b", 1},
      {"a-_b", 1},
      {"a./b", 1},
      {std::string(255, 'n'), 1},
      {"/a", 0},
      {"a/", 0},
      {"-a", 0},
      {"a.", 0},
      {"_a", 0},
      {"a_", 0},
      {".", 0},
      {"a//b", 0},
      {"", 0},
      {std::string(256, 'n'), 0},
      {"a b", 0},
      {"a\\b", 0},
      {"a:b", 0},
      {"a@b", 0},
      {"caf\xc3\xa9", 0},
      {"\xe9t\xe9", 0},
      {"a\x80", 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE("name \"" + c.name + "\"");
    EXPECT_EQ(oci_valid_repo_name(c.name.c_str()), c.valid);
  }
  EXPECT_EQ(oci_valid_repo_name(nullptr), 0);
}

TEST(OciParseRepoMarker, SplitsNameAndIdAtTheMarker) {
  struct Case {
    const char *path;
    const char *marker;
    size_t name_size;
    size_t id_size;
    int ok;
    std::string name;
    std::string id;
  };
  const char *m = "/blobs/uploads";
  const std::vector<Case> cases = {
      {"/v2/library/ubuntu/blobs/uploads/", m, 256, 64, 1, "library/ubuntu", ""},
      {"/v2/foo/blobs/uploads/abc/", m, 256, 64, 1, "foo", "abc"},
      {"/v2/foo/blobs/uploads//abc//", m, 256, 64, 1, "foo", "abc/"},
      {"v2/foo/blobs/uploads", m, 256, 64, 1, "foo", ""},
      {"/foo/blobs/uploads", m, 256, 64, 1, "foo", ""},
      {"/v2x/blobs/uploads", m, 256, 64, 1, "v2x", ""},
      {"//v2//foo/blobs/uploads", m, 256, 64, 0, "", ""},
      {"/v2/blobs/uploads", m, 256, 64, 0, "", ""},
      {"/v2/foo/blobs/uploads7", m, 256, 64, 1, "foo", "7"},
      {"/v2/x/blobs/uploads/blobs/uploads/y", m, 256, 64, 1, "x", "blobs/uploads/y"},
      {"/v2/team/app/blobs/uploads/0123", m, 256, 64, 1, "team/app", "0123"},
      {"///v2/a/blobs/uploads/id", m, 256, 64, 1, "a", "id"},
      {"/v2/v2/a/blobs/uploads", m, 256, 64, 1, "v2/a", ""},
      {"/v2", m, 256, 64, 0, "", ""},
      {"/v2/foo/manifests/latest", m, 256, 64, 0, "", ""},
      {"/v2/foo/manifests/latest", "/manifests/", 256, 64, 1, "foo", "latest"},
      {"/v2/a b/blobs/uploads/x", m, 256, 64, 0, "", ""},
      {"/v2/a./blobs/uploads/x", m, 256, 64, 0, "", ""},
      // The name must be shorter than its buffer.
      {"/v2/abcd/blobs/uploads/x", m, 5, 64, 1, "abcd", "x"},
      {"/v2/abcde/blobs/uploads/x", m, 5, 64, 0, "", ""},
      // The id is cut to its buffer; a trailing slash is removed after that.
      {"/v2/a/blobs/uploads/abcdef", m, 256, 4, 1, "a", "abc"},
      {"/v2/a/blobs/uploads/ab/cd", m, 256, 4, 1, "a", "ab"},
      // No id wanted.
      {"/v2/a/blobs/uploads/abc", m, 256, 0, 1, "a", ""},
      {"/v2/a/blobs/uploads/abc", m, 0, 64, 0, "#", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.path) + " at " + c.marker);
    char name[300];
    char id[80];
    memset(name, '#', sizeof name);
    memset(id, '#', sizeof id);
    int ok = oci_parse_repo_marker(c.path, c.marker, name, c.name_size, id, c.id_size);
    EXPECT_EQ(ok, c.ok);
    if (c.name_size == 0) {
      EXPECT_EQ(name[0], '#');
    } else if (ok) {
      EXPECT_EQ(std::string(name), c.name);
    }
    if (ok && c.id_size != 0) {
      EXPECT_EQ(std::string(id), c.id);
    }
    if (c.id_size == 0) {
      EXPECT_EQ(id[0], '#');
    }
  }
}

TEST(OciParseRepoMarker, RefusesNullArgumentsAndAcceptsANullIdBuffer) {
  char name[64] = "#";
  char id[64] = "#";
  EXPECT_EQ(oci_parse_repo_marker(nullptr, "/blobs/uploads", name, sizeof name, id, sizeof id), 0);
  EXPECT_EQ(oci_parse_repo_marker("/v2/a/blobs/uploads", nullptr, name, sizeof name, id,
                                  sizeof id), 0);
  EXPECT_EQ(oci_parse_repo_marker("/v2/a/blobs/uploads", "/blobs/uploads", nullptr, 64, id,
                                  sizeof id), 0);
  EXPECT_EQ(oci_parse_repo_marker("/v2/a/blobs/uploads/x", "/blobs/uploads", name, sizeof name,
                                  nullptr, 64), 1);
  EXPECT_STREQ(name, "a");
  // A failed split leaves empty buffers behind, never a previous result.
  strcpy(name, "old");
  strcpy(id, "old");
  EXPECT_EQ(oci_parse_repo_marker("/v2/a/manifests/x", "/blobs/uploads", name, sizeof name, id,
                                  sizeof id), 0);
  EXPECT_STREQ(name, "");
  EXPECT_STREQ(id, "");
}

}  // namespace
