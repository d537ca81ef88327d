// SPDX-License-Identifier: MIT
// The standard streams: one-line messages on stderr, each beginning
// "md5refresh: ", standard output kept in step with them, and whether a person
// is watching stderr.
#pragma once

#if defined(__GNUC__)
#define MD5REFRESH_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define MD5REFRESH_PRINTF_FORMAT
#endif

// Flushes standard output first, so that a log of both streams reads in order.
void report(const char* format, ...) MD5REFRESH_PRINTF_FORMAT;

// Sends what standard output holds on its way; a failure is remembered.
void flush_output();

// The errno value of the first failed write on standard output, or 0.
[[nodiscard]] int output_error();

[[nodiscard]] bool stderr_is_terminal();
