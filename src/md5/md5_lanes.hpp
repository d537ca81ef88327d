// SPDX-License-Identifier: MIT
// The multi-buffer MD5 engine: independent messages side by side, one in each
// 32-bit lane of a vector register, 8, 16 or 32 at once. One message is a
// single dependency chain; where the core's vector results come late (two
// cycles on some), more lanes in more registers keep it busy. Kernels for AVX2
// and AVX-512 are chosen at run time; the build assumes neither.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "md5/md5.hpp"

namespace md5refresh {

inline constexpr std::size_t MD5_MAX_LANES = 32;

// The running states of the messages, word by word: a[32], b[32], c[32], d[32].
struct Md5Lanes {
  std::array<std::array<std::uint32_t, MD5_MAX_LANES>, 4> words;
};

using LaneData = std::array<const std::uint8_t*, MD5_MAX_LANES>;

enum class LaneEngine { scalar, avx2, avx512 };

[[nodiscard]] bool lane_engine_available(LaneEngine engine);

// AVX-512 where the CPU has it (F and VL), else AVX2, else scalar.
[[nodiscard]] LaneEngine best_lane_engine();

[[nodiscard]] const char* lane_engine_name(LaneEngine engine);

// The lane counts the engine has kernels for: AVX2 8 and 16 (two registers
// interleaved), AVX-512 8, 16 and 32; the scalar engine takes any count, lane
// after lane.
[[nodiscard]] std::span<const std::size_t> lane_widths(LaneEngine engine);

// Absorbs `blocks` 64-byte blocks from each of the first `width` lanes' data
// into their states; `width` is one of lane_widths(engine). Every one of those
// lanes is worked on: a lane with nothing of its own points at another's data,
// and its state is not looked at.
void md5_absorb_lanes(LaneEngine engine, std::size_t width, Md5Lanes& lanes, const LaneData& data,
                      std::size_t blocks);

void set_lane_state(Md5Lanes& lanes, std::size_t lane, const Md5State& state);
[[nodiscard]] Md5State lane_state(const Md5Lanes& lanes, std::size_t lane);

// The kernels, one translation unit each, built for their instruction set.
void md5_absorb_lanes_avx2(std::size_t width, Md5Lanes& lanes, const LaneData& data,
                           std::size_t blocks);
void md5_absorb_lanes_avx512(std::size_t width, Md5Lanes& lanes, const LaneData& data,
                             std::size_t blocks);

}  // namespace md5refresh
