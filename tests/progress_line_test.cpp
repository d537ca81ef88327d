// SPDX-License-Identifier: MIT
// The progress line's text fitted to the terminal: never wider than a row less
// its last column, a long name shortened in its middle at a character boundary
// with the file name kept whole where it fits.
#include "refresh/progress_line.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace md5refresh;

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

}  // namespace
