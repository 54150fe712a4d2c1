// The digest engine against the FIPS 180-4 examples and against OpenSSL, on
// each of its compression functions, and the two compression functions
// against each other.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "sha256.h"
#include "sha256_engine.h"
#include "support.h"

namespace {

using testsupport::sha256_digest;

std::string to_digest(const uint8_t md[32]) {
  static const char hex[] = "0123456789abcdef";
  std::string s = "sha256:";
  for (int i = 0; i < 32; i++) {
    s += hex[md[i] >> 4];
    s += hex[md[i] & 15];
  }
  return s;
}

// Hashes `msg` handed to sha256_update in pieces of the given sizes (the
// last piece takes whatever is left).
std::string hash_pieces(const std::string &msg, const std::vector<size_t> &pieces = {}) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  size_t off = 0;
  for (size_t n : pieces) {
    if (n > msg.size() - off) n = msg.size() - off;
    sha256_update(&ctx, msg.data() + off, n);
    off += n;
  }
  sha256_update(&ctx, msg.data() + off, msg.size() - off);
  uint8_t md[32];
  sha256_final(&ctx, md);
  return to_digest(md);
}

std::string hash_bytewise(const std::string &msg) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  for (char c : msg) sha256_update(&ctx, &c, 1);
  uint8_t md[32];
  sha256_final(&ctx, md);
  return to_digest(md);
}

// Bytes that differ from position to position and from block to block.
std::string pattern(size_t n, unsigned salt = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = (char)((i * 131 + (i >> 8) * 7 + salt) & 0xff);
  return s;
}

bool cpu_has_sha_ni() {
#if defined(__x86_64__) || defined(__i386__)
  return __builtin_cpu_supports("sha") && __builtin_cpu_supports("sse4.1");
#else
  return false;
#endif
}

// Every case runs once per compression function; the SHA-extension run is
// skipped where this build or CPU lacks them.
class Sha256 : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    sha256_force_portable(GetParam() == "portable");
    if (GetParam() != sha256_engine_name()) GTEST_SKIP() << GetParam() << " is not available here";
  }
  void TearDown() override { sha256_force_portable(0); }
};

class Sha256File : public Sha256 {};

std::string engine_param_name(const ::testing::TestParamInfo<std::string> &info) {
  return info.param == "sha-ni" ? "ShaNi" : "Portable";
}

INSTANTIATE_TEST_SUITE_P(Engines, Sha256, ::testing::Values("portable", "sha-ni"), engine_param_name);
INSTANTIATE_TEST_SUITE_P(Engines, Sha256File, ::testing::Values("portable", "sha-ni"),
                         engine_param_name);

TEST_P(Sha256, FipsExamplesGiveTheStandardDigests) {
  struct Case {
    std::string msg;
    const char *digest;
  };
  const Case cases[] = {
      {"", "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "sha256:248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
       "mnopqrstnopqrstu",
       "sha256:cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'),
       "sha256:cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("length " + std::to_string(c.msg.size()));
    EXPECT_EQ(hash_pieces(c.msg), c.digest);
    EXPECT_EQ(hash_bytewise(c.msg), c.digest);
  }
}

// Lengths around the padding boundaries: 55 bytes still fit the length field
// into the last block, 56 need a second padding block, 64 and 65 cross into
// the next block.
TEST_P(Sha256, LengthsAroundTheBlockBoundaryMatchOpenSsl) {
  for (size_t n : {0, 1, 3, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129}) {
    SCOPED_TRACE("length " + std::to_string(n));
    const std::string msg = pattern(n);
    const std::string want = sha256_digest(msg);
    EXPECT_EQ(hash_pieces(msg), want);
    EXPECT_EQ(hash_bytewise(msg), want);
  }
}

TEST_P(Sha256, EmptyUpdatesChangeNothing) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, nullptr, 0);
  sha256_update(&ctx, "ab", 2);
  sha256_update(&ctx, nullptr, 0);
  sha256_update(&ctx, "c", 1);
  uint8_t md[32];
  sha256_final(&ctx, md);
  EXPECT_EQ(to_digest(md), sha256_digest("abc"));
}

TEST_P(Sha256, ContextsAreIndependent) {
  // Two messages hashed interleaved on two contexts.
  const std::string a = pattern(1000, 1), b = pattern(777, 2);
  sha256_ctx ca, cb;
  sha256_init(&ca);
  sha256_init(&cb);
  for (size_t off = 0; off < 1000; off += 100) {
    sha256_update(&ca, a.data() + off, 100);
    if (off < b.size()) sha256_update(&cb, b.data() + off, off + 100 <= b.size() ? 100 : b.size() - off);
  }
  uint8_t ma[32], mb[32];
  sha256_final(&ca, ma);
  sha256_final(&cb, mb);
  EXPECT_EQ(to_digest(ma), sha256_digest(a));
  EXPECT_EQ(to_digest(mb), sha256_digest(b));
}

TEST_P(Sha256, RandomMessagesAndSplitsMatchOpenSsl) {
  const uint64_t seed = 0x5eed2024;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  const size_t max_len = 4u << 20;
  for (int round = 0; round < 60; round++) {
    // Half the lengths small (padding and block edges), half up to 4 MiB.
    size_t len = round % 2 ? rng() % 300 : rng() % (max_len + 1);
    std::string msg(len, '\0');
    for (auto &c : msg) c = (char)rng();
    std::vector<size_t> pieces;
    for (size_t left = len; left > 0 && pieces.size() < 40;) {
      size_t n = rng() % 3 == 0 ? rng() % 130 : rng() % (left + 1);
      pieces.push_back(n);
      left -= n < left ? n : left;
    }
    SCOPED_TRACE("round " + std::to_string(round) + " length " + std::to_string(len));
    ASSERT_EQ(hash_pieces(msg, pieces), sha256_digest(msg));
  }
}

TEST_P(Sha256File, FilesAcrossTheReadChunkMatchOpenSsl) {
  testsupport::TempDir dir;
  for (size_t n : {0, 1, 65535, 65536, 65537, 3 * 65536 + 100}) {
    SCOPED_TRACE("file of " + std::to_string(n) + " bytes");
    const std::string data = pattern(n, (unsigned)n);
    const std::string path = dir.sub("f" + std::to_string(n));
    testsupport::write_all(path, data);
    uint8_t md[32];
    ASSERT_EQ(sha256_file(path.c_str(), md), 0);
    EXPECT_EQ(to_digest(md), sha256_digest(data));
  }
}

TEST_P(Sha256File, BackslashesSeparateDirectories) {
  testsupport::TempDir dir;
  testsupport::make_dirs(dir.sub("a/b"));
  testsupport::write_all(dir.sub("a/b/blob"), "abc");
  const std::string path = dir.path() + "\\a\\b\\blob";
  uint8_t md[32];
  ASSERT_EQ(sha256_file(path.c_str(), md), 0);
  EXPECT_EQ(to_digest(md), sha256_digest("abc"));
}

TEST_P(Sha256File, UnreadablePathsFailAndLeaveTheOutputUntouched) {
  testsupport::TempDir dir;
  testsupport::make_dirs(dir.sub("subdir"));
  // A missing file cannot be opened; a directory opens but cannot be read.
  for (const std::string &path : {dir.sub("missing"), dir.sub("no/such/dir/file"), dir.sub("subdir")}) {
    SCOPED_TRACE(path);
    uint8_t md[32];
    memset(md, 0xa5, sizeof md);
    EXPECT_EQ(sha256_file(path.c_str(), md), -1);
    for (uint8_t b : md) ASSERT_EQ(b, 0xa5);
  }
}

// Hashes `msg` in the given pieces on the portable and on the SHA-extension
// compression function.
void hash_both(const std::string &msg, const std::vector<size_t> &pieces, std::string *portable,
               std::string *sha_ni) {
  sha256_force_portable(1);
  *portable = hash_pieces(msg, pieces);
  sha256_force_portable(0);
  *sha_ni = hash_pieces(msg, pieces);
}

TEST(Sha256Engines, BothCompressionFunctionsAgree) {
  sha256_force_portable(0);
  if (std::string(sha256_engine_name()) != "sha-ni") GTEST_SKIP() << "no SHA extensions here";
  const uint64_t seed = 0xd16e57;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  // Every length up to four blocks, then random lengths up to 2 MiB; split
  // points fall inside blocks, on block edges and at odd addresses.
  for (int round = 0; round < 400; round++) {
    size_t len = round < 260 ? (size_t)round : rng() % ((2u << 20) + 1);
    std::string msg(len, '\0');
    for (auto &c : msg) c = (char)rng();
    std::vector<size_t> pieces;
    for (size_t left = len; left > 0 && pieces.size() < 64;) {
      size_t n;
      switch (rng() % 4) {
        case 0: n = rng() % 64; break;
        case 1: n = 64 * (rng() % 8); break;
        default: n = rng() % (left + 1); break;
      }
      pieces.push_back(n);
      left -= n < left ? n : left;
    }
    std::string portable, sha_ni;
    hash_both(msg, pieces, &portable, &sha_ni);
    SCOPED_TRACE("round " + std::to_string(round) + " length " + std::to_string(len));
    ASSERT_EQ(portable, sha_ni);
    if (round % 25 == 0) {
      ASSERT_EQ(portable, sha256_digest(msg));
    }
  }
  sha256_force_portable(0);
}

// The environment variable, read when the choice is made, forces the
// portable code; without it the SHA extensions are used where the CPU has
// them. Run in a child so that this process's choice stays as it was.
TEST(Sha256Engines, EnvironmentSelectsTheCompressionFunction) {
  const std::string fast = cpu_has_sha_ni() ? "sha-ni" : "portable";
  struct Case {
    const char *value;  // "" unsets the variable
    std::string engine;
  };
  const Case cases[] = {{"1", "portable"}, {"yes", "portable"}, {"0", fast}, {"", fast}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string("REGISTRY_SHA256_PORTABLE=") + c.value);
    auto r = testsupport::run_in_child(
        [] {
          sha256_force_portable(0);
          const char *name = sha256_engine_name();
          // The choice stays once made, whatever the environment does later.
          unsetenv("REGISTRY_SHA256_PORTABLE");
          uint8_t md[32];
          sha256_ctx ctx;
          sha256_init(&ctx);
          sha256_update(&ctx, "abc", 3);
          sha256_final(&ctx, md);
          printf("%s %s %s", name, sha256_engine_name(), to_digest(md).c_str());
        },
        {{"REGISTRY_SHA256_PORTABLE", c.value}});
    EXPECT_EQ(r.out, c.engine + " " + c.engine + " " + sha256_digest("abc"));
  }
}

}  // namespace
