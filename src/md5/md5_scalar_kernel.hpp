// SPDX-License-Identifier: MIT
// The scalar steps, written once for one message or several interleaved. The
// translation units that include it build it for their instruction set (the
// baseline, or BMI2, whose three-operand rotate and and-not spare registers);
// everything here has internal linkage, so the copies never meet.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>

#include "md5/md5.hpp"
#include "md5/md5_steps.hpp"

namespace md5refresh {

namespace {

// Message words are read where the caller's bytes lie, least significant byte first.
[[gnu::always_inline]] inline std::uint32_t load_word(const std::uint8_t* bytes) {
  if constexpr (std::endian::native == std::endian::little) {
    std::uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
  } else {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
  }
}

// The four functions, rearranged so that b, the one input that arrives late,
// meets as few operations as possible. In the second round, (b & d) and (c & ~d) share
// no set bit, so their OR is their sum, and the part without b is added early.
[[gnu::always_inline]] inline std::uint32_t step_sum(int round, std::uint32_t b, std::uint32_t c,
                                                     std::uint32_t d, std::uint32_t early) {
  switch (round) {
    case 0:
      return early + (d ^ (b & (c ^ d)));
    case 1:
      return (early + (c & ~d)) + (b & d);
    case 2:
      return early + (b ^ (c ^ d));
    default:
      return early + (c ^ (b | ~d));
  }
}

// The running words of N streams, each in an array of its own so that every
// one of them can live in a register.
template <std::size_t N>
struct Words {
  std::array<std::uint32_t, N> a, b, c, d;
};

// One step of every stream, stream after stream: each stream's chain waits on
// its own last result only, so their operations overlap in the core. Inlined
// whole: a call between steps would send the words through memory.
template <std::size_t N, std::size_t I>
[[gnu::always_inline]] inline void interleaved_step(
    const std::array<const std::uint8_t*, N>& blocks, Words<N>& x) {
  constexpr Md5Step STEP = MD5_STEPS[I];
  for (std::size_t s = 0; s < N; ++s) {
    std::uint32_t early = x.a[s] + load_word(blocks[s] + 4 * STEP.word) + STEP.constant;
    std::uint32_t sum;
    if constexpr (I / 16 == 1) {
      early += x.c[s] & ~x.d[s];
#if defined(__GNUC__)
      asm("" : "+r"(early));  // keeps the early part off the chain through b
#endif
      sum = early + (x.b[s] & x.d[s]);
    } else {
      sum = step_sum(I / 16, x.b[s], x.c[s], x.d[s], early);
    }
    const std::uint32_t rotated = x.b[s] + std::rotl(sum, STEP.rotation);
    x.a[s] = x.d[s];
    x.d[s] = x.c[s];
    x.c[s] = x.b[s];
    x.b[s] = rotated;
  }
}

template <std::size_t N, std::size_t... I>
[[gnu::always_inline]] inline void interleaved_steps(
    const std::array<const std::uint8_t*, N>& blocks, Words<N>& x, std::index_sequence<I...>) {
  (interleaved_step<N, I>(blocks, x), ...);
}

template <std::size_t N>
void absorb_interleaved(std::span<Md5State* const> states,
                        std::span<const std::uint8_t* const> data, std::size_t blocks) {
  Words<N> x{};
  for (std::size_t s = 0; s < N; ++s) {
    x.a[s] = (*states[s])[0];
    x.b[s] = (*states[s])[1];
    x.c[s] = (*states[s])[2];
    x.d[s] = (*states[s])[3];
  }
  std::array<const std::uint8_t*, N> block{};
  for (std::size_t s = 0; s < N; ++s)
    block[s] = data[s];
  for (std::size_t n = 0; n < blocks; ++n) {
    const Words<N> start = x;
    interleaved_steps<N>(block, x, std::make_index_sequence<64>{});
    for (std::size_t s = 0; s < N; ++s) {
      x.a[s] += start.a[s];
      x.b[s] += start.b[s];
      x.c[s] += start.c[s];
      x.d[s] += start.d[s];
      block[s] += 64;
    }
  }
  for (std::size_t s = 0; s < N; ++s)
    *states[s] = {x.a[s], x.b[s], x.c[s], x.d[s]};
}

}  // namespace

}  // namespace md5refresh
