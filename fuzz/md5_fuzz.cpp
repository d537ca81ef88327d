// SPDX-License-Identifier: MIT
// Fuzz target: the engine agrees with libcrypto on any message, fed to the value
// engine in pieces of any length and to md5_process in whole-block absorbing
// calls. The first input bytes choose the pieces.
#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.hpp"
#include "md5/md5.hpp"
#include "md5/md5_process.hpp"

using namespace md5refresh;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::PiecedMessage input{};
  if (!fuzz::pieced_message(data, size, input)) return 0;
  const std::size_t split_count = input.split_count;
  const std::uint8_t* splits = input.splits;
  const std::uint8_t* message = input.message;
  const std::size_t length = input.length;

  std::vector<std::uint8_t> buffer(message, message + length);
  buffer.resize(length + MD5_PADDING_ROOM);
  Md5Context* context = nullptr;
  std::size_t offset = 0;
  for (std::size_t i = 0; i < split_count; ++i) {
    const std::size_t blocks = splits[i] % 4 + 1;
    if (offset + 64 * blocks > length) break;
    context = md5_process(buffer.data() + offset, static_cast<std::uint32_t>(64 * blocks), nullptr,
                          context);
    offset += 64 * blocks;
  }
  Md5Digest digest{};
  if (length - offset != 0 && (length - offset) % 64 == 0) {
    context = md5_process(buffer.data() + offset, static_cast<std::uint32_t>(length - offset),
                          nullptr, context);
    offset = length;
  }
  if (md5_process(buffer.data() + offset, static_cast<std::uint32_t>(length - offset), &digest,
                  context) != nullptr) {
    std::abort();
  }

  std::uint8_t expected[16];
  unsigned int expected_length = 0;
  EVP_Digest(message, length, expected, &expected_length, EVP_md5(), nullptr);
  if (std::memcmp(digest.data(), expected, sizeof expected) != 0) std::abort();

  Md5 md5;
  fuzz::feed_in_pieces(input, [&](const std::uint8_t* bytes, std::size_t count) {
    md5_update(md5, {bytes, count});
  });
  if (std::memcmp(md5_finish(md5).data(), expected, sizeof expected) != 0) std::abort();
  return 0;
}
