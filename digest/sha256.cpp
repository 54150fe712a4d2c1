/*
 * sha256.cpp - SHA-256 (FIPS 180-4) over memory and over files.
 *
 * The engine keeps no state of its own: everything lives in the caller's
 * sha256_ctx, and the only file-scope data is the read-only round-constant
 * table. Files are opened through the platform seam, which accepts either
 * kind of directory separator.
 */
#include "sha256.h"

#include <stdio.h>
#include <string.h>

#include "platform.h"

namespace {

// Round constants: the first 32 bits of the fractional parts of the cube
// roots of the first 64 primes.
constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// Initial hash value: the first 32 bits of the fractional parts of the square
// roots of the first 8 primes.
constexpr uint32_t H0[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

// sha256_file reads this many bytes at a time into an automatic buffer, so a
// file of any size is hashed in constant memory.
constexpr size_t FILE_CHUNK = 0x10000;

constexpr uint32_t rotr(uint32_t x, unsigned n) { return (x >> n) | (x << (32 - n)); }
constexpr uint32_t ch(uint32_t x, uint32_t y, uint32_t z) { return (x & y) ^ (~x & z); }
constexpr uint32_t maj(uint32_t x, uint32_t y, uint32_t z) { return (x & y) ^ (x & z) ^ (y & z); }
constexpr uint32_t big_sigma0(uint32_t x) { return rotr(x, 2) ^ rotr(x, 13) ^ rotr(x, 22); }
constexpr uint32_t big_sigma1(uint32_t x) { return rotr(x, 6) ^ rotr(x, 11) ^ rotr(x, 25); }
constexpr uint32_t small_sigma0(uint32_t x) { return rotr(x, 7) ^ rotr(x, 18) ^ (x >> 3); }
constexpr uint32_t small_sigma1(uint32_t x) { return rotr(x, 17) ^ rotr(x, 19) ^ (x >> 10); }

inline uint32_t load_be32(const uint8_t *p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

inline void store_be32(uint8_t *p, uint32_t v) {
  p[0] = (uint8_t)(v >> 24);
  p[1] = (uint8_t)(v >> 16);
  p[2] = (uint8_t)(v >> 8);
  p[3] = (uint8_t)v;
}

// The compression function on one 64-byte block: schedule the sixteen
// big-endian words out to 64, run the 64 rounds, add into the chaining value.
void sha256_transform(sha256_ctx *ctx, const uint8_t block[64]) {
  uint32_t w[64];
  for (int i = 0; i < 16; i++) w[i] = load_be32(block + 4 * i);
  for (int i = 16; i < 64; i++)
    w[i] = small_sigma1(w[i - 2]) + w[i - 7] + small_sigma0(w[i - 15]) + w[i - 16];

  uint32_t a = ctx->state[0], b = ctx->state[1], c = ctx->state[2], d = ctx->state[3];
  uint32_t e = ctx->state[4], f = ctx->state[5], g = ctx->state[6], h = ctx->state[7];
  for (int i = 0; i < 64; i++) {
    uint32_t t1 = h + big_sigma1(e) + ch(e, f, g) + K[i] + w[i];
    uint32_t t2 = big_sigma0(a) + maj(a, b, c);
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  ctx->state[0] += a;
  ctx->state[1] += b;
  ctx->state[2] += c;
  ctx->state[3] += d;
  ctx->state[4] += e;
  ctx->state[5] += f;
  ctx->state[6] += g;
  ctx->state[7] += h;
}

}  // namespace

extern "C" void sha256_init(sha256_ctx *ctx) {
  memcpy(ctx->state, H0, sizeof H0);
  ctx->bitlen = 0;
  ctx->datalen = 0;
}

extern "C" void sha256_update(sha256_ctx *ctx, const void *data, size_t len) {
  // An empty update may come with a null pointer; memcpy must not see it.
  if (len == 0) return;
  const uint8_t *p = static_cast<const uint8_t *>(data);
  while (len > 0) {
    size_t n = sizeof ctx->data - ctx->datalen;
    if (n > len) n = len;
    memcpy(ctx->data + ctx->datalen, p, n);
    ctx->datalen += n;
    ctx->bitlen += (uint64_t)n * 8;
    p += n;
    len -= n;
    if (ctx->datalen == sizeof ctx->data) {
      sha256_transform(ctx, ctx->data);
      ctx->datalen = 0;
    }
  }
}

extern "C" void sha256_final(sha256_ctx *ctx, uint8_t out[32]) {
  const uint64_t msg_bits = ctx->bitlen;
  static const uint8_t one = 0x80, zero = 0x00;
  sha256_update(ctx, &one, 1);
  while (ctx->datalen != 56) sha256_update(ctx, &zero, 1);
  uint8_t len_be[8];
  for (int i = 0; i < 8; i++) len_be[i] = (uint8_t)(msg_bits >> (56 - 8 * i));
  sha256_update(ctx, len_be, sizeof len_be);
  for (int i = 0; i < 8; i++) store_be32(out + 4 * i, ctx->state[i]);
}

extern "C" int sha256_file(const char *path, uint8_t out[32]) {
  FILE *f = plat_fopen(path, "rb");
  if (!f) return -1;
  sha256_ctx ctx;
  sha256_init(&ctx);
  uint8_t buf[FILE_CHUNK];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) sha256_update(&ctx, buf, n);
  const bool failed = ferror(f) != 0;
  fclose(f);
  if (failed) return -1;
  sha256_final(&ctx, out);
  return 0;
}
