// SPDX-License-Identifier: MIT
// The progress line of a long digest: one line on stderr, on a terminal only
// (scripts and pipes see nothing of it), redrawn a few times a second: the file
// or the files done, the share of their bytes read, the speed.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace md5refresh {

// Files at least this large together show progress.
inline constexpr std::uint64_t PROGRESS_THRESHOLD = 64ull << 20;

// How often the line is drawn again.
inline constexpr std::chrono::milliseconds PROGRESS_INTERVAL{250};

struct ProgressLine {
  bool shown;
  bool on_screen;    // drawn and not taken away since
  std::string name;  // of a file digested alone, as the terminal may show it; or empty
  std::uint64_t total;
  std::size_t files;
  std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::time_point last_drawn;
};

[[nodiscard]] ProgressLine begin_progress_line(std::uint64_t total_bytes, std::size_t files,
                                               std::string_view lone_name);
// A run whose size is not known ahead (a walk of folders): files done, bytes
// read and speed, once PROGRESS_THRESHOLD bytes are read.
[[nodiscard]] ProgressLine begin_open_ended_progress_line();
void draw_progress_line(ProgressLine& line, std::size_t files_done, std::uint64_t bytes_done);
// Takes the line away (before other lines are printed); the next draw brings it back.
void clear_progress_line(ProgressLine& line);

// The line's text in at most `columns` - 1 columns, so the terminal never
// wraps it: `label`, ": " and `figures`; a label too long loses its middle
// ("...") at a character boundary, keeping the file name at its end, and one
// with no room at all goes.
[[nodiscard]] std::string fit_progress_text(std::string_view label, std::string_view figures,
                                            int columns);

}  // namespace md5refresh
