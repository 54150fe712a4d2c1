// Manifest store: put, get and delete through the public operations, with
// the files they leave checked from outside and fixtures written raw.
#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform.h"
#include "reg_storage.h"
#include "repository_fixture.h"
#include "storage_internal.h"
#include "support.h"

using storagetest::hex_of;
using storagetest::kNotReady;

using testsupport::exists;
using testsupport::is_dir;
using testsupport::list_names;
using testsupport::list_tree;
using testsupport::make_dirs;
using testsupport::read_all;
using testsupport::sha256_digest;
using testsupport::TempDir;
using testsupport::write_all;

namespace {

constexpr char kDefaultType[] = "application/vnd.docker.distribution.manifest.v2+json";
const std::string kCfg = "sha256:" + std::string(64, 'c');
const std::string kLayer = "sha256:" + std::string(64, '1');

// A storable manifest; `note` makes bodies differ.
std::string manifest(const std::string &note = "") {
  return R"({"schemaVersion":2,"config":{"digest":")" + kCfg + R"("},"layers":[{"digest":")" +
         kLayer + R"("}],"note":")" + note + R"("})";
}

// Every entry below `root`, directories marked with a trailing slash, files
// with their size: a fingerprint of the whole tree.
void walk_all(const std::string &root, const std::string &rel, std::vector<std::string> &out) {
  std::string dir = rel.empty() ? root : root + "/" + rel;
  for (const std::string &n : list_names(dir)) {
    std::string r = rel.empty() ? n : rel + "/" + n;
    if (is_dir(root + "/" + r)) {
      out.push_back(r + "/");
      walk_all(root, r, out);
    } else {
      out.push_back(r + " " + std::to_string(read_all(root + "/" + r).size()));
    }
  }
}
std::vector<std::string> tree_of(const std::string &root) {
  std::vector<std::string> out;
  walk_all(root, "", out);
  return out;
}

class Manifests : public storagetest::RepositoryFixture {
 protected:
  int put_rc(const std::string &repo, const std::string &ref, const std::string &body) {
    char digest[72] = "untouched";
    int rc = reg_manifest_put(repo.c_str(), ref.c_str(), body.data(), body.size(), nullptr, digest);
    if (rc != 0) {
      EXPECT_STREQ(digest, "untouched");
    }
    return rc;
  }

  struct Got {
    bool ok = false;
    std::string body, type, digest;
  };
  Got get(const std::string &repo, const std::string &ref) {
    char type[128], digest[72];
    Got g;
    const char *body = reg_manifest_get(repo.c_str(), ref.c_str(), type, digest);
    if (body == nullptr) return g;
    g.ok = true;
    g.body = body;
    g.type = type;
    g.digest = digest;
    return g;
  }
};

// ---- put -------------------------------------------------------------------

using ManifestPut = Manifests;

TEST_F(ManifestPut, StoresBodyTypeAndLinksUnderTheComputedDigest) {
  const std::string body = manifest("one");
  std::string d = put("team/app", "latest", body, "application/x-test");
  EXPECT_EQ(d, sha256_digest(body));

  EXPECT_EQ(read_all(body_file("team/app", d)), body);
  EXPECT_EQ(read_all(ct_file("team/app", d)), "application/x-test");
  EXPECT_EQ(read_all(rev_link("team/app", d)), d);
  EXPECT_EQ(read_all(tag_link("team/app", "latest")), d);
  EXPECT_EQ(d.size(), 71u);

  // Exactly these files, no temporary one left anywhere.
  const std::string m = "repositories/team/app/_manifests/";
  std::vector<std::string> want = {
      "config.json",
      m + hex_of(d),
      m + hex_of(d) + ".ct",
      m + "revisions/sha256/" + hex_of(d) + "/link",
      m + "tags/latest/current/link",
  };
  std::sort(want.begin(), want.end());
  EXPECT_EQ(list_tree(root()), want);
}

TEST_F(ManifestPut, ValidatesTheBodyBeforeWritingAnything) {
  const std::string cfg = R"("config":{"digest":")" + kCfg + R"("})";
  const std::string layer = R"({"digest":")" + kLayer + R"("})";
  struct Case {
    const char *what;
    std::string body;
    const char *error;  // null: stored
  };
  const Case cases[] = {
      {"empty body", "", "manifest JSON parse failed"},
      {"comment", "{/*c*/" + cfg + "}", "manifest JSON parse failed"},
      {"trailing comma", "{" + cfg + ",}", "manifest JSON parse failed"},
      {"text after the object", "{" + cfg + "} x", "manifest JSON parse failed"},
      {"second value", "{" + cfg + "}{}", "manifest JSON parse failed"},
      {"byte-order mark", "\xEF\xBB\xBF{" + cfg + "}", "manifest JSON parse failed"},
      {"NaN", "{" + cfg + ",\"n\":NaN}", "manifest JSON parse failed"},
      {"invalid UTF-8", "{" + cfg + ",\"n\":\"\xC3\x28\"}", "manifest JSON parse failed"},
      {"top-level array", "[{" + cfg + "}]", "manifest must be a JSON object"},
      {"top-level string", "\"x\"", "manifest must be a JSON object"},
      {"config is a string", R"({"config":")" + kCfg + "\"}", "manifest missing valid config.digest"},
      {"no config (a list)", R"({"manifests":[]})", "manifest missing valid config.digest"},
      {"config digest uppercase",
       R"({"config":{"digest":"sha256:)" + std::string(64, 'C') + "\"}}",
       "manifest missing valid config.digest"},
      {"config digest other algorithm",
       R"({"config":{"digest":"sha512:)" + std::string(64, 'c') + "\"}}",
       "manifest missing valid config.digest"},
      {"config digest a number", R"({"config":{"digest":7}})", "manifest missing valid config.digest"},
      {"config digest with a line end", R"({"config":{"digest":")" + kCfg + "\\n\"}}",
       "manifest missing valid config.digest"},
      {"first config decides (bad first)", R"({"config":{},)" + cfg + "}",
       "manifest missing valid config.digest"},
      {"first config decides (good first)", "{" + cfg + R"(,"config":{}})", nullptr},
      {"no layers", "{" + cfg + "}", nullptr},
      {"empty layers", "{" + cfg + R"(,"layers":[]})", nullptr},
      {"layers an object", "{" + cfg + R"(,"layers":{}})", "manifest layers must be an array"},
      {"layers null", "{" + cfg + R"(,"layers":null})", "manifest layers must be an array"},
      {"second layer without digest", "{" + cfg + R"(,"layers":[)" + layer + R"(,{"size":1}]})",
       "manifest layer 1 missing valid digest"},
      {"first layer a string", "{" + cfg + R"(,"layers":[")" + kLayer + "\"]}",
       "manifest layer 0 missing valid digest"},
      {"third layer bad digest",
       "{" + cfg + R"(,"layers":[)" + layer + "," + layer + R"(,{"digest":"sha256:12"}]})",
       "manifest layer 2 missing valid digest"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir fresh;
    ASSERT_EQ(reg_storage_init(fresh.path().c_str()), 0);
    std::vector<std::string> before = tree_of(fresh.path());
    int rc = put_rc("app", "v1", c.body);
    if (c.error == nullptr) {
      EXPECT_EQ(rc, 0) << reg_storage_last_error();
      EXPECT_EQ(read_all(fresh.sub("repositories/app/_manifests/tags/v1/current/link")),
                sha256_digest(c.body));
    } else {
      EXPECT_EQ(rc, -1);
      EXPECT_STREQ(reg_storage_last_error(), c.error);
      EXPECT_EQ(tree_of(fresh.path()), before);
    }
  }
}

TEST_F(ManifestPut, ChecksArgumentsInOrder) {
  const std::string body = manifest();
  char digest[72];
  // Null arguments are refused before the ready check.
  reg_storage_cleanup();
  struct Null {
    const char *repo, *ref;
    const void *body;
    char *out;
  };
  const Null nulls[] = {{nullptr, "t", body.data(), digest},
                        {"app", nullptr, body.data(), digest},
                        {"app", "t", nullptr, digest},
                        {"app", "t", body.data(), nullptr}};
  for (const Null &n : nulls) {
    EXPECT_EQ(reg_manifest_put(n.repo, n.ref, n.body, body.size(), nullptr, n.out), -1);
    EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  }
  EXPECT_EQ(reg_manifest_put("a..b", "", "", 0, nullptr, digest), -1);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);

  ASSERT_EQ(reg_storage_init(root().c_str()), 0);
  // The name before the reference, the reference before the body.
  EXPECT_EQ(put_rc("a..b", "", ""), -1);
  EXPECT_STREQ(reg_storage_last_error(), "invalid repository name: a..b");
  EXPECT_EQ(put_rc("app", "", ""), -1);
  EXPECT_STREQ(reg_storage_last_error(), "empty reference");
  EXPECT_EQ(put_rc("app", "..", ""), -1);
  EXPECT_STREQ(reg_storage_last_error(), "invalid tag: ..");
  EXPECT_EQ(put_rc("app", "v1", ""), -1);
  EXPECT_STREQ(reg_storage_last_error(), "manifest JSON parse failed");
}

TEST_F(ManifestPut, RepositoryNameRule) {
  const std::string body = manifest();
  struct Case {
    std::string name;
    bool ok;
  };
  const Case cases[] = {
      {std::string(255, 'r'), true},
      {std::string(256, 'r'), false},
      {"a..b", false},
      {"team/app", true},
      {"team\\app", true},
      {"-lead/trail-", true},
      {"sp ace", false},
      {"a:b", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    int rc = put_rc(c.name, "t", body);
    EXPECT_EQ(rc, c.ok ? 0 : -1);
    if (c.ok) {
      EXPECT_TRUE(get(c.name, "t").ok) << reg_storage_last_error();
    } else {
      EXPECT_EQ(reg_storage_last_error(), "invalid repository name: " + c.name);
    }
  }
}

TEST_F(ManifestPut, MovingATagKeepsTheEarlierManifest) {
  std::string d1 = put("app", "latest", manifest("one"));
  std::string d2 = put("app", "latest", manifest("two"));
  ASSERT_NE(d1, d2);
  EXPECT_EQ(read_all(tag_link("app", "latest")), d2);
  EXPECT_EQ(read_all(body_file("app", d1)), manifest("one"));
  EXPECT_TRUE(exists(ct_file("app", d1)));
  EXPECT_EQ(read_all(rev_link("app", d1)), d1);
  EXPECT_EQ(get("app", d1).body, manifest("one"));
}

TEST_F(ManifestPut, DigestReferenceWritesNoTagAndIsNotCompared) {
  const std::string body = manifest("by digest");
  const std::string refs[] = {"sha256:", "sha256:bogus", sha256_digest("something else")};
  for (const std::string &ref : refs) {
    SCOPED_TRACE(ref);
    EXPECT_EQ(put("app", ref, body), sha256_digest(body));
  }
  EXPECT_FALSE(exists(mdir("app") + "/tags"));
  EXPECT_EQ(read_all(rev_link("app", sha256_digest(body))), sha256_digest(body));
}

TEST_F(ManifestPut, MediaTypeDefaultsAndIsReplaced) {
  const std::string body = manifest();
  std::string d = put("app", "t", body, nullptr);
  EXPECT_EQ(read_all(ct_file("app", d)), kDefaultType);
  put("app", "t", body, "application/vnd.oci.image.manifest.v1+json");
  EXPECT_EQ(read_all(ct_file("app", d)), "application/vnd.oci.image.manifest.v1+json");
  put("app", "t", body, "");
  EXPECT_EQ(read_all(ct_file("app", d)), kDefaultType);
}

// ---- get -------------------------------------------------------------------

using ManifestGet = Manifests;

TEST_F(ManifestGet, ByTagAndByDigest) {
  const std::string body = manifest("get me");
  std::string d = put("team/app", "v1.0", body, "application/x-one");
  for (const std::string &ref : {std::string("v1.0"), d}) {
    SCOPED_TRACE(ref);
    Got g = get("team/app", ref);
    ASSERT_TRUE(g.ok) << reg_storage_last_error();
    EXPECT_EQ(g.body, body);
    EXPECT_EQ(g.type, "application/x-one");
    EXPECT_EQ(g.digest, d);
  }
}

TEST_F(ManifestGet, FailuresNameTheirSubject) {
  std::string d = put("app", "v1", manifest());
  std::string absent = sha256_digest("not stored");
  std::string upper = "sha256:" + std::string(64, 'A');
  put_tag("app", "nl", d + "\n");
  struct Case {
    std::string repo, ref, error;
  };
  const Case cases[] = {
      {"a..b", "v1", "invalid repository name"},
      {"app", "..", "invalid tag: .."},
      {"app", "sha256:abc", "invalid digest reference"},
      {"app", upper, "invalid digest reference"},
      {"app", "nope", "tag not found: app:nope"},
      {"other", "v1", "tag not found: other:v1"},
      {"app", "", "tag not found: app:"},
      {"app", "nl", "corrupt tag link: app:nl"},
      {"app", absent, "manifest body not found: app@" + absent},
  };
  std::vector<std::string> before = tree_of(root());
  for (const Case &c : cases) {
    SCOPED_TRACE(c.repo + " " + c.ref);
    EXPECT_FALSE(get(c.repo, c.ref).ok);
    EXPECT_EQ(reg_storage_last_error(), c.error);
  }
  EXPECT_EQ(tree_of(root()), before);

  char type[128], digest[72];
  EXPECT_EQ(reg_manifest_get(nullptr, "v1", type, digest), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  EXPECT_EQ(reg_manifest_get("app", "v1", nullptr, digest), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  EXPECT_EQ(reg_manifest_get("app", "v1", type, nullptr), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  reg_storage_cleanup();
  EXPECT_EQ(reg_manifest_get("app", "v1", type, digest), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);
}

TEST_F(ManifestGet, OnlyAnExactDigestStringIsATagLink) {
  std::string d = put("app", "v1", manifest());
  const std::string links[] = {
      "",
      d + "\n",
      d + std::string(1, '\0'),
      " " + d,
      d.substr(0, 70),
      "sha256:" + std::string(64, 'C'),
      std::string(200, 'x'),
  };
  for (const std::string &text : links) {
    SCOPED_TRACE(testing::PrintToString(text));
    put_tag("app", "bad", text);
    EXPECT_FALSE(get("app", "bad").ok);
    EXPECT_STREQ(reg_storage_last_error(), "corrupt tag link: app:bad");
  }
}

TEST_F(ManifestGet, MediaTypeIsCutOrDefaulted) {
  const std::string body = manifest();
  std::string d = put("app", "v1", body);
  const std::string long_type(200, 't');
  struct Case {
    const char *what;
    bool present;
    std::string stored, want;
  };
  const Case cases[] = {
      {"200 bytes", true, long_type, long_type.substr(0, 126)},
      {"126 bytes", true, long_type.substr(0, 126), long_type.substr(0, 126)},
      {"empty", true, "", kDefaultType},
      {"missing", false, "", kDefaultType},
      {"line end kept", true, "text/x\n", "text/x\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    if (c.present)
      write_all(ct_file("app", d), c.stored);
    else
      unlink(ct_file("app", d).c_str());
    Got g = get("app", "v1");
    ASSERT_TRUE(g.ok) << reg_storage_last_error();
    EXPECT_EQ(g.type, c.want);
    EXPECT_EQ(g.body, body);
  }
}

TEST_F(ManifestGet, BodyIsCutAtTheResultBuffer) {
  // Not rehashed on reading: a raw file under any digest name is returned.
  const std::string hex(64, 'b');
  make_dirs(mdir("app"));
  std::string big(1048576 + 10, 'x');
  big[1048574] = 'y';
  write_all(mdir("app") + "/" + hex, big);
  Got g = get("app", "sha256:" + hex);
  ASSERT_TRUE(g.ok) << reg_storage_last_error();
  EXPECT_EQ(g.body.size(), 1048575u);
  EXPECT_EQ(g.body.back(), 'y');
  EXPECT_EQ(g.type, kDefaultType);
}

// ---- delete ----------------------------------------------------------------

using ManifestDelete = Manifests;

TEST_F(ManifestDelete, ManifestGoesWithTheLastTagNamingIt) {
  std::string d = put("app", "a", manifest());
  put("app", "b", manifest());
  ASSERT_EQ(reg_manifest_delete("app", "a"), 0) << reg_storage_last_error();
  EXPECT_FALSE(exists(tag_link("app", "a")));
  EXPECT_TRUE(is_dir(tag_dir("app", "a")));
  EXPECT_TRUE(exists(body_file("app", d)));
  EXPECT_TRUE(exists(ct_file("app", d)));
  EXPECT_TRUE(exists(rev_link("app", d)));

  ASSERT_EQ(reg_manifest_delete("app", "b"), 0) << reg_storage_last_error();
  EXPECT_FALSE(exists(body_file("app", d)));
  EXPECT_FALSE(exists(ct_file("app", d)));
  EXPECT_FALSE(exists(rev_link("app", d)));
  EXPECT_FALSE(get("app", d).ok);
  // Directories stay, empty; a later put writes the link there again.
  EXPECT_TRUE(list_names(tag_dir("app", "b")).empty());
  EXPECT_TRUE(is_dir(mdir("app") + "/revisions/sha256/" + hex_of(d)));
  put("app", "b", manifest());
  EXPECT_EQ(read_all(tag_link("app", "b")), d);
}

TEST_F(ManifestDelete, ByDigestWhileTaggedRemovesOnlyTheRevisionLink) {
  const std::string body = manifest();
  std::string d = put("app", "v1", body);
  ASSERT_EQ(reg_manifest_delete("app", d.c_str()), 0);
  EXPECT_FALSE(exists(rev_link("app", d)));
  EXPECT_EQ(get("app", d).body, body);
  EXPECT_EQ(get("app", "v1").body, body);
}

TEST_F(ManifestDelete, ByDigestWithoutTagRemovesTheManifest) {
  std::string d = put("app", "sha256:", manifest());
  ASSERT_EQ(reg_manifest_delete("app", d.c_str()), 0);
  EXPECT_FALSE(exists(body_file("app", d)));
  EXPECT_FALSE(exists(ct_file("app", d)));
  EXPECT_FALSE(exists(rev_link("app", d)));
}

TEST_F(ManifestDelete, ByAnUnstoredDigestChangesNothing) {
  put("app", "v1", manifest());
  std::vector<std::string> before = tree_of(root());
  EXPECT_EQ(reg_manifest_delete("app", sha256_digest("nothing").c_str()), 0);
  EXPECT_EQ(tree_of(root()), before);
}

TEST_F(ManifestDelete, LinkWithLineEndStillKeepsTheManifest) {
  std::string d = put("app", "a", manifest());
  put_tag("app", "nl", d + "\n");
  EXPECT_EQ(reg_manifest_delete("app", "nl"), -1);
  EXPECT_STREQ(reg_storage_last_error(), "corrupt tag link: app:nl");
  ASSERT_EQ(reg_manifest_delete("app", "a"), 0);
  EXPECT_TRUE(exists(body_file("app", d)));
}

TEST_F(ManifestDelete, FailuresChangeNothing) {
  std::string d = put("app", "v1", manifest());
  std::vector<std::string> before = tree_of(root());
  struct Case {
    std::string ref, error;
  };
  const Case cases[] = {
      {"", "tag not found: app:"},
      {"gone", "tag not found: app:gone"},
      {"sha256:12", "invalid digest reference"},
      {"sha256:" + std::string(64, 'F'), "invalid digest reference"},
      {"../v1", "invalid tag: ../v1"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.ref);
    EXPECT_EQ(reg_manifest_delete("app", c.ref.c_str()), -1);
    EXPECT_EQ(reg_storage_last_error(), c.error);
  }
  EXPECT_EQ(reg_manifest_delete("a..b", "v1"), -1);
  EXPECT_STREQ(reg_storage_last_error(), "invalid repository name");
  EXPECT_EQ(reg_manifest_delete(nullptr, "v1"), -1);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  EXPECT_EQ(reg_manifest_delete("app", nullptr), -1);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");

  plat_test_fail_nth(1, EACCES);
  EXPECT_EQ(reg_manifest_delete("app", "v1"), -1);
  plat_test_fail_nth(0, 0);
  EXPECT_STREQ(reg_storage_last_error(), "delete tag failed");
  EXPECT_EQ(tree_of(root()), before);

  reg_storage_cleanup();
  EXPECT_EQ(reg_manifest_delete("app", "v1"), -1);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);
  EXPECT_EQ(tree_of(root()), before);
  (void)d;
}

TEST_F(ManifestDelete, EveryTagIsSeenHoweverManyThereAre) {
  std::string kept = put("app", "doomed", manifest("kept"));
  std::string other = put("app", "other", manifest("other"));
  for (int i = 0; i < 600; i++) {
    std::string t = "t" + std::to_string(i);
    ASSERT_EQ(mkdir((tags_dir("app") + "/" + t).c_str(), 0755), 0);
    ASSERT_EQ(mkdir(tag_dir("app", t).c_str(), 0755), 0);
    write_all(tag_link("app", t), other);
  }

  // Find a tag that one fixed-size listing does not reach, and point it at
  // the manifest whose other tag is deleted below.
  auto *listing = new regst::dir_listing;
  ASSERT_EQ(regst::list_dir(tags_dir("app").c_str(), listing), 0);
  ASSERT_EQ(listing->truncated, 1);
  std::set<std::string> seen;
  for (int i = 0; i < listing->count; i++) seen.insert(listing->entries[i].name);
  delete listing;
  std::string unseen;
  for (int i = 0; i < 600 && unseen.empty(); i++) {
    std::string t = "t" + std::to_string(i);
    if (!seen.count(t)) unseen = t;
  }
  ASSERT_FALSE(unseen.empty());
  write_all(tag_link("app", unseen), kept);

  ASSERT_EQ(reg_manifest_delete("app", "doomed"), 0);
  EXPECT_TRUE(exists(body_file("app", kept)));
  EXPECT_EQ(get("app", unseen).body, manifest("kept"));

  // With that tag gone too, nothing names the manifest any more.
  ASSERT_EQ(reg_manifest_delete("app", unseen.c_str()), 0);
  EXPECT_FALSE(exists(body_file("app", kept)));
  EXPECT_TRUE(exists(body_file("app", other)));
}

TEST_F(ManifestDelete, UnreadableTagsDirectoryKeepsTheManifest) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  std::string d = put("app", "sha256:", manifest());
  make_dirs(tags_dir("app"));
  chmod(tags_dir("app").c_str(), 0);
  EXPECT_EQ(reg_manifest_delete("app", d.c_str()), 0);
  chmod(tags_dir("app").c_str(), 0755);
  EXPECT_TRUE(exists(body_file("app", d)));
}

// ---- tags ------------------------------------------------------------------

using ManifestTags = Manifests;

TEST_F(ManifestTags, HostileTagsAreRefusedBeforeAnyFileIsTouched) {
  const std::string body = manifest();
  std::string d = put("app", "latest", body);
  put_tag("app", "x", d);
  const std::string tags[] = {
      "..", ".", "a/b", "a\\b", std::string(129, 'a'), "../../../../blobs", "..\\latest",
      "-lead", ".hidden", "a b", "v1\n", "a:b",
  };
  std::vector<std::string> before = tree_of(root());
  for (const std::string &tag : tags) {
    SCOPED_TRACE(testing::PrintToString(tag));
    const std::string want = "invalid tag: " + tag;
    EXPECT_EQ(put_rc("app", tag, body), -1);
    EXPECT_EQ(reg_storage_last_error(), want);
    EXPECT_FALSE(get("app", tag).ok);
    EXPECT_EQ(reg_storage_last_error(), want);
    EXPECT_EQ(reg_manifest_delete("app", tag.c_str()), -1);
    EXPECT_EQ(reg_storage_last_error(), want);
  }
  EXPECT_EQ(tree_of(root()), before);
}

TEST_F(ManifestTags, TagsAtTheEdgesOfTheRuleWork) {
  const std::string body = manifest();
  const std::string tags[] = {std::string(128, 'a'), "_", "0", "v1.2.3-rc_1", "A.-_"};
  for (const std::string &tag : tags) {
    SCOPED_TRACE(tag);
    std::string d = put("app", tag, body);
    EXPECT_EQ(read_all(tag_link("app", tag)), d);
    EXPECT_EQ(get("app", tag).body, body);
    EXPECT_EQ(reg_manifest_delete("app", tag.c_str()), 0) << reg_storage_last_error();
  }
}

// ---- writers and readers -----------------------------------------------------

using ManifestWrites = Manifests;

// Each file name below `root` that a temporary file would carry.
std::vector<std::string> temp_files(const std::string &root) {
  std::vector<std::string> out;
  for (const std::string &f : list_tree(root))
    if (f.find(".tmp-") != std::string::npos) out.push_back(f);
  return out;
}

TEST_F(ManifestWrites, InjectedFailuresLeaveNoTemporaryFileAndNoPartialContent) {
  const std::string a = manifest("old"), b = manifest("new");
  const std::string da = sha256_digest(a), db = sha256_digest(b);
  std::set<std::string> messages;
  bool walked_all = false;
  for (int n = 1; n <= 100 && !walked_all; n++) {
    SCOPED_TRACE("failing mutating call " + std::to_string(n));
    TempDir fresh;
    ASSERT_EQ(reg_storage_init(fresh.path().c_str()), 0);
    char digest[72];
    ASSERT_EQ(reg_manifest_put("app", "v1", a.data(), a.size(), "type/a", digest), 0);

    plat_test_fail_nth(n, ENOSPC);
    int rc = reg_manifest_put("app", "v1", b.data(), b.size(), "type/b", digest);
    // A probe tells whether the put made fewer than n mutating calls.
    errno = 0;
    int probe = plat_mkdir(fresh.sub("probe").c_str());
    walked_all = probe != 0 && errno == ENOSPC;
    plat_test_fail_nth(0, 0);

    if (rc != 0) messages.insert(reg_storage_last_error());
    if (walked_all) {
      EXPECT_EQ(rc, 0) << reg_storage_last_error();
    }
    EXPECT_EQ(temp_files(fresh.path()), std::vector<std::string>{});
    std::string link = read_all(fresh.sub("repositories/app/_manifests/tags/v1/current/link"));
    EXPECT_TRUE(link == da || link == db) << link;
    Got g = get("app", "v1");
    ASSERT_TRUE(g.ok) << reg_storage_last_error();
    EXPECT_EQ(g.body, link == da ? a : b);
    std::string ct = read_all(fresh.sub("repositories/app/_manifests/" + hex_of(db) + ".ct"));
    EXPECT_TRUE(ct == "" || ct == "type/b") << ct;
  }
  EXPECT_TRUE(walked_all) << "put made more mutating calls than the walk covers";
  const std::set<std::string> want = {"write manifest body failed", "write manifest ct failed",
                                      "mkdirs revision dir failed", "write revision link failed",
                                      "write tag link failed"};
  EXPECT_EQ(messages, want);
}

TEST_F(ManifestWrites, ReaderNeverSeesAPartialManifestWhileTheTagMoves) {
  // Large bodies make a write in place take long enough to be caught.
  const std::string a = manifest(std::string(300000, 'a'));
  const std::string b = manifest(std::string(200000, 'b'));
  const std::string da = sha256_digest(a), db = sha256_digest(b);
  put("app", "live", a, "type/a");
  put("app", "live", b, "type/b");

  fflush(nullptr);
  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    char digest[72];
    int rc = 0;
    for (int i = 0; i < 300 && rc == 0; i++) {
      const std::string &body = i % 2 ? a : b;
      rc = reg_manifest_put("app", "live", body.data(), body.size(), i % 2 ? "type/a" : "type/b",
                            digest);
    }
    _exit(rc == 0 ? 0 : 1);
  }

  int reads = 0, bad = 0;
  std::string first_bad;
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 200000 && done == 0; i++) {
    char type[128], digest[72];
    const char *body = reg_manifest_get("app", "live", type, digest);
    reads++;
    bool ok = body != nullptr &&
              ((body == a && digest == da && strcmp(type, "type/a") == 0) ||
               (body == b && digest == db && strcmp(type, "type/b") == 0));
    if (!ok) {
      bad++;
      if (first_bad.empty())
        first_bad = body == nullptr ? reg_storage_last_error()
                                    : "body of " + std::to_string(strlen(body)) + " bytes";
    }
    done = waitpid(writer, &status, WNOHANG);
  }
  if (done == 0) done = waitpid(writer, &status, 0);
  ASSERT_EQ(done, writer);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_GT(reads, 1);
  EXPECT_EQ(bad, 0) << "first: " << first_bad;
  EXPECT_EQ(temp_files(root()), std::vector<std::string>{});
}

}  // namespace
