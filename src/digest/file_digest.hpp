// SPDX-License-Identifier: MIT
// The digest of everything left in an open stream, as 32 lowercase hex digits.
#pragma once

#include <array>
#include <cstdio>

#include "md5/md5.hpp"

namespace md5refresh {

using HexDigest = std::array<char, 33>;  // 32 digits and a NUL

enum class DigestStatus { ok, open_error, read_error, out_of_memory };

struct DigestResult {
  DigestStatus status;
  int error;  // errno value when status is not ok
};

// Reads `stream` from its position to its end, as a run of one file. Only when
// every byte was read are the digits stored in `hex`.
[[nodiscard]] DigestResult digest_file(std::FILE* stream, HexDigest& hex);

// 32 lowercase hex digits and a NUL.
[[nodiscard]] HexDigest hex_digest(const Md5Digest& digest);

}  // namespace md5refresh
