// The operating-system seam: separators, renames with and without replacing,
// directory creation and enumeration, exclusive create, and the test hook
// that fails the n-th mutating call.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "platform.h"
#include "support.h"

using testsupport::exists;
using testsupport::is_dir;
using testsupport::read_all;
using testsupport::TempDir;
using testsupport::write_all;

namespace {

// The same path with every slash turned into a backslash.
std::string backslashed(std::string p) {
  std::replace(p.begin(), p.end(), '/', '\\');
  return p;
}

// Every entry plat_dir_* delivers, by name, with its directory flag.
std::map<std::string, int> enumerate(const std::string &path) {
  std::map<std::string, int> out;
  plat_dir *d = plat_dir_open(path.c_str());
  if (d == nullptr) return out;
  char name[PLAT_NAME_MAX];
  int flag = -1;
  while (plat_dir_next(d, name, sizeof name, &flag) == 1) out[name] = flag;
  plat_dir_close(d);
  return out;
}

class PlatformTest : public ::testing::Test {
 protected:
  void TearDown() override { plat_test_fail_nth(0, 0); }
  TempDir tmp;
};

TEST_F(PlatformTest, BackslashPathsNameTheSameFilesAsSlashPaths) {
  const std::string dir = backslashed(tmp.sub("a"));
  ASSERT_EQ(plat_mkdir(dir.c_str()), 0);
  ASSERT_TRUE(is_dir(tmp.sub("a")));

  const std::string file = dir + "\\f.bin";
  FILE *f = plat_fopen(file.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(fwrite("12345", 1, 5, f), 5u);
  fclose(f);
  EXPECT_EQ(read_all(tmp.sub("a/f.bin")), "12345");

  int d = -1;
  int64_t size = -1;
  ASSERT_EQ(plat_attr(file.c_str(), &d, &size), 0);
  EXPECT_EQ(d, 0);
  EXPECT_EQ(size, 5);
  ASSERT_EQ(plat_attr(dir.c_str(), &d, nullptr), 0);
  EXPECT_EQ(d, 1);

  // Mixed separators and a doubled separator still name the same file.
  const std::string mixed = tmp.path() + "/a\\\\f.bin";
  EXPECT_EQ(plat_attr(mixed.c_str(), nullptr, &size), 0);
  EXPECT_EQ(enumerate(dir).count("f.bin"), 1u);

  const std::string moved = dir + "\\g.bin";
  ASSERT_EQ(plat_rename_noreplace(file.c_str(), moved.c_str()), 0);
  EXPECT_EQ(read_all(tmp.sub("a/g.bin")), "12345");
  ASSERT_EQ(plat_remove(moved.c_str()), 0);
  ASSERT_EQ(plat_rmdir(dir.c_str()), 0);
  EXPECT_FALSE(exists(tmp.sub("a")));
}

TEST_F(PlatformTest, AbsentPathsAndTooLongPathsFailWithErrno) {
  errno = 0;
  EXPECT_EQ(plat_attr(tmp.sub("none").c_str(), nullptr, nullptr), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(plat_dir_open(tmp.sub("none").c_str()), nullptr);
  write_all(tmp.sub("file"), "x");
  EXPECT_EQ(plat_dir_open(tmp.sub("file").c_str()), nullptr);

  const std::string long_path(PLAT_PATH_MAX, 'a');
  errno = 0;
  EXPECT_EQ(plat_mkdir(long_path.c_str()), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_EQ(plat_fopen(long_path.c_str(), "rb"), nullptr);
  EXPECT_EQ(plat_attr(nullptr, nullptr, nullptr), -1);
}

TEST_F(PlatformTest, RenameNoReplaceRefusesAnExistingTargetAndKeepsIt) {
  write_all(tmp.sub("from"), "new bytes");
  write_all(tmp.sub("to"), "stored bytes");
  errno = 0;
  EXPECT_EQ(plat_rename_noreplace(tmp.sub("from").c_str(), tmp.sub("to").c_str()), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(read_all(tmp.sub("to")), "stored bytes");
  EXPECT_EQ(read_all(tmp.sub("from")), "new bytes");

  // An absent target is simply taken.
  ASSERT_EQ(plat_rename_noreplace(tmp.sub("from").c_str(), tmp.sub("free").c_str()), 0);
  EXPECT_FALSE(exists(tmp.sub("from")));
  EXPECT_EQ(read_all(tmp.sub("free")), "new bytes");

  // An absent source fails without creating the target.
  EXPECT_EQ(plat_rename_noreplace(tmp.sub("from").c_str(), tmp.sub("other").c_str()), -1);
  EXPECT_FALSE(exists(tmp.sub("other")));
}

TEST_F(PlatformTest, RenameReplaceReplacesAnExistingTarget) {
  write_all(tmp.sub("from"), "new");
  write_all(tmp.sub("to"), "old and longer");
  ASSERT_EQ(plat_rename_replace(tmp.sub("from").c_str(), tmp.sub("to").c_str()), 0);
  EXPECT_FALSE(exists(tmp.sub("from")));
  EXPECT_EQ(read_all(tmp.sub("to")), "new");
}

TEST_F(PlatformTest, MkdirReportsEexistForAnyExistingEntry) {
  ASSERT_EQ(plat_mkdir(tmp.sub("d").c_str()), 0);
  errno = 0;
  EXPECT_EQ(plat_mkdir(tmp.sub("d").c_str()), -1);
  EXPECT_EQ(errno, EEXIST);
  write_all(tmp.sub("f"), "x");
  errno = 0;
  EXPECT_EQ(plat_mkdir(tmp.sub("f").c_str()), -1);
  EXPECT_EQ(errno, EEXIST);
  errno = 0;
  EXPECT_EQ(plat_mkdir(tmp.sub("no/parent").c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(PlatformTest, RemoveAndRmdirKeepToTheirKind) {
  ASSERT_EQ(plat_mkdir(tmp.sub("d").c_str()), 0);
  write_all(tmp.sub("d/f"), "x");
  EXPECT_EQ(plat_remove(tmp.sub("d").c_str()), -1);  // never a directory
  EXPECT_EQ(plat_rmdir(tmp.sub("d").c_str()), -1);   // not empty
  EXPECT_TRUE(exists(tmp.sub("d/f")));
  ASSERT_EQ(plat_remove(tmp.sub("d/f").c_str()), 0);
  ASSERT_EQ(plat_rmdir(tmp.sub("d").c_str()), 0);
  EXPECT_FALSE(exists(tmp.sub("d")));
}

TEST_F(PlatformTest, ExclusiveCreateNeverTouchesAnExistingFile) {
  write_all(tmp.sub("f"), "keep");
  errno = 0;
  EXPECT_EQ(plat_fopen(tmp.sub("f").c_str(), "wbx"), nullptr);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(read_all(tmp.sub("f")), "keep");

  FILE *f = plat_fopen(tmp.sub("g").c_str(), "wbx");
  ASSERT_NE(f, nullptr);
  fclose(f);
  EXPECT_TRUE(exists(tmp.sub("g")));
}

TEST_F(PlatformTest, EnumerationFlagsDirectoriesAndFollowsLinks) {
  ASSERT_EQ(plat_mkdir(tmp.sub("sub").c_str()), 0);
  write_all(tmp.sub("file"), "x");
  ASSERT_EQ(symlink(tmp.sub("sub").c_str(), tmp.sub("link-to-dir").c_str()), 0);
  ASSERT_EQ(symlink(tmp.sub("file").c_str(), tmp.sub("link-to-file").c_str()), 0);
  ASSERT_EQ(symlink(tmp.sub("gone").c_str(), tmp.sub("dangling").c_str()), 0);

  const std::map<std::string, int> want = {
      {".", 1},    {"..", 1},           {"sub", 1},          {"file", 0},
      {"dangling", 0}, {"link-to-dir", 1}, {"link-to-file", 0},
  };
  EXPECT_EQ(enumerate(backslashed(tmp.path())), want);
  plat_dir_close(nullptr);
}

TEST_F(PlatformTest, EnumerationCutsLongNamesToTheBuffer) {
  write_all(tmp.sub("abcdefgh"), "x");
  plat_dir *d = plat_dir_open(tmp.path().c_str());
  ASSERT_NE(d, nullptr);
  char name[4];
  int flag = 0;
  bool seen = false;
  while (plat_dir_next(d, name, sizeof name, &flag) == 1) seen |= std::string(name) == "abc";
  plat_dir_close(d);
  EXPECT_TRUE(seen);
}

TEST_F(PlatformTest, FailNthFailsExactlyTheNthMutatingCallOnce) {
  // Reads do not count; the armed failure hits the third mutating call only.
  write_all(tmp.sub("src"), "data");
  plat_test_fail_nth(3, EIO);
  EXPECT_EQ(plat_attr(tmp.sub("src").c_str(), nullptr, nullptr), 0);
  FILE *r = plat_fopen(tmp.sub("src").c_str(), "rb");
  ASSERT_NE(r, nullptr);
  fclose(r);
  EXPECT_EQ(plat_mkdir(tmp.sub("one").c_str()), 0);
  EXPECT_EQ(plat_mkdir(tmp.sub("two").c_str()), 0);
  errno = 0;
  EXPECT_EQ(plat_rename_noreplace(tmp.sub("src").c_str(), tmp.sub("dst").c_str()), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_TRUE(exists(tmp.sub("src")));
  EXPECT_FALSE(exists(tmp.sub("dst")));
  EXPECT_EQ(plat_rename_noreplace(tmp.sub("src").c_str(), tmp.sub("dst").c_str()), 0);
}

TEST_F(PlatformTest, FailNthCoversEveryMutatingCall) {
  struct Case {
    const char *what;
    int (*call)(const TempDir &);
    const char *must_still_exist;  // what the failed call would have changed
  };
  static const Case cases[] = {
      {"mkdir", [](const TempDir &t) { return plat_mkdir(t.sub("newdir").c_str()); }, nullptr},
      {"rmdir", [](const TempDir &t) { return plat_rmdir(t.sub("dir").c_str()); }, "dir"},
      {"remove", [](const TempDir &t) { return plat_remove(t.sub("file").c_str()); }, "file"},
      {"rename_noreplace",
       [](const TempDir &t) {
         return plat_rename_noreplace(t.sub("file").c_str(), t.sub("moved").c_str());
       },
       "file"},
      {"rename_replace",
       [](const TempDir &t) {
         return plat_rename_replace(t.sub("file").c_str(), t.sub("moved").c_str());
       },
       "file"},
      {"fopen wb",
       [](const TempDir &t) {
         FILE *f = plat_fopen(t.sub("file").c_str(), "wb");
         if (f) fclose(f);
         return f ? 0 : -1;
       },
       "file"},
      {"fopen ab",
       [](const TempDir &t) {
         FILE *f = plat_fopen(t.sub("new").c_str(), "ab");
         if (f) fclose(f);
         return f ? 0 : -1;
       },
       nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir t;
    ASSERT_EQ(mkdir(t.sub("dir").c_str(), 0777), 0);
    write_all(t.sub("file"), "content");
    plat_test_fail_nth(1, EACCES);
    errno = 0;
    EXPECT_EQ(c.call(t), -1);
    EXPECT_EQ(errno, EACCES);
    if (c.must_still_exist) {
      EXPECT_TRUE(exists(t.sub(c.must_still_exist)));
    }
    EXPECT_EQ(read_all(t.sub("file")), "content");
    EXPECT_FALSE(exists(t.sub("newdir")));
    EXPECT_FALSE(exists(t.sub("new")));
    // Once only: the same call now goes through.
    EXPECT_EQ(c.call(t), 0);
  }
}

TEST_F(PlatformTest, FailNthZeroDisarms) {
  plat_test_fail_nth(1, EIO);
  plat_test_fail_nth(0, 0);
  EXPECT_EQ(plat_mkdir(tmp.sub("d").c_str()), 0);
}

TEST_F(PlatformTest, FileLengthTimeRandomAndPid) {
  write_all(tmp.sub("f"), std::string(70000, 'z'));
  FILE *f = plat_fopen(tmp.sub("f").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  char c;
  ASSERT_EQ(fread(&c, 1, 1, f), 1u);
  EXPECT_EQ(plat_file_length(f), 70000);
  EXPECT_EQ(ftell(f), 1);  // position kept
  fclose(f);
  EXPECT_EQ(plat_file_length(nullptr), -1);

  EXPECT_GT(plat_time(), 1600000000);  // after 2020
  unsigned char a[32] = {0}, b[32] = {0};
  ASSERT_EQ(plat_random(a, sizeof a), 0);
  ASSERT_EQ(plat_random(b, sizeof b), 0);
  EXPECT_NE(std::string(reinterpret_cast<char *>(a), 32),
            std::string(reinterpret_cast<char *>(b), 32));
  EXPECT_EQ(plat_pid(), static_cast<unsigned long>(getpid()));
}

}  // namespace
