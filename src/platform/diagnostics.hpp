// Standard error: one-line messages, each beginning "md5refresh: ", and
// whether a person is watching it.
#pragma once

#if defined(__GNUC__)
#define MD5REFRESH_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define MD5REFRESH_PRINTF_FORMAT
#endif

void report(const char* format, ...) MD5REFRESH_PRINTF_FORMAT;

[[nodiscard]] bool stderr_is_terminal();
