// SPDX-License-Identifier: MIT
// Options are whole words compared byte for byte; anything else is passed over,
// so a bare first argument, taken before the walk, is ignored by the walk itself.
#include "cli/command_line.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

#include "platform/diagnostics.hpp"
#include "refresh/check.hpp"
#include "refresh/refresh.hpp"

namespace {

constexpr PathBuffer DEFAULT_PATH{"update.txt"};

bool is_option_like(const char* argument) {
  return argument[0] == '-';
}

void copy_path(PathBuffer& path, const char* argument, CommandLine& command) {
  std::size_t length = std::strlen(argument);
  if (length >= path.size()) {
    if (command.too_long_path == nullptr) command.too_long_path = argument;
    return;
  }
  std::memcpy(path.data(), argument, length + 1);
}

void pass_over(const char* argument, CommandLine& command) {
  if (command.ignored_count < MAX_IGNORED_SHOWN) {
    command.ignored[static_cast<std::size_t>(command.ignored_count)] = argument;
  }
  ++command.ignored_count;
}

void warn_about_ignored(const CommandLine& command) {
  const int shown = std::min(command.ignored_count, MAX_IGNORED_SHOWN);
  for (const char* argument : std::span(command.ignored).first(static_cast<std::size_t>(shown))) {
    if (std::string_view(argument) == "-o" || std::string_view(argument) == "-i") {
      report("option \"%s\" without a path ignored", argument);
    } else if (is_option_like(argument)) {
      report("unknown option \"%s\" ignored", argument);
    } else {
      report("argument \"%s\" ignored; name the manifest first or with -i", argument);
    }
  }
  if (command.ignored_count > shown) {
    report("%d more arguments ignored", command.ignored_count - shown);
  }
}

}  // namespace

CommandLine parse_command_line(std::span<const char* const> arguments) {
  CommandLine command{
      CommandAction::run, DEFAULT_PATH, DEFAULT_PATH, {}, nullptr, 0, nullptr, 0, {}};
  if (arguments.size() <= 1) {
    command.action = CommandAction::usage;
    return command;
  }
  if (!is_option_like(arguments[1])) {
    copy_path(command.input_path, arguments[1], command);
    command.output_path = command.input_path;
  }
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string_view word = arguments[i];
    const bool has_next = i + 1 < arguments.size();
    if (word == "-o" || word == "-i") {
      if (!has_next) {
        pass_over(arguments[i], command);
        break;
      }
      copy_path(word == "-o" ? command.output_path : command.input_path, arguments[++i], command);
    } else if (word == "-x") {
      for (; i + 1 < arguments.size() && !is_option_like(arguments[i + 1]); ++i) {
        ExcludeList& excludes = command.excludes;
        if (excludes.count < MAX_EXCLUDES) {
          excludes.names[static_cast<std::size_t>(excludes.count++)] = arguments[i + 1];
        } else if (command.passed_over_excludes++ == 0) {
          command.first_passed_over = arguments[i + 1];
        }
      }
    } else if (word == "-c") {
      command.action = CommandAction::check;
    } else if (word == "-v" || word == "-h" || word == "--help") {
      command.action = CommandAction::usage;
      return command;
    } else if (i > 1 || is_option_like(arguments[i])) {
      pass_over(arguments[i], command);
    }
  }
  return command;
}

int run_command_line(std::span<const char* const> arguments) {
  const CommandLine command = parse_command_line(arguments);
  if (command.action == CommandAction::usage) {
    std::fputs(USAGE_TEXT, stdout);
    return 0;
  }
  const bool check = command.action == CommandAction::check;
  warn_about_ignored(command);
  if (command.too_long_path != nullptr) {
    report("path longer than %d bytes: %s", static_cast<int>(PATH_CAPACITY - 1),
           command.too_long_path);
    return check ? CHECK_NOT_MADE : 1;
  }
  if (command.passed_over_excludes > 0) {
    report("at most %d sections can be excluded; %d more names passed over, from \"%s\"",
           MAX_EXCLUDES, command.passed_over_excludes, command.first_passed_over);
  }
  int status = 0;
  if (check) {
    status = check_manifest(command.input_path.data(), command.excludes);
  } else {
    const RefreshResult result =
        refresh_manifest(command.input_path.data(), command.output_path.data(), command.excludes);
    status = result == RefreshResult::ok ? 0 : 1;
  }
  // Report lines that never arrived make a run that did not do its job.
  flush_output();
  if (output_error() != 0) {
    report("cannot write standard output: %s", std::strerror(output_error()));
    return check ? CHECK_NOT_MADE : 1;
  }
  return status;
}
