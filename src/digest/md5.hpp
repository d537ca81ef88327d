// SPDX-License-Identifier: MIT
// The MD5 engine (RFC 1321): one routine that absorbs whole blocks and finishes
// a message, keeping its running state in a context that it creates and releases.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

struct Md5Context {
  std::uint64_t count;  // message bytes absorbed so far
  std::array<std::uint32_t, 4> state;
};

using Md5Digest = std::array<std::uint8_t, 16>;

// Room a final call needs in `data` behind the message bytes, for the padding
// and the 64-bit length field.
inline constexpr std::uint32_t MD5_PADDING_ROOM = 72;

// A call whose length is a non-zero multiple of 64 absorbs `data` and returns
// the context to pass to the next call; `context` may be null to begin a message.
// Any other length (0 included) makes the call final: the padding and the bit
// length are written into `data` behind the message (MD5_PADDING_ROOM bytes of
// room are required), the digest goes to `digest`, the context is released and
// null is returned. Null is also returned, with nothing absorbed or written, when
// a new context cannot be allocated.
// Absorbs `blocks` whole 64-byte blocks at `data` into a running state; what
// md5_process does with whole blocks, for a caller that keeps the state itself.
void md5_absorb(std::array<std::uint32_t, 4>& state, const std::uint8_t* data, std::size_t blocks);

[[nodiscard]] Md5Context* md5_process(std::uint8_t* data, std::uint32_t length, Md5Digest* digest,
                                      Md5Context* context);
