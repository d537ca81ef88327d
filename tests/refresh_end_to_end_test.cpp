// SPDX-License-Identifier: MIT
// Whole runs that refresh digests: which files are found, the report lines, the
// warnings, and the manifest written, byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace fs = std::filesystem;

namespace {

using test::ABC_MD5;
constexpr const char* EMPTY_MD5 = "d41d8cd98f00b204e9800998ecf8427e";

TEST(RefreshEndToEnd, RefreshesFoundFilesAndWarnsAboutTheRest) {
  test::TempDir dir;
  fs::create_directories(dir / "pkg/d");
  const bool with_fifo = test::make_fifo(dir / "pkg/f");
  test::write_file(dir / "pkg/a.bin", "abc");
  test::write_file(dir / "pkg/b.txt", "");
  std::string full_section = "full={\nfile_path=a.bin\n";
  for (int i = 1; i < 10; ++i)
    full_section += "k" + std::to_string(i) + "=v\n";
  test::write_file(dir / "pkg/m.txt",
                   "one={\nfile_path=/x/a.bin\nmd5=old\n}\n"
                   "missing={\nfile_path=/x/none.bin\nmd5=keep\n}\n"
                   "dup={\nfile_path=/y/z/a.bin\nmd5=old\nmd5=second\n}\n"
                   "excluded={\nfile_path=b.txt\nmd5=old\n}\n"
                   "dir={\nfile_path=/d\nmd5=keep\n}\n"
                   "fifo={\nfile_path=/f\nmd5=keep\n}\n"
                   "nopath={\nmd5=keep\n}\n"
                   "nomd5={\nfile_path=a.bin\nmd5 =x\n}\n" +
                       full_section + "}\n");

  const test::ToolRun run = test::run_tool(dir.path(), {"pkg/m.txt", "-x", "excluded"});
  EXPECT_EQ(run.status, 1);  // the written manifest keeps stale digests
  const std::string a = std::string(ABC_MD5) + "\t" + test::joined("pkg", "a.bin") + "\n";
  EXPECT_EQ(run.out, a + a + EMPTY_MD5 + "\t" + test::joined("pkg", "b.txt") + "\n" + a + a);
  const std::string a_bin = test::joined("pkg", "a.bin");
  EXPECT_EQ(run.err,
            "md5refresh: sections \"one\" and \"dup\" both lead to " + a_bin +
                "\nmd5refresh: section \"nomd5\": key \"md5 \" has blanks before \"=\" and is not "
                "read as md5\nmd5refresh: sections \"one\" and \"nomd5\" both lead to " +
                a_bin + "\nmd5refresh: sections \"one\" and \"full\" both lead to " + a_bin +
                "\nmd5refresh: cannot open " + test::joined("pkg", "none.bin") +
                ": No such file or directory\n"
                "md5refresh: cannot open " +
                test::joined("pkg", "d") + ": Is a directory\n" + "md5refresh: cannot open " +
                test::joined("pkg", "f") +
                (with_fifo ? ": not a regular file\n" : ": No such file or directory\n") +
                "md5refresh: section \"full\" has no md5 entry and no room for one; digest of " +
                test::joined("pkg", "a.bin") +
                " not stored\n"
                // none.bin, d, f, and a.bin for the section full
                "md5refresh: 4 of 5 files not digested; their recorded digests were kept\n");
  std::string expected_full = "full={\n        file_path=a.bin\n";
  for (int i = 1; i < 10; ++i)
    expected_full += "        k" + std::to_string(i) + "=v\n";
  EXPECT_EQ(test::read_file(dir / "pkg/m.txt"),
            "one={\n        file_path=/x/a.bin\n        md5=" + std::string(ABC_MD5) +
                "\n}\n\n"
                "missing={\n        file_path=/x/none.bin\n        md5=keep\n}\n\n"
                "dup={\n        file_path=/y/z/a.bin\n        md5=" +
                ABC_MD5 +
                "\n        md5=second\n}\n\n"
                "dir={\n        file_path=/d\n        md5=keep\n}\n\n"
                "fifo={\n        file_path=/f\n        md5=keep\n}\n\n"
                "nopath={\n        md5=keep\n}\n\n"
                "nomd5={\n        file_path=a.bin\n        md5 =x\n        md5=" +
                ABC_MD5 + "\n}\n\n" + expected_full + "}\n\n");
}

TEST(RefreshEndToEnd, DigestsAgreeWithLibcryptoAroundBlockAndWindowEdges) {
  test::TempDir dir;
  std::mt19937 random(64);
  const std::vector<std::size_t> sizes{0, 55, 56, 63, 64, 8191, 8192, 8193, (3u << 20) + 5};
  std::string manifest, expected_out, expected_manifest;
  for (std::size_t size : sizes) {
    std::vector<std::uint8_t> bytes(size);
    for (auto& byte : bytes)
      byte = static_cast<std::uint8_t>(random());
    const std::string name = "f" + std::to_string(size);
    test::write_file(dir / name, {reinterpret_cast<const char*>(bytes.data()), bytes.size()});
    const std::string md5 = test::reference_md5(bytes);
    manifest += name + "={\nfile_path=/" + name + "\nmd5=0\n}\n";
    expected_out += md5 + "\t" + name + "\n";
    expected_manifest +=
        name + "={\n        file_path=/" + name + "\n        md5=" + md5 + "\n}\n\n";
  }
  test::write_file(dir / "update.txt", manifest);

  // No path argument: the default manifest, and files beside it in the current directory.
  const test::ToolRun run = test::run_tool(dir.path(), {"--ignore-missing"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, expected_out);
  EXPECT_EQ(test::read_file(dir / "update.txt"), expected_manifest);
}

}  // namespace
