// SPDX-License-Identifier: MIT
// Whole runs of the built tool in a temporary directory: standard output and
// error, the files left behind and the exit status.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cli/command_line.hpp"
#include "test_support.hpp"

using namespace md5refresh;

namespace fs = std::filesystem;

namespace {

using Files = std::map<std::string, std::string>;

void write_files(const test::TempDir& dir, const Files& files) {
  for (const auto& [name, contents] : files)
    test::write_file(dir / name, contents);
}

std::set<std::string> listing(const fs::path& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

struct StopCase {
  std::vector<std::string> arguments;
  int status;
  std::string out;
  std::string err;
};

TEST(EndToEnd, StopsBeforeReadingForUsageVersionAndUnknownOptions) {
  const std::string usage = USAGE_TEXT, help = HELP_TEXT;
  const std::string version = std::string("md5refresh ") + MD5REFRESH_VERSION + "\n";
  const std::string bogus = "md5refresh: unknown option \"--bogus\"; see md5refresh --help\n";
  // clang-format off
  const StopCase cases[] = {
      {{}, 2, usage, ""},  // a script's empty variable: nothing done
      {{"-v"}, 0, usage, ""},
      {{"-x", "A", "-v"}, 0, usage, ""},
      {{"m.txt", "-o", "out.txt", "-v"}, 0, usage, ""},
      {{"-c", "-h"}, 0, usage, ""},
      {{"m.txt", "-c", "-v"}, 2, usage, ""},
      {{"-v", "m.txt", "-c"}, 2, usage, ""},
      {{"-v", "--bogus"}, 0, usage, ""},
      {{"--help", "-c"}, 0, help, ""},
      {{"--version"}, 0, version, ""},
      {{"-c", "--version"}, 0, version, ""},
      {{"m.txt", "--bogus", "-v"}, 1, "", bogus},
      {{"m.txt", "-o", "--bogus", "--bogus"}, 1, "", bogus},
      {{"--bogus", "-c"}, 2, "", bogus},
      {{"m.txt", "-"}, 1, "", "md5refresh: unknown option \"-\"; see md5refresh --help\n"},
      {{"m.txt", "--quiet"}, 1, "", "md5refresh: option \"--quiet\" is for a check (-c); see md5refresh --help\n"},
      {{"m.txt", "-c", "--sha256"}, 2, "", "md5refresh: option \"--sha256\" is for a refresh; a check checks every digest recorded; see md5refresh --help\n"},
      {{"-n", "m.txt", "-c"}, 2, "", "md5refresh: option \"-n\" is for a refresh; a check writes nothing; see md5refresh --help\n"},
      {{"-c", "--status", "m.txt", "--json"}, 2, "", "md5refresh: option \"--json\" does not go with \"--status\": JSON Lines carry every line; see md5refresh --help\n"},
  };
  // clang-format on
  for (const StopCase& c : cases) {
    std::string words;
    for (const std::string& argument : c.arguments)
      words += argument + " ";
    SCOPED_TRACE(words);
    test::TempDir dir;
    test::write_file(dir / "m.txt", "a={\n}\n");
    test::ToolRun run = test::run_tool(dir.path(), c.arguments);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(listing(dir.path()), std::set<std::string>{"m.txt"});
    EXPECT_EQ(test::read_file(dir / "m.txt"), "a={\n}\n");
  }
}

struct PathCase {
  const char* name;
  std::vector<std::string> arguments;
  Files expected;  // every file in the directory afterwards
  std::string err = "";
  int status = 0;
};

TEST(EndToEnd, ReadsAndWritesThePathsTheCommandLineNames) {
  const Files before{{"update.txt", "u={\n}"}, {"a.txt", "a={\n}"}, {"c.txt", "c={\n}"}};
  const std::string u = "u={\n}\n\n", a = "a={\n}\n\n", c = "c={\n}\n\n";
  // On Windows "C:a.txt" is a.txt in the current folder of drive C:, that of
  // the run's own folder here: read, written and replaced there, its
  // temporary beside it.
  const std::string drive = test::POSIX_HOST ? "" : fs::temp_directory_path().string().substr(0, 2);
  // clang-format off
  const std::vector<PathCase> cases = {
      {"default in place", {"--ignore-missing"}, {{"update.txt", u}, {"a.txt", "a={\n}"}, {"c.txt", "c={\n}"}}},
      {"bare path in place", {"a.txt"}, {{"update.txt", "u={\n}"}, {"a.txt", a}, {"c.txt", "c={\n}"}}},
      {"input to default", {"-i", "a.txt"}, {{"update.txt", a}, {"a.txt", "a={\n}"}, {"c.txt", "c={\n}"}}, "md5refresh: writing update.txt from a.txt; choose the output with -o\n"},
      {"bare to output", {"a.txt", "-o", "b.txt"}, {{"update.txt", "u={\n}"}, {"a.txt", "a={\n}"}, {"b.txt", a}, {"c.txt", "c={\n}"}}},
      {"a word after the options names the manifest", {"-o", "b.txt", "a.txt"}, {{"update.txt", "u={\n}"}, {"a.txt", "a={\n}"}, {"b.txt", a}, {"c.txt", "c={\n}"}}},
      {"every word names a manifest", {"a.txt", "--ignore-missing", "c.txt"}, {{"update.txt", "u={\n}"}, {"a.txt", a}, {"c.txt", c}}, "md5refresh: 2 manifests, 0 files: 2 written, 0 unchanged, 0 refused\n"},
      {"a manifest named twice runs once", {"a.txt", "./a.txt"}, {{"update.txt", "u={\n}"}, {"a.txt", a}, {"c.txt", "c={\n}"}}},
      {"-- ends the options", {"--", "a.txt"}, {{"update.txt", "u={\n}"}, {"a.txt", a}, {"c.txt", "c={\n}"}}},
      {"-o beside two manifests refused", {"a.txt", "c.txt", "-o", "b.txt"}, before, "md5refresh: -o takes one manifest, and 2 are named; see md5refresh --help\n", 1},
      {"output without a path", {"a.txt", "-o"}, {{"update.txt", "u={\n}"}, {"a.txt", a}, {"c.txt", "c={\n}"}}, "md5refresh: option \"-o\" without a path ignored\n"},
      {"exclusion matching nothing", {"a.txt", "-x", "zz"}, {{"update.txt", "u={\n}"}, {"a.txt", a}, {"c.txt", "c={\n}"}}, "md5refresh: -x \"zz\": no section of that name\n"},
      {"exclusion naming a file stops the refresh", {"-x", "a", "c.txt"}, before, "md5refresh: -x \"c.txt\" names no section but a file; -x takes every word up to the next option\n", 1},
      {"exclusion naming a folder, warned", {"a.txt", "-x", "."}, {{"update.txt", "u={\n}"}, {"a.txt", a}, {"c.txt", "c={\n}"}}, "md5refresh: -x \".\": no section of that name\n"},
      {"-x as the last word, warned", {"a.txt", "-x"}, {{"update.txt", "u={\n}"}, {"a.txt", a}, {"c.txt", "c={\n}"}}, "md5refresh: option \"-x\" without a section name ignored\n"},
      {"-i beside a manifest's word refused", {"a.txt", "-i", "c.txt"}, before, "md5refresh: -i names the manifest, and so does \"a.txt\": name it once; see md5refresh --help\n", 1},
      {"output named", {"-i", "a.txt", "-o", "update.txt"}, {{"update.txt", a}, {"a.txt", "a={\n}"}, {"c.txt", "c={\n}"}}},
      {"dash value is a path", {"-o", "-v"}, {{"update.txt", "u={\n}"}, {"-v", u}, {"a.txt", "a={\n}"}, {"c.txt", "c={\n}"}}},
      {"null device", {"a.txt", "-o", test::NULL_DEVICE}, before},
      {"a dry run writes nothing", {"-n", "a.txt"}, before, "md5refresh: would write a.txt\n"},
      {"a dry run of an output named", {"--dry-run", "a.txt", "-o", "b.txt"}, before, "md5refresh: would write b.txt\n"},
      {"a dry run of two manifests", {"-n", "a.txt", "c.txt"}, before,
       "md5refresh: would write a.txt\nmd5refresh: would write c.txt\nmd5refresh: 2 manifests, 0 files: 2 would write, 0 unchanged, 0 refused\n"},
      {"drive-relative input, in place", {drive + "a.txt"}, {{"update.txt", "u={\n}"}, {"a.txt", a}, {"c.txt", "c={\n}"}}},
  };
  // clang-format on
  for (const PathCase& pc : cases) {
    if (test::POSIX_HOST && std::string_view(pc.name).starts_with("drive-relative")) continue;
    SCOPED_TRACE(pc.name);
    test::TempDir dir;
    write_files(dir, before);
    test::ToolRun run = test::run_tool(dir.path(), pc.arguments);
    EXPECT_EQ(run.status, pc.status);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, pc.err);
    Files after;
    for (const std::string& name : listing(dir.path()))
      after[name] = test::read_file(dir / name);
    EXPECT_EQ(after, pc.expected);
  }
}

TEST(EndToEnd, ExcludesSectionsAndWarnsAboutExtraNames) {
  test::TempDir dir;
  test::write_file(dir / "m.txt", "A={\n}\nB={\n}\nC={\n}\n-D={\n}\n");
  test::ToolRun run = test::run_tool(dir.path(), {"m.txt", "-x", "A", "B", "-o", "out.txt"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(test::read_file(dir / "out.txt"), "C={\n}\n\n-D={\n}\n\n");

  std::vector<std::string> arguments{"m.txt", "-x"};
  for (int i = 0; i < 12; ++i)
    arguments.push_back("n" + std::to_string(i));
  arguments.push_back("C");
  run = test::run_tool(dir.path(), arguments);
  EXPECT_EQ(run.status, 0);
  std::string unmatched;
  for (int i = 0; i < 10; ++i)
    unmatched += "md5refresh: -x \"n" + std::to_string(i) + "\": no section of that name\n";
  EXPECT_EQ(run.err,
            "md5refresh: at most 10 sections can be excluded; 3 more names passed over, from "
            "\"n10\"\n" +
                unmatched);
  EXPECT_EQ(test::read_file(dir / "m.txt"), "A={\n}\n\nB={\n}\n\nC={\n}\n\n-D={\n}\n\n");
}

struct FailureCase {
  const char* name;
  Files files;
  std::vector<std::string> arguments;
  std::string error;  // the whole of standard error
  const char* shell_setup = "";
  const char* fifo = nullptr;
  bool posix_only = false;  // needs FIFOs, devices, file size limits or permissions
  bool unprivileged = false;
  const char* read_only = nullptr;  // a file whose write permission (Windows: attribute) goes
  bool needs_root = false;          // the setup hands a file to another owner
  bool windows_only = false;        // a name only Windows reads otherwise
};

// Runs the tool as an unprivileged user where the tests run as root, whom no
// permission bit stops.
constexpr const char* AS_UNPRIVILEGED =
    "as_user() { if [ \"$(id -u)\" = 0 ]; then setpriv --reuid=65534 --regid=65534 "
    "--clear-groups \"$@\"; else \"$@\"; fi; }; as_user";

TEST(EndToEnd, FailsWithOneLineAndLeavesEverythingAsItWas) {
  const std::string sections11 = [] {
    std::string text;
    for (int i = 0; i < 11; ++i)
      text += "s" + std::to_string(i) + "={\n}\n\n";
    return text;
  }();
  const std::string long_path(PATH_CAPACITY, 'p');
  // Larger than the 512-byte file size limit below, which the one-line error is not.
  std::string large = "a={\n";
  for (int i = 0; i < 10; ++i)
    large += "k=" + std::string(100, 'v') + "\n";
  // clang-format off
  const FailureCase cases[] = {
      {"missing input", {}, {"m.txt"}, "md5refresh: cannot open m.txt: No such file or directory\n"},
      {"directory input", {}, {"-i", "."}, "md5refresh: cannot open .: Is a directory\n"},
      {"FIFO input", {}, {"fifo"}, "md5refresh: cannot open fifo: not a regular file\n", "", "fifo", true},
      {"eleven sections", {{"m.txt", sections11}}, {"m.txt"}, "md5refresh: m.txt:31: manifest does not fit: at most 10 sections of 10 entries each\n"},
      {"value too long", {{"m.txt", "a={\nk=" + std::string(128, 'v') + "\n"}}, {"m.txt"}, "md5refresh: m.txt:2: value longer than 127 bytes\n"},
      {"NUL byte", {{"m.txt", std::string("a={\n\0\n", 6)}}, {"m.txt"}, "md5refresh: m.txt:2: NUL byte in the manifest\n"},
      {"path too long", {{"m.txt", "a={\n}"}}, {"m.txt", "-o", long_path}, "md5refresh: path longer than 511 bytes: " + long_path + "\n"},
      {"missing output directory", {{"m.txt", "a={\n}"}}, {"m.txt", "-o", "no/out.txt"}, "md5refresh: cannot create a temporary file in no: No such file or directory\n"},
      {"output under a file", {{"m.txt", "a={\n}"}}, {"m.txt", "-o", "m.txt/out.txt"}, "md5refresh: cannot create a temporary file in m.txt: Not a directory\n", "", nullptr, true},
      {"read-only output", {{"m.txt", "a={\n}"}, {"r.txt", "keep"}}, {"m.txt", "-o", "r.txt"}, "md5refresh: cannot write r.txt: Permission denied\n", "chmod 777 . && ", nullptr, false, true, "r.txt"},
      {"output is a directory", {{"m.txt", "a={\n}"}}, {"m.txt", "-o", "."}, "md5refresh: cannot write .: Is a directory\n"},
      {"empty output path, refused before any digest", {{"m.txt", "a={\nfile_path=a.bin\n}"}, {"a.bin", "abc"}}, {"m.txt", "-o", ""}, "md5refresh: cannot write : No such file or directory\n"},
      {"directory refuses the temporary", {{"m.txt", "a={\n}"}}, {"m.txt"}, "md5refresh: cannot create a temporary file in .: Permission denied\n", "chmod 666 m.txt && chmod 555 . && ", nullptr, true, true},
      {"full device", {{"m.txt", "a={\n}"}}, {"m.txt", "-o", "/dev/full"}, "md5refresh: cannot write /dev/full: No space left on device\n", "", nullptr, true},
      {"write fails in place", {{"m.txt", large}}, {"m.txt"}, "md5refresh: cannot write m.txt: File too large\n", "ulimit -f 1;", nullptr, true},
      {"an input naming a stream of a file", {{"m.txt", "a={\n}"}}, {"m.txt:meta"}, "md5refresh: m.txt:meta names a stream of a file; not read\n", "", nullptr, false, false, nullptr, false, true},
      {"an argument that is not valid UTF-16", {{"m.txt", "a={\n}"}}, {"m.txt\xED\xA0\x80"}, "md5refresh: argument 1 is not valid Unicode\n", "", nullptr, false, false, nullptr, false, true},
      {"an output naming a stream of a file", {{"m.txt", "a={\n}"}}, {"m.txt", "-o", "out.txt:meta"}, "md5refresh: out.txt:meta names a stream of a file; not written\n", "", nullptr, false, false, nullptr, false, true},
      {"another user's file in a sticky directory", {{"m.txt", "a={\nfile_path=m.txt\n}"}}, {"m.txt"}, "md5refresh: cannot write m.txt: Operation not permitted (another user's file in a sticky directory)\n", "chown 1234 m.txt && chmod 666 m.txt && chmod 1777 . && ", nullptr, true, true, nullptr, true},
  };
  // clang-format on
  for (const FailureCase& fc : cases) {
    if ((fc.posix_only && !test::POSIX_HOST) || (fc.windows_only && test::POSIX_HOST)) continue;
#if !defined(_WIN32)
    if (fc.needs_root && ::geteuid() != 0) continue;
#endif
    SCOPED_TRACE(fc.name);
    test::TempDir dir;
    write_files(dir, fc.files);
    if (fc.fifo != nullptr) {
      ASSERT_TRUE(test::make_fifo(dir / fc.fifo));
    }
    if (fc.read_only != nullptr) {
      fs::permissions(dir / fc.read_only,
                      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                      fs::perm_options::remove);
    }
    const std::set<std::string> names_before = listing(dir.path());
    test::ToolRun run =
        test::run_tool(dir.path(), fc.arguments,
                       std::string(fc.shell_setup) + (fc.unprivileged ? AS_UNPRIVILEGED : ""));
    fs::permissions(dir.path(), fs::perms::owner_all, fs::perm_options::add);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, fc.error);
    EXPECT_EQ(listing(dir.path()), names_before);
    for (const auto& [name, contents] : fc.files)
      EXPECT_EQ(test::read_file(dir / name), contents);
    if (fc.read_only != nullptr) {
      fs::permissions(dir / fc.read_only, fs::perms::owner_write, fs::perm_options::add);
    }
  }
}

struct NameCase {
  const char* name;
  Files files;  // names are bytes, created as the tool finds them
  std::vector<std::string> arguments;
  std::string out;
  std::string err;
  Files afterwards;  // what these files hold after the run
};

TEST(EndToEnd, ReachesNamesBeyondASCII) {
  const std::string abc = "900150983cd24fb0d6963f7d28e17f72";
  const std::string manifest = "a={\nfile_path=a.bin\n}\n";
  const std::string refreshed = "a={\n        file_path=a.bin\n        md5=" + abc + "\n}\n\n";
  const std::string reported = abc + "\ta.bin\n";
  const bool one_name = test::ansi_and_utf8_meet();
  const std::string kept =
      "md5refresh: 1 of 1 files not digested; their recorded digests were kept\n";
  // clang-format off
  const NameCase cases[] = {
      {"manifest named in UTF-8", {{"\xC3\xA9.txt", manifest}, {"a.bin", "abc"}}, {"\xC3\xA9.txt"}, reported, "", {{"\xC3\xA9.txt", refreshed}}},
      {"output named in UTF-8", {{"m.txt", manifest}, {"a.bin", "abc"}}, {"m.txt", "-o", "out\xC3\xA9.txt"}, reported, "", {{"m.txt", manifest}, {"out\xC3\xA9.txt", refreshed}}},
      {"directory named in UTF-8", {{"d\xC3\xA9j\xC3\xA0/m.txt", manifest}, {"d\xC3\xA9j\xC3\xA0/a.bin", "abc"}}, {test::joined("d\xC3\xA9j\xC3\xA0", "m.txt")}, abc + "\t" + test::joined("d\xC3\xA9j\xC3\xA0", "a.bin") + "\n", "", {{"d\xC3\xA9j\xC3\xA0/m.txt", refreshed}}},
      {"name outside the ANSI code page", {{"\xD0\xB6.txt", manifest}, {"a.bin", "abc"}}, {"\xD0\xB6.txt"}, reported, "", {{"\xD0\xB6.txt", refreshed}}},
      {"file named in UTF-8 by the manifest", {{"m.txt", "a={\nfile_path=/x/caf\xC3\xA9.bin\n}\n"}, {"caf\xC3\xA9.bin", "abc"}}, {"m.txt"}, abc + "\tcaf\xC3\xA9.bin\n", "", {}},
      {"file named in ANSI by the manifest", {{"m.txt", "a={\nfile_path=/x/caf\xE9.bin\n}\n"}, {"caf\xC3\xA9.bin", "abc"}}, {"m.txt"}, one_name ? abc + "\tcaf\xC3\xA9.bin\n" : "", one_name ? "" : "md5refresh: cannot open caf\xE9.bin: No such file or directory\n" + kept, {}},
      {"folder in UTF-8, file in ANSI", {{"Jos\xC3\xA9/m.txt", "a={\nfile_path=/x/r\xE9sum\xE9.bin\n}\n"}, {"Jos\xC3\xA9/r\xC3\xA9sum\xC3\xA9.bin", "abc"}}, {test::joined("Jos\xC3\xA9", "m.txt")}, one_name ? abc + "\t" + test::joined("Jos\xC3\xA9", "r\xC3\xA9sum\xC3\xA9.bin") + "\n" : "", one_name ? "" : "md5refresh: cannot open " + test::joined("Jos\xC3\xA9", "r\xE9sum\xE9.bin") + ": No such file or directory\n" + kept, {}},
      {"control bytes in a message", {{"m.txt", "a={\nfile_path=/x/\x1b]0;title\x07\n}\n"}}, {"m.txt"}, "", std::string("md5refresh: cannot open \\x1B]0;title\\x07: ") + (test::POSIX_HOST ? "No such file or directory\n" : "Invalid argument\n") + kept, {}},
      {"a control byte reaches a pipe as it is", {{"m.txt", "a={\nfile_path=d\x7F.bin\n}\n"}, {"d\x7F.bin", "abc"}}, {"m.txt"}, abc + "\td\x7F.bin\n", "", {}},
      {"a drive in a file name", {{"m.txt", "a={\nfile_path=C:a.bin\n}\n"}}, {"m.txt"}, "", (test::POSIX_HOST ? "md5refresh: cannot open C:a.bin: No such file or directory\n" : "md5refresh: section \"a\": file_path \"C:a.bin\" names no plain file beside the manifest\n") + kept, {}},
      {"-x and a section in UTF-8", {{"m.txt", "\xC3\xA9={\n}\nb={\n}\n"}}, {"m.txt", "-x", "\xC3\xA9"}, "", "", {{"m.txt", "b={\n}\n\n"}}},
      {"-x in UTF-8, a section in ANSI", {{"m.txt", "\xE9={\n}\nb={\n}\n"}}, {"m.txt", "-x", "\xC3\xA9"}, "", one_name ? "" : "md5refresh: -x \"\xC3\xA9\": no section of that name\n", {{"m.txt", one_name ? "b={\n}\n\n" : "\xE9={\n}\n\nb={\n}\n\n"}}},
  };
  // clang-format on
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    for (const auto& [name, contents] : c.files) {
      fs::create_directories((dir / name).parent_path());
      test::write_file(dir / name, contents);
    }
    const test::ToolRun run = test::run_tool(dir.path(), c.arguments);
    EXPECT_EQ(run.status, c.err.ends_with(kept) ? 1 : 0);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    for (const auto& [name, contents] : c.afterwards)
      EXPECT_EQ(test::read_file(dir / name), contents);
  }
}

// Shift-JIS puts the byte of "\\" second in some characters ("\x83\x5C" is
// katakana SO): on Windows, under code page 932, a manifest's name is read by
// characters, and the file digested and checked is the one it names. A POSIX
// host takes the value as bytes and splits it there, reaching the decoy.
TEST(CodePages, ADoubleByteNameIsReadByCharacters) {
  if (!test::POSIX_HOST) {
    const char* wanted = std::getenv("MD5REFRESH_TEST_CODE_PAGE");
    if (wanted != nullptr) {
      ASSERT_EQ(test::ansi_code_page(), std::strtoul(wanted, nullptr, 10));
    }
    if (test::ansi_code_page() != 932) GTEST_SKIP() << "runs under code page 932";
  }
  const std::string so_futo = "\x83\x5C\x83\x74\x83\x67.bin", decoy = "\x83\x74\x83\x67.bin";
  const std::string so_futo_utf8 = "\xE3\x82\xBD\xE3\x83\x95\xE3\x83\x88.bin";
  const auto md5_of = [](std::string_view text) {
    return test::reference_md5({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  };
  struct CodePageCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* named_file_holds;  // written before the run
    std::string out, err;
    int status;
  };
  const std::string& shown = test::POSIX_HOST ? decoy : so_futo_utf8;
  const char* digested = test::POSIX_HOST ? "zzz" : "abc";
  // clang-format off
  const CodePageCase cases[] = {
      {"refresh", {"m.txt"}, "abc", md5_of(digested) + "\t" + shown + "\n", "", 0},
      {"check of the named file, changed", {"-c", "m.txt"}, "abd", shown + (test::POSIX_HOST ? ": OK\n" : ": CHANGED\n"),
       test::POSIX_HOST ? "" : "md5refresh: 1 of 1 sections not OK: 1 changed\n", test::POSIX_HOST ? 0 : 1},
  };
  // clang-format on
  test::TempDir dir;
  test::write_file(dir / "m.txt", "a={\nfile_path=/x/" + so_futo + "\n}\n");
  test::write_file(dir / decoy, "zzz");
  for (const CodePageCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::write_file(dir / so_futo, c.named_file_holds);
    const test::ToolRun run = test::run_tool(dir.path(), c.arguments);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.status, c.status);
  }
}

#if defined(_WIN32)
// Attributes are Windows's permission bits: the replaced file keeps them.
TEST(EndToEnd, ReplacesTheOutputKeepingItsAttributes) {
  test::TempDir dir;
  test::write_file(dir / "m.txt", "a={\nk=v\n}\n");
  const std::wstring path = (dir / "m.txt").wstring();
  ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
  const test::ToolRun run = test::run_tool(dir.path(), {"m.txt"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(test::read_file(dir / "m.txt"), "a={\n        k=v\n}\n\n");
  EXPECT_NE(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
  EXPECT_EQ(listing(dir.path()), std::set<std::string>{"m.txt"});
}
#endif

#if !defined(_WIN32)
// Modes, owners, symlinks and /dev/stdout are POSIX matters.
TEST(EndToEnd, ReplacesTheOutputKeepingItsModeAndLinks) {
  test::TempDir dir;
  test::write_file(dir / "m.txt", "a={\r\nk=v\r\n}\r\n");
  test::write_file(dir / "target.txt", "old");
  const bool can_give_away = ::geteuid() == 0;  // only root can test that the owner is kept
  if (can_give_away) {
    ASSERT_EQ(::chown((dir / "target.txt").c_str(), 1234, 4321), 0);
  }
  // After the chown, which clears them: set-user-ID, set-group-ID and sticky
  // (the set-group-ID bit only where the group is the process's, or for root).
  const unsigned mode = can_give_away ? 07640 : 05640;
  ASSERT_EQ(::chmod((dir / "target.txt").c_str(), mode), 0);
  fs::create_symlink("target.txt", dir / "link.txt");

  test::ToolRun run = test::run_tool(dir.path(), {"m.txt", "-o", "link.txt"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(fs::is_symlink(dir / "link.txt"));
  EXPECT_EQ(test::read_file(dir / "target.txt"), "a={\n        k=v\n}\n\n");
  struct stat status {};
  ASSERT_EQ(::stat((dir / "target.txt").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, mode);
  if (can_give_away) {
    EXPECT_EQ(status.st_uid, 1234u);
    EXPECT_EQ(status.st_gid, 4321u);
  }
  EXPECT_EQ(listing(dir.path()), (std::set<std::string>{"m.txt", "target.txt", "link.txt"}));

  // Standard output redirected to a file: the manifest follows the report line.
  test::write_file(dir / "a.bin", "abc");
  test::write_file(dir / "m.txt", "a={\nfile_path=a.bin\n}\n");
  run = test::run_tool(dir.path(), {"m.txt", "-o", "/dev/stdout"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "900150983cd24fb0d6963f7d28e17f72\ta.bin\n"
            "a={\n        file_path=a.bin\n        md5=900150983cd24fb0d6963f7d28e17f72\n}\n\n");
}

struct StreamCase {
  const char* name;
  std::vector<std::string> arguments;
  const char* redirection;
  int status;
  std::string log;
};

TEST(EndToEnd, ShowsReportLinesInOrderAndReportsALostStandardOutput) {
  const std::string missing = "md5refresh: cannot open none: No such file or directory\n";
  const std::string lost = "md5refresh: cannot write standard output: No space left on device\n";
  const std::string reported = "900150983cd24fb0d6963f7d28e17f72\ta.bin\n";
  // A refresh that kept a stale digest ends in status 1, the manifest written all the same.
  const std::string incomplete =
      missing + "md5refresh: 1 of 2 files not digested; their recorded digests were kept\n";
  const std::string written =
      "a={\n        file_path=a.bin\n        md5=900150983cd24fb0d6963f7d28e17f72\n}\n\n"
      "b={\n        file_path=none\n}\n\n";
  // clang-format off
  const StreamCase cases[] = {
      {"one log for both", {"m.txt", "-o", "out.txt"}, ">log 2>&1", 1, "900150983cd24fb0d6963f7d28e17f72\ta.bin\n" + incomplete},
      {"check in one log", {"m.txt", "-c"}, ">log 2>&1", 1, "a.bin: no digest recorded\n" + missing + "none: MISSING\nmd5refresh: 2 of 2 sections not OK: 1 missing, 1 with no digest recorded\n"},
      {"refresh to a full device", {"m.txt", "-o", "out.txt"}, ">/dev/full 2>log", 1, incomplete + lost},
      {"check to a full device", {"m.txt", "-c"}, ">/dev/full 2>log", 2, missing + "md5refresh: 2 of 2 sections not OK: 1 missing, 1 with no digest recorded\n" + lost},
      {"version to a full device", {"--version"}, ">/dev/full 2>log", 1, lost},
      {"JSON Lines to a full device: the status says so", {"m.txt", "-c", "--json"}, ">/dev/full 2>log", 2, missing + "md5refresh: 2 of 2 sections not OK: 1 missing, 1 with no digest recorded\n" + lost},
      {"JSON Lines in one log, in order", {"m.txt", "-c", "--json"}, ">log 2>&1", 1,
       "{\"manifest\": \"m.txt\", \"section\": \"a\", \"file\": \"a.bin\", \"md5\": \"900150983cd24fb0d6963f7d28e17f72\", \"status\": \"no digest recorded\"}\n" + missing +
       "{\"manifest\": \"m.txt\", \"section\": \"b\", \"file\": \"none\", \"status\": \"MISSING\", \"reason\": \"cannot open none: No such file or directory\"}\n"
       "md5refresh: 2 of 2 sections not OK: 1 missing, 1 with no digest recorded\n{\"manifest\": \"m.txt\", \"outcome\": \"not OK\"}\n"
       "{\"run\": \"check\", \"manifests\": 1, \"files\": 1, \"manifests_ok\": 0, \"manifests_not_ok\": 1, \"manifests_not_checked\": 0, \"sections\": {\"OK\": 0, \"CHANGED\": 0, \"MISSING\": 1, \"no file named\": 0, "
       "\"no digest recorded\": 1, \"recorded digest is not 32 hex digits\": 0, \"recorded sha256 is not 64 hex digits\": 0}, \"md5_only_changed\": 0, \"sha256_only_changed\": 0, \"unlisted\": 0, \"exit_status\": 1}\n"},
      {"output through standard error", {"m.txt", "-o", "/dev/stderr"}, ">/dev/null 2>log", 1, incomplete + written},
      {"output through /dev/fd/1", {"m.txt", "-o", "/dev/fd/1"}, ">log 2>/dev/null", 1, reported + written},
      {"output is where standard output went", {"m.txt", "-o", "log"}, ">log 2>/dev/null", 1, reported + written},
      {"output through a pipe", {"m.txt", "-o", "/dev/stdout", "2>/dev/null", "|", "cat"}, ">log", 0, reported + written},
      {"standard output closed: the manifest written, its lines lost", {"m.txt"}, ">&- 2>log; s=$?; cat m.txt >>log; exit $s", 1,
       incomplete + "md5refresh: cannot write standard output: Bad file descriptor\n" + written},
      {"standard output closed, a check that prints nothing", {"m.txt", "-c", "--status"}, ">&- 2>log", 1, missing},
      {"standard error closed", {"m.txt"}, ">log 2>&-; s=$?; cat m.txt >>log; exit $s", 1, reported + written},
      {"standard input closed", {"m.txt"}, "<&- >log 2>&1; s=$?; cat m.txt >>log; exit $s", 1, reported + incomplete + written},
      // The manifest must not take the closed standard output's number, or
      // "-o /dev/stdout" would write over the manifest itself.
      {"output to a closed standard output: the manifest untouched", {"m.txt", "-o", "/dev/stdout"}, ">&- 2>log; s=$?; cat m.txt >>log; exit $s", 1,
       incomplete + "md5refresh: cannot write standard output: Bad file descriptor\n" + "a={\nfile_path=a.bin\n}\nb={\nfile_path=none\n}\n"},
  };
  // clang-format on
  for (const StreamCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    test::write_file(dir / "a.bin", "abc");
    test::write_file(dir / "m.txt", "a={\nfile_path=a.bin\n}\nb={\nfile_path=none\n}\n");
    std::string command = "cd '" + dir.path().string() + "' && '" + MD5REFRESH_BINARY + "'";
    for (const std::string& argument : c.arguments)
      command += " " + argument;
    const int raw = std::system((command + " " + c.redirection).c_str());
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), c.status);
    EXPECT_EQ(test::read_file(dir / "log"), c.log);
  }
}
#endif

}  // namespace
