// SPDX-License-Identifier: MIT
// The terminal of a POSIX host: its width from the kernel, the rest of a row
// erased with the terminal's own sequence rather than blanks that could wrap.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "platform/diagnostics.hpp"

namespace md5refresh {

int cause_of_failed_write(int error) {
  return error;
}

bool stderr_is_terminal() {
  return ::isatty(STDERR_FILENO) != 0;
}

bool stdout_is_terminal() {
  return ::isatty(STDOUT_FILENO) != 0;
}

int terminal_columns() {
  struct winsize size {};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

void show_status_line(std::string_view text) {
  std::fputc('\r', stderr);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputs("\x1b[K", stderr);
  std::fflush(stderr);
}

void erase_status_line() {
  std::fputs("\r\x1b[K", stderr);
  std::fflush(stderr);
}

}  // namespace md5refresh
