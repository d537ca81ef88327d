// SPDX-License-Identifier: MIT
// The digest of everything left in an open stream, as 32 lowercase hex digits.
#pragma once

#include <array>
#include <cstdio>

#include "digest/job.hpp"

namespace md5refresh {

// Reads `stream` from its position to its end, as a run of one file. Only when
// every byte was read are the digits stored in `hex`.
[[nodiscard]] DigestResult digest_file(std::FILE* stream, HexDigest& hex);

}  // namespace md5refresh
