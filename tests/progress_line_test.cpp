// SPDX-License-Identifier: MIT
// The progress line's text fitted to the terminal: never wider than a row less
// its last column, a long name shortened in its middle at a character boundary
// with the file name kept whole where it fits; and the line a run draws, on
// a terminal only.
#include "refresh/progress_line.hpp"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

#include <filesystem>
#include <string>
#include <vector>

#include "cli/command_line.hpp"
#include "test_support.hpp"

using namespace md5refresh;

namespace fs = std::filesystem;

namespace {

struct FitCase {
  const char* name;
  std::string label;
  int columns;
  std::string line;
};

TEST(ProgressLine, FitsTheTerminalAndKeepsTheFileName) {
  const std::string figures = " 42%    812 MiB/s";  // 17 columns
  const std::string deep = "packages/release-2026/very/deep/folders/x/";
  // clang-format off
  const FitCase cases[] = {
      {"fits whole", "pkg/a.bin", 80, "pkg/a.bin: " + figures},
      {"unknown width is 80", deep + "tool.bin", 0, deep + "tool.bin: " + figures},
      {"middle goes, file name stays", deep + "tool.bin", 40, "packages.../tool.bin: " + figures},
      {"a long file name keeps its end", "a-long-name-of-a-package-file.bin", 40, "...-package-file.bin: " + figures},
      {"cut between characters, not inside one", "d/\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9.bin", 40,
       "...\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9.bin: " + figures},
      {"wide characters take two columns", "\xE6\x96\x87\xE6\x96\x87\xE6\x96\x87\xE6\x96\x87\xE6\x96\x87\xE6\x96\x87\xE6\x96\x87\xE6\x96\x87\xE6\x96\x87\xE6\x96\x87\xE6\x96\x87\xE6\x96\x87", 40,
       "...\xE6\x96\x87\xE6\x96\x87\xE6\x96\x87\xE6\x96\x87\xE6\x96\x87\xE6\x96\x87\xE6\x96\x87\xE6\x96\x87: " + figures},
      {"no room for a name", deep + "tool.bin", 25, figures},
      {"not even for the figures", deep + "tool.bin", 10, " 42%    8"},
  };
  // clang-format on
  for (const FitCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(fit_progress_text(c.label, figures, c.columns), c.line);
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
