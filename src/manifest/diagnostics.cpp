// Errors and warnings share one shape, so scripts can grep for the program name.
#include "manifest/diagnostics.hpp"

#include <cstdarg>
#include <cstdio>

void report(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::fputs("md5refresh: ", stderr);
  std::vfprintf(stderr, format, arguments);
  std::fputc('\n', stderr);
  va_end(arguments);
}
