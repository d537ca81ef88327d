// SPDX-License-Identifier: MIT
// The multi-buffer MD5 engine: eight independent messages at once, one in each
// 32-bit lane of a vector register. One message is a single dependency chain;
// eight of them fill the core. Kernels for AVX2 and AVX-512VL are chosen at run
// time; without them the scalar engine absorbs the lanes one after another.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t MD5_LANES = 8;

// The running states of the eight messages, word by word: a[8], b[8], c[8], d[8].
struct Md5Lanes {
  std::array<std::array<std::uint32_t, MD5_LANES>, 4> words;
};

using LaneData = std::array<const std::uint8_t*, MD5_LANES>;

enum class LaneEngine { scalar, avx2, avx512 };

[[nodiscard]] bool lane_engine_available(LaneEngine engine);

// AVX-512VL where the CPU has it, else AVX2, else scalar.
[[nodiscard]] LaneEngine best_lane_engine();

[[nodiscard]] const char* lane_engine_name(LaneEngine engine);

// Absorbs `blocks` 64-byte blocks from each lane's data into its state. Every
// lane is worked on: a lane with nothing of its own points at another's data,
// and its state is not looked at.
void md5_absorb_lanes(LaneEngine engine, Md5Lanes& lanes, const LaneData& data, std::size_t blocks);

void set_lane_state(Md5Lanes& lanes, std::size_t lane, const std::array<std::uint32_t, 4>& state);
[[nodiscard]] std::array<std::uint32_t, 4> lane_state(const Md5Lanes& lanes, std::size_t lane);

// The kernels, one translation unit each, built for their instruction set.
void md5_absorb_lanes_avx2(Md5Lanes& lanes, const LaneData& data, std::size_t blocks);
void md5_absorb_lanes_avx512(Md5Lanes& lanes, const LaneData& data, std::size_t blocks);
