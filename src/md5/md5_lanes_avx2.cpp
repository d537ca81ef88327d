// SPDX-License-Identifier: MIT
// The multi-buffer kernels for AVX2: 8 lanes in one register, or 16 in two
// worked on side by side. A rotation is two shifts and an OR.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC target("avx2")
#endif

#include "md5/md5_lanes_kernel.hpp"

namespace md5refresh {

namespace {

struct Avx2 : Ymm {
  static Vector choose(Vector b, Vector c, Vector d) {  // b ? c : d
    return _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)));
  }

  static Vector parity(Vector b, Vector c, Vector d) {
    return _mm256_xor_si256(b, _mm256_xor_si256(c, d));
  }

  static Vector c_xor_b_or_not_d(Vector b, Vector c, Vector d) {
    return _mm256_xor_si256(c, _mm256_or_si256(b, _mm256_xor_si256(d, _mm256_set1_epi32(-1))));
  }

  template <int BITS>
  static Vector rotate(Vector x) {
    return _mm256_or_si256(_mm256_slli_epi32(x, BITS), _mm256_srli_epi32(x, 32 - BITS));
  }
};

}  // namespace

void md5_absorb_lanes_avx2(std::size_t width, Md5Lanes& lanes, const LaneData& data,
                           std::size_t blocks) {
  if (width <= 8) {
    absorb_lanes<Avx2, 1>(lanes, data, blocks);
  } else {
    absorb_lanes<Avx2, 2>(lanes, data, blocks);
  }
}

}  // namespace md5refresh

#if defined(__clang__)
#pragma clang attribute pop
#endif
