// SPDX-License-Identifier: MIT
// The tool with a way in for tests: MD5REFRESH_TEST_SIGNAL=N raises signal N
// after the new manifest is written and before it replaces the old one, where
// an interrupt from a user would leave a temporary file behind.
#include <csignal>
#include <cstdlib>

#include "cli/command_line.hpp"
#include "platform/process.hpp"
#include "refresh/refresh.hpp"

using namespace md5refresh;

namespace {

int signal_to_raise = 0;

void raise_signal() {
#if defined(_WIN32)
  interrupt_as_ctrl_c();  // Windows has no signal that ends a run this way
#else
  std::raise(signal_to_raise);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  install_signal_handlers();
  if (const char* number = std::getenv("MD5REFRESH_TEST_SIGNAL")) {
    signal_to_raise = std::atoi(number);
    set_before_replace_hook(raise_signal);
  }
  const ProcessArguments arguments = process_arguments(argc, argv);
  return run_command_line(arguments.pointers);
}
