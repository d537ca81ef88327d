// SPDX-License-Identifier: MIT
// The argument walk: turns the argument vector into the two manifest paths and
// the exclusion list, and what to do with them: refresh, check, or show the usage text.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

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

// The usage text above stays as scripts and users know it; --help says what
// each option really does.
inline constexpr char HELP_TEXT[] =
    "Usage: md5refresh [MANIFEST] [-i INPUT] [-o OUTPUT] [-x NAME...] [--ignore-missing]\n"
    "                  [--sha256]\n"
    "       md5refresh -c [MANIFEST] [-i INPUT] [-x NAME...] [--ignore-missing]\n"
    "                  [--quiet | --status]\n"
    "       md5refresh -r FOLDER [-r FOLDER]... [-c [--quiet | --status] | --sha256]\n"
    "                  [-x NAME...] [--ignore-missing]\n"
    "Refreshes the MD5 digest recorded for each file a manifest names, or checks it;\n"
    "a section's \"sha256\" entry is refreshed and checked beside it.\n"
    "\n"
    "  MANIFEST          the manifest, read and rewritten in place (default update.txt);\n"
    "                    in a check, the first word that is no option, wherever it stands\n"
    "  -i INPUT          read the manifest from INPUT\n"
    "  -o OUTPUT         write the refreshed manifest to OUTPUT, not in place\n"
    "  -x NAME...        leave out the sections named, every word up to the next option\n"
    "  -c, --check       check the recorded digests; write nothing\n"
    "  --quiet           with -c: print only the lines that are not OK, and the summary\n"
    "  --status          with -c: print nothing; the exit status tells\n"
    "  --ignore-missing  pass over files that do not exist, without a word\n"
    "  --sha256          store each file's SHA-256 too, adding a \"sha256\" entry after\n"
    "                    \"md5\" where a section has none\n"
    "  -r FOLDER         refresh (with -c: check) every update.txt beneath FOLDER, in place;\n"
    "                    repeatable\n"
    "  -h, -v            print the short usage text\n"
    "  --help            print this text\n"
    "  --version         print the version\n"
    "\n"
    "Exit status:\n"
    "  0  every manifest written with every digest taken; in a check, every file OK\n"
    "  1  a manifest not written, or a digest not taken; in a check, a file not OK\n"
    "  2  in a check: nothing checked (no manifest, or no file in it to check)\n"
    "\n"
    "The manual: man md5refresh\n";

// Every option the argument walk knows: any other word that begins with "-"
// is refused, so an option is known here or nowhere, and --help names each.
inline constexpr std::array<std::string_view, 14> OPTION_WORDS = {
    "-i", "-o",       "-x", "-c", "--check", "--quiet",  "--status", "--ignore-missing",
    "-r", "--sha256", "-h", "-v", "--help",  "--version"};

inline constexpr char VERSION_LINE[] = "md5refresh " MD5REFRESH_VERSION "\n";

enum class CommandAction {
  run,
  check,
  usage,    // -v, -h, or no argument at all
  help,     // --help: what each option does
  version,  // --version
  refused,  // an option the tool does not know, or one that needs -c without it (or with it)
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
  bool add_sha256;      // "--sha256": a refresh stores every file's SHA-256 too
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
// `not_unicode` is the first argument the host could not take as text (see
// ProcessArguments), which stops the run before anything is read.
[[nodiscard]] int run_command_line(std::span<const char* const> arguments,
                                   std::size_t not_unicode = 0);

}  // namespace md5refresh
