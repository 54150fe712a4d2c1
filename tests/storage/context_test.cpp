// Storage bring-up and the file helpers beneath every storage operation:
// root shapes and limits, re-initialisation, the storage's config.json, the
// last-error text, and the helpers' edge cases, checked on disk from outside.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform.h"
#include "storage_fixture.h"
#include "storage_internal.h"
#include "support.h"

using testsupport::exists;
using testsupport::is_dir;
using testsupport::list_names;
using testsupport::make_dirs;
using testsupport::read_all;
using testsupport::TempDir;
using testsupport::write_all;

namespace {

using storagetest::last_error;
using storagetest::mkdir_calls;

constexpr char kConfigText[] =
    "{\n  \"schemaVersion\": 2,\n  \"title\": \"tolvaren-registry-storage\",\n"
    "  \"version\": \"1.0.0\",\n  \"maxUploadSize\": -1\n}\n";

// Runs the test body in another working directory and comes back.
class CwdGuard {
 public:
  explicit CwdGuard(const std::string &dir) {
    if (getcwd(old_, sizeof old_) == nullptr) old_[0] = '\0';
    if (chdir(dir.c_str()) != 0) ADD_FAILURE() << "chdir " << dir;
  }
  ~CwdGuard() {
    if (old_[0] != '\0' && chdir(old_) != 0) ADD_FAILURE() << "chdir back";
  }

 private:
  char old_[4096];
};

// `base` followed by slash-separated components of at most 200 characters,
// exactly `total` characters long.
std::string path_of_length(const std::string &base, size_t total) {
  std::string p = base;
  while (p.size() < total) {
    size_t room = total - p.size() - 1;  // after the slash
    if (room == 0) {                     // no room for a component: widen the last one
      p.back() = 'q';
      p += 'q';
      break;
    }
    p += '/';
    p += std::string(room > 200 ? 200 : room, 'r');
  }
  return p;
}

class StorageContextTest : public ::testing::Test {
 protected:
  void TearDown() override {
    plat_test_fail_nth(0, 0);
    reg_storage_cleanup();
  }
  TempDir tmp;
};

// ---- reg_storage_init --------------------------------------------------------

TEST_F(StorageContextTest, InitKeepsTheRootShapeAndDropsOneTrailingBackslash) {
  // Drive-style roots, relative to a working directory where "D:" is a
  // directory standing in for the drive.
  struct Case {
    const char *root;
    const char *stored;
  };
  static const Case cases[] = {
      {"D:\\reg", "D:\\reg"},
      {"D:\\reg\\", "D:\\reg"},
      {"D:\\reg\\\\", "D:\\reg\\"},  // only the last backslash goes
      {"D:/reg/", "D:/reg/"},        // a forward slash stays
      {"D:/reg", "D:/reg"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.root);
    TempDir t;
    make_dirs(t.sub("D:"));
    CwdGuard cwd(t.path());
    ASSERT_EQ(reg_storage_init(c.root), 0) << last_error();
    EXPECT_STREQ(regst::s_root, c.stored);
    EXPECT_EQ(regst::s_ready, 1);
    for (const char *d : {"D:/reg/blobs/sha256", "D:/reg/repositories", "D:/reg/uploads"})
      EXPECT_TRUE(is_dir(t.sub(d))) << d;
    EXPECT_EQ(read_all(t.sub("D:/reg/config.json")), kConfigText);
    EXPECT_EQ(list_names(t.path()), std::vector<std::string>{"D:"});
  }
}

TEST_F(StorageContextTest, RootOf3499CharactersPassesAnd3500Fails) {
  const std::string ok = path_of_length(tmp.sub("a"), 3499);
  ASSERT_EQ(ok.size(), 3499u);
  ASSERT_EQ(reg_storage_init(ok.c_str()), 0) << last_error();
  EXPECT_EQ(std::string(regst::s_root), ok);
  EXPECT_TRUE(is_dir(ok + "/blobs/sha256"));
  EXPECT_TRUE(exists(ok + "/config.json"));

  const std::string too_long = path_of_length(tmp.sub("b"), 3500);
  ASSERT_EQ(too_long.size(), 3500u);
  EXPECT_EQ(reg_storage_init(too_long.c_str()), -1);
  EXPECT_EQ(last_error(), "storage root dir too long (max 3499 chars)");
  EXPECT_FALSE(exists(tmp.sub("b")));
  // The ready store was dropped before the length test.
  EXPECT_EQ(regst::s_ready, 0);
  EXPECT_STREQ(regst::s_root, "");
}

TEST_F(StorageContextTest, NullOrEmptyRootChangesNothing) {
  ASSERT_EQ(reg_storage_init(tmp.path().c_str()), 0);
  for (const char *root : {static_cast<const char *>(nullptr), ""}) {
    EXPECT_EQ(reg_storage_init(root), -1);
    EXPECT_EQ(last_error(), "storage root dir is empty");
    EXPECT_EQ(regst::s_ready, 1);
    EXPECT_EQ(std::string(regst::s_root), tmp.path());
  }
  // Not ready: still nothing changes.
  reg_storage_cleanup();
  EXPECT_EQ(reg_storage_init(""), -1);
  EXPECT_EQ(regst::s_ready, 0);
  EXPECT_STREQ(regst::s_root, "");
}

TEST_F(StorageContextTest, ReinitMovesTheStoreToTheNewRoot) {
  ASSERT_EQ(reg_storage_init(tmp.sub("one").c_str()), 0);
  ASSERT_EQ(reg_storage_init(tmp.sub("two").c_str()), 0);
  EXPECT_EQ(std::string(regst::s_root), tmp.sub("two"));
  EXPECT_TRUE(is_dir(tmp.sub("two/uploads")));
  reg_storage_cleanup();
  reg_storage_cleanup();  // any number of times
  EXPECT_EQ(regst::s_ready, 0);
  EXPECT_STREQ(regst::s_root, "");
}

TEST_F(StorageContextTest, FailureWhileBuildingTheTreeLeavesRootSetAndNotReady) {
  const std::string root = tmp.sub("reg");
  const int root_calls = mkdir_calls(root);
  const int blobs_calls = mkdir_calls(root + "\\blobs\\sha256");
  const int repos_calls = mkdir_calls(root + "\\repositories");
  const int uploads_calls = mkdir_calls(root + "\\uploads");
  struct Case {
    const char *what;
    std::function<void()> setup;
    std::string arg;  // the root handed to init
    std::string message;
    std::vector<std::string> made;  // below root, in place afterwards
    std::vector<std::string> not_made;
  };
  const std::vector<Case> cases = {
      {"root's parent is a file", [&] { write_all(root, "x"); }, root + "\\sub",
       "mkdirs failed: " + root + "\\sub", {}, {}},
      {"root cannot be made", [&] { plat_test_fail_nth(root_calls, EACCES); }, root,
       "mkdirs failed: " + root, {}, {"blobs"}},
      {"blobs is a file",
       [&] {
         make_dirs(root);
         write_all(root + "/blobs", "x");
       },
       root, "mkdirs failed: " + root + "\\blobs\\sha256", {}, {"repositories"}},
      {"blobs\\sha256 cannot be made",
       [&] { plat_test_fail_nth(root_calls + blobs_calls, EACCES); }, root,
       "mkdirs failed: " + root + "\\blobs\\sha256", {"blobs"}, {"blobs/sha256", "repositories"}},
      {"repositories cannot be made",
       [&] { plat_test_fail_nth(root_calls + blobs_calls + repos_calls, EACCES); }, root,
       "mkdirs failed: " + root + "\\repositories", {"blobs/sha256"}, {"repositories", "uploads"}},
      {"uploads cannot be made",
       [&] { plat_test_fail_nth(root_calls + blobs_calls + repos_calls + uploads_calls, EACCES); },
       root, "mkdirs failed: " + root + "\\uploads", {"repositories"}, {"uploads", "config.json"}},
      {"config.json cannot be written",
       [&] {
         plat_test_fail_nth(root_calls + blobs_calls + repos_calls + uploads_calls + 1, EACCES);
       },
       root, "write config.json failed", {"uploads"}, {"config.json"}},
      {"config.json is a directory", [&] { make_dirs(root + "/config.json"); }, root,
       "write config.json failed", {"uploads", "config.json"}, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::remove_tree(root);
    ASSERT_EQ(reg_storage_init(tmp.sub("ready").c_str()), 0);
    c.setup();
    EXPECT_EQ(reg_storage_init(c.arg.c_str()), -1);
    plat_test_fail_nth(0, 0);
    EXPECT_EQ(last_error(), c.message);
    EXPECT_EQ(regst::s_ready, 0);
    EXPECT_EQ(std::string(regst::s_root), c.arg);
    for (const auto &m : c.made) EXPECT_TRUE(exists(root + "/" + m)) << m;
    for (const auto &m : c.not_made) EXPECT_FALSE(exists(root + "/" + m)) << m;
  }
}

TEST_F(StorageContextTest, LongFailureTextIsCutTo1023Characters) {
  write_all(tmp.sub("file"), "x");
  const std::string root = path_of_length(tmp.sub("file"), 3499);
  EXPECT_EQ(reg_storage_init(root.c_str()), -1);
  const std::string full = "mkdirs failed: " + root;
  EXPECT_EQ(last_error(), full.substr(0, 1023));

  const std::string text(2000, 'e');
  regst::set_error("%s", text.c_str());
  EXPECT_EQ(last_error(), text.substr(0, 1023));
  regst::set_error("short %d", 7);
  EXPECT_EQ(last_error(), "short 7");
}

TEST_F(StorageContextTest, ConfigJsonIsWrittenOnceAndNeverRewritten) {
  ASSERT_EQ(reg_storage_init(tmp.path().c_str()), 0);
  const std::string cfg = tmp.sub("config.json");
  EXPECT_EQ(read_all(cfg), kConfigText);
  EXPECT_EQ(read_all(cfg).size(), 110u);

  for (const std::string &content : {std::string(), std::string("{\"mine\":1}\r\n"),
                                     std::string("\0\xff binary", 9)}) {
    write_all(cfg, content);
    ASSERT_EQ(reg_storage_init(tmp.path().c_str()), 0);
    EXPECT_EQ(read_all(cfg), content);
  }
  remove(cfg.c_str());
  ASSERT_EQ(reg_storage_init(tmp.path().c_str()), 0);
  EXPECT_EQ(read_all(cfg), kConfigText);
}

TEST_F(StorageContextTest, LastErrorSurvivesSuccessesUntilTheNextInit) {
  ASSERT_EQ(reg_storage_init(tmp.path().c_str()), 0);
  EXPECT_EQ(last_error(), "");
  EXPECT_EQ(reg_blob_exists("sha256:not-a-digest"), -1);
  const std::string failure = last_error();
  EXPECT_EQ(failure, "invalid digest");

  EXPECT_EQ(reg_blob_exists(("sha256:" + std::string(64, '0')).c_str()), 0);
  EXPECT_EQ(regst::mkdirs(tmp.sub("x").c_str()), 0);
  EXPECT_EQ(regst::require_ready(), 0);
  EXPECT_EQ(last_error(), failure);

  ASSERT_EQ(reg_storage_init(tmp.path().c_str()), 0);
  EXPECT_EQ(last_error(), "");
  EXPECT_NE(reg_storage_last_error(), nullptr);

  reg_storage_cleanup();
  EXPECT_EQ(regst::require_ready(), -1);
  EXPECT_EQ(last_error(), "not initialized - call reg_storage_init first");
}

// ---- file helpers ----------------------------------------------------------

TEST_F(StorageContextTest, PathJoinAlwaysInsertsOneBackslash) {
  struct Case {
    const char *a, *b, *want;
  };
  static const Case cases[] = {
      {"a", "b", "a\\b"},
      {"", "x", "\\x"},
      {"a\\", "b", "a\\\\b"},
      {"a/", "b", "a/\\b"},
      {"a", "", "a\\"},
  };
  for (const Case &c : cases) {
    char out[64];
    EXPECT_EQ(regst::path_join(out, sizeof out, c.a, c.b), static_cast<int>(strlen(c.want)));
    EXPECT_STREQ(out, c.want);
  }
  char small[5];
  memset(small, '#', sizeof small);
  EXPECT_EQ(regst::path_join(small, sizeof small, "abc", "def"), 7);  // full length
  EXPECT_STREQ(small, "abc\\");
}

TEST_F(StorageContextTest, MkdirsCreatesEveryLevelAndRefusesBadPaths) {
  struct Case {
    const char *what;
    std::string path;
    int want;
    std::string must_exist;  // a directory afterwards ("" for none)
  };
  write_all(tmp.sub("plain"), "x");
  make_dirs(tmp.sub("have/some"));
  const std::vector<Case> cases = {
      {"nested, mixed separators", tmp.path() + "\\a/b\\c", 0, tmp.sub("a/b/c")},
      {"trailing separator", tmp.sub("t/u/"), 0, tmp.sub("t/u")},
      {"already there", tmp.sub("have/some"), 0, tmp.sub("have/some")},
      {"last component a regular file", tmp.sub("plain"), 0, ""},
      {"intermediate regular file", tmp.sub("plain/below"), -1, ""},
      {"empty", "", -1, ""},
      {"4096 characters", path_of_length(tmp.sub("long"), 4096), -1, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(regst::mkdirs(c.path.c_str()), c.want);
    if (!c.must_exist.empty()) {
      EXPECT_TRUE(is_dir(c.must_exist));
    }
  }
  EXPECT_FALSE(exists(tmp.sub("long")));  // nothing made for the long path
  EXPECT_FALSE(is_dir(tmp.sub("plain")));
}

TEST_F(StorageContextTest, MkdirsNeverCreatesABareDrive) {
  CwdGuard cwd(tmp.path());
  // No "C:" here: creating C:\a fails, and C: itself is never attempted.
  EXPECT_EQ(regst::mkdirs("C:\\a\\b"), -1);
  EXPECT_EQ(regst::mkdirs("C:"), 0);  // the whole path is always made
  ASSERT_EQ(rmdir("C:"), 0);
  EXPECT_EQ(regst::mkdirs("C:/a"), -1);
  EXPECT_FALSE(exists(tmp.sub("C:")));

  // With the drive present, every level below it is made.
  make_dirs(tmp.sub("C:"));
  EXPECT_EQ(regst::mkdirs("C:\\a\\b"), 0);
  EXPECT_TRUE(is_dir(tmp.sub("C:/a/b")));
  // Drive-relative: "C:x" is the first level made.
  EXPECT_EQ(regst::mkdirs("C:x\\y"), 0);
  EXPECT_TRUE(is_dir(tmp.sub("C:x/y")));
}

TEST_F(StorageContextTest, MkdirsStopsAtTheFirstLevelThatCannotBeMade) {
  const std::string path = tmp.sub("a/b");
  // Earlier levels exist already, so a failure injected there is absorbed;
  // the failure of "a" itself is not.
  plat_test_fail_nth(mkdir_calls(tmp.path()), EACCES);
  EXPECT_EQ(regst::mkdirs(path.c_str()), 0);
  testsupport::remove_tree(tmp.sub("a"));
  plat_test_fail_nth(mkdir_calls(tmp.sub("a")), EACCES);
  EXPECT_EQ(regst::mkdirs(path.c_str()), -1);
  EXPECT_FALSE(exists(tmp.sub("a")));
}

TEST_F(StorageContextTest, ExistenceAndSizeQueries) {
  write_all(tmp.sub("f"), std::string(1234, 'x'));
  make_dirs(tmp.sub("d"));
  struct Case {
    std::string path;
    int file, dir;
    int64_t size;  // -2: any size of 0 or more
  };
  const std::vector<Case> cases = {
      {tmp.sub("f"), 1, 0, 1234},
      {tmp.path() + "\\f", 1, 0, 1234},
      {tmp.sub("d"), 0, 1, -2},
      {tmp.sub("none"), 0, 0, -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(regst::file_exists(c.path.c_str()), c.file);
    EXPECT_EQ(regst::dir_exists(c.path.c_str()), c.dir);
    if (c.size == -2) {
      EXPECT_GE(regst::file_size(c.path.c_str()), 0);
    } else {
      EXPECT_EQ(regst::file_size(c.path.c_str()), c.size);
    }
  }
}

TEST_F(StorageContextTest, RemoveFileOnlyRemovesFiles) {
  write_all(tmp.sub("f"), "x");
  make_dirs(tmp.sub("d"));
  EXPECT_EQ(regst::remove_file(tmp.sub("none").c_str()), 0);
  EXPECT_EQ(regst::remove_file(tmp.sub("d").c_str()), 0);
  EXPECT_TRUE(is_dir(tmp.sub("d")));
  plat_test_fail_nth(1, EACCES);
  EXPECT_EQ(regst::remove_file(tmp.sub("f").c_str()), -1);
  EXPECT_TRUE(exists(tmp.sub("f")));
  EXPECT_EQ(regst::remove_file(tmp.sub("f").c_str()), 0);
  EXPECT_FALSE(exists(tmp.sub("f")));
}

TEST_F(StorageContextTest, ReadFileGivesAtMostCapacityLessOneBytes) {
  std::string data(200, '\0');
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>(i);  // NULs inside
  write_all(tmp.sub("f"), data);
  struct Case {
    size_t cap;
    size_t want;
  };
  for (const Case c : {Case{128, 127}, Case{201, 200}, Case{1000, 200}, Case{1, 0}}) {
    SCOPED_TRACE(c.cap);
    std::vector<char> buf(c.cap, '#');
    size_t len = 999;
    ASSERT_EQ(regst::read_file(tmp.sub("f").c_str(), buf.data(), c.cap, &len), 0);
    EXPECT_EQ(len, c.want);
    EXPECT_EQ(std::string(buf.data(), len), data.substr(0, c.want));
    EXPECT_EQ(buf[len], '\0');
  }
  char buf[8];
  EXPECT_EQ(regst::read_file(tmp.sub("f").c_str(), buf, sizeof buf, nullptr), 0);
  size_t len = 77;
  EXPECT_EQ(regst::read_file(tmp.sub("none").c_str(), buf, sizeof buf, &len), -1);
  EXPECT_EQ(len, 77u);
}

TEST_F(StorageContextTest, WriteFileCreatesOrEmptiesAndWritesAll) {
  const std::string f = tmp.sub("f");
  write_all(f, "previous content");
  EXPECT_EQ(regst::write_file(f.c_str(), "", 0), 0);
  EXPECT_TRUE(exists(f));
  EXPECT_EQ(read_all(f), "");

  const std::string data("a\0b\r\n", 5);
  EXPECT_EQ(regst::write_file(tmp.sub("g").c_str(), data.data(), data.size()), 0);
  EXPECT_EQ(read_all(tmp.sub("g")), data);

  make_dirs(tmp.sub("d"));
  EXPECT_EQ(regst::write_file(tmp.sub("d").c_str(), "x", 1), -1);
  EXPECT_EQ(regst::write_file(tmp.sub("none/f").c_str(), "x", 1), -1);
  EXPECT_FALSE(exists(tmp.sub("none")));
}

TEST_F(StorageContextTest, WriteFileAtomicReplacesWholeOrLeavesTheOldFile) {
  const std::string f = tmp.sub("link");
  ASSERT_EQ(regst::write_file_atomic(f.c_str(), "a much longer old text", 22), 0);
  EXPECT_EQ(read_all(f), "a much longer old text");
  ASSERT_EQ(regst::write_file_atomic(f.c_str(), "new", 3), 0);
  EXPECT_EQ(read_all(f), "new");  // replaced whole, no tail of the old text
  ASSERT_EQ(regst::write_file_atomic(f.c_str(), "", 0), 0);
  EXPECT_EQ(read_all(f), "");

  struct Case {
    const char *what;
    int nth, err, want;
    const char *after;
  };
  static const Case cases[] = {
      {"temporary file cannot be made", 1, EACCES, -1, "old"},
      {"temporary name taken: next name", 1, EEXIST, 0, "replacement"},
      {"rename fails", 2, EIO, -1, "old"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    write_all(f, "old");
    plat_test_fail_nth(c.nth, c.err);
    EXPECT_EQ(regst::write_file_atomic(f.c_str(), "replacement", 11), c.want);
    plat_test_fail_nth(0, 0);
    EXPECT_EQ(read_all(f), c.after);
    EXPECT_EQ(list_names(tmp.path()), std::vector<std::string>{"link"});  // no temporary left
  }
  EXPECT_EQ(regst::write_file_atomic(tmp.sub("none/f").c_str(), "x", 1), -1);
  EXPECT_EQ(list_names(tmp.path()), std::vector<std::string>{"link"});
}

TEST_F(StorageContextTest, ListDirHolds512EntriesAndFlagsTheRest) {
  struct Case {
    int files;
    int count, truncated;
  };
  for (const Case c : {Case{0, 0, 0}, Case{512, 512, 0}, Case{513, 512, 1}}) {
    SCOPED_TRACE(c.files);
    TempDir t;
    for (int i = 0; i < c.files; i++) write_all(t.sub("f" + std::to_string(i)), "");
    auto *l = new regst::dir_listing;
    l->count = -1;
    l->truncated = -1;
    EXPECT_EQ(regst::list_dir(t.path().c_str(), l), 0);
    EXPECT_EQ(l->count, c.count);
    EXPECT_EQ(l->truncated, c.truncated);
    for (int i = 0; i < l->count; i++) EXPECT_EQ(l->entries[i].name[0], 'f');
    delete l;
  }
}

TEST_F(StorageContextTest, ListDirNamesEntriesWithTheirKind) {
  make_dirs(tmp.sub("sub"));
  write_all(tmp.sub("file"), "x");
  write_all(tmp.sub(".hidden"), "x");
  auto *l = new regst::dir_listing;
  ASSERT_EQ(regst::list_dir((tmp.path() + "\\").c_str(), l), 0);
  std::map<std::string, int> got;
  for (int i = 0; i < l->count; i++) got[l->entries[i].name] = l->entries[i].is_dir;
  const std::map<std::string, int> want = {{"sub", 1}, {"file", 0}, {".hidden", 0}};
  EXPECT_EQ(got, want);

  for (const std::string &p : {tmp.sub("none"), tmp.sub("file")}) {
    l->count = 7;
    l->truncated = 7;
    EXPECT_EQ(regst::list_dir(p.c_str(), l), -1);
    EXPECT_EQ(l->count, 0);
    EXPECT_EQ(l->truncated, 0);
  }
  delete l;
}

}  // namespace
