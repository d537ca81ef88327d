// Where a section's file is looked for: the manifest's directory and the last
// component of the "file_path" value, joined with the host's separator.
#include "refresh/section_file.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

struct JoinCase {
  std::string input_path;
  std::string file_path;
  std::string on_posix;    // "\" is an ordinary character there
  std::string on_windows;  // both "\" and "/" separate, "\" joins
};

TEST(TargetPath, JoinsManifestDirectoryAndFileName) {
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
      {"m.txt", "a\\c.bin", "a\\c.bin", "a\\c.bin"},
      {"d/m.txt", "a/", "d/", "d\\"},
      {"d/m.txt", "", "d/", "d\\"},
  };
  // clang-format on
  for (const JoinCase& c : cases) {
    SCOPED_TRACE(c.input_path + " + " + c.file_path);
    TargetPath target;
    ASSERT_TRUE(build_target_path(c.input_path, c.file_path, target));
#if defined(_WIN32)
    EXPECT_EQ(std::string(target.data()), c.on_windows);
#else
    EXPECT_EQ(std::string(target.data()), c.on_posix);
#endif
  }
}

TEST(TargetPath, RefusesAPathThatDoesNotFit) {
  TargetPath target;
  const std::string directory(250, 'd');
  EXPECT_TRUE(build_target_path(directory + "/m.txt", "/x/12345678", target));  // 259 bytes
  EXPECT_EQ(std::string(target.data()).size(), 259u);
  EXPECT_FALSE(build_target_path(directory + "/m.txt", "/x/123456789", target));
  EXPECT_FALSE(build_target_path("m.txt", "/x/" + std::string(260, 'n'), target));
}

}  // namespace
