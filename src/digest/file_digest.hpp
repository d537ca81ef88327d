// SPDX-License-Identifier: MIT
// The digest of everything left in an open stream, and the report line that
// shows it: 32 lowercase hex digits, a tab, the display name, a newline.
#pragma once

#include <array>
#include <cstdio>

#include "md5/md5.hpp"

using HexDigest = std::array<char, 33>;  // 32 digits and a NUL

enum class DigestStatus { ok, read_error, out_of_memory };

struct DigestResult {
  DigestStatus status;
  int error;  // errno value when status is not ok
};

// Reads `stream` from its position to its end, as a run of one file. Only when
// every byte was read is the report line printed on stdout (without the tab and
// name when `display_name` is null) and the digits stored in `hex` (when not
// null).
[[nodiscard]] DigestResult digest_file(std::FILE* stream, const char* display_name, HexDigest* hex);

// 32 lowercase hex digits and a NUL.
[[nodiscard]] HexDigest hex_digest(const Md5Digest& digest);

// The report line, sent on its way at once: a log shows it before any message
// that follows, and an interrupted run keeps the lines already made.
void print_report_line(const HexDigest& hex, const char* display_name);
