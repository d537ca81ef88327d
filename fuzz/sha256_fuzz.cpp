// SPDX-License-Identifier: MIT
// Fuzz target: the SHA-256 engine agrees with libcrypto on any message, fed to
// the value in pieces of any length, and every kernel the CPU has agrees on
// the message's whole blocks, alone and beside copies of itself. The first
// input bytes choose the pieces.
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.hpp"
#include "sha256/sha256.hpp"

using namespace md5refresh;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::PiecedMessage input{};
  if (!fuzz::pieced_message(data, size, input)) return 0;
  const std::uint8_t* message = input.message;
  const std::size_t length = input.length;

  std::uint8_t expected[32];
  unsigned int expected_length = 0;
  EVP_Digest(message, length, expected, &expected_length, EVP_sha256(), nullptr);
  Sha256 sha;
  fuzz::feed_in_pieces(input, [&](const std::uint8_t* bytes, std::size_t count) {
    sha256_update(sha, {bytes, count});
  });
  if (std::memcmp(sha256_finish(sha).data(), expected, sizeof expected) != 0) std::abort();

  const std::size_t blocks = length / 64;
  Sha256State reference = SHA256_INITIAL_STATE;
  sha256_absorb_portable(reference, message, blocks);
  for (Sha256Kernel kernel : {Sha256Kernel::sha_extensions}) {
    if (!sha256_kernel_available(kernel)) continue;
    Sha256State state = SHA256_INITIAL_STATE;
    sha256_absorb_with(kernel, state, message, blocks);
    if (state != reference) std::abort();
  }
  std::array<Sha256State, 5> states;
  states.fill(SHA256_INITIAL_STATE);
  std::array<Sha256State*, 5> pointers{};
  std::array<const std::uint8_t*, 5> sources{};
  for (std::size_t i = 0; i < states.size(); ++i) {
    pointers[i] = &states[i];
    sources[i] = message;
  }
  const std::size_t side_by_side = input.split_count % 5 + 1;
  sha256_absorb_streams(std::span(pointers).first(side_by_side),
                        std::span(sources).first(side_by_side), blocks);
  for (std::size_t i = 0; i < side_by_side; ++i) {
    if (states[i] != reference) std::abort();
  }
  return 0;
}
