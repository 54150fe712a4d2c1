/*
 * sha256_ni.cpp - the SHA-256 compression function on the x86 SHA extensions.
 *
 * This file alone is compiled with -msha -msse4.1, so nothing else in the
 * program assumes those instructions; sha256.cpp calls in here only after
 * CPUID has shown both. On other architectures it compiles to nothing.
 *
 * The SHA instructions keep the eight working variables in two registers,
 * one holding A,B,E,F and the other C,D,G,H (most significant lane first);
 * sha256rnds2 runs two rounds, sha256msg1/msg2 extend the message schedule
 * four words at a time.
 */
#include "sha256_engine.h"

#if SHA256_HAVE_NI

#include <immintrin.h>

namespace {

// Four rounds: message words plus round constants, two rounds into each
// state register in turn.
inline void four_rounds(__m128i &abef, __m128i &cdgh, __m128i w, const uint32_t *k) {
  __m128i wk = _mm_add_epi32(w, _mm_loadu_si128(reinterpret_cast<const __m128i *>(k)));
  cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
  wk = _mm_shuffle_epi32(wk, 0x0e);
  abef = _mm_sha256rnds2_epu32(abef, cdgh, wk);
}

}  // namespace

extern "C" void sha256_ni_blocks(uint32_t state[8], const uint8_t *blocks, size_t count,
                                 const uint32_t k[64]) {
  // Reverses the bytes of each 32-bit lane: message words are big-endian.
  const __m128i bswap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);

  // state[0..3] loads as lanes D C B A, state[4..7] as H G F E; regroup into
  // A B E F and C D G H.
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state + 4));
  __m128i cdab = _mm_shuffle_epi32(dcba, 0xb1);
  __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1b);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xf0);

  for (; count > 0; count--, blocks += 64) {
    const __m128i abef_in = abef, cdgh_in = cdgh;
    // w[g % 4] holds schedule words 4g..4g+3; computing group g needs groups
    // g-4 .. g-1, which are exactly the other entries at that moment.
    __m128i w[4];
#pragma GCC unroll 16
    for (int g = 0; g < 16; g++) {
      __m128i cur;
      if (g < 4) {
        cur = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(blocks + 16 * g)), bswap);
      } else {
        const __m128i m4 = w[g & 3], m3 = w[(g + 1) & 3], m2 = w[(g + 2) & 3],
                      m1 = w[(g + 3) & 3];
        // W[t-16] + s0(W[t-15]), plus W[t-7], then s1(W[t-2]) with the words
        // of this group that it depends on.
        cur = _mm_sha256msg1_epu32(m4, m3);
        cur = _mm_add_epi32(cur, _mm_alignr_epi8(m1, m2, 4));
        cur = _mm_sha256msg2_epu32(cur, m1);
      }
      w[g & 3] = cur;
      four_rounds(abef, cdgh, cur, k + 4 * g);
    }
    abef = _mm_add_epi32(abef, abef_in);
    cdgh = _mm_add_epi32(cdgh, cdgh_in);
  }

  // Back to D C B A and H G F E for the stores.
  __m128i feba = _mm_shuffle_epi32(abef, 0x1b);
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xb1);
  dcba = _mm_blend_epi16(feba, dchg, 0xf0);
  hgfe = _mm_alignr_epi8(dchg, feba, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(state), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(state + 4), hgfe);
}

#endif
