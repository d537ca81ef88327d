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

#include "md5/md5.hpp"

using namespace md5refresh;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t split_count = size == 0 ? 0 : data[0] % 8;
  if (size < 1 + split_count) return 0;
  const std::uint8_t* splits = data + 1;
  const std::uint8_t* message = data + 1 + split_count;
  const std::size_t length = size - 1 - split_count;

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
  offset = 0;
  for (std::size_t i = 0; i < split_count && offset < length; ++i) {
    const std::size_t piece = std::min<std::size_t>(splits[i] * 3u, length - offset);
    md5_update(md5, {message + offset, piece});
    offset += piece;
  }
  md5_update(md5, {message + offset, length - offset});
  if (std::memcmp(md5_finish(md5).data(), expected, sizeof expected) != 0) std::abort();
  return 0;
}
