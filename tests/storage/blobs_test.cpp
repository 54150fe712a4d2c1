// Blob store queries: presence, size, file path and removal of blobs written
// raw to disk at root/blobs/sha256/<xx>/<hex>.
#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform.h"
#include "reg_storage.h"
#include "storage_fixture.h"
#include "support.h"

using testsupport::exists;
using testsupport::is_dir;
using testsupport::list_tree;
using testsupport::make_dirs;
using testsupport::sha256_digest;

namespace {

using storagetest::kNotReady;

class BlobQueries : public storagetest::StorageFixture {
 protected:
  // Leaves a recognisable last-error text behind.
  static void set_marker_error() {
    ASSERT_EQ(reg_blob_exists("sha256:nothex"), -1);
    ASSERT_STREQ(reg_storage_last_error(), "invalid digest");
  }
};

// Two blob contents whose digests share their first two hex digits.
std::pair<std::string, std::string> same_shard_pair() {
  std::string first = "blob-0";
  std::string shard = sha256_digest(first).substr(7, 2);
  for (int i = 1; i < 100000; i++) {
    std::string other = "blob-" + std::to_string(i);
    if (sha256_digest(other).substr(7, 2) == shard) return {first, other};
  }
  return {first, first};
}

// Each query, called the way its failure table names it.
enum class Op { kExists, kSize, kFilepath, kDelete };

int64_t call(Op op, const char *digest) {
  char buf[4096];
  switch (op) {
    case Op::kExists:
      return reg_blob_exists(digest);
    case Op::kSize:
      return reg_blob_get_size(digest);
    case Op::kFilepath:
      return reg_blob_get_filepath(digest, buf, sizeof buf);
    case Op::kDelete:
      return reg_blob_delete(digest);
  }
  return 0;
}

constexpr Op kAllOps[] = {Op::kExists, Op::kSize, Op::kFilepath, Op::kDelete};

TEST_F(BlobQueries, NullDigestFailsBeforeTheReadyCheck) {
  reg_storage_cleanup();
  for (Op op : kAllOps) {
    SCOPED_TRACE(static_cast<int>(op));
    EXPECT_EQ(call(op, nullptr), -1);
    EXPECT_STREQ(reg_storage_last_error(),
                 op == Op::kFilepath ? "NULL argument" : "digest is NULL");
  }
  char buf[16];
  std::string d = sha256_digest("x");
  EXPECT_EQ(reg_blob_get_filepath(d.c_str(), nullptr, 16), -1);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  EXPECT_EQ(reg_blob_get_filepath(d.c_str(), buf, 0), -1);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
}

TEST_F(BlobQueries, WellFormedDigestFailsWhileNotInitialised) {
  std::string d = put_blob("present");
  reg_storage_cleanup();
  for (Op op : kAllOps) {
    SCOPED_TRACE(static_cast<int>(op));
    EXPECT_EQ(call(op, d.c_str()), -1);
    EXPECT_STREQ(reg_storage_last_error(), kNotReady);
  }
  EXPECT_TRUE(exists(blob_file(d)));
}

TEST_F(BlobQueries, MalformedDigestsAreRefusedEvenWhenTheBlobExists) {
  std::string d = put_blob("present");
  std::string upper = d;
  for (size_t i = 7; i < upper.size(); i++) upper[i] = static_cast<char>(toupper(upper[i]));
  ASSERT_NE(upper, d);
  const std::string cases[] = {
      upper,
      d.substr(0, 70),                 // 63 digits
      d + "0",                         // 65 digits
      d + "\n",                        // line end after the digits
      "sha512:" + d.substr(7),         // another algorithm
      "SHA256:" + d.substr(7),         // prefix is case-sensitive
      d.substr(7),                     // no prefix
      "sha256:../../../config.json",   // a path, not digits
      "",
  };
  for (const std::string &bad : cases) {
    for (Op op : kAllOps) {
      SCOPED_TRACE(bad + " op " + std::to_string(static_cast<int>(op)));
      EXPECT_EQ(call(op, bad.c_str()), -1);
      EXPECT_STREQ(reg_storage_last_error(), "invalid digest");
    }
  }
  EXPECT_TRUE(exists(blob_file(d)));
}

TEST_F(BlobQueries, ExistsAndSizeReadTheFileAttributes) {
  std::string empty = put_blob("");
  std::string some = put_blob(std::string(70000, 'z'));
  EXPECT_EQ(reg_blob_exists(empty.c_str()), 1);
  EXPECT_EQ(reg_blob_exists(some.c_str()), 1);
  EXPECT_EQ(reg_blob_get_size(empty.c_str()), 0);
  EXPECT_EQ(reg_blob_get_size(some.c_str()), 70000);
}

TEST_F(BlobQueries, AbsentBlobAnswersWithoutTouchingTheLastError) {
  std::string absent = sha256_digest("never stored");
  set_marker_error();
  EXPECT_EQ(reg_blob_exists(absent.c_str()), 0);
  EXPECT_STREQ(reg_storage_last_error(), "invalid digest");
  EXPECT_EQ(reg_blob_get_size(absent.c_str()), -1);
  EXPECT_STREQ(reg_storage_last_error(), "invalid digest");
}

TEST_F(BlobQueries, SuccessKeepsThePreviousErrorText) {
  std::string d = put_blob("kept");
  set_marker_error();
  char buf[4096];
  EXPECT_EQ(reg_blob_exists(d.c_str()), 1);
  EXPECT_EQ(reg_blob_get_size(d.c_str()), 4);
  EXPECT_EQ(reg_blob_get_filepath(d.c_str(), buf, sizeof buf), 0);
  EXPECT_EQ(reg_blob_delete(d.c_str()), 0);
  EXPECT_STREQ(reg_storage_last_error(), "invalid digest");
}

TEST_F(BlobQueries, DirectoryAtTheBlobPathCountsAsAbsent) {
  std::string d = sha256_digest("a directory, not a blob");
  make_dirs(blob_file(d));
  char buf[4096];
  std::string not_found = "blob not found: " + d;
  EXPECT_EQ(reg_blob_exists(d.c_str()), 0);
  EXPECT_EQ(reg_blob_get_filepath(d.c_str(), buf, sizeof buf), -1);
  EXPECT_EQ(reg_storage_last_error(), not_found);
  EXPECT_EQ(reg_blob_delete(d.c_str()), -1);
  EXPECT_EQ(reg_storage_last_error(), not_found);
  EXPECT_TRUE(is_dir(blob_file(d)));
}

TEST_F(BlobQueries, FilepathNeedsRoomForThePathAndItsTerminator) {
  std::string d = put_blob("where am I");
  const std::string want = root() + "\\blobs\\sha256\\" + d.substr(7, 2) + "\\" + d.substr(7);

  std::vector<char> buf(want.size() + 8, '#');
  EXPECT_EQ(reg_blob_get_filepath(d.c_str(), buf.data(), want.size()), -1);
  EXPECT_STREQ(reg_storage_last_error(), "path buffer too small");
  EXPECT_EQ(std::string(buf.begin(), buf.end()), std::string(buf.size(), '#'))
      << "a refused call must not write the buffer";

  EXPECT_EQ(reg_blob_get_filepath(d.c_str(), buf.data(), want.size() + 1), 0);
  EXPECT_EQ(std::string(buf.data()), want);
  EXPECT_EQ(buf[want.size() + 1], '#');
}

TEST_F(BlobQueries, FilepathOfAnAbsentBlobNamesTheDigest) {
  std::string d = sha256_digest("absent");
  char buf[4096];
  EXPECT_EQ(reg_blob_get_filepath(d.c_str(), buf, sizeof buf), -1);
  EXPECT_EQ(reg_storage_last_error(), "blob not found: " + d);
}

TEST_F(BlobQueries, DeletingTheLastBlobOfAShardRemovesTheShard) {
  std::string keep = put_blob("elsewhere");
  std::string d = put_blob("alone in its shard");
  ASSERT_NE(keep.substr(7, 2), d.substr(7, 2));
  EXPECT_EQ(reg_blob_delete(d.c_str()), 0);
  EXPECT_FALSE(exists(blob_file(d)));
  EXPECT_FALSE(exists(shard_dir(d)));
  EXPECT_EQ(reg_blob_exists(d.c_str()), 0);
  // Nothing else in the tree changed.
  EXPECT_TRUE(exists(blob_file(keep)));
  EXPECT_TRUE(is_dir(at("blobs/sha256")));
}

TEST_F(BlobQueries, DeletingOneOfTwoBlobsKeepsTheShardAndTheOther) {
  auto [a, b] = same_shard_pair();
  ASSERT_NE(a, b) << "no two contents with one shard found";
  std::string da = put_blob(a), db = put_blob(b);
  EXPECT_EQ(reg_blob_delete(da.c_str()), 0);
  EXPECT_FALSE(exists(blob_file(da)));
  EXPECT_TRUE(is_dir(shard_dir(da)));
  EXPECT_EQ(reg_blob_get_size(db.c_str()), static_cast<int64_t>(b.size()));
  EXPECT_EQ(reg_blob_delete(db.c_str()), 0);
  EXPECT_FALSE(exists(shard_dir(db)));
}

TEST_F(BlobQueries, DeleteDoesNotLookAtManifestsOrUploads) {
  std::string d = put_blob("referenced elsewhere");
  put_file("repositories/app/_manifests/cfg", d);
  put_session("0123abcd-0000-0000-0000-000000000000", "x");
  std::vector<std::string> before = list_tree(root());
  EXPECT_EQ(reg_blob_delete(d.c_str()), 0);
  std::vector<std::string> after = list_tree(root());
  std::string gone = "blobs/sha256/" + d.substr(7, 2) + "/" + d.substr(7);
  std::erase(before, gone);
  EXPECT_EQ(after, before);
}

TEST_F(BlobQueries, DeleteOfAnAbsentBlobNamesTheDigest) {
  std::string d = sha256_digest("absent");
  EXPECT_EQ(reg_blob_delete(d.c_str()), -1);
  EXPECT_EQ(reg_storage_last_error(), "blob not found: " + d);
}

TEST_F(BlobQueries, FailedRemovalKeepsTheBlobAndItsShard) {
  std::string d = put_blob("stays");
  plat_test_fail_nth(1, EACCES);
  EXPECT_EQ(reg_blob_delete(d.c_str()), -1);
  plat_test_fail_nth(0, 0);
  EXPECT_STREQ(reg_storage_last_error(), "remove failed");
  EXPECT_TRUE(exists(blob_file(d)));
  EXPECT_EQ(reg_blob_exists(d.c_str()), 1);
}

TEST_F(BlobQueries, FailedShardRemovalStillReportsSuccess) {
  std::string d = put_blob("shard stays");
  // The first mutating call removes the file, the second is the rmdir.
  plat_test_fail_nth(2, EBUSY);
  EXPECT_EQ(reg_blob_delete(d.c_str()), 0);
  plat_test_fail_nth(0, 0);
  EXPECT_FALSE(exists(blob_file(d)));
  EXPECT_TRUE(is_dir(shard_dir(d)));
}

}  // namespace
