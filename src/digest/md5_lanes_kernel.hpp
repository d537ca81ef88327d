// SPDX-License-Identifier: MIT
// The multi-buffer kernel, written once over a set of vector operations. Only
// the kernel translation units include it, each after choosing its instruction
// set, and everything here has internal linkage, so the copies never meet.
#pragma once

#include <immintrin.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <utility>

#include "digest/md5_lanes.hpp"
#include "digest/md5_steps.hpp"

namespace {

using Vector = __m256i;

// Plain arrays: std::array would drop the vector type's attributes.
struct Block {
  Vector words[16];  // word j of every lane in words[j]
};
struct Rows {
  Vector rows[8];
};

// Eight rows (one lane's eight words each) become eight columns (one word of
// every lane each).
inline void transpose(Rows& matrix) {
  Vector* rows = matrix.rows;
  const Vector t0 = _mm256_unpacklo_epi32(rows[0], rows[1]);
  const Vector t1 = _mm256_unpackhi_epi32(rows[0], rows[1]);
  const Vector t2 = _mm256_unpacklo_epi32(rows[2], rows[3]);
  const Vector t3 = _mm256_unpackhi_epi32(rows[2], rows[3]);
  const Vector t4 = _mm256_unpacklo_epi32(rows[4], rows[5]);
  const Vector t5 = _mm256_unpackhi_epi32(rows[4], rows[5]);
  const Vector t6 = _mm256_unpacklo_epi32(rows[6], rows[7]);
  const Vector t7 = _mm256_unpackhi_epi32(rows[6], rows[7]);
  const Vector u0 = _mm256_unpacklo_epi64(t0, t2);
  const Vector u1 = _mm256_unpackhi_epi64(t0, t2);
  const Vector u2 = _mm256_unpacklo_epi64(t1, t3);
  const Vector u3 = _mm256_unpackhi_epi64(t1, t3);
  const Vector u4 = _mm256_unpacklo_epi64(t4, t6);
  const Vector u5 = _mm256_unpackhi_epi64(t4, t6);
  const Vector u6 = _mm256_unpacklo_epi64(t5, t7);
  const Vector u7 = _mm256_unpackhi_epi64(t5, t7);
  rows[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
  rows[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
  rows[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
  rows[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
  rows[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
  rows[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
  rows[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
  rows[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

inline void load_block(const LaneData& data, std::size_t offset, Block& block) {
  for (std::size_t half = 0; half < 2; ++half) {
    Rows matrix;
    for (std::size_t lane = 0; lane < MD5_LANES; ++lane) {
      matrix.rows[lane] =
          _mm256_loadu_si256(reinterpret_cast<const Vector*>(data[lane] + offset + 32 * half));
    }
    transpose(matrix);
    for (std::size_t row = 0; row < 8; ++row)
      block.words[8 * half + row] = matrix.rows[row];
  }
}

// The step constants are read through a pointer the compiler cannot follow:
// folded into the code, each one costs two instructions to build.
inline const std::array<std::uint32_t, 64>* opaque_constants() {
  const std::array<std::uint32_t, 64>* constants = &SINE_CONSTANTS;
  asm("" : "+r"(constants));
  return constants;
}

// The step function, split into what waits for b, the input that arrives
// last, and what does not (added to the early sum): the fewer operations on
// the chain through b, the faster every lane runs.
template <typename Ops, int ROUND>
inline Vector mix(Vector b, Vector c, Vector d, Vector& early) {
  if constexpr (ROUND == 0) {
    return Ops::choose(b, c, d);
  } else if constexpr (ROUND == 1) {
    // (b & d) and (c & ~d) share no set bit: their OR is their sum.
    early = _mm256_add_epi32(early, _mm256_andnot_si256(d, c));
    return _mm256_and_si256(b, d);
  } else if constexpr (ROUND == 2) {
    return _mm256_xor_si256(b, _mm256_xor_si256(c, d));
  } else {
    return Ops::c_xor_b_or_not_d(b, c, d);
  }
}

template <typename Ops, std::size_t I>
inline void step(const Block& block, const std::array<std::uint32_t, 64>& constants, Vector& a,
                 Vector& b, Vector& c, Vector& d) {
  constexpr Md5Step STEP = MD5_STEPS[I];
  const Vector constant = _mm256_set1_epi32(static_cast<int>(constants[I]));
  Vector early = _mm256_add_epi32(_mm256_add_epi32(a, constant), block.words[STEP.word]);
  const Vector late = mix<Ops, I / 16>(b, c, d, early);
  // The empty asm keeps the compiler from folding the early sum into the chain.
  asm("" : "+v"(early));
  const Vector next =
      _mm256_add_epi32(b, Ops::template rotate<STEP.rotation>(_mm256_add_epi32(early, late)));
  a = d;
  d = c;
  c = b;
  b = next;
}

template <typename Ops, std::size_t... I>
inline void steps(const Block& block, const std::array<std::uint32_t, 64>& constants, Vector& a,
                  Vector& b, Vector& c, Vector& d, std::index_sequence<I...>) {
  (step<Ops, I>(block, constants, a, b, c, d), ...);
}

template <typename Ops>
void absorb_lanes(Md5Lanes& lanes, const LaneData& data, std::size_t blocks) {
  auto load = [&lanes](std::size_t word) {
    return _mm256_loadu_si256(reinterpret_cast<const Vector*>(lanes.words[word].data()));
  };
  Vector a = load(0), b = load(1), c = load(2), d = load(3);
  const std::array<std::uint32_t, 64>& constants = *opaque_constants();
  Block block;
  for (std::size_t n = 0; n < blocks; ++n) {
    load_block(data, 64 * n, block);
    const Vector a0 = a, b0 = b, c0 = c, d0 = d;
    steps<Ops>(block, constants, a, b, c, d, std::make_index_sequence<64>{});
    a = _mm256_add_epi32(a, a0);
    b = _mm256_add_epi32(b, b0);
    c = _mm256_add_epi32(c, c0);
    d = _mm256_add_epi32(d, d0);
  }
  auto store = [&lanes](std::size_t word, Vector value) {
    _mm256_storeu_si256(reinterpret_cast<Vector*>(lanes.words[word].data()), value);
  };
  store(0, a);
  store(1, b);
  store(2, c);
  store(3, d);
}

}  // namespace
