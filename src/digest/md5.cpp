// SPDX-License-Identifier: MIT
// MD5 as one loop over a table of its 64 steps. The loop is unrolled at compile
// time, so every constant, word index and rotation folds into the code and the
// a/b/c/d renaming between steps costs nothing. MD5 is a single dependency chain
// through b; the step functions are written so the least work lies on it.
#include "digest/md5.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "digest/md5_steps.hpp"

namespace {

// Message words are read where the caller's bytes lie, least significant byte first.
inline std::uint32_t load_word(const std::uint8_t* bytes) {
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
inline std::uint32_t step_sum(int round, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                              std::uint32_t early) {
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

// The state stays in locals across blocks: written back through the reference
// each time, it would be reloaded through memory on the dependency chain.
void process_blocks(std::array<std::uint32_t, 4>& state, const std::uint8_t* data,
                    std::uint32_t length) {
  auto [state_a, state_b, state_c, state_d] = state;
  for (std::uint32_t offset = 0; offset < length; offset += 64) {
    const std::uint8_t* block = data + offset;
    std::uint32_t a = state_a, b = state_b, c = state_c, d = state_d;
#if defined(__GNUC__)
#pragma GCC unroll 64
#endif
    for (int i = 0; i < 64; ++i) {
      const Md5Step& step = MD5_STEPS[static_cast<std::size_t>(i)];
      const std::uint32_t early = a + load_word(block + 4 * step.word) + step.constant;
      const std::uint32_t rotated = b + std::rotl(step_sum(i / 16, b, c, d, early), step.rotation);
      a = d;
      d = c;
      c = b;
      b = rotated;
    }
    state_a += a;
    state_b += b;
    state_c += c;
    state_d += d;
  }
  state = {state_a, state_b, state_c, state_d};
}

// Pads the message in the caller's buffer: 0x80, zeros, then the length in bits,
// least significant byte first, so that the data ends on a block boundary.
std::uint32_t pad_message(std::uint8_t* data, std::uint32_t length, std::uint64_t total_bytes) {
  const std::uint32_t remainder = length % 64;
  const std::uint32_t padding = remainder < 56 ? 56 - remainder : 120 - remainder;
  std::memset(data + length, 0, padding);
  data[length] = 0x80;
  const std::uint64_t bits = total_bytes * 8;
  for (std::uint32_t i = 0; i < 8; ++i) {
    data[length + padding + i] = static_cast<std::uint8_t>(bits >> (8 * i));
  }
  return length + padding + 8;
}

}  // namespace

void md5_absorb(std::array<std::uint32_t, 4>& state, const std::uint8_t* data, std::size_t blocks) {
  // Pieces the 32-bit length of the block loop can hold, whole blocks each.
  constexpr std::size_t MAX_BLOCKS = (std::size_t{1} << 31) / 64;
  for (std::size_t done = 0; done < blocks;) {
    const std::size_t piece = std::min(blocks - done, MAX_BLOCKS);
    process_blocks(state, data + 64 * done, static_cast<std::uint32_t>(piece * 64));
    done += piece;
  }
}

Md5Context* md5_process(std::uint8_t* data, std::uint32_t length, Md5Digest* digest,
                        Md5Context* context) {
  if (context == nullptr) {
    context = new (std::nothrow) Md5Context{};
    if (context == nullptr) return nullptr;
    context->state = MD5_INITIAL_STATE;
  }
  context->count += length;

  const bool final_call = length == 0 || length % 64 != 0;
  if (!final_call) {
    process_blocks(context->state, data, length);
    return context;
  }
  process_blocks(context->state, data, pad_message(data, length, context->count));
  for (std::size_t word = 0; word < 4; ++word) {
    for (std::size_t byte = 0; byte < 4; ++byte) {
      (*digest)[4 * word + byte] = static_cast<std::uint8_t>(context->state[word] >> (8 * byte));
    }
  }
  delete context;
  return nullptr;
}
