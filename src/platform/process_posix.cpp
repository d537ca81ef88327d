// SPDX-License-Identifier: MIT
// Signals on POSIX hosts. A signal handler may only touch what is
// async-signal-safe: the temporary's name waits for it in a fixed buffer,
// written before the file exists.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <string_view>

#include "platform/file_access.hpp"
#include "platform/file_access_host.hpp"
#include "platform/interrupt_slots.hpp"
#include "platform/process.hpp"

namespace md5refresh {

std::vector<std::string> argument_texts(int argc, char** argv, std::size_t& not_unicode) {
  not_unicode = 0;
  return {argv, argv + argc};
}

namespace {

std::array<bool, 3> closed_at_start{};

}  // namespace

void guard_standard_descriptors() {
  for (int descriptor : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", O_RDONLY);  // the lowest free number: this one
    if (opened < 0) continue;
    if (opened != descriptor) {
      ::dup2(opened, descriptor);
      ::close(opened);
    }
    closed_at_start[static_cast<std::size_t>(descriptor)] = true;
  }
}

bool standard_descriptor_was_closed(int descriptor) {
  return descriptor >= 0 && descriptor < 3 && closed_at_start[static_cast<std::size_t>(descriptor)];
}

std::size_t descriptors_allowed() {
  // Enough for any run; more only costs the kernel's tables.
  constexpr rlim_t ENOUGH = 4096;
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 256;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < ENOUGH) {
    struct rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? ENOUGH : std::min(limit.rlim_max, ENOUGH);
    if (raised.rlim_cur > limit.rlim_cur && ::setrlimit(RLIMIT_NOFILE, &raised) == 0)
      limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? ENOUGH : static_cast<std::size_t>(limit.rlim_cur);
}

void begin_console_output() {}
void end_console_output() {}

namespace {

// PATH_MAX on Linux; a batch of manifests' temporaries and a probe's.
InterruptSlots<char, 4096, TEMPORARIES_AT_ONCE + 2> temporaries;

constexpr std::array<int, 3> ENDING_SIGNALS = {SIGINT, SIGTERM, SIGHUP};

// The signals in force on this thread before begin_temporary held them.
thread_local sigset_t signals_before_temporary;

void on_ending_signal(int signal_number) {
  temporaries.remove_all([](int folder, const char* name) {
    ::unlinkat(folder == NO_FOLDER ? AT_FDCWD : folder, name, 0);
  });
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

}  // namespace

void install_signal_handlers() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  for (int signal_number : ENDING_SIGNALS) {
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

bool begin_temporary(const char* path, int folder) {
  sigset_t ending;
  sigemptyset(&ending);
  for (const int signal_number : ENDING_SIGNALS)
    sigaddset(&ending, signal_number);
  ::pthread_sigmask(SIG_BLOCK, &ending, &signals_before_temporary);
  if (!temporaries.begin_creating()) {
    ::pthread_sigmask(SIG_SETMASK, &signals_before_temporary, nullptr);
    return false;
  }
  (void)temporaries.hold(folder, name_within(path, folder));
  return true;
}

void end_temporary() {
  temporaries.end_creating();
  ::pthread_sigmask(SIG_SETMASK, &signals_before_temporary, nullptr);
}

void forget_on_interrupt(const char* path, int folder) {
  temporaries.forget(folder, name_within(path, folder));
}

}  // namespace md5refresh
