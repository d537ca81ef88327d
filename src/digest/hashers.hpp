// SPDX-License-Identifier: MIT
// The hashers a stream feeds its file's bytes through: MD5 always, taken by
// the multi-buffer engine in lanes beside other streams, and the kinds its
// job wants beside it, taken here, on the reading thread as each chunk is
// read or beside the MD5 in the worker's group.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "digest/job.hpp"
#include "md5/md5.hpp"
#include "sha256/sha256.hpp"

namespace md5refresh {

struct Hashers {
  DigestKinds wanted{};
  Md5 md5;
  Sha256 sha256;
  // The kinds beside MD5 take each chunk as it is read (a core of its own
  // reads ahead for the stream), not beside the MD5 in the group.
  bool beside_on_reader = false;
};

// The kinds beside MD5, over bytes read, on the reading thread.
void update_on_reader(Hashers& hashers, std::span<const std::uint8_t> bytes);

// The kinds beside MD5 of several streams over `blocks` whole blocks of each,
// where they are not taken on a reader: two SHA-256 chains side by side.
void absorb_beside(std::span<Hashers* const> group, std::span<const std::uint8_t* const> data,
                   std::size_t blocks);

// Every kind over the stream's last bytes, `tail`, and finished.
[[nodiscard]] Digests finish_hashers(Hashers& hashers, std::span<const std::uint8_t> tail);

// Lowercase hex digits and a NUL.
[[nodiscard]] HexDigest hex_digest(const Md5Digest& digest);
[[nodiscard]] Sha256Hex sha256_hex(const Sha256Digest& digest);

}  // namespace md5refresh
