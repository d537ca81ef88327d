// SPDX-License-Identifier: MIT
// The multi-buffer kernels for AVX-512: 8 lanes in a 256-bit register
// (AVX-512VL), 16 in a 512-bit one, or 32 in two side by side. A rotation is
// one instruction, and each step function one ternary-logic instruction.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,avx512f,avx512vl"))), apply_to = function)
#else
#pragma GCC target("avx2,avx512f,avx512vl")
#endif

#if defined(__GNUC__) && !defined(__clang__)
// GCC 12's 512-bit intrinsics warn of their own undefined placeholder operand
// (GCC bug 105593).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "md5/md5_lanes_kernel.hpp"

namespace md5refresh {

namespace {

// Truth tables over (b, c, d). b, the input that arrives last, goes first: the
// instruction overwrites its first operand, and is fast only so.
constexpr int CHOOSE = 0xCA;  // b ? c : d
constexpr int PARITY = 0x96;  // b ^ c ^ d
constexpr int C_XOR_B_OR_NOT_D = 0x39;

struct Avx512Ymm : Ymm {
  static Vector choose(Vector b, Vector c, Vector d) {
    return _mm256_ternarylogic_epi32(b, c, d, CHOOSE);
  }
  static Vector parity(Vector b, Vector c, Vector d) {
    return _mm256_ternarylogic_epi32(b, c, d, PARITY);
  }
  static Vector c_xor_b_or_not_d(Vector b, Vector c, Vector d) {
    return _mm256_ternarylogic_epi32(b, c, d, C_XOR_B_OR_NOT_D);
  }
  template <int BITS>
  static Vector rotate(Vector x) {
    return _mm256_rol_epi32(x, BITS);
  }
};

struct Zmm {
  using Vector = __m512i;
  static constexpr std::size_t LANES = 16;

  static Vector add(Vector a, Vector b) { return _mm512_add_epi32(a, b); }
  static Vector and_(Vector a, Vector b) { return _mm512_and_si512(a, b); }
  static Vector and_not(Vector a, Vector b) { return _mm512_andnot_si512(a, b); }  // ~a & b
  static Vector broadcast(const std::uint32_t* word) {
    return _mm512_set1_epi32(static_cast<int>(*word));
  }
  static Vector load(const std::uint32_t* words) { return _mm512_loadu_si512(words); }
  static void store(std::uint32_t* words, Vector value) { _mm512_storeu_si512(words, value); }
  static Vector choose(Vector b, Vector c, Vector d) {
    return _mm512_ternarylogic_epi32(b, c, d, CHOOSE);
  }
  static Vector parity(Vector b, Vector c, Vector d) {
    return _mm512_ternarylogic_epi32(b, c, d, PARITY);
  }
  static Vector c_xor_b_or_not_d(Vector b, Vector c, Vector d) {
    return _mm512_ternarylogic_epi32(b, c, d, C_XOR_B_OR_NOT_D);
  }
  template <int BITS>
  static Vector rotate(Vector x) {
    return _mm512_rol_epi32(x, BITS);
  }

  // Sixteen lanes' blocks, one 64-byte row each, become sixteen columns (word
  // j of every lane in words[j]): pairs of words, then quadruples, then the
  // 128-bit quarters trade places.
  static void load_block(const std::uint8_t* const* data, std::size_t offset, Vector* words) {
    Vector rows[16], pairs[16], quads[16];
    for (std::size_t lane = 0; lane < 16; ++lane)
      rows[lane] = _mm512_loadu_si512(data[lane] + offset);
    for (std::size_t i = 0; i < 8; ++i) {
      pairs[2 * i] = _mm512_unpacklo_epi32(rows[2 * i], rows[2 * i + 1]);
      pairs[2 * i + 1] = _mm512_unpackhi_epi32(rows[2 * i], rows[2 * i + 1]);
    }
    // quads[4m + r]: in quarter k, word 4k + r of lanes 4m to 4m + 3.
    for (std::size_t m = 0; m < 4; ++m) {
      quads[4 * m + 0] = _mm512_unpacklo_epi64(pairs[4 * m], pairs[4 * m + 2]);
      quads[4 * m + 1] = _mm512_unpackhi_epi64(pairs[4 * m], pairs[4 * m + 2]);
      quads[4 * m + 2] = _mm512_unpacklo_epi64(pairs[4 * m + 1], pairs[4 * m + 3]);
      quads[4 * m + 3] = _mm512_unpackhi_epi64(pairs[4 * m + 1], pairs[4 * m + 3]);
    }
    for (std::size_t r = 0; r < 4; ++r) {
      const Vector low_ab = _mm512_shuffle_i32x4(quads[r], quads[4 + r], 0x44);
      const Vector high_ab = _mm512_shuffle_i32x4(quads[r], quads[4 + r], 0xEE);
      const Vector low_cd = _mm512_shuffle_i32x4(quads[8 + r], quads[12 + r], 0x44);
      const Vector high_cd = _mm512_shuffle_i32x4(quads[8 + r], quads[12 + r], 0xEE);
      words[r] = _mm512_shuffle_i32x4(low_ab, low_cd, 0x88);
      words[4 + r] = _mm512_shuffle_i32x4(low_ab, low_cd, 0xDD);
      words[8 + r] = _mm512_shuffle_i32x4(high_ab, high_cd, 0x88);
      words[12 + r] = _mm512_shuffle_i32x4(high_ab, high_cd, 0xDD);
    }
  }
};

}  // namespace

void md5_absorb_lanes_avx512(std::size_t width, Md5Lanes& lanes, const LaneData& data,
                             std::size_t blocks) {
  if (width <= 8) {
    absorb_lanes<Avx512Ymm, 1>(lanes, data, blocks);
  } else if (width <= 16) {
    absorb_lanes<Zmm, 1>(lanes, data, blocks);
  } else {
    absorb_lanes<Zmm, 2>(lanes, data, blocks);
  }
}

}  // namespace md5refresh

#if defined(__clang__)
#pragma clang attribute pop
#endif
