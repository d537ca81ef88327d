// SPDX-License-Identifier: MIT
// The engine's first interface, kept for the callers that know it: one call
// per piece of a message, the context between calls allocated by the engine.
#pragma once

#include <cstdint>

#include "md5/md5.hpp"

namespace md5refresh {

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
