// The progress line of a long digest: on a terminal only, so that scripts and
// pipes see nothing of it.
#pragma once

#include <chrono>
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
