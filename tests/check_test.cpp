// SPDX-License-Identifier: MIT
// The check mode, end to end: the verdict per file, the summary, the exit
// status, and that nothing is written; and the progress line of long digests.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

#include <filesystem>
#include <string>
#include <vector>

#include "cli/command_line.hpp"
#include "refresh/progress_line.hpp"
#include "test_support.hpp"

using namespace md5refresh;

namespace fs = std::filesystem;

namespace {

using test::ABC_MD5;
constexpr const char* ABC_MD5_UPPER = "900150983CD24FB0D6963F7D28E17F72";

struct CheckCase {
  const char* name;
  std::vector<std::string> arguments;
  int status;
  std::string out;
  std::string err;
};

TEST(Check, ReportsEachSectionAndWritesNothing) {
  const std::string manifest = std::string("ok={\nfile_path=/x/a.bin\nmd5=") + ABC_MD5_UPPER +
                               "\n}\n"
                               "changed={\nfile_path=b.bin\nmd5=" +
                               ABC_MD5 +
                               "\n}\n"
                               "nomd5={\nfile_path=a.bin\n}\n"
                               "missing={\nfile_path=none.bin\nmd5=0\n}\n"
                               "nopath={\nmd5=0\n}\n"
                               "short={\nfile_path=b.bin\nmd5=e2fc714c4727ee9395f324cd2e7f33\n}\n"
                               "typo={\nFile_Path=a.bin\nMD5=0\n}\n"
                               "nothing={\nversion=1\n}\n";
  const std::string all_lines =
      "a.bin: OK\nb.bin: CHANGED\na.bin: no digest recorded\nnone.bin: MISSING\n"
      "section nopath: no file named\nb.bin: recorded digest is not 32 hex digits\n"
      "section typo: no file named\n";
  const std::string not_ok_lines =
      "b.bin: CHANGED\na.bin: no digest recorded\nnone.bin: MISSING\n"
      "section nopath: no file named\nb.bin: recorded digest is not 32 hex digits\n"
      "section typo: no file named\n";
  const std::string summary =
      "md5refresh: 6 of 7 sections not OK: 1 changed, 1 missing, 2 with no file named, 1 with no "
      "digest recorded, 1 with a digest that is not 32 hex digits\n";
  const std::string warnings =
      "md5refresh: sections \"ok\" and \"nomd5\" both lead to a.bin\n"
      "md5refresh: sections \"changed\" and \"short\" both lead to b.bin\n"
      "md5refresh: section \"typo\": key \"File_Path\" is not read as file_path\n"
      "md5refresh: section \"typo\": key \"MD5\" is not read as md5\n";
  const std::string not_found = "md5refresh: cannot open none.bin: No such file or directory\n";
  // clang-format off
  const CheckCase cases[] = {
      {"everything", {"m.txt", "-c"}, 1, all_lines, warnings + not_found + summary},
      {"with an output, warned of", {"m.txt", "-c", "-o", "out.txt"}, 1, all_lines, "md5refresh: option \"-o\" ignored: a check writes nothing\n" + warnings + not_found + summary},
      {"-x taking a manifest's path: nothing checked", {"-c", "-i", "m.txt", "-x", "typo", "m.txt"}, 2, "", "md5refresh: -x \"m.txt\" names no section but a file; -x takes every word up to the next option\n"},
      {"a missing file passed over", {"m.txt", "-c", "--ignore-missing", "-x", "changed", "nomd5", "nopath", "short", "typo"}, 0, "a.bin: OK\n", ""},
      {"nothing left but missing files", {"m.txt", "-c", "--ignore-missing", "-x", "ok", "changed", "nomd5", "nopath", "short", "typo"}, 2, "", "md5refresh: m.txt: nothing left to check; every file it names is missing\n"},
      {"quiet", {"m.txt", "--check", "--quiet"}, 1, not_ok_lines, warnings + not_found + summary},
      {"status only", {"m.txt", "-c", "--status"}, 1, "", warnings + not_found},
      {"with -i, all OK after exclusions", {"-i", "m.txt", "-x", "changed", "nomd5", "missing", "nopath", "short", "typo", "-c"}, 0, "a.bin: OK\n", ""},
      {"quiet and all OK", {"-i", "m.txt", "-x", "changed", "nomd5", "missing", "nopath", "short", "typo", "-c", "--quiet"}, 0, "", ""},
      {"changed only", {"-c", "-i", "m.txt", "-x", "missing", "nomd5", "nopath", "short", "typo"}, 1, "a.bin: OK\nb.bin: CHANGED\n", "md5refresh: 1 of 2 sections not OK: 1 changed\n"},
      {"refused manifest", {"bad.txt", "-c"}, 2, "", "md5refresh: bad.txt:2: text after the value would be lost (a value ends at its first blank)\n"},
      {"refused manifest, status only", {"bad.txt", "-c", "--status"}, 2, "", "md5refresh: bad.txt:2: text after the value would be lost (a value ends at its first blank)\n"},
      {"missing manifest", {"none.txt", "-c"}, 2, "", "md5refresh: cannot open none.txt: No such file or directory\n"},
      {"manifest named after -c", {"-c", "none.txt", "m.txt"}, 2, "", "md5refresh: argument \"m.txt\" ignored; name the manifest first or with -i\nmd5refresh: cannot open none.txt: No such file or directory\n"},
      {"nothing left to check", {"m.txt", "-c", "-x", "ok", "changed", "nomd5", "missing", "short"}, 2, "section nopath: no file named\nsection typo: no file named\n", "md5refresh: section \"typo\": key \"File_Path\" is not read as file_path\nmd5refresh: section \"typo\": key \"MD5\" is not read as md5\nmd5refresh: m.txt: no section names a file to check\n"},
      {"path too long", {"m.txt", "-c", "-o", std::string(PATH_CAPACITY, 'p')}, 2, "", "md5refresh: path longer than 511 bytes: " + std::string(PATH_CAPACITY, 'p') + "\n"},
  };
  // clang-format on
  for (const CheckCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    test::write_file(dir / "m.txt", manifest);
    test::write_file(dir / "bad.txt", "a={\nk=v w\n}\n");
    test::write_file(dir / "a.bin", "abc");
    test::write_file(dir / "b.bin", "abcd");
    const auto modified = fs::last_write_time(dir / "m.txt");
    const test::ToolRun run = test::run_tool(dir.path(), c.arguments);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(test::read_file(dir / "m.txt"), manifest);
    EXPECT_EQ(fs::last_write_time(dir / "m.txt"), modified);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
      names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names.size(), 4u) << "a file was written";
  }
}

#if !defined(_WIN32)
struct ProgressCase {
  const char* name;
  std::vector<std::string> files;  // sparse, each just over the progress threshold
  int columns;                     // of the terminal
  std::string line;                // how the progress line begins
  std::string summary;
};

// The widest progress line a screen shows: a row between carriage returns
// that holds a speed, less the erase sequences.
std::size_t widest_drawn_row(const std::string& screen) {
  std::size_t widest = 0;
  std::size_t start = 0;
  while (start < screen.size()) {
    std::size_t end = screen.find_first_of("\r\n", start);
    if (end == std::string::npos) end = screen.size();
    std::string row = screen.substr(start, end - start);
    for (std::size_t at; (at = row.find("\x1b[K")) != std::string::npos;)
      row.erase(at, 3);
    if (row.find("MiB/s") != std::string::npos) widest = std::max(widest, row.size());
    start = end + 1;
  }
  return widest;
}

// A terminal is what `script` gives the tool; a pipe or file is what tests get.
// The line never takes the terminal's last column, and goes without blanks.
TEST(Progress, ShownOnATerminalOnly) {
  // clang-format off
  const ProgressCase cases[] = {
      {"a file alone", {"big.bin"}, 80, "big.bin:   0%", "md5refresh: 1 of 1 sections not OK: 1 with no digest recorded\n"},
      {"files at once", {"big.bin", "other.bin"}, 80, "0/2 files:   0%", "md5refresh: 2 of 2 sections not OK: 2 with no digest recorded\n"},
      {"a long name in a narrow terminal", {"a-long-name-of-a-package-file.bin"}, 40, "...-package-file.bin:   0%", "md5refresh: 1 of 1 sections not OK: 1 with no digest recorded\n"},
  };
  // clang-format on
  for (const ProgressCase& c : cases) {
    if (test::UNDER_THREAD_SANITIZER && &c != &cases[0]) continue;
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    std::string manifest;
    for (const std::string& file : c.files) {
      test::write_file(dir / file, "");
      fs::resize_file(dir / file, PROGRESS_THRESHOLD + 1);  // just over: the line shows
      manifest += file + "={\nfile_path=" + file + "\n}\n";
    }
    test::write_file(dir / "m.txt", manifest);
    const fs::path typescript = dir.path().string() + ".typescript";
    const std::string command = "cd '" + dir.path().string() + "' && script -qec 'stty cols " +
                                std::to_string(c.columns) + "; " + MD5REFRESH_BINARY +
                                " m.txt -c' /dev/null >'" + typescript.string() + "' 2>&1";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << "the check reports CHANGED";
    const std::string screen = test::read_file(typescript);
    fs::remove(typescript);
    EXPECT_NE(screen.find("\r" + c.line), std::string::npos) << screen;
    EXPECT_NE(screen.find("\r\x1b[K" + c.files[0]), std::string::npos) << "not cleared: " << screen;
    EXPECT_EQ(screen.find(std::string(10, ' ')), std::string::npos) << "padded: " << screen;
    const std::size_t widest = widest_drawn_row(screen);
    EXPECT_GT(widest, 0u) << screen;
    EXPECT_LT(widest, static_cast<std::size_t>(c.columns)) << screen;
    EXPECT_NE(screen.find(c.files[0] + ": no digest recorded"), std::string::npos) << screen;
    // Once the last file's line is printed, the line is not drawn again.
    EXPECT_LT(screen.rfind("MiB/s"), screen.rfind(c.files.back() + ": no digest recorded"))
        << screen;

    const test::ToolRun piped = test::run_tool(dir.path(), {"m.txt", "-c"});
    EXPECT_EQ(piped.err, c.summary);
  }
}

// On a terminal a name from a manifest cannot move the cursor or retitle the
// window: its control bytes are shown as text, on either stream.
TEST(Terminal, ShowsControlBytesAsText) {
  test::TempDir dir;
  test::write_file(dir / "d\x7F.bin", "abc");
  test::write_file(dir / "m.txt", "a={\nfile_path=d\x7F.bin\n}\nb={\nfile_path=\x1b[2J\n}\n");
  const fs::path typescript = dir.path().string() + ".typescript";
  const std::string command = "cd '" + dir.path().string() + "' && script -qec '" +
                              MD5REFRESH_BINARY + " m.txt -c' /dev/null >'" + typescript.string() +
                              "' 2>&1";
  ASSERT_EQ(std::system(command.c_str()) != -1, true);
  const std::string screen = test::read_file(typescript);
  fs::remove(typescript);
  EXPECT_NE(screen.find("d\\x7F.bin: no digest recorded"), std::string::npos) << screen;
  EXPECT_NE(screen.find("cannot open \\x1B[2J:"), std::string::npos) << screen;
  EXPECT_EQ(screen.find('\x1b'), std::string::npos) << screen;
  EXPECT_EQ(screen.find('\x7f'), std::string::npos) << screen;
}
#endif

}  // namespace
