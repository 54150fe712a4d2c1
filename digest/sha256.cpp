/*
 * sha256.cpp - SHA-256 (FIPS 180-4) over memory and over files.
 *
 * The engine keeps no state of its own: everything lives in the caller's
 * sha256_ctx, and the only file-scope data is the read-only round-constant
 * table and the process-wide choice of compression function (see
 * sha256_engine.h). Files are opened through the platform seam, which
 * accepts either kind of directory separator.
 */
#include "sha256.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "platform.h"
#include "sha256_engine.h"

#if SHA256_HAVE_NI
#include <cpuid.h>
#endif

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

// The portable compression function on one 64-byte block: schedule the
// sixteen big-endian words out to 64, run the 64 rounds, add into the
// chaining value.
void transform_portable(uint32_t state[8], const uint8_t block[64]) {
  uint32_t w[64];
  for (int i = 0; i < 16; i++) w[i] = load_be32(block + 4 * i);
  for (int i = 16; i < 64; i++)
    w[i] = small_sigma1(w[i - 2]) + w[i - 7] + small_sigma0(w[i - 15]) + w[i - 16];

  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
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
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

enum engine { ENGINE_UNCHOSEN = -1, ENGINE_PORTABLE = 0, ENGINE_SHA_NI = 1 };

// The compression function in use, chosen on first use. Relaxed atomics: a
// race between first users only makes each of them choose, and they all
// choose the same.
std::atomic<int> s_engine{ENGINE_UNCHOSEN};

bool cpu_has_sha_ni() {
#if SHA256_HAVE_NI
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & (1u << 19))) return false;  // SSE4.1
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) || !(ebx & (1u << 29))) return false;  // SHA
  return true;
#else
  return false;
#endif
}

int choose_engine() {
  const char *forced = getenv("REGISTRY_SHA256_PORTABLE");
  if (forced && forced[0] && strcmp(forced, "0") != 0) return ENGINE_PORTABLE;
  return cpu_has_sha_ni() ? ENGINE_SHA_NI : ENGINE_PORTABLE;
}

int current_engine() {
  int e = s_engine.load(std::memory_order_relaxed);
  if (e == ENGINE_UNCHOSEN) {
    e = choose_engine();
    s_engine.store(e, std::memory_order_relaxed);
  }
  return e;
}

// The compression function over `count` consecutive 64-byte blocks.
void transform_blocks(sha256_ctx *ctx, const uint8_t *blocks, size_t count) {
#if SHA256_HAVE_NI
  if (current_engine() == ENGINE_SHA_NI) {
    sha256_ni_blocks(ctx->state, blocks, count, K);
    return;
  }
#endif
  for (; count > 0; count--, blocks += 64) transform_portable(ctx->state, blocks);
}

// The compression function on one 64-byte block.
void sha256_transform(sha256_ctx *ctx, const uint8_t block[64]) { transform_blocks(ctx, block, 1); }

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
  ctx->bitlen += (uint64_t)len * 8;

  // Top up a partly filled block first.
  if (ctx->datalen > 0) {
    size_t n = sizeof ctx->data - ctx->datalen;
    if (n > len) n = len;
    memcpy(ctx->data + ctx->datalen, p, n);
    ctx->datalen += n;
    p += n;
    len -= n;
    if (ctx->datalen < sizeof ctx->data) return;
    sha256_transform(ctx, ctx->data);
    ctx->datalen = 0;
  }
  // Whole blocks are hashed where they lie; copying them through `data`
  // first would give the same result, only slower.
  if (len >= 64) {
    const size_t blocks = len / 64;
    transform_blocks(ctx, p, blocks);
    p += blocks * 64;
    len -= blocks * 64;
  }
  if (len > 0) {
    memcpy(ctx->data, p, len);
    ctx->datalen = len;
  }
}

extern "C" void sha256_final(sha256_ctx *ctx, uint8_t out[32]) {
  // The message length goes in as it was before padding. The padding (0x80,
  // zeros up to 56 bytes into a block, the 8-byte length) is written into
  // `data` directly, and counted into bitlen like any absorbed bytes.
  const uint64_t msg_bits = ctx->bitlen;
  size_t i = ctx->datalen;
  ctx->bitlen += (uint64_t)(i < 56 ? 64 - i : 128 - i) * 8;
  ctx->data[i++] = 0x80;
  if (i > 56) {
    memset(ctx->data + i, 0, sizeof ctx->data - i);
    sha256_transform(ctx, ctx->data);
    i = 0;
  }
  memset(ctx->data + i, 0, 56 - i);
  for (int b = 0; b < 8; b++) ctx->data[56 + b] = (uint8_t)(msg_bits >> (56 - 8 * b));
  sha256_transform(ctx, ctx->data);
  ctx->datalen = 0;
  for (int w = 0; w < 8; w++) store_be32(out + 4 * w, ctx->state[w]);
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

extern "C" const char *sha256_engine_name(void) {
  return current_engine() == ENGINE_SHA_NI ? "sha-ni" : "portable";
}

extern "C" void sha256_force_portable(int on) {
  s_engine.store(on ? ENGINE_PORTABLE : choose_engine(), std::memory_order_relaxed);
}
