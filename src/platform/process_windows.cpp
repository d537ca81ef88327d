// SPDX-License-Identifier: MIT
// Windows hands a program its command line in UTF-16; the narrow argv has
// already lost every character outside the ANSI code page. A console control
// handler stands where POSIX hosts have signals.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <algorithm>
#include <array>
#include <atomic>

#include "platform/process.hpp"
#include "platform/text.hpp"

namespace md5refresh {

namespace {

UINT console_code_page = 0;  // 0: the console was not changed

}  // namespace

std::vector<std::string> argument_texts(int argc, char** argv) {
  std::vector<std::string> texts;
  int count = 0;
  if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
    for (int i = 0; i < count; ++i)
      texts.push_back(utf8_text(wide[i]));
    LocalFree(wide);
  } else {
    texts.assign(argv, argv + argc);
  }
  return texts;
}

void begin_console_output() {
  DWORD mode = 0;
  if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) return;
  console_code_page = GetConsoleOutputCP();
  SetConsoleOutputCP(CP_UTF8);
}

void end_console_output() {
  if (console_code_page != 0) SetConsoleOutputCP(console_code_page);
  console_code_page = 0;
}

namespace {

std::array<wchar_t, 32768> interrupt_path{};  // the longest path Windows takes
std::atomic<bool> interrupt_path_set{false};

// Runs on a thread of its own; returning FALSE lets the default handler end
// the process. A file open with FILE_SHARE_DELETE goes when its handle closes.
BOOL WINAPI on_console_event(DWORD) {
  if (interrupt_path_set.load()) DeleteFileW(interrupt_path.data());
  return FALSE;
}

}  // namespace

void install_signal_handlers() {
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

void remove_on_interrupt(const char* path) {
  interrupt_path_set.store(false);
  if (path == nullptr) return;
  const std::wstring wide = wide_path(path);
  if (wide.size() >= interrupt_path.size()) return;
  std::copy(wide.begin(), wide.end(), interrupt_path.begin());
  interrupt_path[wide.size()] = L'\0';
  interrupt_path_set.store(true);
}

}  // namespace md5refresh
