// SPDX-License-Identifier: MIT
// The check mode, end to end: the verdict per file, the summary, the exit
// status, and that nothing is written.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli/command_line.hpp"
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
      {"every word names a manifest: each checked, one last summary, the worst status", {"-c", "none.txt", "m.txt"}, 2, all_lines,
       "md5refresh: cannot open none.txt: No such file or directory\n" + warnings + not_found + summary + "md5refresh: 2 manifests, 4 files: 0 OK, 1 not OK, 1 not checked\n"},
      {"several, status only: no summary", {"-c", "--status", "bad.txt", "m.txt"}, 2, "",
       "md5refresh: bad.txt:2: text after the value would be lost (a value ends at its first blank)\n" + warnings + not_found},
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

}  // namespace
