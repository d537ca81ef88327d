// SPDX-License-Identifier: MIT
// The progress line of a long digest: on a terminal only, so that scripts and
// pipes see nothing of it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Files at least this large show progress.
inline constexpr std::uint64_t PROGRESS_THRESHOLD = 64ull << 20;

// How often the line is drawn again.
inline constexpr std::chrono::milliseconds PROGRESS_INTERVAL{250};

// The progress line of a run: the file (when there is one, named) or the files
// done, the share of all their bytes read, the speed. Shown on a terminal when
// the files together reach PROGRESS_THRESHOLD.
struct RunProgress {
  bool shown;
  bool on_screen;  // drawn and not cleared since
  const char* name;
  std::uint64_t total;
  std::size_t files;
  std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::time_point last_update;
};

[[nodiscard]] RunProgress begin_run_progress(std::uint64_t total_bytes, std::size_t files,
                                             const char* name);
void show_run_progress(RunProgress& progress, std::size_t files_done, std::uint64_t bytes_done);
// Takes the line away (before other lines are printed); the next show draws it again.
void clear_run_progress(RunProgress& progress);
