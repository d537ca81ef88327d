// SPDX-License-Identifier: MIT
// A digest is reported only when it covers the whole stream: a read error part
// way through must never pass for the digest of the file.
#include "digest/file_digest.hpp"

#include <utility>

#include "digest/file_set_digest.hpp"
#include "platform/file_access.hpp"

namespace md5refresh {

namespace {

template <typename Hex, typename Digest>
Hex hex_of(const Digest& digest) {
  static_assert(std::tuple_size_v<Hex> == 2 * std::tuple_size_v<Digest> + 1);
  static constexpr char DIGITS[] = "0123456789abcdef";
  Hex hex{};
  for (std::size_t i = 0; i < digest.size(); ++i) {
    hex[2 * i] = DIGITS[digest[i] >> 4];
    hex[2 * i + 1] = DIGITS[digest[i] & 0xf];
  }
  return hex;
}

}  // namespace

HexDigest hex_digest(const Md5Digest& digest) {
  return hex_of<HexDigest>(digest);
}

Sha256Hex sha256_hex(const Sha256Digest& digest) {
  return hex_of<Sha256Hex>(digest);
}

DigestResult digest_file(std::FILE* stream, HexDigest& hex) {
  FileJob job{stream, regular_file_size(stream), {}, {}};
  bool fed = false;
  digest_files(
      [&](FileJob*& next) {
        next = &job;
        return !std::exchange(fed, true);
      },
      [](FileJob&, const ClosedStamps*) {}, {.window = 1, .expected = 1, .close_streams = false});
  if (job.result.status == DigestStatus::ok) hex = job.hex;
  return job.result;
}

}  // namespace md5refresh
