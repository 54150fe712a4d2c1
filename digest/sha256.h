/*
 * sha256.h - SHA-256 (FIPS 180-4) over memory and over files.
 *
 * Calling sequence: sha256_init, any number of sha256_update, one
 * sha256_final. Any split of a message into updates gives the same digest.
 * After sha256_final the context is spent; start again with sha256_init.
 * Contexts are caller-owned and independent; nothing here allocates.
 */
#ifndef SHA256_H
#define SHA256_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sha256_ctx {
  uint32_t state[8]; /* chaining value H0..H7 */
  uint64_t bitlen;   /* message bits absorbed so far */
  uint8_t data[64];  /* the block being filled */
  size_t datalen;    /* bytes held in data, 0..63 between calls */
} sha256_ctx;

void sha256_init(sha256_ctx *ctx);
void sha256_update(sha256_ctx *ctx, const void *data, size_t len);
/* Pads and writes the 32-byte digest into `out`. */
void sha256_final(sha256_ctx *ctx, uint8_t out[32]);
/* Digest of the file at `path` (read in 64 KiB pieces). 0 with the digest
 * in `out`; -1 when the file cannot be opened or read (out untouched). */
int sha256_file(const char *path, uint8_t out[32]);

#ifdef __cplusplus
}
#endif

#endif
