// SPDX-License-Identifier: MIT
// The digest of everything left in an open stream, and the report line that
// shows it: 32 lowercase hex digits, a tab, the display name, a newline.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>

#include "digest/md5.hpp"

// Reads fill at most half the work buffer; the other half is room for the
// padding that the engine writes behind the data on its final call.
inline constexpr std::size_t WORK_BUFFER_SIZE = 16384;
inline constexpr std::size_t READ_WINDOW = 8192;
static_assert(READ_WINDOW % 64 == 0 && READ_WINDOW + MD5_PADDING_ROOM <= WORK_BUFFER_SIZE);

using HexDigest = std::array<char, 33>;  // 32 digits and a NUL

enum class DigestStatus { ok, read_error, out_of_memory };

struct DigestResult {
  DigestStatus status;
  int error;  // errno value when status is not ok
};

// Reads `stream` from its position to its end. Only when every byte was read is
// the report line printed on stdout (without the tab and name when
// `display_name` is null) and the digits stored in `hex` (when not null).
[[nodiscard]] DigestResult digest_file(std::FILE* stream, const char* display_name, HexDigest* hex);

// 32 lowercase hex digits and a NUL.
[[nodiscard]] HexDigest hex_digest(const Md5Digest& digest);

// The report line, sent on its way at once: a log shows it before any message
// that follows, and an interrupted run keeps the lines already made.
void print_report_line(const HexDigest& hex, const char* display_name);

// The same without the report line; `display_name` (or null) names the file in
// the progress line that long reads show on a terminal.
[[nodiscard]] DigestResult compute_file_digest(std::FILE* stream, const char* display_name,
                                               HexDigest& hex);

// Ends a message with the engine's final call on the `length` bytes at `data`;
// false when the engine could not allocate a context.
[[nodiscard]] bool finish_digest(std::uint8_t* data, std::uint32_t length, Md5Digest& digest,
                                 Md5Context* context);

// The read loop of digest_file, over any source: `read_window(window, size)`
// puts up to `size` bytes at `window` and returns how many, 0 at the end. Bytes
// gather until they form whole blocks, which go to the engine where they lie.
template <typename ReadWindow>
[[nodiscard]] DigestStatus digest_stream(ReadWindow read_window, Md5Digest& digest) {
  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[WORK_BUFFER_SIZE]());
  if (buffer == nullptr) return DigestStatus::out_of_memory;
  Md5Context* context = nullptr;
  std::size_t gathered = 0;
  for (std::size_t delivered;
       (delivered = read_window(buffer.get() + gathered, READ_WINDOW - gathered)) > 0;) {
    gathered += delivered;
    if (gathered % 64 == 0) {
      context = md5_process(buffer.get(), static_cast<std::uint32_t>(gathered), nullptr, context);
      if (context == nullptr) return DigestStatus::out_of_memory;
      gathered = 0;
    }
  }
  return finish_digest(buffer.get(), static_cast<std::uint32_t>(gathered), digest, context)
             ? DigestStatus::ok
             : DigestStatus::out_of_memory;
}
