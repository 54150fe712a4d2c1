// The store every storage test starts from: a fresh temporary directory with
// the storage initialised at root(), and helpers that lay files out raw on
// disk where the library keeps them, so tests can set up a tree without going
// through the operation under test.
//
// Calling sequence: derive the test class from StorageFixture (use TEST_F);
// SetUp initialises the storage, TearDown clears any injected platform
// failure and releases the storage. Paths use '/' and are absolute.
#ifndef REGISTRY_TESTS_STORAGE_FIXTURE_H
#define REGISTRY_TESTS_STORAGE_FIXTURE_H

#include <string>

#include <gtest/gtest.h>

#include "platform.h"
#include "reg_storage.h"
#include "support.h"

namespace storagetest {

// The last-error text of an operation called before reg_storage_init.
inline constexpr char kNotReady[] = "not initialized - call reg_storage_init first";

inline std::string last_error() { return reg_storage_last_error(); }

// The 64 hex digits of "sha256:<hex>".
inline std::string hex_of(const std::string &digest) { return digest.substr(7); }

// How many directory creations mkdirs makes for an absolute path without a
// drive letter: one per separator after the first character, plus the whole
// path. With it a test aims plat_test_fail_nth at a chosen level, or at the
// first mutating call after them.
inline int mkdir_calls(const std::string &path) {
  int n = 1;
  for (size_t i = 1; i < path.size(); i++) n += path[i] == '/' || path[i] == '\\';
  return n;
}

class StorageFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << last_error();
  }
  void TearDown() override {
    plat_test_fail_nth(0, 0);
    reg_storage_cleanup();
  }

  // The storage root: a directory of its own inside the temporary one, so a
  // test may remove or replace it whole.
  const std::string &root() const { return root_; }
  // root() + "/" + rel
  std::string at(const std::string &rel) const { return root_ + "/" + rel; }

  // Where the blob `digest` lives: root/blobs/sha256/<first two digits>/<64 digits>.
  std::string shard_dir(const std::string &digest) const {
    return at("blobs/sha256/" + hex_of(digest).substr(0, 2));
  }
  std::string blob_file(const std::string &digest) const {
    return shard_dir(digest) + "/" + hex_of(digest);
  }
  // Where the upload session `id` keeps its bytes: root/uploads/<id>.part.
  std::string session_file(const std::string &id) const { return at("uploads/" + id + ".part"); }

  // Writes `content` at root/rel, creating the directories above it.
  void put_file(const std::string &rel, const std::string &content) const {
    const std::string path = at(rel);
    testsupport::make_dirs(path.substr(0, path.rfind('/')));
    testsupport::write_all(path, content);
  }
  // Stores `content` the way a finished upload leaves it; gives its digest
  // (computed independently of the library).
  std::string put_blob(const std::string &content) const {
    const std::string digest = testsupport::sha256_digest(content);
    testsupport::make_dirs(shard_dir(digest));
    testsupport::write_all(blob_file(digest), content);
    return digest;
  }
  // An upload session `id` holding `content`, as an interrupted upload leaves it.
  void put_session(const std::string &id, const std::string &content) const {
    put_file("uploads/" + id + ".part", content);
  }

 private:
  testsupport::TempDir tmp_;
  std::string root_ = tmp_.sub("store");
};

}  // namespace storagetest

#endif
