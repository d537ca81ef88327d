// SPDX-License-Identifier: MIT
// The standard streams: one-line messages on stderr, each beginning
// "md5refresh: ", standard output kept in step with them, and whether a person
// is watching. Names come from manifests, which anyone may write: a control
// byte in one reaches a terminal only as the text \xNN.
#pragma once

#include <string>
#include <string_view>

namespace md5refresh {

#if defined(__GNUC__)
#define MD5REFRESH_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define MD5REFRESH_PRINTF_FORMAT
#endif

// Flushes standard output first, so that a log of both streams reads in order.
// Control bytes (below 0x20 but the tab, and 0x7F) are shown as \xNN.
void report(const char* format, ...) MD5REFRESH_PRINTF_FORMAT;

// While `lines` is not null, messages are kept there, whole lines as
// report() would print them, instead of going to stderr: what a run says of
// one manifest while it gets the next ready is shown with that manifest's
// lines. Null sends them to stderr again.
void defer_reports(std::string* lines);

// Prints lines that defer_reports kept, after what standard output holds.
void put_deferred_reports(const std::string& lines);

// `text` with its control bytes shown as \xNN.
[[nodiscard]] std::string escaped_text(std::string_view text);

// Puts `text` on standard output: escaped when it is a terminal, as it is
// when it goes to a pipe or file, where a script wants the bytes.
void put_output_text(std::string_view text);

// Sends what standard output holds on its way; a failure is remembered.
void flush_output();

// The errno value of the first failed write on standard output, or 0.
[[nodiscard]] int output_error();

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
