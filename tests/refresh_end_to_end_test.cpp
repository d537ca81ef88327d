// SPDX-License-Identifier: MIT
// Whole runs that refresh digests: which files are found, the report lines, the
// warnings, and the manifest written, byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sha256/sha256.hpp"
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
                "md5refresh: section \"dup\" has 2 md5 entries\n"
                "md5refresh: cannot open " +
                test::joined("pkg", "d") + ": Is a directory\n" + "md5refresh: cannot open " +
                test::joined("pkg", "f") +
                (with_fifo ? ": not a regular file\n" : ": No such file or directory\n") +
                "md5refresh: section \"full\" has no md5 entry and no room for one; digest of " +
                test::joined("pkg", "a.bin") +
                " not stored\n"
                // none.bin, d, f, and a.bin for the section full; b.txt is left out
                "md5refresh: 4 of 4 files not digested; their recorded digests were kept\n");
  std::string expected_full = "full={\n        file_path=a.bin\n";
  for (int i = 1; i < 10; ++i)
    expected_full += "        k" + std::to_string(i) + "=v\n";
  EXPECT_EQ(test::read_file(dir / "pkg/m.txt"),
            "one={\n        file_path=/x/a.bin\n        md5=" + std::string(ABC_MD5) +
                "\n}\n\n"
                "missing={\n        file_path=/x/none.bin\n        md5=keep\n}\n\n"
                "dup={\n        file_path=/y/z/a.bin\n        md5=" +
                ABC_MD5 + "\n        md5=" + ABC_MD5 +
                "\n}\n\n"
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
    expected_out += md5 + "\t" + name + "\n";
    // Every other section records a SHA-256 as well.
    if (size % 2 == 0) {
      manifest += name + "={\nfile_path=/" + name + "\nmd5=0\n}\n";
      expected_manifest +=
          name + "={\n        file_path=/" + name + "\n        md5=" + md5 + "\n}\n\n";
      continue;
    }
    std::string sha256 = test::reference_sha256(bytes);
    if (sha256.empty()) sha256 = test::hex(md5refresh::sha256_of(bytes));
    manifest += name + "={\nfile_path=/" + name + "\nmd5=0\nsha256=0\n}\n";
    expected_manifest += name + "={\n        file_path=/" + name + "\n        md5=" + md5 +
                         "\n        sha256=" + sha256 + "\n}\n\n";
  }
  test::write_file(dir / "update.txt", manifest);

  // No path argument: the default manifest, and files beside it in the current directory.
  const test::ToolRun run = test::run_tool(dir.path(), {"--ignore-missing"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, expected_out);
  EXPECT_EQ(test::read_file(dir / "update.txt"), expected_manifest);
}

constexpr const char* ABC_SHA256 =
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr const char* ABCD_SHA256 =
    "88d4266fd4e6338d13b845fcf289579d209c897823b9217da3e161936f031589";
constexpr const char* ABCD_MD5 = "e2fc714c4727ee9395f324cd2e7f331f";

struct Sha256Case {
  const char* name;
  std::string manifest;  // pkg/update.txt, beside a.bin ("abc") and b.bin ("abcd")
  std::vector<std::string> arguments;
  int status;
  std::string out;
  std::optional<std::string> err;  // none: not compared (a tree's summary)
  std::string after;               // the manifest after the run; empty: as it was
};

// A section's "sha256" entry is refreshed from the same reads as its "md5", and
// a check is OK only where both match; "--sha256" adds the entry after "md5".
TEST(RefreshEndToEnd, Sha256EntriesAreRefreshedAndChecked) {
  const std::string a = test::joined("pkg", "a.bin"), b = test::joined("pkg", "b.bin");
  const std::string abc = std::string(ABC_MD5) + "\t" + a + "\n";
  const std::string abcd = std::string(ABCD_MD5) + "\t" + b + "\n";
  const std::string sha_a = std::string("sha256=") + ABC_SHA256;
  const std::string sha_b = std::string("sha256=") + ABCD_SHA256;
  const std::string md5_a = std::string("md5=") + ABC_MD5;
  const std::string md5_b = std::string("md5=") + ABCD_MD5;
  const std::string both_lead = "md5refresh: sections \"one\" and \"two\" both lead to " + a + "\n";
  std::string full = "full={\nfile_path=a.bin\nmd5=0\n";
  std::string full_after = "full={\n        file_path=a.bin\n        " + md5_a + "\n";
  for (int i = 1; i < 9; ++i) {
    full += "k" + std::to_string(i) + "=v\n";
    full_after += "        k" + std::to_string(i) + "=v\n";
  }
  full += "}\n";
  full_after += "}\n\n";
  // clang-format off
  const Sha256Case cases[] = {
      {"refreshed where recorded, from its own file; the section without one untouched",
       "a={\nfile_path=a.bin\nmd5=0\nsha256=0\n}\nb={\nfile_path=b.bin\nsha256=0\nmd5=0\n}\nc={\nfile_path=b.bin\nmd5=0\n}\n",
       {"pkg/update.txt"}, 0, abc + abcd + abcd,
       "md5refresh: sections \"b\" and \"c\" both lead to " + b + "\n",
       "a={\n        file_path=a.bin\n        " + md5_a + "\n        " + sha_a + "\n}\n\n"
       "b={\n        file_path=b.bin\n        " + sha_b + "\n        " + md5_b + "\n}\n\n"
       "c={\n        file_path=b.bin\n        " + md5_b + "\n}\n\n"},
      {"a later section of the same file wants it: the one read serves both",
       "one={\nfile_path=a.bin\nmd5=0\n}\ntwo={\nfile_path=a.bin\nsha256=0\n}\n",
       {"pkg/update.txt"}, 0, abc + abc, both_lead,
       "one={\n        file_path=a.bin\n        " + md5_a + "\n}\n\n"
       "two={\n        file_path=a.bin\n        " + sha_a + "\n        " + md5_a + "\n}\n\n"},
      {"--sha256 adds the entry after md5",
       "a={\nfile_path=a.bin\nmd5=0\nversion=1\n}\nb={\nfile_path=b.bin\n}\n",
       {"pkg/update.txt", "--sha256"}, 0, abc + abcd, "",
       "a={\n        file_path=a.bin\n        " + md5_a + "\n        " + sha_a + "\n        version=1\n}\n\n"
       "b={\n        file_path=b.bin\n        " + md5_b + "\n        " + sha_b + "\n}\n\n"},
      {"--sha256 where a section has no room",
       full, {"pkg/update.txt", "--sha256"}, 1, abc,
       "md5refresh: section \"full\" has no sha256 entry and no room for one; SHA-256 of " + a + " not stored\n",
       full_after},
      {"near-miss keys warned of, not read",
       "a={\nfile_path=a.bin\nmd5=0\nSHA256=0\nsha-256=0\nsha_256=0\n}\n",
       {"pkg/update.txt"}, 0, abc,
       "md5refresh: section \"a\": key \"SHA256\" is not read as sha256\n"
       "md5refresh: section \"a\": key \"sha-256\" is not read as sha256\n"
       "md5refresh: section \"a\": key \"sha_256\" is not read as sha256\n",
       "a={\n        file_path=a.bin\n        " + md5_a + "\n        SHA256=0\n        sha-256=0\n        sha_256=0\n}\n\n"},
      {"check: OK only where both match",
       "ok={\nfile_path=a.bin\n" + md5_a + "\n" + sha_a + "\n}\nforged={\nfile_path=b.bin\n" + md5_b + "\n" + sha_a + "\n}\n"
       "upper={\nfile_path=b.bin\nsha256=88D4266FD4E6338D13B845FCF289579D209C897823B9217DA3E161936F031589\n}\n"
       "short={\nfile_path=a.bin\n" + md5_a + "\nsha256=ba7816bf\n}\n",
       {"pkg/update.txt", "-c"}, 1,
       a + ": OK\n" + b + ": CHANGED\n" + b + ": OK\n" + a + ": recorded sha256 is not 64 hex digits\n",
       "md5refresh: sections \"forged\" and \"upper\" both lead to " + b + "\n"
       "md5refresh: sections \"ok\" and \"short\" both lead to " + a + "\n"
       "md5refresh: 2 of 4 sections not OK: 1 changed, 1 with a sha256 that is not 64 hex digits\n",
       ""},
      {"a tree's refresh",
       "a={\nfile_path=a.bin\nmd5=0\nsha256=0\n}\n", {"-r", "pkg"}, 0, abc, std::nullopt,
       "a={\n        file_path=a.bin\n        " + md5_a + "\n        " + sha_a + "\n}\n\n"},
      {"a tree's check finds the forged file",
       "a={\nfile_path=a.bin\n" + md5_a + "\n" + sha_b + "\n}\n", {"-c", "-r", "pkg"}, 1, a + ": CHANGED\n", std::nullopt, ""},
      {"check: every md5 entry must match",
       "a={\nfile_path=a.bin\n" + md5_a + "\nmd5=00000000000000000000000000000000\n}\n", {"pkg/update.txt", "-c"}, 1,
       a + ": CHANGED\n", "md5refresh: 1 of 1 sections not OK: 1 changed\n", ""},
      {"check: every sha256 entry must match",
       "a={\nfile_path=a.bin\n" + sha_a + "\n" + sha_b + "\n}\n", {"pkg/update.txt", "-c"}, 1,
       a + ": CHANGED\n", "md5refresh: 1 of 1 sections not OK: 1 changed\n", ""},
      {"refresh: every digest entry stored, the repeats warned of",
       "a={\nfile_path=a.bin\nmd5=0\nsha256=0\nmd5=1\nsha256=1\n}\n", {"pkg/update.txt"}, 0, abc,
       "md5refresh: section \"a\" has 2 md5 entries\nmd5refresh: section \"a\" has 2 sha256 entries\n",
       "a={\n        file_path=a.bin\n        " + md5_a + "\n        " + sha_a + "\n        " + md5_a + "\n        " + sha_a + "\n}\n\n"},
      {"-x: a left-out section's missing file fails nothing",
       "a={\nfile_path=a.bin\nmd5=0\n}\nold={\nfile_path=gone.bin\nmd5=1\n}\n", {"pkg/update.txt", "-x", "old"}, 0, abc,
       "md5refresh: cannot open " + test::joined("pkg", "gone.bin") + ": No such file or directory\n",
       "a={\n        file_path=a.bin\n        " + md5_a + "\n}\n\n"},
      {"-x: a file that a left-out section and a kept one name counts once, at the kept one",
       "old={\nfile_path=gone.bin\n}\nnew={\nfile_path=gone.bin\nmd5=1\n}\n", {"pkg/update.txt", "-x", "old"}, 1, "",
       "md5refresh: sections \"old\" and \"new\" both lead to " + test::joined("pkg", "gone.bin") + "\n" +
       "md5refresh: cannot open " + test::joined("pkg", "gone.bin") + ": No such file or directory\n"
       "md5refresh: cannot open " + test::joined("pkg", "gone.bin") + ": No such file or directory\n"
       "md5refresh: 1 of 1 files not digested; their recorded digests were kept\n",
       "new={\n        file_path=gone.bin\n        md5=1\n}\n\n"},
      {"-x in a tree: not incomplete",
       "a={\nfile_path=a.bin\nmd5=0\n}\nold={\nfile_path=gone.bin\nmd5=1\n}\n", {"-r", "pkg", "-x", "old"}, 0, abc,
       std::nullopt, "a={\n        file_path=a.bin\n        " + md5_a + "\n}\n\n"},
      {"-x: a left-out section without room for a sha256",
       "a={\nfile_path=b.bin\n}\n" + full, {"pkg/update.txt", "--sha256", "-x", "full"}, 0, abcd + abc, "",
       "a={\n        file_path=b.bin\n        " + md5_b + "\n        " + sha_b + "\n}\n\n"},
      {"check: text after a 0x1A byte refused",
       "a={\nfile_path=a.bin\n" + md5_a + "\n}\n\x1a" "b={\nfile_path=b.bin\nmd5=0\n}\n", {"pkg/update.txt", "-c"}, 2, "",
       "md5refresh: pkg/update.txt:5: text after the 0x1A byte would be lost\n", ""},
      {"a tree's refresh with --sha256",
       "a={\nfile_path=a.bin\n}\n", {"-r", "pkg", "--sha256"}, 0, abc, std::nullopt,
       "a={\n        file_path=a.bin\n        " + md5_a + "\n        " + sha_a + "\n}\n\n"},
  };
  // clang-format on
  for (const Sha256Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    fs::create_directories(dir / "pkg");
    test::write_file(dir / "pkg/a.bin", "abc");
    test::write_file(dir / "pkg/b.bin", "abcd");
    test::write_file(dir / "pkg/update.txt", c.manifest);
    const test::ToolRun run = test::run_tool(dir.path(), c.arguments);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.out);
    if (c.err) {
      EXPECT_EQ(run.err, *c.err);
    }
    EXPECT_EQ(test::read_file(dir / "pkg/update.txt"), c.after.empty() ? c.manifest : c.after);
  }
}

}  // namespace
