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

struct Progress {
  bool shown;  // false: every call below does nothing
  const char* name;
  std::uint64_t total;
  std::uint64_t done;
  std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::time_point last_update;
};

// Shown when standard error is a terminal and `stream` is a file larger than
// PROGRESS_THRESHOLD.
[[nodiscard]] Progress begin_progress(std::FILE* stream, const char* name);
void advance_progress(Progress& progress, std::uint64_t bytes);
// Clears the line.
void end_progress(Progress& progress);

// The progress line of a run that digests several files at once: files done,
// the share of all their bytes read, the speed. Shown on a terminal when the
// files together reach PROGRESS_THRESHOLD.
struct RunProgress {
  bool shown;
  bool on_screen;  // drawn and not cleared since
  std::uint64_t total;
  std::size_t files;
  std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::time_point last_update;
};

[[nodiscard]] RunProgress begin_run_progress(std::uint64_t total_bytes, std::size_t files);
void show_run_progress(RunProgress& progress, std::size_t files_done, std::uint64_t bytes_done);
// Takes the line away (before other lines are printed); the next show draws it again.
void clear_run_progress(RunProgress& progress);
