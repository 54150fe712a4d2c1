// Digest strings and upload identifiers: their forms, the generator's known
// outputs, the paths they map to, and the seeding that keeps processes
// started together apart.
#include <string.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform.h"
#include "storage_internal.h"
#include "support.h"

using testsupport::TempDir;

namespace {

const std::string kHex64 = "0f1e2d3c4b5a69788796a5b4c3d2e1f00123456789abcdef0123456789abcdef";
const std::string kId = "91e3a35b-f173-0dfb-938b-ee4b3dc38bf5";

// The first identifier the generator makes from `seed`, leaving s_seed as
// it was.
std::string id_from(uint32_t seed) {
  const uint32_t saved = regst::s_seed;
  regst::s_seed = seed;
  char out[regst::kUuidSize];
  regst::uuid_make(out);
  regst::s_seed = saved;
  return out;
}

TEST(DigestForm, AcceptsOnlySha256AndSixtyFourLowercaseDigits) {
  struct Case {
    const char *what;
    std::string text;
    int want;
  };
  std::string upper_digit = "sha256:" + kHex64;
  upper_digit[7 + 40] = 'A';
  std::string non_ascii = "sha256:" + kHex64;
  non_ascii[7 + 10] = '\xe9';
  const Case cases[] = {
      {"valid", "sha256:" + kHex64, 1},
      {"all zero", "sha256:" + std::string(64, '0'), 1},
      {"63 digits", "sha256:" + kHex64.substr(1), 0},
      {"65 digits", "sha256:" + kHex64 + "0", 0},
      {"an uppercase digit", upper_digit, 0},
      {"prefix in capitals", "SHA256:" + kHex64, 0},
      {"another algorithm", "sha512:" + kHex64, 0},
      {"no prefix", kHex64, 0},
      {"prefix only", "sha256:", 0},
      {"not hex", "sha256:" + std::string(63, 'a') + "g", 0},
      {"byte outside ASCII", non_ascii, 0},
      {"trailing space", "sha256:" + kHex64 + " ", 0},
      {"empty", "", 0},
  };
  for (const Case &c : cases) EXPECT_EQ(regst::digest_valid(c.text.c_str()), c.want) << c.what;
  EXPECT_EQ(regst::digest_valid(nullptr), 0);
}

TEST(DigestForm, BinToHexWritesTwoLowercaseDigitsPerByte) {
  const unsigned char bytes[] = {0x00, 0xab, 0xff};
  char out[7];
  memset(out, '#', sizeof out);
  regst::bin_to_hex(bytes, 3, out);
  EXPECT_STREQ(out, "00abff");
  char one = '#';
  regst::bin_to_hex(bytes, 0, &one);
  EXPECT_EQ(one, '\0');
}

TEST(DigestForm, BlobPathIsRootBlobsSha256ShardDigits) {
  const std::string saved = regst::s_root;
  snprintf(regst::s_root, sizeof regst::s_root, "%s", "D:\\reg");
  char out[regst::kPathSize];
  regst::blob_path_for_digest(("sha256:" + kHex64).c_str(), out, sizeof out);
  EXPECT_EQ(std::string(out), "D:\\reg\\blobs\\sha256\\0f\\" + kHex64);

  char small[12];
  regst::blob_path_for_digest(("sha256:" + kHex64).c_str(), small, sizeof small);
  EXPECT_STREQ(small, "D:\\reg\\blob");  // cut at the buffer's size

  regst::upload_path_for_uuid(kId.c_str(), out, sizeof out);
  EXPECT_EQ(std::string(out), "D:\\reg\\uploads\\" + kId + ".part");
  snprintf(regst::s_root, sizeof regst::s_root, "%s", saved.c_str());
}

TEST(UploadId, AcceptsOnlyTheHyphenatedLowercaseForm) {
  struct Case {
    const char *what;
    std::string text;
    int want;
  };
  std::string upper = kId;
  upper[0] = 'A';
  std::string moved = kId;
  std::swap(moved[8], moved[9]);
  std::string no_hyphens;
  for (char ch : kId)
    if (ch != '-') no_hyphens += ch;
  const Case cases[] = {
      {"valid", kId, 1},
      {"all zero", "00000000-0000-0000-0000-000000000000", 1},
      {"an uppercase digit", upper, 0},
      {"hyphen moved", moved, 0},
      {"32 digits without hyphens", no_hyphens, 0},
      {"in braces", "{" + kId + "}", 0},
      {"one short", kId.substr(1), 0},
      {"one long", kId + "0", 0},
      {"a letter beyond f", "91e3a35b-f173-0dfb-938b-ee4b3dc38bg5", 0},
      {"hyphen in a digit position", "91e3a35b-f173-0dfb-938b-ee4b3dc38b-5", 0},
      {"path characters", "../../../../../../../../../../etc/pw", 0},
      {"empty", "", 0},
  };
  for (const Case &c : cases) EXPECT_EQ(regst::uuid_valid(c.text.c_str()), c.want) << c.what;
  EXPECT_EQ(regst::uuid_valid(nullptr), 0);
}

TEST(UploadId, GeneratorStepIsXorshift13_17_5) {
  uint32_t s = 1;
  regst::rng_next(&s);
  EXPECT_EQ(s, 0x42021u);
  s = 0;
  regst::rng_next(&s);
  EXPECT_EQ(s, 0u);
}

TEST(UploadId, KnownSeedsGiveKnownIdentifiers) {
  EXPECT_EQ(id_from(0x9e3779b9u), kId);
  EXPECT_EQ(id_from(1), "12105cf4-1d0d-a12b-5247-bc73a8ea5f1b");
}

TEST(UploadId, EveryIdentifierIsNewAndWellFormed) {
  const uint32_t saved = regst::s_seed;
  regst::s_seed = 0x9e3779b9u;
  std::set<std::string> seen;
  for (int i = 0; i < 2000; i++) {
    char out[regst::kUuidSize + 1];
    out[regst::kUuidSize] = '#';
    regst::uuid_make(out);
    EXPECT_EQ(out[regst::kUuidSize], '#');  // 36 characters and a NUL, no more
    ASSERT_EQ(regst::uuid_valid(out), 1) << out;
    if (i == 0) {
      EXPECT_STREQ(out, kId.c_str());
    }
    EXPECT_TRUE(seen.insert(out).second) << "repeated " << out;
  }
  regst::s_seed = saved;
}

TEST(UploadId, ProcessesInitialisedInTheSameSecondMakeDifferentIdentifiers) {
  // Forked children share the address of the generator state; only the
  // random part of the seed tells two of them apart within one second.
  TempDir tmp;
  auto first_id = [&] {
    return testsupport::run_in_child([&] {
      if (reg_storage_init(tmp.path().c_str()) != 0) return;
      char id[regst::kUuidSize];
      regst::uuid_make(id);
      printf("%lld %s", static_cast<long long>(plat_time()), id);
    });
  };
  int same_second = 0;
  for (int round = 0; round < 20 && same_second < 3; round++) {
    const auto a = first_id(), b = first_id();
    ASSERT_EQ(a.out.size(), b.out.size());
    ASSERT_GT(a.out.size(), 36u) << a.err;
    if (a.out.substr(0, a.out.size() - 36) != b.out.substr(0, b.out.size() - 36)) continue;
    same_second++;
    EXPECT_NE(a.out, b.out);
  }
  EXPECT_GT(same_second, 0);
}

}  // namespace
