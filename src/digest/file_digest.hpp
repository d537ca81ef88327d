// SPDX-License-Identifier: MIT
// The digest of everything left in an open stream, as 32 lowercase hex digits;
// the digests' hex forms.
#pragma once

#include <array>
#include <cstdio>

#include "md5/md5.hpp"
#include "sha256/sha256.hpp"

namespace md5refresh {

using HexDigest = std::array<char, 33>;  // 32 digits and a NUL
using Sha256Hex = std::array<char, 65>;  // 64 digits and a NUL

enum class DigestStatus { ok, open_error, read_error, out_of_memory };

struct DigestResult {
  DigestStatus status;
  int error;  // errno value when status is not ok
};

// Reads `stream` from its position to its end, as a run of one file. Only when
// every byte was read are the digits stored in `hex`.
[[nodiscard]] DigestResult digest_file(std::FILE* stream, HexDigest& hex);

// Lowercase hex digits and a NUL.
[[nodiscard]] HexDigest hex_digest(const Md5Digest& digest);
[[nodiscard]] Sha256Hex sha256_hex(const Sha256Digest& digest);

}  // namespace md5refresh
