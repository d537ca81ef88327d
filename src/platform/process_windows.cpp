// SPDX-License-Identifier: MIT
// Windows hands a program its command line in UTF-16; the narrow argv has
// already lost every character outside the ANSI code page. A console control
// handler stands where POSIX hosts have signals.
#include <windows.h>
// After windows.h, which it needs.
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <stdio.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <string_view>
#include <thread>

#include "platform/file_access.hpp"
#include "platform/interrupt_slots.hpp"
#include "platform/process.hpp"
#include "platform/text.hpp"

namespace md5refresh {

namespace {

// 0: the console was not changed. The Ctrl-C handler puts it back too, on a
// thread of its own.
std::atomic<UINT> console_code_page{0};

// The error console's mode as the run found it, when the progress line may
// change it (to take the terminal's erase sequence); put back the same way.
DWORD error_console_mode = 0;
std::atomic<bool> error_console_mode_kept{false};

bool is_valid_utf16(std::wstring_view text) {
  return text.empty() ||
         (text.size() <= INT_MAX &&
          WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(),
                              static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr) > 0);
}

}  // namespace

std::vector<std::string> argument_texts(int argc, char** argv, std::size_t& not_unicode) {
  std::vector<std::string> texts;
  not_unicode = 0;
  int count = 0;
  if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
    for (int i = 0; i < count; ++i) {
      if (not_unicode == 0 && !is_valid_utf16(wide[i])) not_unicode = static_cast<std::size_t>(i);
      texts.push_back(utf8_text(wide[i]));
    }
    LocalFree(wide);
  } else {
    texts.assign(argv, argv + argc);
  }
  return texts;
}

namespace {

std::array<bool, 3> closed_at_start{};

}  // namespace

void guard_standard_descriptors() {
  for (int descriptor = 0; descriptor < 3; ++descriptor) {
    if (_get_osfhandle(descriptor) != -1) continue;
    const int opened = _open("NUL", _O_RDONLY | _O_BINARY);
    if (opened < 0) continue;
    if (opened != descriptor) {
      _dup2(opened, descriptor);
      _close(opened);
    }
    closed_at_start[static_cast<std::size_t>(descriptor)] = true;
  }
}

bool standard_descriptor_was_closed(int descriptor) {
  return descriptor >= 0 && descriptor < 3 && closed_at_start[static_cast<std::size_t>(descriptor)];
}

void begin_console_output() {
  DWORD mode = 0;
  if (GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode)) {
    error_console_mode = mode;
    error_console_mode_kept = true;
  }
  if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) return;
  console_code_page = GetConsoleOutputCP();
  SetConsoleOutputCP(CP_UTF8);
}

void end_console_output() {
  if (const UINT page = console_code_page.exchange(0); page != 0) SetConsoleOutputCP(page);
  if (error_console_mode_kept.exchange(false)) {
    SetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), error_console_mode);
  }
}

std::size_t descriptors_allowed() {
  return static_cast<std::size_t>(_getmaxstdio());
}

namespace {

// The longest path Windows takes, for every temporary a run may hold at once:
// a batch of a tree's outputs and a probe's. Pages never written are never
// touched.
InterruptSlots<wchar_t, 32768, TEMPORARIES_AT_ONCE + 2> temporaries;

// Runs on a thread of its own. Ctrl-C and Ctrl-Break end the process here,
// with the status Windows' own handler gives, once the temporaries are gone
// and the console is as it was: a default handler that ends it otherwise
// (Wine's ends it with 0) would let a runner read an interrupted run as a
// success. A file open with FILE_SHARE_DELETE goes when its handle closes.
BOOL WINAPI on_console_event(DWORD event) {
  temporaries.remove_all([](int, const wchar_t* path) { DeleteFileW(path); });
  end_console_output();
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
  }
  return FALSE;
}

}  // namespace

void interrupt_as_ctrl_c() {
  std::thread handler([] { (void)on_console_event(CTRL_C_EVENT); });
  handler.join();
}

void install_signal_handlers() {
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

// The handler runs on a thread of its own, never inside a creation: there is
// no signal to hold.
bool begin_temporary(const char* path, int) {
  if (!temporaries.begin_creating()) return false;
  (void)temporaries.hold(NO_FOLDER, wide_path(path));
  return true;
}

void end_temporary() {
  temporaries.end_creating();
}

void forget_on_interrupt(const char* path, int) {
  temporaries.forget(NO_FOLDER, wide_path(path));
}

}  // namespace md5refresh
