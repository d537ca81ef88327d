// SPDX-License-Identifier: MIT
// Errors and warnings share one shape, so scripts can grep for the program name.
#include "platform/diagnostics.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

int first_output_error = 0;

}  // namespace

void flush_output() {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return;
  if (first_output_error == 0) first_output_error = errno != 0 ? errno : EIO;
}

int output_error() {
  return first_output_error;
}

void report(const char* format, ...) {
  flush_output();
  std::va_list arguments;
  va_start(arguments, format);
  std::fputs("md5refresh: ", stderr);
  std::vfprintf(stderr, format, arguments);
  std::fputc('\n', stderr);
  va_end(arguments);
}

bool stderr_is_terminal() {
#if defined(_WIN32)
  return _isatty(_fileno(stderr)) != 0;
#else
  return ::isatty(STDERR_FILENO) != 0;
#endif
}
