// SPDX-License-Identifier: MIT
// The multi-buffer kernel for AVX-512VL on 256-bit registers: a rotation is one
// instruction, and each step function one ternary-logic instruction.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,avx512f,avx512vl"))), apply_to = function)
#else
#pragma GCC target("avx2,avx512f,avx512vl")
#endif

#include "digest/md5_lanes_kernel.hpp"

namespace {

struct Avx512 {
  // Truth tables over (b, c, d). b, the input that arrives last, goes first:
  // the instruction overwrites its first operand, and is fast only so.
  static Vector choose(Vector b, Vector c, Vector d) {  // b ? c : d
    return _mm256_ternarylogic_epi32(b, c, d, 0xCA);
  }

  static Vector c_xor_b_or_not_d(Vector b, Vector c, Vector d) {
    return _mm256_ternarylogic_epi32(b, c, d, 0x39);
  }

  template <int BITS>
  static Vector rotate(Vector x) {
    return _mm256_rol_epi32(x, BITS);
  }
};

}  // namespace

void md5_absorb_lanes_avx512(Md5Lanes& lanes, const LaneData& data, std::size_t blocks) {
  absorb_lanes<Avx512>(lanes, data, blocks);
}

#if defined(__clang__)
#pragma clang attribute pop
#endif
