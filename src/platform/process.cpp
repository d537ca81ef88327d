// SPDX-License-Identifier: MIT
// Windows hands a program its command line in UTF-16; the narrow argv has
// already lost every character outside the ANSI code page.
#include "platform/process.hpp"

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
#else
namespace {

std::vector<std::string> argument_texts(int argc, char** argv) {
  return {argv, argv + argc};
}

}  // namespace

void begin_console_output() {}
void end_console_output() {}
#endif

ProcessArguments process_arguments(int argc, char** argv) {
  ProcessArguments arguments{argument_texts(argc, argv), {}};
  for (const std::string& text : arguments.texts)
    arguments.pointers.push_back(text.c_str());
  return arguments;
}
