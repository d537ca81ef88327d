// SPDX-License-Identifier: MIT
// Process entry of md5refresh.
#include "cli/command_line.hpp"
#include "platform/process.hpp"

int main(int argc, char** argv) {
  install_signal_handlers();
  const ProcessArguments arguments = process_arguments(argc, argv);
  begin_console_output();
  const int status = run_command_line(arguments.pointers);
  end_console_output();
  return status;
}
