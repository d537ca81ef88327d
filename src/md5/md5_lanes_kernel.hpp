// SPDX-License-Identifier: MIT
// The multi-buffer kernel, written once over a set of vector operations and a
// number of registers worked on side by side. Only the kernel translation
// units include it, each after choosing its instruction set, and everything
// here has internal linkage, so the copies never meet.
#pragma once

#include <immintrin.h>

#include <array>
#include <cstddef>
#include <utility>

#include "md5/md5_lanes.hpp"
#include "md5/md5_steps.hpp"

namespace md5refresh {

namespace {

// Eight rows of eight 32-bit words (one lane's half block each) become eight
// columns (one word of every lane each).
inline void transpose_8x8(__m256i* rows) {
  const __m256i t0 = _mm256_unpacklo_epi32(rows[0], rows[1]);
  const __m256i t1 = _mm256_unpackhi_epi32(rows[0], rows[1]);
  const __m256i t2 = _mm256_unpacklo_epi32(rows[2], rows[3]);
  const __m256i t3 = _mm256_unpackhi_epi32(rows[2], rows[3]);
  const __m256i t4 = _mm256_unpacklo_epi32(rows[4], rows[5]);
  const __m256i t5 = _mm256_unpackhi_epi32(rows[4], rows[5]);
  const __m256i t6 = _mm256_unpacklo_epi32(rows[6], rows[7]);
  const __m256i t7 = _mm256_unpackhi_epi32(rows[6], rows[7]);
  const __m256i u0 = _mm256_unpacklo_epi64(t0, t2);
  const __m256i u1 = _mm256_unpackhi_epi64(t0, t2);
  const __m256i u2 = _mm256_unpacklo_epi64(t1, t3);
  const __m256i u3 = _mm256_unpackhi_epi64(t1, t3);
  const __m256i u4 = _mm256_unpacklo_epi64(t4, t6);
  const __m256i u5 = _mm256_unpackhi_epi64(t4, t6);
  const __m256i u6 = _mm256_unpacklo_epi64(t5, t7);
  const __m256i u7 = _mm256_unpackhi_epi64(t5, t7);
  rows[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
  rows[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
  rows[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
  rows[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
  rows[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
  rows[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
  rows[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
  rows[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

// The 32-byte-register operations that AVX2 and AVX-512VL share.
struct Ymm {
  using Vector = __m256i;
  static constexpr std::size_t LANES = 8;

  static Vector add(Vector a, Vector b) { return _mm256_add_epi32(a, b); }
  static Vector and_(Vector a, Vector b) { return _mm256_and_si256(a, b); }
  static Vector and_not(Vector a, Vector b) { return _mm256_andnot_si256(a, b); }  // ~a & b
  static Vector broadcast(const std::uint32_t* word) {
    return _mm256_set1_epi32(static_cast<int>(*word));
  }
  static Vector load(const std::uint32_t* words) {
    return _mm256_loadu_si256(reinterpret_cast<const Vector*>(words));
  }
  static void store(std::uint32_t* words, Vector value) {
    _mm256_storeu_si256(reinterpret_cast<Vector*>(words), value);
  }
  // Word j of every lane's block into words[j].
  static void load_block(const std::uint8_t* const* data, std::size_t offset, Vector* words) {
    for (std::size_t half = 0; half < 2; ++half) {
      Vector* rows = words + 8 * half;
      for (std::size_t lane = 0; lane < LANES; ++lane) {
        rows[lane] =
            _mm256_loadu_si256(reinterpret_cast<const Vector*>(data[lane] + offset + 32 * half));
      }
      transpose_8x8(rows);
    }
  }
};

// The constants are read through a pointer the compiler cannot follow: folded
// into the code, each one costs two instructions to build.
inline const std::array<std::uint32_t, 64>* opaque_constants() {
  const std::array<std::uint32_t, 64>* constants = &SINE_CONSTANTS;
  asm("" : "+r"(constants));
  return constants;
}

template <typename Ops, std::size_t G>
struct Chains {
  typename Ops::Vector a[G], b[G], c[G], d[G];  // plain arrays keep the vector attributes
};

// The step function, split into what waits for b, the input that arrives
// last, and what does not (added to the early sum): the fewer operations on
// the chain through b, the faster every lane runs.
template <typename Ops, std::size_t G, std::size_t I>
inline void step(const typename Ops::Vector (&words)[G][16], const std::uint32_t* constants,
                 Chains<Ops, G>& x) {
  using Vector = typename Ops::Vector;
  constexpr Md5Step STEP = MD5_STEPS[I];
  constexpr std::size_t ROUND = I / 16;
  const Vector constant = Ops::broadcast(constants + I);
  for (std::size_t g = 0; g < G; ++g) {
    Vector early = Ops::add(Ops::add(x.a[g], constant), words[g][STEP.word]);
    Vector late;
    if constexpr (ROUND == 0) {
      late = Ops::choose(x.b[g], x.c[g], x.d[g]);
    } else if constexpr (ROUND == 1) {
      // (b & d) and (c & ~d) share no set bit: their OR is their sum.
      early = Ops::add(early, Ops::and_not(x.d[g], x.c[g]));
      late = Ops::and_(x.b[g], x.d[g]);
    } else if constexpr (ROUND == 2) {
      late = Ops::parity(x.b[g], x.c[g], x.d[g]);
    } else {
      late = Ops::c_xor_b_or_not_d(x.b[g], x.c[g], x.d[g]);
    }
    // The empty asm keeps the compiler from folding the early sum into the chain.
    asm("" : "+v"(early));
    const Vector next =
        Ops::add(x.b[g], Ops::template rotate<STEP.rotation>(Ops::add(early, late)));
    x.a[g] = x.d[g];
    x.d[g] = x.c[g];
    x.c[g] = x.b[g];
    x.b[g] = next;
  }
}

template <typename Ops, std::size_t G, std::size_t... I>
inline void steps(const typename Ops::Vector (&words)[G][16], const std::uint32_t* constants,
                  Chains<Ops, G>& x, std::index_sequence<I...>) {
  (step<Ops, G, I>(words, constants, x), ...);
}

// G registers of Ops::LANES lanes each: lanes g * LANES and on in register g.
template <typename Ops, std::size_t G>
void absorb_lanes(Md5Lanes& lanes, const LaneData& data, std::size_t blocks) {
  using Vector = typename Ops::Vector;
  constexpr std::size_t L = Ops::LANES;
  Chains<Ops, G> x;
  for (std::size_t g = 0; g < G; ++g) {
    x.a[g] = Ops::load(lanes.words[0].data() + g * L);
    x.b[g] = Ops::load(lanes.words[1].data() + g * L);
    x.c[g] = Ops::load(lanes.words[2].data() + g * L);
    x.d[g] = Ops::load(lanes.words[3].data() + g * L);
  }
  const std::uint32_t* constants = opaque_constants()->data();
  Vector words[G][16];
  for (std::size_t n = 0; n < blocks; ++n) {
    for (std::size_t g = 0; g < G; ++g)
      Ops::load_block(data.data() + g * L, 64 * n, words[g]);
    const Chains<Ops, G> start = x;
    steps<Ops, G>(words, constants, x, std::make_index_sequence<64>{});
    for (std::size_t g = 0; g < G; ++g) {
      x.a[g] = Ops::add(x.a[g], start.a[g]);
      x.b[g] = Ops::add(x.b[g], start.b[g]);
      x.c[g] = Ops::add(x.c[g], start.c[g]);
      x.d[g] = Ops::add(x.d[g], start.d[g]);
    }
  }
  for (std::size_t g = 0; g < G; ++g) {
    Ops::store(lanes.words[0].data() + g * L, x.a[g]);
    Ops::store(lanes.words[1].data() + g * L, x.b[g]);
    Ops::store(lanes.words[2].data() + g * L, x.c[g]);
    Ops::store(lanes.words[3].data() + g * L, x.d[g]);
  }
}

}  // namespace

}  // namespace md5refresh
