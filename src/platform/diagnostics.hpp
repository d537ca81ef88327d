// SPDX-License-Identifier: MIT
// The standard streams: one-line messages on stderr, each beginning
// "md5refresh: ", standard output kept in step with them, and whether a person
// is watching. Names come from manifests, which anyone may write: a control
// byte in one reaches a terminal only as the text \xNN.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace md5refresh {

#if defined(__GNUC__)
#define MD5REFRESH_PRINTF_FORMAT(first) __attribute__((format(printf, first, first + 1)))
#else
#define MD5REFRESH_PRINTF_FORMAT(first)
#endif

// Flushes standard output first, so that a log of both streams reads in order.
// Control bytes (below 0x20 but the tab, and 0x7F) are shown as \xNN.
void report(const char* format, ...) MD5REFRESH_PRINTF_FORMAT(1);

// What the run of one manifest says, in order: its report or check lines for
// standard output and its messages for standard error. A transcript that is
// shown writes each at once; one that is held keeps them until its turn, so
// that a run of many manifests shows each one's lines and messages together,
// in the order of the manifests, as runs of their own would have shown them.
struct Transcript {
  bool held = false;
  // Each line sent on its way as it is made, on a pipe too: a manifest named
  // alone shows a file's line while the next file is still being read.
  bool line_by_line = false;
  std::vector<std::pair<bool, std::string>> kept;  // (a message, its text), while held
  // The last message said, as formatted: what a JSON object gives as the
  // reason a file was not digested or a manifest refused.
  std::string last_said;
};

// A message, as report() has it, in the transcript.
void say(Transcript& transcript, const char* format, ...) MD5REFRESH_PRINTF_FORMAT(2);

// A line of standard output, `text` and a line end, sent on its way at once
// when shown: a log shows it before any message that follows it, and an
// interrupted run keeps the lines already made.
void print_line(Transcript& transcript, std::string_view text);

// Writes what the transcript kept and shows the rest as it comes.
void show_transcript(Transcript& transcript);

// `text` with its control bytes shown as \xNN.
[[nodiscard]] std::string escaped_text(std::string_view text);

// Puts `text` on standard output: escaped when it is a terminal, as it is
// when it goes to a pipe or file, where a script wants the bytes.
void put_output_text(std::string_view text);

// Sends what standard output holds on its way; a failure is remembered.
void flush_output();

// The errno value of the first failed write on standard output, or 0.
[[nodiscard]] int output_error();

// The errno value a write that failed with `error` stands for: on Windows the C
// library says EINVAL for a pipe whose reader is gone.
[[nodiscard]] int cause_of_failed_write(int error);

[[nodiscard]] bool stderr_is_terminal();
[[nodiscard]] bool stdout_is_terminal();

// The width of the terminal that stderr shows on, in columns; 0 when unknown.
[[nodiscard]] int terminal_columns();

// A line on stderr that the next one replaces: `text` from the row's first
// column, then whatever an earlier, longer text left on the row is erased.
void show_status_line(std::string_view text);
// Leaves the row empty, the cursor at its start, for the lines that follow.
void erase_status_line();

}  // namespace md5refresh
