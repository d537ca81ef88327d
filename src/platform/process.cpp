// SPDX-License-Identifier: MIT
// Windows hands a program its command line in UTF-16; the narrow argv has
// already lost every character outside the ANSI code page. A signal handler
// may only touch what is async-signal-safe: the temporary's name waits for it
// in a fixed buffer, written before the file exists.
#include "platform/process.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <string_view>

#if defined(_WIN32)
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "platform/text.hpp"

namespace {

UINT console_code_page = 0;  // 0: the console was not changed

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

}  // namespace

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
#else
#include <signal.h>
#include <unistd.h>

namespace {

std::vector<std::string> argument_texts(int argc, char** argv) {
  return {argv, argv + argc};
}

}  // namespace

void begin_console_output() {}
void end_console_output() {}

namespace {

std::array<char, 4096> interrupt_path{};  // PATH_MAX on Linux
volatile std::sig_atomic_t interrupt_path_set = 0;

void on_ending_signal(int signal_number) {
  if (interrupt_path_set != 0) ::unlink(interrupt_path.data());
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

}  // namespace

void install_signal_handlers() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    // A signal ignored when the run began (nohup, a background job) stays ignored.
    struct sigaction previous {};
    if (::sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
      continue;
    }
    struct sigaction action {};
    action.sa_handler = on_ending_signal;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal_number, &action, nullptr);
  }
}

void remove_on_interrupt(const char* path) {
  interrupt_path_set = 0;
  if (path == nullptr) return;
  const std::string_view text = path;
  if (text.size() >= interrupt_path.size()) return;
  std::copy(text.begin(), text.end(), interrupt_path.begin());
  interrupt_path[text.size()] = '\0';
  interrupt_path_set = 1;
}
#endif

ProcessArguments process_arguments(int argc, char** argv) {
  ProcessArguments arguments{argument_texts(argc, argv), {}};
  for (const std::string& text : arguments.texts)
    arguments.pointers.push_back(text.c_str());
  return arguments;
}
