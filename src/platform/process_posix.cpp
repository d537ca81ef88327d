// SPDX-License-Identifier: MIT
// Signals on POSIX hosts. A signal handler may only touch what is
// async-signal-safe: the temporary's name waits for it in a fixed buffer,
// written before the file exists.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <string_view>

#include "platform/process.hpp"

namespace md5refresh {

std::vector<std::string> argument_texts(int argc, char** argv) {
  return {argv, argv + argc};
}

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

}  // namespace md5refresh
