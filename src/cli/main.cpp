// SPDX-License-Identifier: MIT
// Process entry of md5refresh.
#include "cli/command_line.hpp"
#include "platform/process.hpp"

int main(int argc, char** argv) {
  namespace tool = md5refresh;
  tool::guard_standard_descriptors();
  tool::install_signal_handlers();
  const tool::ProcessArguments arguments = tool::process_arguments(argc, argv);
  tool::begin_console_output();
  const int status = tool::run_command_line(arguments.pointers, arguments.not_unicode);
  tool::end_console_output();
  return status;
}
