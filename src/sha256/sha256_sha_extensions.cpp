// SPDX-License-Identifier: MIT
// The kernel for the CPU's SHA extensions: two rounds an instruction on the
// state held as ABEF and CDGH, and the message schedule four words at a time.
// Built for those instructions alone; called only where the CPU has them.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sha,sse4.1,ssse3"))), apply_to = function)
#elif defined(__GNUC__)
#pragma GCC target("sha,sse4.1,ssse3")
#endif

#include <immintrin.h>

#include "sha256/sha256.hpp"
#include "sha256/sha256_constants.hpp"

namespace md5refresh {

namespace {

__m128i load_constants(std::size_t group) {
  return _mm_loadu_si128(
      reinterpret_cast<const __m128i*>(SHA256_ROUND_CONSTANTS.data() + 4 * group));
}

// N messages side by side: the rounds instruction waits several cycles for
// its result, and another message's rounds fill them.
template <std::size_t N>
void absorb(Sha256State* const* states, const std::uint8_t* const* data, std::size_t blocks) {
  // Words are big-endian in the message: each 32-bit lane's bytes reversed.
  const __m128i byte_order = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  __m128i abef[N], cdgh[N];
  for (std::size_t m = 0; m < N; ++m) {
    const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(states[m]->data()));
    const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(states[m]->data() + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    abef[m] = _mm_alignr_epi8(cdab, efgh, 8);
    cdgh[m] = _mm_blend_epi16(efgh, cdab, 0xF0);
  }
  for (std::size_t block = 0; block < blocks; ++block) {
    __m128i abef_before[N], cdgh_before[N], schedule[N][4];
    for (std::size_t m = 0; m < N; ++m) {
      abef_before[m] = abef[m];
      cdgh_before[m] = cdgh[m];
    }
#if defined(__GNUC__)
#pragma GCC unroll 16
#endif
    for (std::size_t group = 0; group < 16; ++group) {
      const __m128i constants = load_constants(group);
      for (std::size_t m = 0; m < N; ++m) {
        __m128i& words = schedule[m][group % 4];
        if (group < 4) {
          words = _mm_shuffle_epi8(
              _mm_loadu_si128(reinterpret_cast<const __m128i*>(data[m] + 64 * block + 16 * group)),
              byte_order);
        } else {
          // W[t] = sigma1(W[t-2]) + W[t-7] + sigma0(W[t-15]) + W[t-16], four at once.
          const __m128i& last = schedule[m][(group + 3) % 4];
          const __m128i& before_last = schedule[m][(group + 2) % 4];
          const __m128i sum =
              _mm_add_epi32(_mm_sha256msg1_epu32(words, schedule[m][(group + 1) % 4]),
                            _mm_alignr_epi8(last, before_last, 4));
          words = _mm_sha256msg2_epu32(sum, last);
        }
        const __m128i with_constants = _mm_add_epi32(words, constants);
        cdgh[m] = _mm_sha256rnds2_epu32(cdgh[m], abef[m], with_constants);
        abef[m] = _mm_sha256rnds2_epu32(abef[m], cdgh[m], _mm_shuffle_epi32(with_constants, 0x0E));
      }
    }
    for (std::size_t m = 0; m < N; ++m) {
      abef[m] = _mm_add_epi32(abef[m], abef_before[m]);
      cdgh[m] = _mm_add_epi32(cdgh[m], cdgh_before[m]);
    }
  }
  for (std::size_t m = 0; m < N; ++m) {
    const __m128i feba = _mm_shuffle_epi32(abef[m], 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh[m], 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(states[m]->data()),
                     _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(states[m]->data() + 4),
                     _mm_alignr_epi8(dchg, feba, 8));
  }
}

}  // namespace

void sha256_absorb_sha_extensions(Sha256State& state, const std::uint8_t* data,
                                  std::size_t blocks) {
  Sha256State* const states[1] = {&state};
  absorb<1>(states, &data, blocks);
}

void sha256_absorb_streams_sha_extensions(std::span<Sha256State* const> states,
                                          std::span<const std::uint8_t* const> data,
                                          std::size_t blocks) {
  switch (states.size()) {
    case 1:
      absorb<1>(states.data(), data.data(), blocks);
      break;
    case 2:
      absorb<2>(states.data(), data.data(), blocks);
      break;
    default:
      absorb<3>(states.data(), data.data(), blocks);
      break;
  }
}

}  // namespace md5refresh

#if defined(__clang__)
#pragma clang attribute pop
#endif
