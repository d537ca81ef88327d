// SPDX-License-Identifier: MIT
// Reads the manifest text format into the fixed table, and tells why a manifest
// cannot be taken whole rather than keeping part of it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdio>
#include <string>

#include "manifest/manifest.hpp"

namespace md5refresh {

enum class ReadStatus {
  ok,
  does_not_fit,   // more than MAX_SECTIONS sections or MAX_ENTRIES entries in one
  name_too_long,  // longer than 127 bytes
  key_too_long,
  value_too_long,
  nul_byte,
  lone_carriage_return,       // a CR not followed by LF
  blank_after_brace,          // a line that is no header but ends in "{" and blanks
  text_outside_section,       // neither blank, closing line nor comment
  wide_encoding,              // a UTF-16 or UTF-32 byte order mark
  text_after_value,           // a value with a blank inside: the rest would be dropped
  no_key,                     // "=value": an entry with nothing before its "="
  text_in_header,             // text between "=" and "{" of a header would be dropped
  text_after_brace,           // "}" with more than blanks after it on its line
  line_too_long,              // more than 1022 characters, neither blank nor a comment
  name_like_byte_order_mark,  // would read back as a byte order mark
  header_without_equals,      // a line ending in "{" with no "=" before it
  text_after_ctrl_z,          // more than 0x1A bytes, blanks and line ends after a 0x1A
  read_error,                 // `error` holds errno
};

// A line inside a section without "=": kept as a key with no value, which the
// rewrite shows with one; the caller warns of the first few.
struct KeylessLine {
  long line;
  int section;
};
inline constexpr std::size_t KEYLESS_LINES_KEPT = 8;

struct ReadResult {
  ReadStatus status;
  long line;  // 1-based line of the input where reading failed
  int error;
  std::array<KeylessLine, KEYLESS_LINES_KEPT> keyless = {};
  int keyless_count = 0;  // all of them, past those kept too
};

// Fills an empty (zero-filled) table from a stream opened in binary mode,
// noting a UTF-8 byte order mark at its start. `bytes`, when given, receives
// the stream's bytes to its end (past a Ctrl-Z too) when the read is ok: what
// a later look at the file is compared with.
[[nodiscard]] ReadResult read_manifest(std::FILE* input, Manifest& manifest,
                                       std::string* bytes = nullptr);

[[nodiscard]] const char* read_status_text(ReadStatus status);

}  // namespace md5refresh
