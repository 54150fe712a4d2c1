// What the manifest endpoints need beyond put, get and delete: the blobs and
// manifests a body names, image indexes, locating a body of any size,
// removing a manifest with all its tags, and whether a repository exists.
#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform.h"
#include "reg_storage.h"
#include "repository_fixture.h"
#include "support.h"

using storagetest::hex_of;
using storagetest::kNotReady;
using testsupport::list_tree;
using testsupport::make_dirs;
using testsupport::read_all;
using testsupport::sha256_digest;

namespace {

constexpr char kIndexType[] = "application/vnd.oci.image.index.v1+json";
constexpr char kOciManifest[] = "application/vnd.oci.image.manifest.v1+json";

std::string manifest_body(const std::string &cfg, const std::vector<std::string> &layers) {
  std::string s = R"({"schemaVersion":2,"config":{"digest":")" + cfg + R"("},"layers":[)";
  for (size_t i = 0; i < layers.size(); i++) {
    if (i) s += ",";
    s += R"({"digest":")" + layers[i] + R"("})";
  }
  return s + "]}";
}

std::string index_body(const std::vector<std::string> &children) {
  std::string s = R"({"schemaVersion":2,"manifests":[)";
  for (size_t i = 0; i < children.size(); i++) {
    if (i) s += ",";
    s += R"({"mediaType":"application/vnd.oci.image.manifest.v1+json","digest":")" +
         children[i] + R"(","platform":{"os":"linux"}})";
  }
  return s + "]}";
}

class ManifestRefs : public storagetest::RepositoryFixture {
 protected:
  // Stores an image manifest under its OCI media type; its digest.
  std::string put(const std::string &repo, const std::string &ref, const std::string &body,
                  const char *type = kOciManifest) {
    return RepositoryFixture::put(repo, ref, body, type);
  }
};

// ---- blobs a manifest names -------------------------------------------------

TEST_F(ManifestRefs, CheckBlobsNamesTheFirstMissingBlobInDocumentOrder) {
  const std::string cfg = put_blob("config");
  const std::string l1 = put_blob("layer one");
  const std::string absent1 = sha256_digest("not stored 1");
  const std::string absent2 = sha256_digest("not stored 2");
  struct Case {
    const char *what;
    std::string body;
    int want;
    std::string missing;  // for 1: the digest named; for -1: the message
  };
  const Case cases[] = {
      {"all stored", manifest_body(cfg, {l1, l1}), 0, ""},
      {"no layers member", R"({"config":{"digest":")" + cfg + "\"}}", 0, ""},
      {"config missing", manifest_body(absent1, {l1}), 1, absent1},
      {"second layer missing", manifest_body(cfg, {l1, absent2, absent1}), 1, absent2},
      {"not JSON", "{", -1, "manifest JSON parse failed"},
      {"an index", index_body({cfg}), -1, "manifest missing valid config.digest"},
      {"bad layer", R"({"config":{"digest":")" + cfg + R"("},"layers":[{}]})", -1,
       "manifest layer 0 missing valid digest"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    char missing[72] = "untouched";
    int rc = reg_manifest_check_blobs(c.body.data(), c.body.size(), missing);
    EXPECT_EQ(rc, c.want);
    if (c.want == 1) {
      EXPECT_EQ(missing, c.missing);
    } else if (c.want == 0) {
      EXPECT_STREQ(missing, "untouched");
    } else {
      EXPECT_EQ(reg_storage_last_error(), c.missing);
    }
  }
  char missing[72];
  EXPECT_EQ(reg_manifest_check_blobs(nullptr, 0, missing), -1);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  reg_storage_cleanup();
  const std::string body = manifest_body(cfg, {});
  EXPECT_EQ(reg_manifest_check_blobs(body.data(), body.size(), missing), -1);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);
}

// ---- image indexes ----------------------------------------------------------

TEST_F(ManifestRefs, IndexIsStoredLikeAManifestOnceItsManifestsAreStored) {
  const std::string cfg = put_blob("config");
  const std::string amd = put("team/app", "sha256:", manifest_body(cfg, {put_blob("amd64")}));
  const std::string arm = put("team/app", "sha256:", manifest_body(cfg, {put_blob("arm64")}));
  const std::string body = index_body({amd, arm});

  char missing[72] = "untouched";
  EXPECT_EQ(reg_index_check_manifests("team/app", body.data(), body.size(), missing), 0);
  char digest[72];
  ASSERT_EQ(reg_index_put("team/app", "multi", body.data(), body.size(), nullptr, digest), 0)
      << reg_storage_last_error();
  EXPECT_EQ(digest, sha256_digest(body));
  EXPECT_EQ(read_all(body_file("team/app", digest)), body);
  EXPECT_EQ(read_all(ct_file("team/app", digest)), kIndexType);
  EXPECT_EQ(read_all(rev_link("team/app", digest)), digest);
  EXPECT_EQ(read_all(tag_link("team/app", "multi")), digest);

  // Read back through the ordinary get, by tag, with a given media type kept.
  const char *list_type = "application/vnd.docker.distribution.manifest.list.v2+json";
  ASSERT_EQ(reg_index_put("team/app", "list", body.data(), body.size(), list_type, digest), 0);
  char type[128], got_digest[72];
  const char *got = reg_manifest_get("team/app", "list", type, got_digest);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(std::string(got), body);
  EXPECT_STREQ(type, list_type);
}

TEST_F(ManifestRefs, IndexNamingAnUnstoredManifestIsRefusedBeforeAnyFileIsWritten) {
  const std::string cfg = put_blob("config");
  const std::string here = put("team/app", "sha256:", manifest_body(cfg, {}));
  // Stored, but in another repository: manifests are not shared.
  const std::string elsewhere = put("other", "sha256:", manifest_body(cfg, {put_blob("x")}));
  const std::string body = index_body({here, elsewhere});
  const std::vector<std::string> before = list_tree(root());

  char missing[72] = "untouched";
  EXPECT_EQ(reg_index_check_manifests("team/app", body.data(), body.size(), missing), 1);
  EXPECT_EQ(missing, elsewhere);
  char digest[72] = "untouched";
  EXPECT_EQ(reg_index_put("team/app", "v1", body.data(), body.size(), nullptr, digest), -1);
  EXPECT_EQ(reg_storage_last_error(), "index manifest 1 not stored: " + elsewhere);
  EXPECT_STREQ(digest, "untouched");
  EXPECT_EQ(list_tree(root()), before);
}

TEST_F(ManifestRefs, IndexShapeAndArgumentsAreCheckedInOrder) {
  const std::string good = sha256_digest("child");
  struct Case {
    const char *what;
    std::string repo, ref, body;
    const char *error;
  };
  const Case cases[] = {
      {"bad name", "a..b", "v1", index_body({}), "invalid repository name: a..b"},
      {"empty reference", "app", "", index_body({}), "empty reference"},
      {"bad tag", "app", "../x", index_body({}), "invalid tag: ../x"},
      {"not JSON", "app", "v1", "[", "manifest JSON parse failed"},
      {"array root", "app", "v1", "[]", "manifest must be a JSON object"},
      {"an image manifest", "app", "v1", manifest_body(good, {}),
       "index manifests must be an array"},
      {"manifests an object", "app", "v1", R"({"manifests":{}})",
       "index manifests must be an array"},
      {"entry without digest", "app", "v1", R"({"manifests":[{"digest":")" + good + R"("},{}]})",
       "index manifest 1 missing valid digest"},
      {"entry with uppercase digest", "app", "v1",
       R"({"manifests":[{"digest":"sha256:)" + std::string(64, 'A') + R"("}]})",
       "index manifest 0 missing valid digest"},
  };
  const std::vector<std::string> before = list_tree(root());
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    char digest[72];
    EXPECT_EQ(reg_index_put(c.repo.c_str(), c.ref.c_str(), c.body.data(), c.body.size(), nullptr,
                            digest),
              -1);
    EXPECT_EQ(reg_storage_last_error(), std::string(c.error));
  }
  EXPECT_EQ(list_tree(root()), before);

  // An empty list is a valid index.
  const std::string empty = index_body({});
  char digest[72];
  EXPECT_EQ(reg_index_put("app", "none", empty.data(), empty.size(), "", digest), 0);
  EXPECT_EQ(reg_index_put(nullptr, "v1", empty.data(), empty.size(), "", digest), -1);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  char missing[72];
  EXPECT_EQ(reg_index_check_manifests("app", "x", 1, missing), -1);
  EXPECT_STREQ(reg_storage_last_error(), "manifest JSON parse failed");
}

// ---- locate -----------------------------------------------------------------

TEST_F(ManifestRefs, LocateGivesTheWholeBodyFileEvenBeyondTheResultBuffer) {
  // 1.5 MiB: more than reg_manifest_get can hand back.
  std::string body = manifest_body(put_blob("c"), {});
  body.insert(body.size() - 1, ",\"pad\":\"" + std::string(3u << 19, 'p') + "\"");
  const std::string d = put("team/app", "big", body, "application/x-big");
  for (const std::string &ref : {std::string("big"), d}) {
    SCOPED_TRACE(ref);
    char path[4096], type[128], digest[72];
    int64_t size = -1;
    ASSERT_EQ(reg_manifest_locate("team/app", ref.c_str(), path, sizeof path, &size, type, digest),
              0)
        << reg_storage_last_error();
    EXPECT_EQ(size, static_cast<int64_t>(body.size()));
    EXPECT_STREQ(type, "application/x-big");
    EXPECT_EQ(digest, d);
    FILE *f = plat_fopen(path, "rb");
    ASSERT_NE(f, nullptr);
    std::string got(body.size() + 1, '\0');
    got.resize(fread(&got[0], 1, got.size(), f));
    fclose(f);
    EXPECT_TRUE(got == body);
  }
}

TEST_F(ManifestRefs, LocateFailsWithoutTouchingItsOutputs) {
  const std::string d = put("app", "v1", manifest_body(put_blob("c"), {}));
  put_tag("app", "nl", d + "\n");
  put_tag("app", "dangling", sha256_digest("nothing stored"));
  struct Case {
    std::string repo, ref;
    size_t path_size;
    std::string error;
  };
  const std::string unstored = sha256_digest("unstored");
  const Case cases[] = {
      {"app", "gone", 4096, "tag not found: app:gone"},
      {"app", "nl", 4096, "corrupt tag link: app:nl"},
      {"app", "dangling", 4096, "manifest body not found: app@dangling"},
      {"app", unstored, 4096, "manifest body not found: app@" + unstored},
      {"app", "sha256:ab", 4096, "invalid digest reference"},
      {"app", "../v1", 4096, "invalid tag: ../v1"},
      {"a..b", "v1", 4096, "invalid repository name"},
      {"app", "v1", 10, "path buffer too small"},
      {"app", "v1", 0, "NULL argument"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.ref);
    char path[4096] = "untouched", type[128] = "untouched", digest[72] = "untouched";
    int64_t size = -7;
    EXPECT_EQ(reg_manifest_locate(c.repo.c_str(), c.ref.c_str(), path, c.path_size, &size, type,
                                  digest),
              -1);
    EXPECT_EQ(reg_storage_last_error(), c.error);
    EXPECT_STREQ(path, "untouched");
    EXPECT_STREQ(type, "untouched");
    EXPECT_STREQ(digest, "untouched");
    EXPECT_EQ(size, -7);
  }
}

// ---- delete with all tags ---------------------------------------------------

TEST_F(ManifestRefs, DeleteAllRemovesEveryTagNamingTheManifestAndNothingElse) {
  const std::string cfg = put_blob("c");
  const std::string doomed = put("app", "a", manifest_body(cfg, {put_blob("1")}));
  const std::string kept = put("app", "other", manifest_body(cfg, {put_blob("2")}));
  // Far more tags than one fixed-size directory listing holds, every one of
  // them naming the manifest; one with a line end after the digest too.
  for (int i = 0; i < 520; i++) put_tag("app", "t" + std::to_string(i), doomed);
  put_tag("app", "nl", doomed + "\n");

  ASSERT_EQ(reg_manifest_delete_all("app", doomed.c_str()), 0) << reg_storage_last_error();
  const std::string m = "repositories/app/_manifests/";
  std::vector<std::string> want = {
      "config.json",
      m + hex_of(kept),
      m + hex_of(kept) + ".ct",
      m + "revisions/sha256/" + hex_of(kept) + "/link",
      m + "tags/other/current/link",
  };
  for (const std::string &b : {cfg, sha256_digest("1"), sha256_digest("2")})
    want.push_back("blobs/sha256/" + hex_of(b).substr(0, 2) + "/" + hex_of(b));
  std::sort(want.begin(), want.end());
  EXPECT_EQ(list_tree(root()), want);

  EXPECT_EQ(reg_manifest_delete_all("app", doomed.c_str()), -1);
  EXPECT_EQ(reg_storage_last_error(), "manifest not found: app@" + doomed);
}

TEST_F(ManifestRefs, DeleteAllKeepsTheBodyWhenATagCannotBeRemoved) {
  const std::string d = put("app", "a", manifest_body(put_blob("c"), {}));
  const std::vector<std::string> before = list_tree(root());
  plat_test_fail_nth(1, EACCES);
  EXPECT_EQ(reg_manifest_delete_all("app", d.c_str()), -1);
  plat_test_fail_nth(0, 0);
  EXPECT_STREQ(reg_storage_last_error(), "delete tag failed");
  EXPECT_EQ(list_tree(root()), before);

  struct Case {
    const char *repo, *digest, *error;
  };
  const Case cases[] = {
      {nullptr, "sha256:", "NULL argument"},
      {"app", nullptr, "NULL argument"},
      {"a..b", d.c_str(), "invalid repository name"},
      {"app", "v1", "invalid digest reference"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(reg_manifest_delete_all(c.repo, c.digest), -1);
    EXPECT_STREQ(reg_storage_last_error(), c.error);
  }
  reg_storage_cleanup();
  EXPECT_EQ(reg_manifest_delete_all("app", d.c_str()), -1);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);
  EXPECT_EQ(list_tree(root()), before);
}

// ---- repository existence ---------------------------------------------------

TEST_F(ManifestRefs, RepositoryExistsWhenItsManifestDirectoryDoes) {
  put("team/app", "v1", manifest_body(put_blob("c"), {}));
  make_dirs(at("repositories/bare"));
  EXPECT_EQ(reg_repository_exists("team/app"), 1);
  EXPECT_EQ(reg_repository_exists("team"), 0);  // only a parent directory
  EXPECT_EQ(reg_repository_exists("bare"), 0);
  EXPECT_EQ(reg_repository_exists("none"), 0);
  EXPECT_EQ(reg_repository_exists("a..b"), -1);
  EXPECT_STREQ(reg_storage_last_error(), "invalid repository name");
  EXPECT_EQ(reg_repository_exists(nullptr), -1);
  EXPECT_STREQ(reg_storage_last_error(), "repo_name is NULL");
}

// ---- upload session size ----------------------------------------------------

TEST_F(ManifestRefs, UploadSizeIsTheSessionFileSize) {
  char id[37];
  ASSERT_EQ(reg_blob_start_upload(id), 0);
  EXPECT_EQ(reg_upload_get_size(id), 0);
  ASSERT_EQ(reg_blob_append_chunk(id, "hello", 5), 0);
  EXPECT_EQ(reg_upload_get_size(id), 5);

  const char *other = "12105cf4-1d0d-a12b-5247-bc73a8ea5f1b";
  EXPECT_EQ(reg_upload_get_size(other), -1);
  EXPECT_EQ(reg_storage_last_error(), std::string("upload not found: ") + other);
  make_dirs(at("uploads/" + std::string(other) + ".part"));  // a directory is no session
  EXPECT_EQ(reg_upload_get_size(other), -1);
  EXPECT_EQ(reg_upload_get_size("../uploads/x"), -1);
  EXPECT_STREQ(reg_storage_last_error(), "invalid upload uuid");
  EXPECT_EQ(reg_upload_get_size(nullptr), -1);
  EXPECT_STREQ(reg_storage_last_error(), "upload_uuid is NULL");
}

}  // namespace
