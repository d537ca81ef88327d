// SPDX-License-Identifier: MIT
// The portable kernel keeps the 16-word message schedule as a ring and the
// eight working words in locals, the round loop unrolled so that the renaming
// between rounds costs nothing. Lengths are big-endian, words too.
#include "sha256/sha256.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "platform/cpu_features.hpp"
#include "sha256/sha256_constants.hpp"

namespace md5refresh {

namespace {

std::uint32_t load_big_endian(const std::uint8_t* bytes) {
  return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
         std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]};
}

void absorb_block(Sha256State& state, const std::uint8_t* block) {
  std::array<std::uint32_t, 16> w;
  for (std::size_t i = 0; i < 16; ++i)
    w[i] = load_big_endian(block + 4 * i);
  auto [a, b, c, d, e, f, g, h] = state;
#if defined(__GNUC__)
#pragma GCC unroll 64
#endif
  for (std::size_t i = 0; i < 64; ++i) {
    if (i >= 16) {
      const std::uint32_t w15 = w[(i - 15) % 16], w2 = w[(i - 2) % 16];
      const std::uint32_t sigma0 = std::rotr(w15, 7) ^ std::rotr(w15, 18) ^ (w15 >> 3);
      const std::uint32_t sigma1 = std::rotr(w2, 17) ^ std::rotr(w2, 19) ^ (w2 >> 10);
      w[i % 16] += sigma0 + w[(i - 7) % 16] + sigma1;
    }
    const std::uint32_t choice = (e & f) ^ (~e & g);
    const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    const std::uint32_t big_sigma1 = std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25);
    const std::uint32_t big_sigma0 = std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22);
    const std::uint32_t t1 = h + big_sigma1 + choice + SHA256_ROUND_CONSTANTS[i] + w[i % 16];
    const std::uint32_t t2 = big_sigma0 + majority;
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  const Sha256State worked{a, b, c, d, e, f, g, h};
  for (std::size_t i = 0; i < 8; ++i)
    state[i] += worked[i];
}

}  // namespace

void sha256_absorb_portable(Sha256State& state, const std::uint8_t* data, std::size_t blocks) {
  for (std::size_t i = 0; i < blocks; ++i)
    absorb_block(state, data + 64 * i);
}

bool sha256_kernel_available(Sha256Kernel kernel) {
  return kernel == Sha256Kernel::portable || cpu_features().sha_extensions;
}

Sha256Kernel sha256_best_kernel() {
  return sha256_kernel_available(Sha256Kernel::sha_extensions) ? Sha256Kernel::sha_extensions
                                                               : Sha256Kernel::portable;
}

const char* sha256_kernel_name(Sha256Kernel kernel) {
  return kernel == Sha256Kernel::sha_extensions ? "sha-extensions" : "portable";
}

void sha256_absorb_with(Sha256Kernel kernel, Sha256State& state, const std::uint8_t* data,
                        std::size_t blocks) {
  if (kernel == Sha256Kernel::sha_extensions) {
    sha256_absorb_sha_extensions(state, data, blocks);
  } else {
    sha256_absorb_portable(state, data, blocks);
  }
}

void sha256_absorb(Sha256State& state, const std::uint8_t* data, std::size_t blocks) {
  static const Sha256Kernel best = sha256_best_kernel();
  sha256_absorb_with(best, state, data, blocks);
}

void sha256_absorb_streams(std::span<Sha256State* const> states,
                           std::span<const std::uint8_t* const> data, std::size_t blocks) {
  static const Sha256Kernel best = sha256_best_kernel();
  for (std::size_t first = 0, count = 0; first < states.size(); first += count) {
    const std::size_t left = states.size() - first;
    count = left == 3 ? 3 : std::min<std::size_t>(left, 2);
    if (best == Sha256Kernel::sha_extensions) {
      sha256_absorb_streams_sha_extensions(states.subspan(first, count), data.subspan(first, count),
                                           blocks);
      continue;
    }
    for (std::size_t i = first; i < first + count; ++i)
      sha256_absorb_portable(*states[i], data[i], blocks);
  }
}

void sha256_update(Sha256& sha, std::span<const std::uint8_t> bytes) {
  std::size_t held = static_cast<std::size_t>(sha.length % 64);
  sha.length += bytes.size();
  if (held != 0) {
    const std::size_t taken = std::min(bytes.size(), 64 - held);
    std::memcpy(sha.partial.data() + held, bytes.data(), taken);
    bytes = bytes.subspan(taken);
    if (held + taken < 64) return;
    sha256_absorb(sha.state, sha.partial.data(), 1);
  }
  const std::size_t blocks = bytes.size() / 64;
  if (blocks != 0) sha256_absorb(sha.state, bytes.data(), blocks);
  bytes = bytes.subspan(blocks * 64);
  if (!bytes.empty()) std::memcpy(sha.partial.data(), bytes.data(), bytes.size());
}

Sha256Digest sha256_finish(const Sha256& sha) {
  // The padding: 0x80, zeros, the length in bits, most significant byte first.
  std::array<std::uint8_t, 128> tail{};
  const std::size_t held = static_cast<std::size_t>(sha.length % 64);
  std::memcpy(tail.data(), sha.partial.data(), held);
  tail[held] = 0x80;
  const std::size_t size = held < 56 ? 64 : 128;
  const std::uint64_t bits = sha.length * 8;
  for (std::size_t i = 0; i < 8; ++i)
    tail[size - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
  Sha256State state = sha.state;
  sha256_absorb(state, tail.data(), size / 64);
  Sha256Digest digest;
  for (std::size_t i = 0; i < 8; ++i) {
    for (std::size_t byte = 0; byte < 4; ++byte)
      digest[4 * i + byte] = static_cast<std::uint8_t>(state[i] >> (24 - 8 * byte));
  }
  return digest;
}

Sha256Digest sha256_of(std::span<const std::uint8_t> bytes) {
  Sha256 sha;
  sha256_update(sha, bytes);
  return sha256_finish(sha);
}

}  // namespace md5refresh
