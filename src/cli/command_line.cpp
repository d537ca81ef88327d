// SPDX-License-Identifier: MIT
// Options are whole words compared byte for byte. A word that looks like an
// option and is none stops the run before anything is read: a guessed option
// must never turn into a write. Every word no option takes names a manifest,
// wherever it stands: none is passed over, so none can be left unchecked.
#include "cli/command_line.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/diagnostics.hpp"
#include "platform/file_access.hpp"
#include "refresh/check.hpp"
#include "refresh/refresh.hpp"
#include "refresh/tree.hpp"

namespace md5refresh {

namespace {

constexpr PathBuffer DEFAULT_PATH{"update.txt"};

bool is_option_like(const char* argument) {
  return argument[0] == '-';
}

bool is_check_word(std::string_view word) {
  return word == "-c" || word == "--check";
}

bool takes_a_path(std::string_view word) {
  return word == "-i" || word == "-o" || word == "--from";
}

// Decides the exit status of a run that stops before it would have checked, so
// it looks past the word that stops the walk.
bool asks_for_check(std::span<const char* const> arguments) {
  for (std::size_t i = 1; i < arguments.size() && std::string_view(arguments[i]) != "--"; ++i) {
    if (takes_a_path(arguments[i])) {
      ++i;
    } else if (is_check_word(arguments[i])) {
      return true;
    }
  }
  return false;
}

void refuse(const char* argument, CommandLine& command) {
  command.action = CommandAction::refused;
  command.refused_option = argument;
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
    if (std::string_view(argument) == "-x") {
      report("option \"-x\" without a section name ignored");
    } else {
      report("option \"%s\" without a path ignored", argument);
    }
  }
  if (command.ignored_count > shown) {
    const int more = command.ignored_count - shown;
    report("%d more %s ignored", more, more == 1 ? "argument" : "arguments");
  }
}

}  // namespace

namespace {

// Where the walk stands, and what it keeps for its end.
struct Walk {
  std::span<const char* const> arguments;
  std::size_t at = 1;
  bool input_named = false;
  bool options_over = false;                  // "--" stood before
  const char* input_option = nullptr;         // the first "-i", "-o" or "--from"
  const char* check_only_option = nullptr;    // "--quiet", "--status", "--unlisted"
  const char* output_choice = nullptr;        // "--quiet", "--status"
  const char* refresh_only_option = nullptr;  // "--sha256", "-n", "--dry-run"
  const char* json_option = nullptr;
};

// "-x" takes every word up to the next option; one that takes none is warned of.
void take_excludes(Walk& walk, CommandLine& command) {
  const bool takes_a_word =
      walk.at + 1 < walk.arguments.size() && !is_option_like(walk.arguments[walk.at + 1]);
  if (!takes_a_word) pass_over(walk.arguments[walk.at], command);
  for (; walk.at + 1 < walk.arguments.size() && !is_option_like(walk.arguments[walk.at + 1]);
       ++walk.at) {
    ExcludeList& excludes = command.excludes;
    if (excludes.count < MAX_EXCLUDES) {
      excludes.names[static_cast<std::size_t>(excludes.count++)] = walk.arguments[walk.at + 1];
    } else if (command.passed_over_excludes++ == 0) {
      command.first_passed_over = walk.arguments[walk.at + 1];
    }
  }
}

// "-r" takes the next word, whatever it looks like, as a folder.
bool take_tree(Walk& walk, CommandLine& command) {
  const char* argument = walk.arguments[walk.at];
  if (walk.at + 1 == walk.arguments.size() || command.tree_count == MAX_TREES) {
    refuse(argument, command);
    return false;
  }
  const char* folder = walk.arguments[++walk.at];
  if (std::strlen(folder) >= PATH_CAPACITY && command.too_long_path == nullptr) {
    command.too_long_path = folder;
  }
  command.trees[static_cast<std::size_t>(command.tree_count++)] = folder;
  return true;
}

// Options that stop the walk where they stand; false for any other word.
bool takes_stopping_word(std::string_view word, CommandLine& command) {
  if (word == "-v" || word == "-h") {
    command.action = CommandAction::usage;
    command.check_not_made = word == "-v" && command.check_asked;
  } else if (word == "--help" || word == "--version") {
    command.action = word == "--help" ? CommandAction::help : CommandAction::version;
  } else {
    return false;
  }
  return true;
}

// Takes the word the walk stands at, and those it takes with it; false when
// the walk ends there.
bool take_word(Walk& walk, CommandLine& command) {
  const char* argument = walk.arguments[walk.at];
  const std::string_view word = argument;
  if (walk.options_over || !is_option_like(argument)) {
    command.manifests.push_back(argument);
    return true;
  }
  if (std::ranges::find(OPTION_WORDS, word) == OPTION_WORDS.end()) {
    refuse(argument, command);
    return false;
  }
  if (takes_a_path(word)) {
    if (walk.at + 1 == walk.arguments.size()) {
      pass_over(argument, command);
      return false;
    }
    if (walk.input_option == nullptr) walk.input_option = argument;
    if (word == "--from") {
      command.manifest_list = walk.arguments[++walk.at];
      return true;
    }
    (word == "-o" ? command.output_named : walk.input_named) = true;
    copy_path(word == "-o" ? command.output_path : command.input_path, walk.arguments[++walk.at],
              command);
  } else if (word == "-r") {
    return take_tree(walk, command);
  } else if (word == "-x") {
    take_excludes(walk, command);
  } else if (is_check_word(word)) {
    command.action = CommandAction::check;
  } else if (word == "--ignore-missing") {
    command.ignore_missing = true;
  } else if (word == "--") {
    walk.options_over = true;
  } else if (word == "-z") {
    command.nul_separated = true;
  } else if (word == "--sha256") {
    command.add_sha256 = true;
    walk.refresh_only_option = argument;
  } else if (word == "-n" || word == "--dry-run") {
    command.dry_run = true;
    walk.refresh_only_option = argument;
  } else if (word == "--quiet" || word == "--status") {
    command.check_output = word == "--quiet" ? CheckOutput::quiet : CheckOutput::status_only;
    walk.check_only_option = argument;
    walk.output_choice = argument;
  } else if (word == "--unlisted") {
    command.list_unlisted = true;
    walk.check_only_option = argument;
  } else if (word == "--json") {
    command.json = true;
    walk.json_option = argument;
  } else if (takes_stopping_word(word, command)) {
    return false;
  }
  return true;
}

// What the end of a walk that went through decides.
void finish_walk(const Walk& walk, CommandLine& command) {
  const char* first_manifest = command.manifests.empty() ? nullptr : command.manifests.front();
  for (const char* manifest : command.manifests) {
    if (std::strlen(manifest) >= PATH_CAPACITY && command.too_long_path == nullptr) {
      command.too_long_path = manifest;
    }
  }
  if (command.tree_count > 0) {
    // Every manifest beneath the folders is its own input and output.
    command.tree_conflict = walk.input_option != nullptr ? walk.input_option : first_manifest;
  } else if (walk.input_named && (first_manifest != nullptr || command.manifest_list != nullptr)) {
    command.beside_input = first_manifest != nullptr ? first_manifest : "--from";
    refuse("-i", command);
  } else if (command.manifests.size() == 1) {
    copy_path(command.input_path, first_manifest, command);
    if (!command.output_named) command.output_path = command.input_path;
  }
  if (command.action != CommandAction::check && walk.check_only_option != nullptr) {
    refuse(walk.check_only_option, command);
  }
  // JSON Lines carry every line: none of them may be left out.
  if (walk.json_option != nullptr && walk.output_choice != nullptr) {
    command.json_conflict = walk.output_choice;
    refuse(walk.json_option, command);
  }
  // A check checks every digest a section records; it adds none.
  if (command.action == CommandAction::check && walk.refresh_only_option != nullptr) {
    refuse(walk.refresh_only_option, command);
  }
}

}  // namespace

CommandLine parse_command_line(std::span<const char* const> arguments) {
  CommandLine command{};
  command.action = CommandAction::run;
  command.check_output = CheckOutput::every_line;
  command.input_path = DEFAULT_PATH;
  command.output_path = DEFAULT_PATH;
  if (arguments.size() <= 1) {
    command.action = CommandAction::usage;
    command.nothing_asked = true;
    return command;
  }
  command.check_asked = asks_for_check(arguments);
  Walk walk{arguments};
  for (; walk.at < arguments.size(); ++walk.at) {
    if (!take_word(walk, command)) {
      if (command.action == CommandAction::run || command.action == CommandAction::check) break;
      return command;
    }
  }
  finish_walk(walk, command);
  return command;
}

namespace {

// Standard output that could not take what the run printed fails the run: a
// script must not take lines that never arrived for a clean result.
int with_output_checked(int status, bool check) {
  flush_output();
  if (output_error() == 0) return status;
  report("cannot write standard output: %s", std::strerror(output_error()));
  return check ? CHECK_NOT_MADE : 1;
}

// The end of a run the command line asked for: with "--json", the last
// object, which is written whatever the status, then standard output checked.
int finished(const CommandLine& command, int status, const RunTotals& totals = {}) {
  const bool check = command.action == CommandAction::check;
  if (command.json && (check || command.action == CommandAction::run)) {
    Transcript shown;
    print_line(shown, summary_object(totals, check ? RunKind::check : RunKind::refresh,
                                     command.dry_run, status));
  }
  return with_output_checked(status, check);
}

int refused(const CommandLine& command) {
  const std::string_view option = command.refused_option;
  if (option == "--json") {
    report(
        "option \"--json\" does not go with \"%s\": JSON Lines carry every line; see "
        "md5refresh --help",
        command.json_conflict);
  } else if (option == "--quiet" || option == "--status" || option == "--unlisted") {
    report("option \"%s\" is for a check (-c); see md5refresh --help", command.refused_option);
  } else if (option == "--sha256") {
    report(
        "option \"--sha256\" is for a refresh; a check checks every digest recorded; see "
        "md5refresh --help");
  } else if (option == "-n" || option == "--dry-run") {
    report("option \"%s\" is for a refresh; a check writes nothing; see md5refresh --help",
           command.refused_option);
  } else if (option == "-r" && command.tree_count == MAX_TREES) {
    report("at most %d folders with -r; see md5refresh --help", MAX_TREES);
  } else if (option == "-r") {
    report("option \"-r\" needs a folder; see md5refresh --help");
  } else if (option == "-i") {
    report("-i names the manifest, and so does \"%s\": name it once; see md5refresh --help",
           command.beside_input);

  } else {
    report("unknown option \"%s\"; see md5refresh --help", command.refused_option);
  }
  return command.check_asked ? CHECK_NOT_MADE : 1;
}

// Windows takes "name:stream" for a stream of the file "name" (a drive's
// "X:" before a name aside): the temporary beside it would be left as an
// empty file of that name.
bool names_a_stream(std::string_view path) {
  const DirectoryPart directory = directory_part(path);
  path.remove_prefix(directory.name_start());
  return !is_plain_file_name(path);
}

// An input or output that names a stream of a file, refused before any digest.
bool refuse_streams(std::span<const NamedManifest> manifests, bool check) {
  for (const NamedManifest& manifest : manifests) {
    if (names_a_stream(manifest.input_path)) {
      report("%s names a stream of a file; not read", manifest.input_path);
      return true;
    }
    if (!check && names_a_stream(manifest.output_path)) {
      report("%s names a stream of a file; not written", manifest.output_path);
      return true;
    }
  }
  return false;
}

// The manifests "--from" names, one a line (or ended by NUL bytes, with
// "-z"), "-" for standard input; empty names are passed over. False, said,
// when the list cannot be read.
bool read_manifest_list(const char* list, bool nul_separated, std::vector<std::string>& names) {
  const bool standard_input = std::string_view(list) == "-";
  const OpenResult opened = standard_input ? OpenResult{stdin, 0, {}} : open_regular_file(list);
  if (opened.file == nullptr) {
    report("cannot open %s: %s", list, error_text(opened.error));
    return false;
  }
  const char end = nul_separated ? '\0' : '\n';
  std::string name;
  for (int c; (c = std::fgetc(opened.file)) != EOF;) {
    if (c != end) {
      name += static_cast<char>(c);
      continue;
    }
    if (!nul_separated && name.ends_with('\r')) name.pop_back();
    if (!name.empty()) names.push_back(std::move(name));
    name.clear();
  }
  if (!name.empty()) names.push_back(std::move(name));
  const int error = std::ferror(opened.file) ? (errno != 0 ? errno : EIO) : 0;
  if (!standard_input) std::fclose(opened.file);
  if (error == 0) return true;
  report("cannot read %s: %s", standard_input ? "standard input" : list, error_text(error));
  return false;
}

// The manifests the command line names, with the list's names after the
// words; the default or "-i" manifest, with "-o", when it names none. False,
// said, when the run must not go on.
bool manifests_named(const CommandLine& command, std::vector<std::string>& listed,
                     std::vector<NamedManifest>& named) {
  if (command.manifest_list != nullptr &&
      !read_manifest_list(command.manifest_list, command.nul_separated, listed)) {
    return false;
  }
  for (const char* manifest : command.manifests)
    named.push_back({manifest, manifest, false});
  for (const std::string& manifest : listed)
    named.push_back({manifest.c_str(), manifest.c_str(), false});
  if (command.manifest_list != nullptr && named.empty()) {
    report("%s names no manifest", command.manifest_list);
    return false;
  }
  if (command.output_named && named.size() > 1) {
    report("-o takes one manifest, and %zu are named; see md5refresh --help", named.size());
    return false;
  }
  if (named.empty()) {
    named.push_back({command.input_path.data(), command.output_path.data(), command.output_named});
  } else if (command.output_named) {
    named.front() = {named.front().input_path, command.output_path.data(), true};
  }
  return true;
}

// What a run of named manifests and a walk are both asked.
template <typename Request>
void fill_request(const CommandLine& command, Request& request) {
  request.ignore_missing = command.ignore_missing;
  request.add_sha256 = command.add_sha256;
  request.dry_run = command.dry_run;
  request.json = command.json;
  request.list_unlisted = command.list_unlisted;
}

int run_trees_of(const CommandLine& command) {
  const bool check = command.action == CommandAction::check;
  if (command.tree_conflict != nullptr) {
    report("-r does not go with \"%s\": every %s beneath the folder is read and written in place",
           command.tree_conflict, TREE_MANIFEST_NAME);
    return finished(command, check ? CHECK_NOT_MADE : 1);
  }
  TreeRequest request{std::span(command.trees).first(static_cast<std::size_t>(command.tree_count)),
                      command.excludes, check, command.check_output};
  fill_request(command, request);
  RunTotals totals;
  request.totals = &totals;
  const int status = run_trees(request);
  return finished(command, status, totals);
}

// The manifests named, each refreshed or checked.
int run_named_of(const CommandLine& command) {
  const bool check = command.action == CommandAction::check;
  const int refused_status = check ? CHECK_NOT_MADE : 1;
  std::vector<std::string> listed;
  std::vector<NamedManifest> named;
  if (!manifests_named(command, listed, named) || refuse_streams(named, check)) {
    return finished(command, refused_status);
  }
  if (check && command.output_named) report("option \"-o\" ignored: a check writes nothing");
  // A manifest's path that "-x" took would leave the default manifest, or
  // another named one, to be rewritten: nothing is written then.
  if (const std::string_view taken = check ? "" : file_taken_by_excludes(named, command.excludes);
      !taken.empty()) {
    report("-x \"%.*s\" names no section but a file; -x takes every word up to the next option",
           static_cast<int>(taken.size()), taken.data());
    return finished(command, 1);
  }
  NamedRequest request{named, command.excludes, check, command.check_output};
  fill_request(command, request);
  RunTotals totals;
  request.totals = &totals;
  const int status = run_named(request);
  return finished(command, status, totals);
}

}  // namespace

int run_command_line(std::span<const char* const> arguments, std::size_t not_unicode) {
  const CommandLine command = parse_command_line(arguments);
  if (not_unicode != 0) {
    report("argument %lu is not valid Unicode", static_cast<unsigned long>(not_unicode));
    return finished(command, command.action == CommandAction::check ? CHECK_NOT_MADE : 1);
  }
  switch (command.action) {
    case CommandAction::usage:
      std::fputs(USAGE_TEXT, stdout);
      // No argument at all asked for nothing: a script's empty variable must
      // not pass for a run.
      return with_output_checked(command.check_not_made || command.nothing_asked ? 2 : 0, false);
    case CommandAction::help:
      std::fputs(HELP_TEXT, stdout);
      return with_output_checked(0, false);
    case CommandAction::version:
      std::fputs(VERSION_LINE, stdout);
      return with_output_checked(0, false);
    case CommandAction::refused:
      return refused(command);
    case CommandAction::run:
    case CommandAction::check:
      break;
  }
  const bool check = command.action == CommandAction::check;
  warn_about_ignored(command);
  if (command.too_long_path != nullptr) {
    report("path longer than %d bytes: %s", static_cast<int>(PATH_CAPACITY - 1),
           command.too_long_path);
    return finished(command, check ? CHECK_NOT_MADE : 1);
  }
  if (command.passed_over_excludes > 0) {
    report("at most %d sections can be excluded; %d more %s passed over, from \"%s\"", MAX_EXCLUDES,
           command.passed_over_excludes, command.passed_over_excludes == 1 ? "name" : "names",
           command.first_passed_over);
  }
  return command.tree_count > 0 ? run_trees_of(command) : run_named_of(command);
}

}  // namespace md5refresh
