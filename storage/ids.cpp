// Digest strings and upload identifiers: making, checking and mapping them
// to files in the tree.
#include <stdio.h>
#include <string.h>

#include "storage_internal.h"

namespace regst {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr char kDigestPrefix[] = "sha256:";
constexpr size_t kPrefixLen = sizeof kDigestPrefix - 1;
static_assert(kPrefixLen + 64 + 1 == kDigestSize, "digest buffers hold prefix, 64 digits, NUL");

bool is_lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

bool is_hyphen_pos(size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

}  // namespace

void bin_to_hex(const unsigned char *bytes, size_t count, char *out) {
  for (size_t i = 0; i < count; i++) {
    out[2 * i] = kHexDigits[bytes[i] >> 4];
    out[2 * i + 1] = kHexDigits[bytes[i] & 0x0f];
  }
  out[2 * count] = '\0';
}

int digest_valid(const char *s) {
  if (s == nullptr) return 0;
  if (strncmp(s, kDigestPrefix, kPrefixLen) != 0) return 0;
  const char *hex = s + kPrefixLen;
  if (strlen(hex) != 64) return 0;
  for (size_t i = 0; i < 64; i++)
    if (!is_lower_hex(hex[i])) return 0;
  return 1;
}

void blob_path_for_digest(const char *digest, char *out, size_t size) {
  char blobs[kPathSize], algo[kPathSize], shard[kPathSize];
  const char pair[3] = {digest[7], digest[8], '\0'};
  path_join(blobs, sizeof blobs, s_root, "blobs");
  path_join(algo, sizeof algo, blobs, "sha256");
  path_join(shard, sizeof shard, algo, pair);
  path_join(out, size, shard, digest + kPrefixLen);
}

void rng_next(uint32_t *state) {
  uint32_t x = *state;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  *state = x;
}

void uuid_make(char *out) {
  // Each identifier advances the generator, so every session started in
  // one process gets a new identifier.
  unsigned char bytes[16];
  for (unsigned char &b : bytes) {
    rng_next(&s_seed);
    b = static_cast<unsigned char>(s_seed & 0xff);
  }
  size_t nibble = 0;
  for (size_t i = 0; i < 36; i++) {
    if (is_hyphen_pos(i)) {
      out[i] = '-';
      continue;
    }
    unsigned char b = bytes[nibble / 2];
    // Lower half first: the reverse of bin_to_hex.
    out[i] = kHexDigits[(nibble % 2 == 0) ? (b & 0x0f) : (b >> 4)];
    nibble++;
  }
  out[36] = '\0';
}

int uuid_valid(const char *s) {
  if (s == nullptr || strlen(s) != 36) return 0;
  for (size_t i = 0; i < 36; i++) {
    if (is_hyphen_pos(i) ? s[i] != '-' : !is_lower_hex(s[i])) return 0;
  }
  return 1;
}

void upload_path_for_uuid(const char *uuid, char *out, size_t size) {
  char dir[kPathSize];
  char name[128];
  path_join(dir, sizeof dir, s_root, "uploads");
  snprintf(name, sizeof name, "%s.part", uuid);
  path_join(out, size, dir, name);
}

}  // namespace regst
