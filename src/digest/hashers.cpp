// SPDX-License-Identifier: MIT
// The kinds beside MD5 go through the same bytes the lanes take: a chunk on
// the reader, or a group's blocks in the worker; never both.
#include "digest/hashers.hpp"

#include <array>

#include "md5/md5_lanes.hpp"

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

bool beside_in_group(const Hashers& hashers) {
  return hashers.wanted.sha256 && !hashers.beside_on_reader;
}

}  // namespace

HexDigest hex_digest(const Md5Digest& digest) {
  return hex_of<HexDigest>(digest);
}

Sha256Hex sha256_hex(const Sha256Digest& digest) {
  return hex_of<Sha256Hex>(digest);
}

void update_on_reader(Hashers& hashers, std::span<const std::uint8_t> bytes) {
  if (hashers.wanted.sha256) sha256_update(hashers.sha256, bytes);
}

void absorb_beside(std::span<Hashers* const> group, std::span<const std::uint8_t* const> data,
                   std::size_t blocks) {
  std::array<Sha256State*, MD5_MAX_LANES> states{};
  std::array<const std::uint8_t*, MD5_MAX_LANES> starts{};
  std::size_t count = 0;
  for (std::size_t i = 0; i < group.size(); ++i) {
    if (!beside_in_group(*group[i])) continue;
    states[count] = &group[i]->sha256.state;
    starts[count++] = data[i];
    group[i]->sha256.length += 64 * blocks;
  }
  sha256_absorb_streams(std::span(states).first(count), std::span(starts).first(count), blocks);
}

Digests finish_hashers(Hashers& hashers, std::span<const std::uint8_t> tail) {
  md5_update(hashers.md5, tail);
  Digests digests{hex_digest(md5_finish(hashers.md5)), {}};
  if (beside_in_group(hashers)) sha256_update(hashers.sha256, tail);
  if (hashers.wanted.sha256) digests.sha256 = sha256_hex(sha256_finish(hashers.sha256));
  return digests;
}

}  // namespace md5refresh
