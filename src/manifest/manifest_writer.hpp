// SPDX-License-Identifier: MIT
// Writes the manifest table in its canonical layout.
#pragma once

#include <bitset>
#include <cstdio>

#include "manifest/manifest.hpp"

namespace md5refresh {

// Writes every section that `left_out` does not mark as
//   name={
//           key=value
//   }
//   (empty line)
// with LF line ends, after the UTF-8 byte order mark the input began with. False when a write
// failed; errno tells why.
[[nodiscard]] bool write_manifest(std::FILE* output, const Manifest& manifest,
                                  const std::bitset<MAX_SECTIONS>& left_out);

}  // namespace md5refresh
