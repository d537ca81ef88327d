// SPDX-License-Identifier: MIT
// The SHA-256 engine (FIPS 180-4) as a value the caller owns, as the MD5
// engine is: the running state, the byte count and the bytes short of a
// block, fed any length and finished once, with no heap and no failure. The
// block kernels behind it absorb whole 64-byte blocks into a bare state: a
// portable one, the reference, and one for the CPU's SHA extensions, chosen
// once at run time. No threads, no files.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace md5refresh {

using Sha256State = std::array<std::uint32_t, 8>;
using Sha256Digest = std::array<std::uint8_t, 32>;

inline constexpr Sha256State SHA256_INITIAL_STATE{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

struct Sha256 {
  Sha256State state = SHA256_INITIAL_STATE;
  std::uint64_t length = 0;                // message bytes taken so far
  std::array<std::uint8_t, 64> partial{};  // the last length % 64 of them
};

void sha256_update(Sha256& sha, std::span<const std::uint8_t> bytes);

// The digest of everything taken; `sha` itself stays as it was.
[[nodiscard]] Sha256Digest sha256_finish(const Sha256& sha);

[[nodiscard]] Sha256Digest sha256_of(std::span<const std::uint8_t> bytes);

enum class Sha256Kernel { portable, sha_extensions };

[[nodiscard]] bool sha256_kernel_available(Sha256Kernel kernel);

// The fastest kernel this CPU has, asked once.
[[nodiscard]] Sha256Kernel sha256_best_kernel();

[[nodiscard]] const char* sha256_kernel_name(Sha256Kernel kernel);

// Absorbs `blocks` whole 64-byte blocks at `data` into a running state, with
// the best kernel, or with `kernel` (one the CPU has).
void sha256_absorb(Sha256State& state, const std::uint8_t* data, std::size_t blocks);
void sha256_absorb_with(Sha256Kernel kernel, Sha256State& state, const std::uint8_t* data,
                        std::size_t blocks);

// Absorbs `blocks` blocks from each `data[i]` into `*states[i]`, any number of
// messages, side by side where the best kernel takes several.
void sha256_absorb_streams(std::span<Sha256State* const> states,
                           std::span<const std::uint8_t* const> data, std::size_t blocks);

// The kernels themselves; the second only where the CPU has the SHA extensions.
void sha256_absorb_portable(Sha256State& state, const std::uint8_t* data, std::size_t blocks);
void sha256_absorb_sha_extensions(Sha256State& state, const std::uint8_t* data, std::size_t blocks);
// Up to SHA256_MAX_STREAMS messages side by side with the SHA extensions:
// the rounds instruction waits for its result, and the other's rounds fill
// the wait (measured on Zen 4: two give 1.8 times the bytes of one, three 1.9
// times: an odd one out goes with the last pair, not alone).
inline constexpr std::size_t SHA256_MAX_STREAMS = 3;
void sha256_absorb_streams_sha_extensions(std::span<Sha256State* const> states,
                                          std::span<const std::uint8_t* const> data,
                                          std::size_t blocks);

}  // namespace md5refresh
