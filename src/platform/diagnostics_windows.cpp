// SPDX-License-Identifier: MIT
// The console of Windows: its width from the screen buffer's window. Where the
// console takes the terminal's erase sequence it gets it; an older one has the
// rest of the row blanked through the console calls, which never wrap.
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>

#include "platform/diagnostics.hpp"

namespace md5refresh {

namespace {

HANDLE error_console() {
  return GetStdHandle(STD_ERROR_HANDLE);
}

bool takes_erase_sequence() {
  static const bool takes = [] {
    DWORD mode = 0;
    return GetConsoleMode(error_console(), &mode) &&
           SetConsoleMode(error_console(), mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  }();
  return takes;
}

// Blanks the cursor's row from the cursor on, leaving the cursor where it is.
void blank_rest_of_row() {
  CONSOLE_SCREEN_BUFFER_INFO screen{};
  if (!GetConsoleScreenBufferInfo(error_console(), &screen)) return;
  const DWORD rest = static_cast<DWORD>(screen.dwSize.X - screen.dwCursorPosition.X);
  DWORD written = 0;
  FillConsoleOutputCharacterW(error_console(), L' ', rest, screen.dwCursorPosition, &written);
}

}  // namespace

// ERROR_PIPE_NOT_CONNECTED: what Wine says of a Unix pipe whose reader is
// gone. The C runtime keeps the system's error of a failed write in
// _doserrno, where the thread's last error may have been cleared since.
int cause_of_failed_write(int error) {
  const auto broken = [](DWORD cause) {
    return cause == ERROR_NO_DATA || cause == ERROR_BROKEN_PIPE ||
           cause == ERROR_PIPE_NOT_CONNECTED;
  };
  return broken(GetLastError()) || broken(static_cast<DWORD>(_doserrno)) ? EPIPE : error;
}

bool stderr_is_terminal() {
  return _isatty(_fileno(stderr)) != 0;
}

bool stdout_is_terminal() {
  return _isatty(_fileno(stdout)) != 0;
}

int terminal_columns() {
  CONSOLE_SCREEN_BUFFER_INFO screen{};
  if (!GetConsoleScreenBufferInfo(error_console(), &screen)) return 0;
  return screen.srWindow.Right - screen.srWindow.Left + 1;
}

void show_status_line(std::string_view text) {
  std::fputc('\r', stderr);
  std::fwrite(text.data(), 1, text.size(), stderr);
  if (takes_erase_sequence()) {
    std::fputs("\x1b[K", stderr);
    std::fflush(stderr);
  } else {
    std::fflush(stderr);
    blank_rest_of_row();
  }
}

void erase_status_line() {
  std::fputc('\r', stderr);
  std::fflush(stderr);
  if (takes_erase_sequence()) {
    std::fputs("\x1b[K", stderr);
    std::fflush(stderr);
  } else {
    blank_rest_of_row();
  }
}

}  // namespace md5refresh
