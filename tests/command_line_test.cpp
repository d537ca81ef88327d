// SPDX-License-Identifier: MIT
// The argument walk: which paths, exclusions and action each command line gives.
#include "cli/command_line.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.hpp"

using namespace md5refresh;

namespace {

struct WalkCase {
  const char* name;
  std::vector<const char*> arguments;  // after the program name
  CommandAction action;
  std::string input;
  std::string output;
  std::vector<std::string> excludes;
  int passed_over;
};

const std::string LONG_PATH(PATH_CAPACITY, 'p');
const std::string LONGEST_PATH(PATH_CAPACITY - 1, 'p');

TEST(CommandLine, WalksArgumentsInOrder) {
  // clang-format off
  const WalkCase cases[] = {
      {"no arguments", {}, CommandAction::usage, "update.txt", "update.txt", {}, 0},
      {"bare first argument", {"m.txt"}, CommandAction::run, "m.txt", "m.txt", {}, 0},
      {"input only", {"-i", "a.txt"}, CommandAction::run, "a.txt", "update.txt", {}, 0},
      {"bare then output", {"a.txt", "-o", "b.txt"}, CommandAction::run, "a.txt", "b.txt", {}, 0},
      {"a word after the options names the manifest", {"-o", "b.txt", "a.txt"}, CommandAction::run, "a.txt", "b.txt", {}, 0},
      {"option word as value", {"-o", "-v"}, CommandAction::run, "update.txt", "-v", {}, 0},
      {"exclusions end at option", {"-x", "A", "B", "-o", "out.txt"}, CommandAction::run, "update.txt", "out.txt", {"A", "B"}, 0},
      {"version after exclusions", {"-x", "A", "-v"}, CommandAction::usage, "update.txt", "update.txt", {"A"}, 0},
      {"version wins over paths", {"a.txt", "-o", "b.txt", "-v", "-i", "c"}, CommandAction::usage, "update.txt", "b.txt", {}, 0},
      {"twelve exclusions", {"-x", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"}, CommandAction::run, "update.txt", "update.txt", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}, 2},
      {"dash name ends exclusions", {"-x", "A", "-B"}, CommandAction::refused, "update.txt", "update.txt", {"A"}, 0},
      {"empty exclusion name", {"-x", ""}, CommandAction::run, "update.txt", "update.txt", {""}, 0},
      {"output missing its value", {"m.txt", "-o"}, CommandAction::run, "m.txt", "m.txt", {}, 0},
      {"input missing ends walk", {"-i", "a", "-i"}, CommandAction::run, "a", "update.txt", {}, 0},
      {"a manifest named twice, as a word and by -i", {"a.txt", "-i", "c.txt"}, CommandAction::refused, "c.txt", "update.txt", {}, 0},
      {"two exclusion runs", {"-x", "A", "-x", "B"}, CommandAction::run, "update.txt", "update.txt", {"A", "B"}, 0},
      {"empty exclusion run", {"-x", "-x", "A"}, CommandAction::run, "update.txt", "update.txt", {"A"}, 0},
      {"options are case-sensitive", {"-O", "b", "-X", "c", "-V"}, CommandAction::refused, "update.txt", "update.txt", {}, 0},
      {"options are whole words", {"m.txt", "-ob", "-vv"}, CommandAction::refused, "update.txt", "update.txt", {}, 0},
      {"unknown option stops the walk", {"--bogus", "-v"}, CommandAction::refused, "update.txt", "update.txt", {}, 0},
      {"usage ends the walk first", {"-v", "--bogus"}, CommandAction::usage, "update.txt", "update.txt", {}, 0},
      {"long check", {"m.txt", "--check"}, CommandAction::check, "m.txt", "m.txt", {}, 0},
      {"help", {"m.txt", "--help", "--bogus"}, CommandAction::help, "update.txt", "update.txt", {}, 0},
      {"version", {"--version", "-c"}, CommandAction::version, "update.txt", "update.txt", {}, 0},
      {"files that do not exist passed over", {"m.txt", "--ignore-missing"}, CommandAction::run, "m.txt", "m.txt", {}, 0},
      {"check of a word after -c", {"-c", "pkg/m.txt"}, CommandAction::check, "pkg/m.txt", "pkg/m.txt", {}, 0},
      {"check refuses -i beside a word", {"-c", "pkg/m.txt", "-i", "a.txt"}, CommandAction::refused, "a.txt", "update.txt", {}, 0},
      {"check after exclusions", {"-c", "-x", "A", "B", "-o", "o.txt", "m.txt"}, CommandAction::check, "m.txt", "o.txt", {"A", "B"}, 0},
      {"quiet check", {"--quiet", "m.txt", "-c"}, CommandAction::check, "m.txt", "m.txt", {}, 0},
      {"quiet without a check", {"m.txt", "--quiet"}, CommandAction::refused, "m.txt", "m.txt", {}, 0},
      {"status without a check", {"--status", "-i", "m.txt"}, CommandAction::refused, "m.txt", "update.txt", {}, 0},
      {"sha256 in a refresh", {"m.txt", "--sha256"}, CommandAction::run, "m.txt", "m.txt", {}, 0},
      {"sha256 refused in a check", {"-c", "m.txt", "--sha256"}, CommandAction::refused, "m.txt", "m.txt", {}, 0},
      {"a dry run", {"-n", "m.txt"}, CommandAction::run, "m.txt", "m.txt", {}, 0},
      {"a dry run refused in a check", {"--dry-run", "m.txt", "--check"}, CommandAction::refused, "m.txt", "m.txt", {}, 0},
      {"JSON Lines in a refresh", {"--json", "m.txt"}, CommandAction::run, "m.txt", "m.txt", {}, 0},
      {"JSON Lines refused beside --quiet", {"-c", "--json", "--quiet", "m.txt"}, CommandAction::refused, "m.txt", "m.txt", {}, 0},
      {"files unlisted in a check", {"--unlisted", "-c", "m.txt"}, CommandAction::check, "m.txt", "m.txt", {}, 0},
      {"files unlisted refused in a refresh", {"--unlisted", "m.txt"}, CommandAction::refused, "m.txt", "m.txt", {}, 0},
      {"two manifests and -o: refused when the list is whole", {"a.txt", "b.txt", "-o", "c.txt"}, CommandAction::run, "update.txt", "c.txt", {}, 0},
      {"-- ends the options", {"-x", "A", "--", "-m.txt"}, CommandAction::run, "-m.txt", "-m.txt", {"A"}, 0},
      {"a list beside -i refused", {"-i", "a.txt", "--from", "list"}, CommandAction::refused, "a.txt", "update.txt", {}, 0},
      {"longest path fits", {LONGEST_PATH.c_str()}, CommandAction::run, LONGEST_PATH, LONGEST_PATH, {}, 0},
  };
  // clang-format on
  for (const WalkCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<const char*> argv{"md5refresh"};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    const CommandLine command = parse_command_line(argv);
    EXPECT_EQ(command.action, c.action);
    EXPECT_EQ(command.input_path.data(), c.input);
    EXPECT_EQ(command.output_path.data(), c.output);
    std::vector<std::string> excludes(command.excludes.names.begin(),
                                      command.excludes.names.begin() + command.excludes.count);
    EXPECT_EQ(excludes, c.excludes);
    EXPECT_EQ(command.passed_over_excludes, c.passed_over);
    EXPECT_EQ(command.too_long_path, nullptr);
  }
}

struct ManifestsCase {
  std::vector<const char*> arguments;  // after the program name
  std::vector<std::string> manifests;
  const char* list = nullptr;  // "--from"
  bool nul_separated = false;
};

// Every word no option takes names a manifest, in a refresh and a check
// alike, wherever it stands: none is left unchecked. "-x" takes the words up
// to the next option, "-r" its folder; "--" ends the options.
TEST(CommandLine, EveryWordNoOptionTakesNamesAManifest) {
  // clang-format off
  const ManifestsCase cases[] = {
      {{"-c", "--status", "bin-6/update.txt", "bin-7/update.txt"}, {"bin-6/update.txt", "bin-7/update.txt"}},
      {{"a.txt", "--sha256", "b.txt", "-x", "s1", "s2", "--ignore-missing", "c.txt"}, {"a.txt", "b.txt", "c.txt"}},
      {{"--", "-c", "--from", "x"}, {"-c", "--from", "x"}},
      {{"-c", "--from", "-", "-z", "a.txt"}, {"a.txt"}, "-", true},
      {{"-o", "out.txt", "--from", "list.txt"}, {}, "list.txt"},
  };
  // clang-format on
  for (const ManifestsCase& c : cases) {
    std::vector<const char*> argv{"md5refresh"};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    const CommandLine command = parse_command_line(argv);
    SCOPED_TRACE(c.arguments.front());
    EXPECT_NE(command.action, CommandAction::refused);
    EXPECT_EQ(std::vector<std::string>(command.manifests.begin(), command.manifests.end()),
              c.manifests);
    EXPECT_STREQ(command.manifest_list, c.list);
    EXPECT_EQ(command.nul_separated, c.nul_separated);
  }
}

// "--from - -z": the manifests a NUL-separated list on standard input names,
// each checked; the worst status and one summary line for them all.
TEST(CommandLine, ChecksEveryManifestAListNames) {
  test::TempDir dir;
  const std::string manifest = "x={\nfile_path=x.bin\nmd5=" + std::string(test::ABC_MD5) + "\n}\n";
  std::string list;
  for (const char* package : {"a", "b"}) {
    std::filesystem::create_directories(dir / package);
    test::write_file(dir / package / "update.txt", manifest);
    test::write_file(dir / package / "x.bin", package[0] == 'a' ? "abc" : "abcd");
    list += (dir / package / "update.txt").string() + '\0';
  }
  test::write_file(dir / "list", list + '\0');  // an empty name is passed over
  ASSERT_NE(std::freopen((dir / "list").string().c_str(), "rb", stdin), nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int status =
      run_command_line(std::vector<const char*>{"md5refresh", "-c", "--from", "-", "-z"});
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_NE(std::freopen(test::NULL_DEVICE, "rb", stdin), nullptr);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(out, (dir / "a" / "x.bin").string() + ": OK\n" + (dir / "b" / "x.bin").string() +
                     ": CHANGED\n");
  EXPECT_EQ(err,
            "md5refresh: 1 of 1 sections not OK: 1 changed\n"
            "md5refresh: 2 manifests, 2 files: 1 OK, 1 not OK\n");
  // A list of one manifest, a line each: that manifest, not the default one.
  test::write_file(dir / "list1", (dir / "a" / "update.txt").string() + "\r\n\n");
  const std::string list1 = (dir / "list1").string();
  testing::internal::CaptureStdout();
  EXPECT_EQ(run_command_line(std::vector<const char*>{"md5refresh", "-c", "--from", list1.c_str()}),
            0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), (dir / "a" / "x.bin").string() + ": OK\n");
  // One output for the manifests of a list is refused before any is read.
  const std::string list_path = (dir / "list").string();
  testing::internal::CaptureStderr();
  EXPECT_EQ(run_command_line(std::vector<const char*>{"md5refresh", "--from", list_path.c_str(),
                                                      "-z", "-o", "out.txt"}),
            1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "md5refresh: -o takes one manifest, and 2 are named; see md5refresh --help\n");
  EXPECT_FALSE(std::filesystem::exists("out.txt"));
}

// An option is known to the walk only through OPTION_WORDS: each is taken (none
// refused), and --help gives each a line of its own ("  -c, --check  ...").
TEST(CommandLine, HelpDescribesEveryOptionTheWalkKnows) {
  std::set<std::string> described;
  std::istringstream help(HELP_TEXT);
  for (std::string line; std::getline(help, line);) {
    if (!line.starts_with("  -")) continue;
    std::istringstream words(line.substr(2, line.find("  ", 2) - 2));
    for (std::string word; words >> word;)
      described.insert(word.ends_with(',') ? word.substr(0, word.size() - 1) : word);
  }
  for (const std::string_view word : OPTION_WORDS) {
    SCOPED_TRACE(word);
    const std::string option(word);
    const bool takes_a_value = word == "-i" || word == "-o" || word == "-r" || word == "--from";
    // Each with a check, but the one a check refuses (a refresh's own).
    const bool refresh_only = word == "--sha256" || word == "-n" || word == "--dry-run";
    std::vector<const char*> argv{"md5refresh", refresh_only ? "x.txt" : "-c", option.c_str()};
    if (takes_a_value) argv.push_back("value");
    EXPECT_NE(parse_command_line(argv).action, CommandAction::refused);
    EXPECT_TRUE(described.contains(option)) << "--help has no line for " << word;
  }
}

// An argument the host could not take as text (a lone surrogate on Windows)
// stops the run before anything is read: 1, or a check's 2.
TEST(CommandLine, RefusesAnArgumentThatIsNotText) {
  struct NotTextCase {
    std::vector<const char*> arguments;
    std::size_t not_unicode;
    int status;
  };
  // clang-format off
  const NotTextCase cases[] = {
      {{"md5refresh", "missing/m.txt"}, 1, 1},
      {{"md5refresh", "-c", "missing/m.txt"}, 2, 2},
  };
  // clang-format on
  for (const NotTextCase& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(run_command_line(c.arguments, c.not_unicode), c.status);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "md5refresh: argument " + std::to_string(c.not_unicode) + " is not valid Unicode\n");
  }
}

TEST(CommandLine, RefusesPathsThatDoNotFit) {
  for (std::vector<const char*> arguments :
       {std::vector<const char*>{"md5refresh", LONG_PATH.c_str()},
        std::vector<const char*>{"md5refresh", "-i", "a", "-o", LONG_PATH.c_str()},
        std::vector<const char*>{"md5refresh", "-i", LONG_PATH.c_str(), "-o", "b"}}) {
    const CommandLine command = parse_command_line(arguments);
    EXPECT_EQ(command.too_long_path, LONG_PATH.c_str());
    EXPECT_NE(command.input_path.data(), LONG_PATH);
    EXPECT_NE(command.output_path.data(), LONG_PATH);
  }
}

}  // namespace
