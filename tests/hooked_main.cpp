// SPDX-License-Identifier: MIT
// The tool with a way in for tests: MD5REFRESH_TEST_SIGNAL=N sends signal N
// to the process where an interrupt from a user could leave a temporary file
// behind: after the new manifest is written and before it replaces the old
// one, or with MD5REFRESH_TEST_AT=held or created as a temporary comes to be;
// MD5REFRESH_TEST_NTH=K the K-th time there (the first by default), after
// MD5REFRESH_TEST_MOVE=FROM:TO renamed a folder;
// MD5REFRESH_TEST_HOLD=NAME:FIFO holds the file NAME, once read, until a byte
// comes through FIFO, so that a test sees what the run showed before.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

#include "cli/command_line.hpp"
#include "digest/file_set_digest.hpp"
#include "platform/file_access.hpp"
#include "platform/process.hpp"
#include "refresh/refresh.hpp"

using namespace md5refresh;

namespace {

int signal_to_raise = 0;
std::string_view signal_at = "replace";
int reached = 0, signal_on = 1;
std::string_view move_from, move_to;

void raise_signal() {
  if (++reached != signal_on) return;
  if (!move_from.empty()) {
    (void)std::rename(std::string(move_from).c_str(), std::string(move_to).c_str());
  }
#if defined(_WIN32)
  interrupt_as_ctrl_c();  // Windows has no signal that ends a run this way
#else
  // To the process, as a user's is: any thread that does not hold it takes it.
  ::kill(::getpid(), signal_to_raise);
#endif
}

void raise_at_step(TemporaryStep step) {
  if ((step == TemporaryStep::held) == (signal_at == "held")) raise_signal();
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
    if (const char* at = std::getenv("MD5REFRESH_TEST_AT")) signal_at = at;
    if (const char* nth = std::getenv("MD5REFRESH_TEST_NTH")) signal_on = std::atoi(nth);
    if (const char* move = std::getenv("MD5REFRESH_TEST_MOVE")) {
      const std::string_view words(move);
      move_from = words.substr(0, words.find(':'));
      move_to = words.substr(words.find(':') + 1);
    }
    if (signal_at == "replace") {
      seams::before_replace_hook = raise_signal;
    } else {
      seams::temporary_hook = raise_at_step;
    }
  }
  if (const char* hold = std::getenv("MD5REFRESH_TEST_HOLD")) {
    const std::string_view words(hold);
    held_name = words.substr(0, words.find(':'));
    release_fifo = words.substr(words.find(':') + 1);
    seams::after_file_read_hook = hold_until_released;
  }
  const ProcessArguments arguments = process_arguments(argc, argv);
  return run_command_line(arguments.pointers, arguments.not_unicode);
}
