// SPDX-License-Identifier: MIT
// One line on stderr, rewritten in place a few times a second: the file, how
// much of it is read, and how fast.
#include "digest/progress.hpp"

#include <algorithm>

#include "platform/diagnostics.hpp"
#include "platform/file_access.hpp"

namespace {

constexpr auto UPDATE_INTERVAL = std::chrono::milliseconds(250);
constexpr int LINE_WIDTH = 79;  // what the line is blanked with when it goes

void blank_line() {
  std::fprintf(stderr, "\r%*s\r", LINE_WIDTH, "");
  std::fflush(stderr);
}

void show(const Progress& progress, std::chrono::steady_clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - progress.start).count();
  const double mib_per_second =
      seconds > 0 ? static_cast<double>(progress.done) / seconds / (1 << 20) : 0.0;
  const auto percent = progress.done * 100 / progress.total;
  std::fprintf(stderr, "\r%-.50s: %3llu%% %6.0f MiB/s", escaped_text(progress.name).c_str(),
               static_cast<unsigned long long>(percent), mib_per_second);
  std::fflush(stderr);
}

}  // namespace

Progress begin_progress(std::FILE* stream, const char* name) {
  Progress progress{};
  if (name == nullptr || !stderr_is_terminal()) return progress;
  progress.total = regular_file_size(stream);
  if (progress.total < PROGRESS_THRESHOLD) return progress;
  progress.shown = true;
  progress.name = name;
  progress.start = progress.last_update = std::chrono::steady_clock::now();
  show(progress, progress.start);
  return progress;
}

void advance_progress(Progress& progress, std::uint64_t bytes) {
  if (!progress.shown) return;
  progress.done += bytes;
  const auto now = std::chrono::steady_clock::now();
  if (now - progress.last_update < UPDATE_INTERVAL || progress.done > progress.total) return;
  progress.last_update = now;
  show(progress, now);
}

void end_progress(Progress& progress) {
  if (!progress.shown) return;
  blank_line();
  progress.shown = false;
}

RunProgress begin_run_progress(std::uint64_t total_bytes, std::size_t files) {
  RunProgress progress{};
  if (total_bytes < PROGRESS_THRESHOLD || !stderr_is_terminal()) return progress;
  progress.shown = true;
  progress.total = total_bytes;
  progress.files = files;
  progress.start = std::chrono::steady_clock::now();
  return progress;
}

void show_run_progress(RunProgress& progress, std::size_t files_done, std::uint64_t bytes_done) {
  if (!progress.shown) return;
  const auto now = std::chrono::steady_clock::now();
  if (progress.on_screen && now - progress.last_update < UPDATE_INTERVAL) return;
  progress.last_update = now;
  progress.on_screen = true;
  const double seconds = std::chrono::duration<double>(now - progress.start).count();
  const double mib_per_second =
      seconds > 0 ? static_cast<double>(bytes_done) / seconds / (1 << 20) : 0.0;
  const auto percent = std::min(bytes_done, progress.total) * 100 / progress.total;
  std::fprintf(stderr, "\r%zu/%zu files: %3llu%% %6.0f MiB/s", files_done, progress.files,
               static_cast<unsigned long long>(percent), mib_per_second);
  std::fflush(stderr);
}

void clear_run_progress(RunProgress& progress) {
  if (!progress.on_screen) return;
  blank_line();
  progress.on_screen = false;
}
