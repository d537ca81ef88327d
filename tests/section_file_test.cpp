// SPDX-License-Identifier: MIT
// Where a section's file is looked for: the manifest's directory and the last
// component of the "file_path" value, joined with the host's separator.
#include "refresh/section_file.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include "test_support.hpp"

namespace {

struct JoinCase {
  std::string input_path;
  std::string file_path;
  std::string on_posix;    // "\" is an ordinary character there
  std::string on_windows;  // both "\" and "/" separate, "\" joins
};

TEST(TargetPath, JoinsManifestDirectoryAndFileName) {
  const std::string deepest(505, 'd'), longest_name(127, 'n');
  // clang-format off
  const JoinCase cases[] = {
      {"update.txt", "/opt/app/c.bin", "c.bin", "c.bin"},
      {"pkg/m.txt", "/opt/app/c.bin", "pkg/c.bin", "pkg\\c.bin"},
      {"D:\\pkg\\m.txt", "/opt/app/c.bin", "c.bin", "D:\\pkg\\c.bin"},
      {"sub/dir/m.txt", "/a/b/c.bin", "sub/dir/c.bin", "sub/dir\\c.bin"},
      {"a\\b/m.txt", "/a/b/c.bin", "a\\b/c.bin", "a\\b\\c.bin"},
      {"a/b\\m.txt", "/a/b/c.bin", "a/c.bin", "a/b\\c.bin"},
      {"/m.txt", "x/c.bin", "/c.bin", "\\c.bin"},
      {"m.txt", "c.bin", "c.bin", "c.bin"},
      {"m.txt", "a\\c.bin", "c.bin", "c.bin"},
      {"m.txt", "C:\\packages\\bin\\tool.exe", "tool.exe", "tool.exe"},
      {"pkg/m.txt", "C:\\packages/bin\\tool.exe", "pkg/tool.exe", "pkg\\tool.exe"},
      {"d/m.txt", "a/", "d/", "d\\"},
      {"d/m.txt", "", "d/", "d\\"},
      {"C:p.txt", "/x/a.bin", "a.bin", "C:a.bin"},
      {"C:sub\\p.txt", "a.bin", "a.bin", "C:sub\\a.bin"},
      {"C:/p.txt", "a.bin", "C:/a.bin", "C:\\a.bin"},
      {"1:p.txt", "a.bin", "a.bin", "a.bin"},
      {deepest + "/m.txt", "/x/" + longest_name, deepest + "/" + longest_name, deepest + "\\" + longest_name},
  };
  // clang-format on
  for (const JoinCase& c : cases) {
    SCOPED_TRACE(c.input_path + " + " + c.file_path);
    TargetPath target;
    build_target_path(c.input_path, c.file_path, target);
#if defined(_WIN32)
    EXPECT_EQ(std::string(target.data()), c.on_windows);
#else
    EXPECT_EQ(std::string(target.data()), c.on_posix);
#endif
  }
}

struct ChangeCase {
  const char* name;
  std::function<void(const test::TempDir&)> change;
  bool open_file_shows_it;
  bool path_shows_it;
  bool posix_only = false;  // a file open for reading cannot be renamed over on Windows
};

// The stamps taken before and after a read must tell a file that moved under it.
TEST(FileStamp, ShowsAFileChangedWhileItWasOpen) {
  namespace fs = std::filesystem;
  // clang-format off
  const ChangeCase cases[] = {
      {"untouched", [](const test::TempDir&) {}, false, false},
      {"grown", [](const test::TempDir& dir) { test::write_file(dir / "f.bin", "abcd"); }, true, true},
      {"rewritten, same size, later time", [](const test::TempDir& dir) {
         test::write_file(dir / "f.bin", "xyz");
         fs::last_write_time(dir / "f.bin", fs::last_write_time(dir / "f.bin") + std::chrono::seconds(5)); }, true, true},
      {"replaced by another file", [](const test::TempDir& dir) {
         test::write_file(dir / "g.bin", "abc");
         fs::rename(dir / "g.bin", dir / "f.bin"); }, false, true, true},
  };
  // clang-format on
  for (const ChangeCase& c : cases) {
    if (c.posix_only && !test::POSIX_HOST) continue;
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    test::write_file(dir / "f.bin", "abc");
    const std::string path = (dir / "f.bin").string();
    OpenResult file = open_regular_file(path.c_str());
    ASSERT_NE(file.file, nullptr);
    FileStamp before{}, open_after{}, path_after{};
    ASSERT_TRUE(stamp_of_open_file(file.file, before));
    c.change(dir);
    ASSERT_TRUE(stamp_of_open_file(file.file, open_after));
    ASSERT_TRUE(stamp_of_path(path.c_str(), path_after));
    std::fclose(file.file);
    EXPECT_EQ(open_after != before, c.open_file_shows_it);
    EXPECT_EQ(path_after != before, c.path_shows_it);
  }
}

}  // namespace
