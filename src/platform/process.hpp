// SPDX-License-Identifier: MIT
// The process's side of the host: its arguments as UTF-8, a console that shows
// UTF-8 names as text, and the signals that would otherwise end it untidily.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace md5refresh {

struct ProcessArguments {
  std::vector<std::string> texts;
  std::vector<const char*> pointers;  // into `texts`, the program's name first
  // The first argument (by its place, the program's name 0) that is not valid
  // UTF-16 on Windows, a lone surrogate in it: its text would name another
  // file. 0 when there is none, and always on POSIX hosts.
  std::size_t not_unicode = 0;
};

// On Windows the arguments are taken from the UTF-16 command line, so that no
// name is lost to the ANSI code page; elsewhere they are `argv` as it is.
[[nodiscard]] ProcessArguments process_arguments(int argc, char** argv);

// The arguments' texts as the host gives them (each host defines it).
[[nodiscard]] std::vector<std::string> argument_texts(int argc, char** argv,
                                                      std::size_t& not_unicode);

// A standard descriptor (0, 1 or 2) that the run was started without is
// opened on the null device for reading before anything else, so that no file
// the run opens takes its number; a write there still fails as it would on a
// closed one (EBADF), so lines that had to be printed fail the run.
void guard_standard_descriptors();

// Whether the standard descriptor was closed when the run began.
[[nodiscard]] bool standard_descriptor_was_closed(int descriptor);

// While the run lasts, a console on standard output shows UTF-8; the console's
// own setting comes back afterwards.
void begin_console_output();
void end_console_output();

// A closed pipe and a file size limit become failed writes (EPIPE, EFBIG) that
// the run reports, instead of signals that end it; an interrupt, a hang-up or a
// termination (on Windows Ctrl-C, Ctrl-Break or a closed console) first removes
// the temporary file named by remove_on_interrupt, then ends the process as
// the signal would.
void install_signal_handlers();

// How many descriptors the process may hold open, the soft limit first
// raised toward the hard one where the system allows (the C library's streams
// on Windows).
[[nodiscard]] std::size_t descriptors_allowed();

// How many finished temporaries a run may hold before it renames them.
inline constexpr std::size_t TEMPORARIES_AT_ONCE = 64;

// A temporary file comes to be between these two, with the ending signals
// held on the calling thread: `path` (within `folder`) is held for an
// interrupt to remove, which on any other thread waits until the file
// exists. False, with nothing held, once an interrupt has begun: create
// nothing then. Several may be held at once.
[[nodiscard]] bool begin_temporary(const char* path, int folder);
void end_temporary();

// A temporary renamed or removed, that an interrupt must no longer remove.
void forget_on_interrupt(const char* path, int folder);

#if defined(_WIN32)
// For tests, where no console can send one: what Ctrl-C does, the handler run
// on a thread of its own as the system runs it. The handler ends the process
// itself; should it not, the run goes on.
void interrupt_as_ctrl_c();
#endif

}  // namespace md5refresh
