// SPDX-License-Identifier: MIT
// The argument walk: turns the argument vector into the manifests named, the
// output, the exclusion list, and what to do with them: refresh, check, or
// show the usage text.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

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
    "Usage: md5refresh [MANIFEST...] [-i INPUT] [-o OUTPUT] [-x NAME...] [--ignore-missing]\n"
    "                  [--sha256] [-n] [--json] [--from LIST [-z]] [-- MANIFEST...]\n"
    "       md5refresh -c [MANIFEST...] [-i INPUT] [-x NAME...] [--ignore-missing]\n"
    "                  [--quiet | --status | --json] [--unlisted] [--from LIST [-z]]\n"
    "                  [-- MANIFEST...]\n"
    "       md5refresh -r FOLDER [-r FOLDER]... [-c [--quiet | --status] [--unlisted] |\n"
    "                  --sha256 | -n] [--json] [-x NAME...] [--ignore-missing]\n"
    "Refreshes the MD5 digest recorded for each file a manifest names, or checks it;\n"
    "a section's \"sha256\" entry is refreshed and checked beside it.\n"
    "\n"
    "  MANIFEST...       the manifests, each read and rewritten in place, or checked: every\n"
    "                    word no option takes, wherever it stands (default update.txt)\n"
    "  -i INPUT          read the one manifest from INPUT\n"
    "  -o OUTPUT         write the one refreshed manifest to OUTPUT, not in place\n"
    "  --from LIST       the manifests named in LIST, one a line (- for standard input)\n"
    "  -z                with --from: the names in LIST end with a NUL byte, not a line end\n"
    "  --                every word after it names a manifest\n"
    "  -x NAME...        leave out the sections named, every word up to the next option\n"
    "  -n, --dry-run     refresh, but write nothing: say which manifests would change\n"
    "  -c, --check       check the recorded digests; write nothing\n"
    "  --quiet           with -c: print only the lines that are not OK, and a summary\n"
    "                    when not all is OK\n"
    "  --status          with -c: print nothing; the exit status tells\n"
    "  --unlisted        with -c: list the plain files beside each manifest that no\n"
    "                    section names (\"path: UNLISTED\"), each one not OK\n"
    "  --json            print JSON Lines, not text: an object per file, one per\n"
    "                    manifest, and a last one with the counts and exit status\n"
    "  --ignore-missing  pass over files that do not exist, without a word\n"
    "  --sha256          store each file's SHA-256 too, adding a \"sha256\" entry after\n"
    "                    \"md5\" where a section has none\n"
    "  -r FOLDER         refresh (with -c: check) every update.txt beneath FOLDER, in place;\n"
    "                    repeatable\n"
    "  -h, -v            print the short usage text (alone: status 2, nothing done)\n"
    "  --help            print this text\n"
    "  --version         print the version\n"
    "\n"
    "Exit status:\n"
    "  0  every manifest written (or left unchanged) with every digest taken; in a\n"
    "     check, every file OK\n"
    "  1  a manifest not written, or a digest not taken; in a check, a file not OK\n"
    "  2  in a check: nothing checked (no manifest, or no file in it to check);\n"
    "     no arguments at all: nothing done\n"
    "\n"
    "The manual: man md5refresh\n";

// Every option the argument walk knows: any other word that begins with "-"
// is refused, so an option is known here or nowhere, and --help names each.
inline constexpr std::array<std::string_view, 21> OPTION_WORDS = {
    "-i",        "-o",        "-x",        "-c",
    "--check",   "--quiet",   "--status",  "--ignore-missing",
    "-r",        "--sha256",  "-h",        "-v",
    "--help",    "--version", "--from",    "-z",
    "--",        "-n",        "--dry-run", "--json",
    "--unlisted"};

inline constexpr char VERSION_LINE[] = "md5refresh " MD5REFRESH_VERSION "\n";

enum class CommandAction {
  run,
  check,
  usage,    // -v, -h, or no argument at all (`nothing_asked`)
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
  bool nothing_asked;   // no argument at all: a script's empty variable, nothing done
  bool check_asked;     // "-c" or "--check" stands among the options
  bool check_not_made;  // "-v" ended a walk that asked for a check
  CheckOutput check_output;
  const char* refused_option;  // what made the action `refused`, or null
  // Every word no option takes, in order; the first of them, or "-i", is
  // `input_path` when it is the only one.
  std::vector<const char*> manifests;
  const char* manifest_list;  // "--from LIST", or null
  bool nul_separated;         // "-z"
  const char* beside_input;   // a manifest word that "-i" refuses, or null
  PathBuffer input_path;
  PathBuffer output_path;
  bool output_named;          // by "-o", not by default or by a bare first argument
  bool ignore_missing;        // "--ignore-missing": files that do not exist are passed over
  bool add_sha256;            // "--sha256": a refresh stores every file's SHA-256 too
  bool dry_run;               // "-n", "--dry-run": a refresh that writes nothing
  bool json;                  // "--json": JSON Lines on standard output
  bool list_unlisted;         // "--unlisted": a check lists the files no section names
  const char* json_conflict;  // "--quiet" or "--status", which "--json" refuses
  ExcludeList excludes;
  const char* too_long_path;      // the first path argument that did not fit, or null
  int passed_over_excludes;       // names after "-x" beyond MAX_EXCLUDES
  const char* first_passed_over;  // the first of them, or null
  int ignored_count;              // arguments passed over: unknown options, stray words
  std::array<const char*, MAX_IGNORED_SHOWN> ignored;  // the first of them
  int tree_count;                                      // folders after "-r", in order
  std::array<const char*, MAX_TREES> trees;
  const char* tree_conflict;  // "-i", "-o", "--from" or a manifest's word, which "-r" refuses
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
