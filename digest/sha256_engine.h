/*
 * sha256_engine.h - inside the digest engine: which compression function
 * runs, and the SHA-extension one. Used by the engine's sources, its tests
 * and the benchmarks; not part of the engine's public interface (sha256.h).
 *
 * Two compression functions give identical results: portable C++, and one on
 * the x86 SHA extensions (SHA-NI with SSE4.1). The engine picks one the first
 * time it hashes a block: the SHA-extension one when this build has it and
 * the CPU reports SHA and SSE4.1, unless the environment variable
 * REGISTRY_SHA256_PORTABLE is set to anything but "" or "0". The choice is
 * made once per process and then kept.
 */
#ifndef REGISTRY_SHA256_ENGINE_H
#define REGISTRY_SHA256_ENGINE_H

#include <stddef.h>
#include <stdint.h>

/* The build defines REGISTRY_SHA256_NI when it compiles sha256_ni.cpp with
 * the SHA-extension flags; the architecture test keeps other targets safe. */
#if defined(REGISTRY_SHA256_NI) && (defined(__x86_64__) || defined(__i386__))
#define SHA256_HAVE_NI 1
#else
#define SHA256_HAVE_NI 0
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Name of the compression function in use: "sha-ni" or "portable".
 * Makes the choice if it has not been made yet. */
const char *sha256_engine_name(void);

/* For tests and benchmarks. on = 1: the portable code from now on.
 * on = 0: the choice is made afresh, as at start-up (build, CPU, and
 * REGISTRY_SHA256_PORTABLE read again). Not for use while another thread
 * is hashing. */
void sha256_force_portable(int on);

#if SHA256_HAVE_NI
/* The compression function on the SHA extensions over `count` consecutive
 * 64-byte blocks, chaining value in `state` (H0..H7), round constants in k.
 * Only to be called on a CPU that has SHA and SSE4.1. */
void sha256_ni_blocks(uint32_t state[8], const uint8_t *blocks, size_t count,
                      const uint32_t k[64]);
#endif

#ifdef __cplusplus
}
#endif

#endif
