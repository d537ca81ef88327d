// SPDX-License-Identifier: MIT
// The MD5 engine (RFC 1321) as a value the caller owns: the running state, the
// byte count and the bytes short of a block, fed any length and finished once,
// with no heap and no failure. Beside it the block kernels that absorb whole
// 64-byte blocks into bare states, one message or several interleaved, for
// callers that keep the byte count themselves. No threads, no files.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "md5/md5_steps.hpp"

namespace md5refresh {

using Md5State = std::array<std::uint32_t, 4>;
using Md5Digest = std::array<std::uint8_t, 16>;

struct Md5 {
  Md5State state = MD5_INITIAL_STATE;
  std::uint64_t length = 0;                // message bytes taken so far
  std::array<std::uint8_t, 64> partial{};  // the last length % 64 of them
};

void md5_update(Md5& md5, std::span<const std::uint8_t> bytes);

// The digest of everything taken; `md5` itself stays as it was.
[[nodiscard]] Md5Digest md5_finish(const Md5& md5);

[[nodiscard]] Md5Digest md5_of(std::span<const std::uint8_t> bytes);

// Absorbs `blocks` whole 64-byte blocks at `data` into a running state.
void md5_absorb(Md5State& state, const std::uint8_t* data, std::size_t blocks);

// Several messages in one instruction stream: their chains are independent, so
// the core works on one while another waits for a result. Two or three streams
// each run at nearly the pace of one alone; more spill registers.
inline constexpr std::size_t MD5_MAX_STREAMS = 3;

// Absorbs `blocks` blocks from each `data[i]` into `*states[i]`; one to
// MD5_MAX_STREAMS streams.
void md5_absorb_streams(std::span<Md5State* const> states,
                        std::span<const std::uint8_t* const> data, std::size_t blocks);

// The same for two or three streams, built for BMI2; md5_absorb_streams calls
// it where the CPU has BMI2, and the portable kernel elsewhere.
void md5_absorb_streams_bmi2(std::span<Md5State* const> states,
                             std::span<const std::uint8_t* const> data, std::size_t blocks);
void md5_absorb_streams_portable(std::span<Md5State* const> states,
                                 std::span<const std::uint8_t* const> data, std::size_t blocks);
[[nodiscard]] bool md5_streams_have_bmi2();

}  // namespace md5refresh
