// SPDX-License-Identifier: MIT
// Writes the manifest table in its canonical layout.
#pragma once

#include <bitset>
#include <string>

#include "manifest/manifest.hpp"

namespace md5refresh {

// The text of every section that `left_out` does not mark, laid out as
//   name={
//           key=value
//   }
//   (empty line)
// with LF line ends, after the UTF-8 byte order mark the input began with;
// the comments outside sections stand where they were read, a left-out
// section's too.
[[nodiscard]] std::string manifest_text(const Manifest& manifest,
                                        const std::bitset<MAX_SECTIONS>& left_out);

}  // namespace md5refresh
