// SPDX-License-Identifier: MIT
// MD5 as one loop over a table of its 64 steps. The loop is unrolled at compile
// time, so every constant, word index and rotation folds into the code and the
// a/b/c/d renaming between steps costs nothing. MD5 is a single dependency chain
// through b; the step functions are written so the least work lies on it. The
// interleaved kernels run the same steps for two or three messages side by side.
#include "md5/md5.hpp"

#include <algorithm>
#include <cstring>

#include "md5/md5_scalar_kernel.hpp"
#include "platform/cpu_features.hpp"

namespace md5refresh {

namespace {

// The state stays in locals across blocks: written back through the reference
// each time, it would be reloaded through memory on the dependency chain.
void process_blocks(Md5State& state, const std::uint8_t* data, std::uint32_t length) {
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

// Words least significant byte first, as RFC 1321 writes them.
Md5Digest digest_of(const Md5State& state) {
  Md5Digest digest{};
  for (std::size_t word = 0; word < 4; ++word) {
    for (std::size_t byte = 0; byte < 4; ++byte)
      digest[4 * word + byte] = static_cast<std::uint8_t>(state[word] >> (8 * byte));
  }
  return digest;
}

}  // namespace

void md5_absorb(Md5State& state, const std::uint8_t* data, std::size_t blocks) {
  // Pieces the 32-bit length of the block loop can hold, whole blocks each.
  constexpr std::size_t MAX_BLOCKS = (std::size_t{1} << 31) / 64;
  for (std::size_t done = 0; done < blocks;) {
    const std::size_t piece = std::min(blocks - done, MAX_BLOCKS);
    process_blocks(state, data + 64 * done, static_cast<std::uint32_t>(piece * 64));
    done += piece;
  }
}

bool md5_streams_have_bmi2() {
  return cpu_features().bmi2;
}

void md5_absorb_streams(std::span<Md5State* const> states,
                        std::span<const std::uint8_t* const> data, std::size_t blocks) {
  if (md5_streams_have_bmi2() && states.size() >= 2 && states.size() <= MD5_MAX_STREAMS) {
    md5_absorb_streams_bmi2(states, data, blocks);
  } else {
    md5_absorb_streams_portable(states, data, blocks);
  }
}

void md5_absorb_streams_portable(std::span<Md5State* const> states,
                                 std::span<const std::uint8_t* const> data, std::size_t blocks) {
  switch (states.size()) {
    case 1:
      md5_absorb(*states[0], data[0], blocks);
      return;
    case 2:
      absorb_interleaved<2>(states, data, blocks);
      return;
    case 3:
      absorb_interleaved<3>(states, data, blocks);
      return;
    default:
      for (std::size_t s = 0; s < states.size(); ++s)
        md5_absorb(*states[s], data[s], blocks);
  }
}

void md5_update(Md5& md5, std::span<const std::uint8_t> bytes) {
  std::size_t held = static_cast<std::size_t>(md5.length % 64);
  md5.length += bytes.size();
  if (held > 0) {
    const std::size_t taken = std::min(bytes.size(), 64 - held);
    std::copy_n(bytes.begin(), taken, md5.partial.begin() + static_cast<std::ptrdiff_t>(held));
    bytes = bytes.subspan(taken);
    if (held + taken < 64) return;
    md5_absorb(md5.state, md5.partial.data(), 1);
  }
  const std::size_t blocks = bytes.size() / 64;
  md5_absorb(md5.state, bytes.data(), blocks);
  const auto rest = bytes.subspan(64 * blocks);
  std::copy(rest.begin(), rest.end(), md5.partial.begin());
}

Md5Digest md5_finish(const Md5& md5) {
  std::array<std::uint8_t, 128> tail{};
  const auto held = static_cast<std::uint32_t>(md5.length % 64);
  std::copy_n(md5.partial.begin(), held, tail.begin());
  Md5State state = md5.state;
  process_blocks(state, tail.data(), pad_message(tail.data(), held, md5.length));
  return digest_of(state);
}

Md5Digest md5_of(std::span<const std::uint8_t> bytes) {
  Md5 md5;
  md5_update(md5, bytes);
  return md5_finish(md5);
}

}  // namespace md5refresh
