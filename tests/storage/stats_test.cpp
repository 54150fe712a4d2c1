// Storage statistics: small trees written raw on disk, counted through the
// public operation, one table row per counting rule.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reg_storage.h"
#include "repository_fixture.h"
#include "storage_internal.h"
#include "support.h"

namespace {

using storagetest::kNotReady;
using storagetest::or_null;
using testsupport::make_dirs;
using testsupport::remove_tree;
using testsupport::write_all;

struct Figures {
  int repositories, tags, blobs;
  long long blob_bytes;
  int active_uploads;
  long long upload_bytes;
};

std::string stats_doc(const Figures &f) {
  return "{\"version\":\"1.0.0\",\"repositories\":" + std::to_string(f.repositories) +
         ",\"tags\":" + std::to_string(f.tags) + ",\"blobs\":" + std::to_string(f.blobs) +
         ",\"blob_bytes\":" + std::to_string(f.blob_bytes) +
         ",\"active_uploads\":" + std::to_string(f.active_uploads) +
         ",\"upload_bytes\":" + std::to_string(f.upload_bytes) + "}";
}

// One entry below the storage root: a file with `content`, or a directory
// when content is null.
struct Entry {
  const char *path;
  const char *content;
};

class Stats : public storagetest::RepositoryFixture {
 protected:
  void place(const std::vector<Entry> &entries) {
    for (const Entry &e : entries) {
      if (e.content == nullptr)
        make_dirs(at(e.path));
      else
        put_file(e.path, e.content);
    }
  }
  std::string stats() { return or_null(reg_storage_get_stats_json()); }
};

const char *kHex = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

TEST_F(Stats, FreshStoreIsAllZero) {
  EXPECT_EQ(stats(),
            R"({"version":"1.0.0","repositories":0,"tags":0,"blobs":0,"blob_bytes":0,)"
            R"("active_uploads":0,"upload_bytes":0})");
}

TEST_F(Stats, CountsFollowTheTreeRules) {
  const std::string blob = std::string("blobs/sha256/01/") + kHex;
  struct Case {
    const char *what;
    std::vector<Entry> tree;
    Figures want;
  } cases[] = {
      {"zero-byte blob counts without bytes", {{blob.c_str(), ""}}, {0, 0, 1, 0, 0, 0}},
      {"blob files of any name in any shard",
       {{blob.c_str(), "12345"}, {"blobs/sha256/zz/not-a-digest", "abc"}},
       {0, 0, 2, 8, 0, 0}},
      {"file directly in sha256 and directory inside a shard are no blobs",
       {{"blobs/sha256/loose", "0123456789"},
        {"blobs/sha256/ab/sub/inner", "0123456789"},
        {"blobs/sha256/empty", nullptr},
        {"blobs/stray", "0123456789"}},
       {0, 0, 0, 0, 0, 0}},
      {"any plain file in uploads is a session; directories are not",
       {{"uploads/91e3a35b-f173-0dfb-938b-ee4b3dc38bf5.part", "abcd"},
        {"uploads/whatever", "xy"},
        {"uploads/empty.part", ""},
        {"uploads/sub/inner.part", "0123456789"}},
       {0, 0, 0, 0, 3, 6}},
      {"tags need a readable link; nested repositories count once, without tags",
       {{"repositories/app/_manifests/tags/v1/current/link", "sha256:x"},
        {"repositories/app/_manifests/tags/empty/current/link", ""},
        {"repositories/app/_manifests/tags/nolink/current", nullptr},
        {"repositories/app/_manifests/tags/linkdir/current/link", nullptr},
        {"repositories/app/_manifests/tags/plainfile", "x"},
        {"repositories/team/app/_manifests/tags/v1/current/link", "sha256:x"},
        {"repositories/team/web/_manifests/tags/v1/current/link", "sha256:x"},
        {"repositories/bare", nullptr},
        {"repositories/plainfile", "x"}},
       {3, 2, 0, 0, 0, 0}},
  };
  for (const Case &c : cases) {
    remove_tree(root());
    ASSERT_EQ(reg_storage_init(root().c_str()), 0) << reg_storage_last_error();
    place(c.tree);
    EXPECT_EQ(stats(), stats_doc(c.want)) << c.what;
  }
}

TEST_F(Stats, ShardTakesOnlyTheFirst512Entries) {
  make_dirs(at("blobs/sha256/ab"));
  for (int i = 0; i < 513; i++) write_all(at("blobs/sha256/ab/f" + std::to_string(i)), "z");
  EXPECT_EQ(stats(), stats_doc({0, 0, 512, 512, 0, 0}));
}

TEST_F(Stats, MissingAreasCountZeroAndSucceed) {
  const std::string blob = std::string("blobs/sha256/01/") + kHex;
  place({{blob.c_str(), "12345"},
         {"uploads/a.part", "abc"},
         {"repositories/app/_manifests/tags/v1/current/link", "x"}});
  for (const char *area : {"blobs", "uploads", "repositories"}) remove_tree(at(area));
  regst::set_error("earlier failure");
  EXPECT_EQ(stats(), stats_doc({0, 0, 0, 0, 0, 0}));
  EXPECT_STREQ(reg_storage_last_error(), "earlier failure");

  // The counters still write their out-parameters when nothing is listed.
  int blobs = -7;
  EXPECT_EQ(regst::count_blobs(&blobs), 0);
  EXPECT_EQ(blobs, 0);
  int64_t upload_bytes = -7;
  EXPECT_EQ(regst::count_uploads(&upload_bytes), 0);
  EXPECT_EQ(upload_bytes, 0);
}

TEST_F(Stats, NotInitialisedGivesNull) {
  reg_storage_cleanup();
  EXPECT_EQ(reg_storage_get_stats_json(), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);
}

}  // namespace
