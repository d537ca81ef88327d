// SPDX-License-Identifier: MIT
// The digest of everything left in an open stream, as 32 lowercase hex digits.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>

#include "md5/md5.hpp"

namespace md5refresh {

using HexDigest = std::array<char, 33>;  // 32 digits and a NUL

enum class DigestStatus { ok, read_error, out_of_memory };

struct DigestResult {
  DigestStatus status;
  int error;  // errno value when status is not ok
};

// Reads `stream` from its position to its end, as a run of one file. Only when
// every byte was read are the digits stored in `hex`.
[[nodiscard]] DigestResult digest_file(std::FILE* stream, HexDigest& hex);

// Files up to this size are digested where they are opened, in a read or two
// and the scalar engine: handing one to a worker costs more than digesting it
// (one kernel call's worth of blocks).
inline constexpr std::uint64_t SMALL_FILE_BYTES = 64 * 1024;

// Reads `stream` to its end on the calling thread, in chunks of
// SMALL_FILE_BYTES: for a small file, with no thread and no hand-over. Only
// when every byte was read are the digits stored in `hex`.
[[nodiscard]] DigestResult digest_file_here(std::FILE* stream, HexDigest& hex);

// 32 lowercase hex digits and a NUL.
[[nodiscard]] HexDigest hex_digest(const Md5Digest& digest);

}  // namespace md5refresh
