// SPDX-License-Identifier: MIT
// The process's side of the host: its arguments as UTF-8 and a console that
// shows UTF-8 names as text.
#pragma once

#include <string>
#include <vector>

struct ProcessArguments {
  std::vector<std::string> texts;
  std::vector<const char*> pointers;  // into `texts`, the program's name first
};

// On Windows the arguments are taken from the UTF-16 command line, so that no
// name is lost to the ANSI code page; elsewhere they are `argv` as it is.
[[nodiscard]] ProcessArguments process_arguments(int argc, char** argv);

// While the run lasts, a console on standard output shows UTF-8; the console's
// own setting comes back afterwards.
void begin_console_output();
void end_console_output();
