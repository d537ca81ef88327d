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

// The engine's first interface, kept for the callers that know it: a context it
// allocates itself, and the 64-byte rule on every call.
struct Md5Context {
  std::uint64_t count;  // message bytes absorbed so far
  Md5State state;
};

// Room a final call needs in `data` behind the message bytes, for the padding
// and the 64-bit length field.
inline constexpr std::uint32_t MD5_PADDING_ROOM = 72;

// A call whose length is a non-zero multiple of 64 absorbs `data` and returns
// the context to pass to the next call; `context` may be null to begin a message.
// Any other length (0 included) makes the call final: the caller leaves
// MD5_PADDING_ROOM bytes of room behind the message, which the call may use for
// the padding and the bit length; the digest goes to `digest`, the context is
// released and null is returned. Null is also returned, with nothing absorbed or written, when
// a new context cannot be allocated.
[[nodiscard]] Md5Context* md5_process(std::uint8_t* data, std::uint32_t length, Md5Digest* digest,
                                      Md5Context* context);

}  // namespace md5refresh
