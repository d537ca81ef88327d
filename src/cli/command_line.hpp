// SPDX-License-Identifier: MIT
// The argument walk: turns the argument vector into the two manifest paths and
// the exclusion list, and what to do with them: refresh, check, or show the usage text.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "cli/version.hpp"
#include "manifest/manifest.hpp"
#include "refresh/check.hpp"

namespace md5refresh {

inline constexpr std::size_t PATH_CAPACITY = MANIFEST_PATH_LIMIT + 1;  // and the NUL
using PathBuffer = std::array<char, PATH_CAPACITY>;

inline constexpr char USAGE_TEXT[] =
    "Using:\n"
    "\t-i input file name\n"
    "\t-o output file name\n"
    "\t-x exclude file name\n"
    "\t-v version\n"
    "\t-c check the recorded digests, write nothing\n"
    "\t-h help\n"
    "\tmd5refresh: refresh the MD5 digests recorded in a manifest. Version:v" MD5REFRESH_VERSION
    "\n";

// What --help adds below the usage text: every option beyond its six lines.
inline constexpr char MORE_OPTIONS_TEXT[] =
    "Options beyond these:\n"
    "\t-c, --check\tcheck the recorded digests, write nothing\n"
    "\t--quiet\t\twith -c: print only the lines that are not OK, and the summary\n"
    "\t--status\twith -c: print nothing; the exit status tells\n"
    "\t--help\t\tthis text\n"
    "\t--version\tprint the version\n"
    "\t-r folder\trefresh (or with -c check) every update.txt beneath the folder, in place;\n"
    "\t\t\trepeatable\n"
    "\tThe first bare word names the manifest (in a check, wherever it stands).\n";

inline constexpr char VERSION_LINE[] = "md5refresh " MD5REFRESH_VERSION "\n";

enum class CommandAction {
  run,
  check,
  usage,    // -v, -h, or no argument at all
  help,     // --help: the usage text and the options beyond it
  version,  // --version
  refused,  // an option the tool does not know, or one that needs -c without it
};

// Arguments the walk passes over are kept (the first few) to be warned of.
inline constexpr int MAX_IGNORED_SHOWN = 10;

// Folders of manifests ("-r DIR") one run takes.
inline constexpr int MAX_TREES = 16;

struct CommandLine {
  CommandAction action;
  bool check_asked;     // "-c" or "--check" stands among the options
  bool check_not_made;  // "-v" ended a walk that asked for a check
  CheckOutput check_output;
  const char* refused_option;  // what made the action `refused`, or null
  PathBuffer input_path;
  PathBuffer output_path;
  bool output_named;    // by "-o", not by default or by a bare first argument
  bool ignore_missing;  // "--ignore-missing": files that do not exist are passed over
  ExcludeList excludes;
  const char* too_long_path;      // the first path argument that did not fit, or null
  int passed_over_excludes;       // names after "-x" beyond MAX_EXCLUDES
  const char* first_passed_over;  // the first of them, or null
  int ignored_count;              // arguments passed over: unknown options, stray words
  std::array<const char*, MAX_IGNORED_SHOWN> ignored;  // the first of them
  int tree_count;                                      // folders after "-r", in order
  std::array<const char*, MAX_TREES> trees;
  const char* tree_conflict;  // "-i", "-o" or the manifest's word, which "-r" refuses
};

// `arguments` is the whole vector, the program's own name first.
// Options are whole, case-sensitive words, and later ones win; an option the
// tool does not know stops the walk where it stands, as "-v" and "-h" do.
[[nodiscard]] CommandLine parse_command_line(std::span<const char* const> arguments);

// Runs what the command line asks for and returns the process exit status.
[[nodiscard]] int run_command_line(std::span<const char* const> arguments);

}  // namespace md5refresh
