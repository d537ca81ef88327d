// SPDX-License-Identifier: MIT
// Widths are counted in terminal columns, not bytes: a UTF-8 character is one
// column, or two from U+1100 on, where the wide scripts begin; counting some
// narrow ones as wide only leaves the line a little short, never wrapped.
#include "refresh/progress_line.hpp"

#include <algorithm>
#include <cstdio>

#include "platform/diagnostics.hpp"

namespace md5refresh {

namespace {

constexpr int UNKNOWN_WIDTH_COLUMNS = 80;
constexpr std::string_view ELLIPSIS = "...";
constexpr std::size_t SHORTEST_LABEL = 8;  // columns below which a label says too little

bool is_continuation(char byte) {
  return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// The columns of the character that begins at `text[0]`, and its length in bytes.
std::pair<std::size_t, std::size_t> character_at(std::string_view text) {
  std::size_t length = 1;
  while (length < text.size() && is_continuation(text[length]))
    ++length;
  const auto lead = static_cast<unsigned char>(text[0]);
  const bool wide = lead >= 0xF0 || lead > 0xE1 ||
                    (lead == 0xE1 && length > 1 && static_cast<unsigned char>(text[1]) >= 0x84);
  return {wide ? 2 : 1, length};
}

std::size_t columns_of(std::string_view text) {
  std::size_t columns = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto [width, length] = character_at(text.substr(i));
    columns += width;
    i += length;
  }
  return columns;
}

// The longest beginning of `text` that takes at most `columns`.
std::string_view head_within(std::string_view text, std::size_t columns) {
  std::size_t used = 0, end = 0;
  while (end < text.size()) {
    const auto [width, length] = character_at(text.substr(end));
    if (used + width > columns) break;
    used += width;
    end += length;
  }
  return text.substr(0, end);
}

// The longest end of `text` that takes at most `columns`.
std::string_view tail_within(std::string_view text, std::size_t columns) {
  std::size_t begin = text.size();
  while (begin > 0) {
    std::size_t start = begin - 1;
    while (start > 0 && is_continuation(text[start]))
      --start;
    if (columns_of(text.substr(start)) > columns) break;
    begin = start;
  }
  return text.substr(begin);
}

std::string shortened_label(std::string_view label, std::size_t room) {
  if (columns_of(label) <= room) return std::string(label);
  const std::size_t keep = room - ELLIPSIS.size();
  const std::size_t name_columns = columns_of(label.substr(label.find_last_of("/\\") + 1)) + 1;
  const std::size_t tail = std::max(std::min(name_columns, keep), keep - keep / 2);
  std::string shortened(head_within(label, keep - tail));
  shortened += ELLIPSIS;
  shortened += tail_within(label, tail);
  return shortened;
}

}  // namespace

std::string fit_progress_text(std::string_view label, std::string_view figures, int columns) {
  if (columns <= 0) columns = UNKNOWN_WIDTH_COLUMNS;
  const std::size_t usable = static_cast<std::size_t>(columns - 1);
  const std::size_t around = std::string_view(": ").size() + figures.size();
  if (usable >= around + SHORTEST_LABEL) {
    return shortened_label(label, usable - around) + ": " + std::string(figures);
  }
  return std::string(head_within(figures, usable));
}

ProgressLine begin_progress_line(std::uint64_t total_bytes, std::size_t files,
                                 std::string_view lone_name) {
  ProgressLine line{};
  if (total_bytes < PROGRESS_THRESHOLD || !stderr_is_terminal()) return line;
  line.shown = true;
  line.name = escaped_text(lone_name);
  // A tab would take a terminal's columns unseen.
  for (std::size_t at; (at = line.name.find('\t')) != std::string::npos;)
    line.name.replace(at, 1, "\\x09");
  line.total = total_bytes;
  line.files = files;
  line.start = std::chrono::steady_clock::now();
  return line;
}

ProgressLine begin_open_ended_progress_line() {
  ProgressLine line{};
  line.shown = stderr_is_terminal();
  line.start = std::chrono::steady_clock::now();
  return line;
}

void draw_progress_line(ProgressLine& line, std::size_t files_done, std::uint64_t bytes_done) {
  if (!line.shown || (line.total == 0 && bytes_done < PROGRESS_THRESHOLD)) return;
  const auto now = std::chrono::steady_clock::now();
  if (line.on_screen && now - line.last_drawn < PROGRESS_INTERVAL) return;
  line.last_drawn = now;
  line.on_screen = true;
  const double seconds = std::chrono::duration<double>(now - line.start).count();
  const double mib_per_second =
      seconds > 0 ? static_cast<double>(bytes_done) / seconds / (1 << 20) : 0.0;
  char figures[48];
  std::string label;
  if (line.total == 0) {
    std::snprintf(figures, sizeof figures, "%llu MiB %6.0f MiB/s",
                  static_cast<unsigned long long>(bytes_done >> 20), mib_per_second);
    label = std::to_string(files_done) + " files";
  } else {
    const auto percent = std::min(bytes_done, line.total) * 100 / line.total;
    std::snprintf(figures, sizeof figures, "%3llu%% %6.0f MiB/s",
                  static_cast<unsigned long long>(percent), mib_per_second);
    label = !line.name.empty()
                ? line.name
                : std::to_string(files_done) + "/" + std::to_string(line.files) + " files";
  }
  show_status_line(fit_progress_text(label, figures, terminal_columns()));
}

void clear_progress_line(ProgressLine& line) {
  if (!line.on_screen) return;
  erase_status_line();
  line.on_screen = false;
}

}  // namespace md5refresh
