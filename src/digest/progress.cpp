// SPDX-License-Identifier: MIT
// One line on stderr, rewritten in place a few times a second: the file, how
// much of it is read, and how fast.
#include "digest/progress.hpp"

#include <algorithm>

#include "platform/diagnostics.hpp"

namespace {

constexpr int LINE_WIDTH = 79;  // what the line is blanked with when it goes

void blank_line() {
  std::fprintf(stderr, "\r%*s\r", LINE_WIDTH, "");
  std::fflush(stderr);
}

}  // namespace

RunProgress begin_run_progress(std::uint64_t total_bytes, std::size_t files, const char* name) {
  RunProgress progress{};
  progress.name = name;
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
  if (progress.on_screen && now - progress.last_update < PROGRESS_INTERVAL) return;
  progress.last_update = now;
  progress.on_screen = true;
  const double seconds = std::chrono::duration<double>(now - progress.start).count();
  const double mib_per_second =
      seconds > 0 ? static_cast<double>(bytes_done) / seconds / (1 << 20) : 0.0;
  const auto percent = std::min(bytes_done, progress.total) * 100 / progress.total;
  if (progress.name != nullptr) {
    std::fprintf(stderr, "\r%-.50s: %3llu%% %6.0f MiB/s", escaped_text(progress.name).c_str(),
                 static_cast<unsigned long long>(percent), mib_per_second);
  } else {
    std::fprintf(stderr, "\r%zu/%zu files: %3llu%% %6.0f MiB/s", files_done, progress.files,
                 static_cast<unsigned long long>(percent), mib_per_second);
  }
  std::fflush(stderr);
}

void clear_run_progress(RunProgress& progress) {
  if (!progress.on_screen) return;
  blank_line();
  progress.on_screen = false;
}
