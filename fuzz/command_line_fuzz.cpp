// SPDX-License-Identifier: MIT
// Fuzz target: the argument walk takes any argument vector (the input split at
// NUL bytes) without harm, what it keeps stays within its limits, a check
// never runs as a dry run, a refresh never lists unlisted files, and JSON
// Lines never run beside --quiet or --status.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/command_line.hpp"

using namespace md5refresh;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // std::string keeps a NUL behind its bytes, so every piece is a C string in place.
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::vector<const char*> arguments{"md5refresh"};
  for (std::size_t start = 0, i = 0; size > 0 && i <= bytes.size(); ++i) {
    if (i == bytes.size() || bytes[i] == '\0') {
      arguments.push_back(bytes.c_str() + start);
      start = i + 1;
    }
  }
  const CommandLine command = parse_command_line(arguments);
  if (command.excludes.count < 0 || command.excludes.count > MAX_EXCLUDES) std::abort();
  // A check writes nothing: a dry run beside it is refused, never run.
  if (command.dry_run && command.action == CommandAction::check) std::abort();
  if (command.list_unlisted && command.action == CommandAction::run) std::abort();
  const bool runs = command.action == CommandAction::run || command.action == CommandAction::check;
  if (runs && command.json && command.check_output != CheckOutput::every_line) std::abort();
  if (std::memchr(command.input_path.data(), '\0', command.input_path.size()) == nullptr)
    std::abort();
  if (std::memchr(command.output_path.data(), '\0', command.output_path.size()) == nullptr)
    std::abort();
  return 0;
}
