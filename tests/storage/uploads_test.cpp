// Blob upload sessions: start, append, finish and cancel, checked through the
// session and blob files on disk; the failure paths keep or drop the session
// as they should, and sessions finishing the same content at once all
// succeed with one stored blob.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <functional>
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
using testsupport::list_tree;
using testsupport::make_dirs;
using testsupport::read_all;
using testsupport::sha256_digest;
using testsupport::varied_bytes;
using testsupport::write_all;

namespace {

using storagetest::kNotReady;
using storagetest::last_error;
using storagetest::mkdir_calls;

const std::string kWellFormedId = "0123abcd-4567-89ef-0123-456789abcdef";

// The identifiers the generator makes next, without advancing it.
std::vector<std::string> next_ids(int n) {
  const uint32_t saved = regst::s_seed;
  std::vector<std::string> ids;
  for (int i = 0; i < n; i++) {
    char id[regst::kUuidSize];
    regst::uuid_make(id);
    ids.push_back(id);
  }
  regst::s_seed = saved;
  return ids;
}

class UploadsTest : public storagetest::StorageFixture {
 protected:
  // The session path as the library words it in messages.
  static std::string session_as_named(const std::string &id) {
    char p[regst::kPathSize];
    regst::upload_path_for_uuid(id.c_str(), p, sizeof p);
    return p;
  }
  static std::string blob_as_named(const std::string &digest) {
    char p[regst::kPathSize];
    regst::blob_path_for_digest(digest.c_str(), p, sizeof p);
    return p;
  }

  std::string start() {
    char id[regst::kUuidSize] = {0};
    EXPECT_EQ(reg_blob_start_upload(id), 0) << last_error();
    return id;
  }
  // A started session holding `content`, appended in pieces of `piece`.
  std::string session_with(const std::string &content, size_t piece = 70000) {
    std::string id = start();
    for (size_t off = 0; off < content.size(); off += piece) {
      const std::string part = content.substr(off, piece);
      EXPECT_EQ(reg_blob_append_chunk(id.c_str(), part.data(), part.size()), 0) << last_error();
    }
    return id;
  }
};

// ---- start -------------------------------------------------------------------

TEST_F(UploadsTest, StartMakesAnEmptySessionUnderANewIdentifier) {
  const std::string a = start(), b = start();
  EXPECT_EQ(a.size(), 36u);
  EXPECT_EQ(regst::uuid_valid(a.c_str()), 1);
  EXPECT_EQ(regst::uuid_valid(b.c_str()), 1);
  EXPECT_NE(a, b);  // one process, two sessions, two names
  std::vector<std::string> want = {a + ".part", b + ".part"};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(list_names(at("uploads")), want);
  EXPECT_TRUE(exists(session_file(a)));
  EXPECT_EQ(read_all(session_file(a)), "");
}

TEST_F(UploadsTest, StartTakesTheNextIdentifierWhenTheNameIsTaken) {
  regst::s_seed = 0x9e3779b9u;
  const std::vector<std::string> ids = next_ids(2);
  ASSERT_EQ(ids[0], "91e3a35b-f173-0dfb-938b-ee4b3dc38bf5");
  write_all(session_file(ids[0]), "someone else's bytes");

  char id[regst::kUuidSize];
  ASSERT_EQ(reg_blob_start_upload(id), 0) << last_error();
  EXPECT_EQ(id, ids[1]);
  EXPECT_EQ(read_all(session_file(ids[0])), "someone else's bytes");
  EXPECT_TRUE(exists(session_file(ids[1])));
  EXPECT_EQ(read_all(session_file(ids[1])), "");
}

TEST_F(UploadsTest, StartGivesUpAfterEightTakenNames) {
  struct Case {
    int taken;
    int want;
  };
  for (const Case c : {Case{7, 0}, Case{8, -1}}) {
    SCOPED_TRACE(c.taken);
    testsupport::remove_tree(at("uploads"));
    make_dirs(at("uploads"));
    regst::s_seed = 1;
    const std::vector<std::string> ids = next_ids(9);
    for (int i = 0; i < c.taken; i++) write_all(session_file(ids[i]), "taken " + std::to_string(i));

    char id[regst::kUuidSize];
    EXPECT_EQ(reg_blob_start_upload(id), c.want);
    // The output holds the last identifier tried either way.
    EXPECT_EQ(id, ids[7]);
    if (c.want == 0) {
      EXPECT_EQ(read_all(session_file(ids[7])), "");
    } else {
      EXPECT_EQ(last_error(), "cannot create upload file: " + session_as_named(ids[7]));
      EXPECT_FALSE(exists(session_file(ids[8])));
    }
    for (int i = 0; i < c.taken; i++) EXPECT_EQ(read_all(session_file(ids[i])), "taken " + std::to_string(i));
  }
}

TEST_F(UploadsTest, StartFailsAtOnceWhenTheFileCannotBeCreated) {
  struct Case {
    const char *what;
    std::function<void()> setup;
  };
  const std::vector<Case> cases = {
      {"create refused", [] { plat_test_fail_nth(1, EACCES); }},
      {"upload area gone", [&] { testsupport::remove_tree(at("uploads")); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<std::string> ids = next_ids(2);
    c.setup();
    char id[regst::kUuidSize];
    EXPECT_EQ(reg_blob_start_upload(id), -1);
    EXPECT_EQ(id, ids[0]);
    EXPECT_EQ(last_error(), "cannot create upload file: " + session_as_named(ids[0]));
    EXPECT_EQ(next_ids(1)[0], ids[1]);  // no second identifier was tried
    EXPECT_EQ(list_names(at("uploads")), std::vector<std::string>{});
  }
}

// ---- append ----------------------------------------------------------------

TEST_F(UploadsTest, AppendAddsChunksAtTheEndInOrder) {
  const std::string id = start();
  const std::string chunks[] = {"first ", "", std::string("\0\r\n", 3), varied_bytes(100000, 1)};
  std::string want;
  for (const std::string &c : chunks) {
    ASSERT_EQ(reg_blob_append_chunk(id.c_str(), c.data(), c.size()), 0) << last_error();
    want += c;
  }
  EXPECT_EQ(read_all(session_file(id)), want);
}

TEST_F(UploadsTest, AppendToAWellFormedIdentifierWithoutSessionStartsOne) {
  struct Case {
    const char *what;
    std::string bytes;
  };
  const Case cases[] = {{"with bytes", "abc"}, {"with no bytes", ""}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    reg_blob_cancel_upload(kWellFormedId.c_str());
    ASSERT_EQ(reg_blob_append_chunk(kWellFormedId.c_str(), c.bytes.data(), c.bytes.size()), 0);
    EXPECT_TRUE(exists(session_file(kWellFormedId)));
    EXPECT_EQ(read_all(session_file(kWellFormedId)), c.bytes);
  }
}

TEST_F(UploadsTest, AppendFailures) {
  const std::string id = session_with("kept");
  struct Case {
    const char *what;
    const char *uuid;
    const void *data;
    size_t len;
    std::string message;
  };
  const Case cases[] = {
      {"null identifier", nullptr, "x", 1, "upload_uuid/data is NULL"},
      {"null bytes", id.c_str(), nullptr, 0, "upload_uuid/data is NULL"},
      {"malformed identifier", "../../../config", "x", 1, "invalid upload uuid"},
      {"uppercase identifier", "0123ABCD-4567-89ef-0123-456789abcdef", "x", 1,
       "invalid upload uuid"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(reg_blob_append_chunk(c.uuid, c.data, c.len), -1);
    EXPECT_EQ(last_error(), c.message);
  }
  EXPECT_EQ(read_all(session_file(id)), "kept");
  EXPECT_EQ(list_names(at("uploads")), std::vector<std::string>{id + ".part"});

  plat_test_fail_nth(1, EACCES);
  EXPECT_EQ(reg_blob_append_chunk(id.c_str(), "x", 1), -1);
  EXPECT_EQ(last_error(), "upload not found: " + id);
  EXPECT_EQ(read_all(session_file(id)), "kept");
}

TEST_F(UploadsTest, AppendReportsBytesThatNeverReachedTheDisk) {
  // A device that is always full: a small chunk fails only when the stream
  // is flushed on close, a large one already in the write.
  if (!exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  for (size_t n : {size_t{10}, size_t{300000}}) {
    SCOPED_TRACE(n);
    const std::string id = start();
    ASSERT_EQ(unlink(session_file(id).c_str()), 0);
    ASSERT_EQ(symlink("/dev/full", session_file(id).c_str()), 0);
    const std::string bytes = varied_bytes(n, 2);
    EXPECT_EQ(reg_blob_append_chunk(id.c_str(), bytes.data(), bytes.size()), -1);
    EXPECT_EQ(last_error(), "write error appending chunk");
  }
}

// ---- finish ------------------------------------------------------------------

TEST_F(UploadsTest, FinishMovesTheSessionIntoTheBlobStore) {
  struct Case {
    const char *what;
    std::string content;
  };
  const Case cases[] = {
      {"empty", ""},
      {"small", "hello, registry\n"},
      {"several 64 KiB pieces", varied_bytes(3 * 65536 + 17, 3)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string digest = sha256_digest(c.content);
    const std::string id = session_with(c.content);
    char out[100];
    memset(out, '#', sizeof out);
    ASSERT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), 0) << last_error();
    EXPECT_EQ(std::string(out), digest);
    EXPECT_EQ(out[72], '#');  // 72 bytes written at most
    EXPECT_FALSE(exists(session_file(id)));
    EXPECT_TRUE(exists(blob_file(digest)));
    EXPECT_EQ(read_all(blob_file(digest)), c.content);
  }
  EXPECT_EQ(list_names(at("uploads")), std::vector<std::string>{});
  // The empty blob, at the well-known digest of the empty message.
  EXPECT_TRUE(exists(at("blobs/sha256/e3/"
                             "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855")));
}

TEST_F(UploadsTest, FinishWithAMalformedDigestLeavesTheSessionAsItWas) {
  const std::string content = "layer";
  const std::string id = session_with(content);
  std::string upper = sha256_digest(content);
  for (size_t i = 7; i < upper.size(); i++) upper[i] = static_cast<char>(toupper(upper[i]));
  for (const std::string &digest : {upper, std::string("sha512:") + sha256_digest(content).substr(7),
                                    sha256_digest(content).substr(0, 70)}) {
    SCOPED_TRACE(digest);
    char out[72] = "untouched";
    EXPECT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), -1);
    EXPECT_EQ(last_error(), "invalid expected digest");
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(read_all(session_file(id)), content);
  }
}

TEST_F(UploadsTest, FinishWithTheWrongDigestEndsTheSession) {
  const std::string id = session_with("actual bytes");
  const std::string expected = sha256_digest("other bytes");
  char out[72] = "untouched";
  EXPECT_EQ(reg_blob_finish_upload(id.c_str(), expected.c_str(), out), -1);
  EXPECT_EQ(last_error(),
            "digest mismatch: expected " + expected + ", got " + sha256_digest("actual bytes"));
  EXPECT_STREQ(out, "untouched");
  EXPECT_FALSE(exists(session_file(id)));
  EXPECT_EQ(list_tree(at("blobs")), std::vector<std::string>{});

  EXPECT_EQ(reg_blob_finish_upload(id.c_str(), expected.c_str(), out), -1);
  EXPECT_EQ(last_error(), "upload not found: " + id);
}

TEST_F(UploadsTest, FinishOfStoredContentDropsTheSessionAndKeepsTheBlob) {
  const std::string content = varied_bytes(5000, 4);
  const std::string digest = sha256_digest(content);
  char out[72];
  ASSERT_EQ(reg_blob_finish_upload(session_with(content).c_str(), digest.c_str(), out), 0);
  struct stat before;
  ASSERT_EQ(stat(blob_file(digest).c_str(), &before), 0);

  const std::string id = session_with(content);
  memset(out, 0, sizeof out);
  ASSERT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), 0) << last_error();
  EXPECT_EQ(std::string(out), digest);
  EXPECT_FALSE(exists(session_file(id)));
  struct stat after;
  ASSERT_EQ(stat(blob_file(digest).c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);  // the stored file itself, not a replacement
  EXPECT_EQ(read_all(blob_file(digest)), content);
}

TEST_F(UploadsTest, BlobsWithTheSameFirstDigitsShareOneShard) {
  const std::string first = "shard-0";
  const std::string pair = sha256_digest(first).substr(7, 2);
  std::string second;
  for (int i = 1; second.empty(); i++) {
    const std::string candidate = "shard-" + std::to_string(i);
    if (sha256_digest(candidate).substr(7, 2) == pair) second = candidate;
  }
  char out[72];
  ASSERT_FALSE(exists(shard_dir(sha256_digest(first))));
  ASSERT_EQ(reg_blob_finish_upload(session_with(first).c_str(), sha256_digest(first).c_str(), out), 0);
  EXPECT_TRUE(is_dir(shard_dir(sha256_digest(first))));
  ASSERT_EQ(reg_blob_finish_upload(session_with(second).c_str(), sha256_digest(second).c_str(), out),
            0)
      << last_error();
  std::vector<std::string> want = {sha256_digest(first).substr(7), sha256_digest(second).substr(7)};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(list_names(shard_dir(sha256_digest(first))), want);
  EXPECT_EQ(list_names(at("blobs/sha256")), std::vector<std::string>{pair});
}

TEST_F(UploadsTest, FinishFailuresInTheStoreKeepTheSession) {
  const std::string content = "bytes to keep";
  const std::string digest = sha256_digest(content);
  const std::string shard_as_made = root() + "/blobs/sha256/" + digest.substr(7, 2);
  struct Case {
    const char *what;
    std::function<void()> setup;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"shard cannot be made", [&] { plat_test_fail_nth(mkdir_calls(shard_as_made), EACCES); },
       "mkdirs blob dir failed"},
      {"algorithm directory is a file",
       [&] {
         testsupport::remove_tree(at("blobs/sha256"));
         write_all(at("blobs/sha256"), "x");
       },
       "mkdirs blob dir failed"},
      {"move fails", [&] { plat_test_fail_nth(mkdir_calls(shard_as_made) + 1, EIO); },
       "rename to CAS failed: " + blob_as_named(digest)},
      {"move fails, refused as existing, blob still absent",
       [&] { plat_test_fail_nth(mkdir_calls(shard_as_made) + 1, EEXIST); },
       "rename to CAS failed: " + blob_as_named(digest)},
      {"shard name is a file", [&] { write_all(shard_dir(digest), "x"); },
       "rename to CAS failed: " + blob_as_named(digest)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::remove_tree(at("blobs"));
    make_dirs(at("blobs/sha256"));
    const std::string id = session_with(content);
    c.setup();
    char out[72] = "untouched";
    EXPECT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), -1);
    plat_test_fail_nth(0, 0);
    EXPECT_EQ(last_error(), c.message);
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(read_all(session_file(id)), content);
    EXPECT_FALSE(exists(blob_file(digest)));
    reg_blob_cancel_upload(id.c_str());
  }
  // With the store sound again the same session finishes.
  testsupport::remove_tree(at("blobs"));
  make_dirs(at("blobs/sha256"));
  const std::string id = session_with(content);
  plat_test_fail_nth(mkdir_calls(shard_as_made) + 1, EIO);
  char out[72];
  ASSERT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), -1);
  ASSERT_EQ(reg_blob_finish_upload(id.c_str(), digest.c_str(), out), 0) << last_error();
  EXPECT_EQ(read_all(blob_file(digest)), content);
}

TEST_F(UploadsTest, FinishKeepsASessionThatCannotBeRead) {
  // Reading /proc/self/mem from its start fails with an I/O error.
  if (!exists("/proc/self/mem")) GTEST_SKIP() << "no /proc/self/mem";
  const std::string id = start();
  ASSERT_EQ(unlink(session_file(id).c_str()), 0);
  ASSERT_EQ(symlink("/proc/self/mem", session_file(id).c_str()), 0);
  char out[72] = "untouched";
  EXPECT_EQ(reg_blob_finish_upload(id.c_str(), sha256_digest("").c_str(), out), -1);
  EXPECT_EQ(last_error(), "hashing upload failed");
  EXPECT_STREQ(out, "untouched");
  EXPECT_TRUE(exists(session_file(id)));
}

TEST_F(UploadsTest, SessionsFinishingTheSameContentAtOnceAllSucceed) {
  // Every child finishes its own session holding the same bytes, all
  // released together; they race between testing for the blob and moving
  // their file into its place.
  constexpr int kChildren = 8;
  for (int round = 0; round < 6; round++) {
    SCOPED_TRACE(round);
    const std::string content = varied_bytes(200000 + round, 10 + round);
    const std::string digest = sha256_digest(content);
    std::vector<std::string> ids;
    for (int i = 0; i < kChildren; i++) ids.push_back(session_with(content, 200000));

    int gate[2], report[2];
    ASSERT_EQ(pipe(gate), 0);
    ASSERT_EQ(pipe(report), 0);
    std::vector<pid_t> pids;
    for (int i = 0; i < kChildren; i++) {
      pid_t pid = fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        close(gate[1]);
        close(report[0]);
        char c;
        while (read(gate[0], &c, 1) < 0 && errno == EINTR) {
        }
        char out[72] = "";
        int rc = reg_blob_finish_upload(ids[i].c_str(), digest.c_str(), out);
        char line[1200];
        int n = snprintf(line, sizeof line, "%d %s %s\n", rc, out, reg_storage_last_error());
        if (write(report[1], line, static_cast<size_t>(n)) != n) _exit(2);
        _exit(0);
      }
      pids.push_back(pid);
    }
    close(gate[0]);
    close(report[1]);
    close(gate[1]);  // opens the gate for every child at once
    std::string lines;
    char buf[4096];
    for (ssize_t n; (n = read(report[0], buf, sizeof buf)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      ASSERT_GT(n, 0);
      lines.append(buf, static_cast<size_t>(n));
    }
    close(report[0]);
    for (pid_t pid : pids) {
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    std::string want;
    for (int i = 0; i < kChildren; i++) want += "0 " + digest + " \n";
    EXPECT_EQ(lines, want);
    EXPECT_EQ(list_names(at("uploads")), std::vector<std::string>{});
    EXPECT_EQ(list_names(shard_dir(digest)), std::vector<std::string>{digest.substr(7)});
    EXPECT_EQ(read_all(blob_file(digest)), content);
  }
}

// ---- cancel ------------------------------------------------------------------

TEST_F(UploadsTest, CancelRemovesTheSession) {
  const std::string id = session_with("abandoned");
  ASSERT_EQ(reg_blob_cancel_upload(id.c_str()), 0);
  EXPECT_FALSE(exists(session_file(id)));
  // Cancelling what is not there counts as cancelled.
  EXPECT_EQ(reg_blob_cancel_upload(id.c_str()), 0);
  EXPECT_EQ(reg_blob_cancel_upload(kWellFormedId.c_str()), 0);
}

TEST_F(UploadsTest, CancelFailures) {
  const std::string id = session_with("kept");
  EXPECT_EQ(reg_blob_cancel_upload(nullptr), -1);
  EXPECT_EQ(last_error(), "upload_uuid is NULL");
  for (const std::string &bad : {"{" + id + "}", id.substr(1), std::string("../config.json")}) {
    EXPECT_EQ(reg_blob_cancel_upload(bad.c_str()), -1);
    EXPECT_EQ(last_error(), "invalid upload uuid");
  }
  plat_test_fail_nth(1, EACCES);
  EXPECT_EQ(reg_blob_cancel_upload(id.c_str()), -1);
  EXPECT_EQ(last_error(), "cancel failed");
  EXPECT_EQ(read_all(session_file(id)), "kept");
}

// ---- order of the checks -------------------------------------------------------

TEST_F(UploadsTest, NullArgumentsAreReportedBeforeTheStoreIsAskedAndAnythingTouched) {
  const std::string digest = sha256_digest("x");
  char buf[72];
  struct Case {
    const char *what;
    std::function<int()> call;
    const char *ready_message;  // with a store that is ready
    const char *unready_message;
  };
  const char *id = kWellFormedId.c_str();
  const std::vector<Case> cases = {
      {"start, null output", [&] { return reg_blob_start_upload(nullptr); },
       "out_upload_uuid is NULL", "out_upload_uuid is NULL"},
      {"start", [&] { return reg_blob_start_upload(buf); }, nullptr, kNotReady},
      {"append, null identifier", [&] { return reg_blob_append_chunk(nullptr, "x", 1); },
       "upload_uuid/data is NULL", "upload_uuid/data is NULL"},
      {"append", [&] { return reg_blob_append_chunk(id, "x", 1); }, nullptr, kNotReady},
      {"append, malformed", [&] { return reg_blob_append_chunk("nope", "x", 1); },
       "invalid upload uuid", kNotReady},
      {"finish, null identifier",
       [&] { return reg_blob_finish_upload(nullptr, digest.c_str(), buf); }, "NULL argument",
       "NULL argument"},
      {"finish, null digest", [&] { return reg_blob_finish_upload(id, nullptr, buf); },
       "NULL argument", "NULL argument"},
      {"finish, null output", [&] { return reg_blob_finish_upload(id, digest.c_str(), nullptr); },
       "NULL argument", "NULL argument"},
      {"finish, malformed identifier and digest",
       [&] { return reg_blob_finish_upload("nope", "nope", buf); }, "invalid upload uuid",
       kNotReady},
      {"finish, no session", [&] { return reg_blob_finish_upload(id, digest.c_str(), buf); },
       nullptr, kNotReady},
      {"cancel, null", [&] { return reg_blob_cancel_upload(nullptr); }, "upload_uuid is NULL",
       "upload_uuid is NULL"},
      {"cancel, malformed", [&] { return reg_blob_cancel_upload("nope"); }, "invalid upload uuid",
       kNotReady},
  };
  reg_storage_cleanup();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.call(), -1);
    EXPECT_EQ(last_error(), c.unready_message);
  }
  EXPECT_EQ(list_tree(root()), std::vector<std::string>{"config.json"});

  ASSERT_EQ(reg_storage_init(root().c_str()), 0);
  for (const Case &c : cases) {
    if (c.ready_message == nullptr) continue;
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.call(), -1);
    EXPECT_EQ(last_error(), c.ready_message);
  }
  EXPECT_EQ(list_tree(root()), std::vector<std::string>{"config.json"});
  EXPECT_EQ(reg_blob_finish_upload(id, digest.c_str(), buf), -1);
  EXPECT_EQ(last_error(), "upload not found: " + kWellFormedId);
}

}  // namespace
