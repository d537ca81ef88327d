// SPDX-License-Identifier: MIT
// The tool with a way in for tests: MD5REFRESH_TEST_SIGNAL=N raises signal N
// after the new manifest is written and before it replaces the old one, where
// an interrupt from a user would leave a temporary file behind;
// MD5REFRESH_TEST_HOLD=NAME:FIFO holds the file NAME, once read, until a byte
// comes through FIFO, so that a test sees what the run showed before.
#include <csignal>
#include <cstdlib>
#include <string_view>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

#include "digest/file_set_digest.hpp"

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

std::string_view held_name, release_fifo;

void hold_until_released([[maybe_unused]] const char* path) {
#if !defined(_WIN32)
  const std::string_view read(path);
  if (!read.ends_with(held_name)) return;
  const std::string fifo(release_fifo);
  const int descriptor = ::open(fifo.c_str(), O_RDONLY);
  char byte = 0;
  if (descriptor >= 0 && ::read(descriptor, &byte, 1) >= 0) ::close(descriptor);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  install_signal_handlers();
  if (const char* number = std::getenv("MD5REFRESH_TEST_SIGNAL")) {
    signal_to_raise = std::atoi(number);
    set_before_replace_hook(raise_signal);
  }
  if (const char* hold = std::getenv("MD5REFRESH_TEST_HOLD")) {
    const std::string_view words(hold);
    held_name = words.substr(0, words.find(':'));
    release_fifo = words.substr(words.find(':') + 1);
    set_after_file_read_hook(hold_until_released);
  }
  const ProcessArguments arguments = process_arguments(argc, argv);
  return run_command_line(arguments.pointers);
}
