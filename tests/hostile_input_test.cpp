// SPDX-License-Identifier: MIT
// Hostile and broken input, end to end: every case ends in a clear one-line
// error or warning, and nothing is lost.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "digest/file_digest.hpp"
#include "test_support.hpp"

using namespace md5refresh;

namespace fs = std::filesystem;

namespace {

using test::ABC_MD5;

std::string repeated(std::string_view text, int times) {
  std::string result;
  for (int i = 0; i < times; ++i)
    result += text;
  return result;
}

struct RefusedCase {
  const char* name;
  std::string manifest;
  std::string error;  // after "md5refresh: m.txt:"
};

TEST(HostileInput, RefusesManifestsItCannotKeepWhole) {
  const std::string n128(128, 'n');
  // clang-format off
  const RefusedCase cases[] = {
      {"10,000 sections", repeated("s={\n}\n", 10000), "21: manifest does not fit: at most 10 sections of 10 entries each"},
      {"1 MB line in a section", "a={\n" + std::string(1 << 20, 'k') + "\n", "2: line longer than 1022 characters"},
      {"a note split from a long line", "a={\n" + std::string(1100, ' ') + "# keep this note\n}\n", "2: line longer than 1022 characters"},
      {"text after a closing brace", "a={\nfile_path=/x/a.bin\n} # end of a\n", "3: text after \"}\" would be lost"},
      {"a name the rewrite would read as UTF-16", " \xFE\xFF{\n}\n", "1: section name begins with the bytes of a byte order mark"},
      {"name of 128 bytes", n128 + "={\n}\n", "1: section name longer than 127 bytes"},
      {"key of 128 bytes", "a={\n" + n128 + "=v\n}\n", "2: key longer than 127 bytes"},
      {"value of 128 bytes", "a={\nk=" + n128 + "\n}\n", "2: value longer than 127 bytes"},
      {"NUL byte", std::string("a={\nk=v\0\n}\n", 10), "2: NUL byte in the manifest"},
      {"CR-only line ends", "a={\rfile_path=/x/a.bin\rmd5=0\r}\r", "1: CR without LF (line ends must be LF or CR LF)"},
      {"doubled line ends", "a={\r\r\nfile_path=/x/a.bin\r\r\n}\r\r\n", "1: CR without LF (line ends must be LF or CR LF)"},
      {"blank after a brace", "a={ \nfile_path=/x/a.bin\n}\nb={\n}\n", "1: blank after \"{\""},
      {"a shell script", "#!/bin/sh\nmake all\n", "2: text outside any section would be lost"},
      {"entries after a stray brace", "a={\n}\nfile_path=/x/a.bin\n}\n", "3: text outside any section would be lost"},
      {"UTF-16 text", std::string("\xFF\xFE" "a\0=\0{\0\n\0", 10), "1: UTF-16 text is not supported; save the manifest as UTF-8"},
      {"file path with a space", "a={\nfile_path=/x/my file.bin\n}\n", "2: text after the value would be lost (a value ends at its first blank)"},
      {"an entry with no key", "a={\nfile_path=a.bin\n=x\n}\n", "3: an entry with no key before its \"=\""},
      {"a section after a 0x1A byte", "a={\nk=v\n}\n\x1a" "b={\nk=v\n}\n", "4: text after the 0x1A byte would be lost"},
      {"a shell function", "#!/bin/sh\nf() {\n  make\n}\n", "2: a section header is name={"},
      {"JSON", "{\n  \"name\": \"x\"\n}\n", "1: a section header is name={"},
      {"C source", "#include <stdio.h>\nint main(void) {\n}\n", "2: a section header is name={"},
  };
  // clang-format on
  for (const RefusedCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    test::write_file(dir / "m.txt", c.manifest);
    const test::ToolRun run = test::run_tool(dir.path(), {"m.txt"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "md5refresh: m.txt:" + c.error + "\n");
    EXPECT_EQ(test::read_file(dir / "m.txt"), c.manifest);
  }
}

TEST(HostileInput, RandomBytesAreRefusedOrRewrittenNeverDamaged) {
  std::mt19937 random(5);
  for (int round = 0; round < 20; ++round) {
    std::string bytes(random() % 4096, '\0');
    for (char& c : bytes)
      c = static_cast<char>(random() % (round < 10 ? 256 : 128));
    test::TempDir dir;
    test::write_file(dir / "m.txt", bytes);
    const test::ToolRun run = test::run_tool(dir.path(), {"m.txt", "-o", "out.txt"});
    SCOPED_TRACE(round);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(test::read_file(dir / "m.txt"), bytes);
    if (run.status == 0) {
      EXPECT_EQ(run.err, "");
      EXPECT_TRUE(fs::exists(dir / "out.txt"));
    } else {
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(run.err.rfind("md5refresh: m.txt:", 0), 0u) << run.err;
      EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
      EXPECT_FALSE(fs::exists(dir / "out.txt"));
    }
  }
}

struct AcceptedCase {
  const char* name;
  std::string manifest;
  std::string written;
  std::string out;
  std::string err;
};

TEST(HostileInput, OddButValidManifestsAreRefreshedWithClearWarnings) {
  const std::string n127(127, 'n'), abc = ABC_MD5;
  // A file that kept its old digest makes the status 1, the manifest written all the same.
  const std::string kept =
      "md5refresh: 1 of 1 files not digested; their recorded digests were kept\n";
  // clang-format off
  const AcceptedCase cases[] = {
      {"1 MB comment before the sections, kept", std::string(1 << 20, '#') + "\na={\n}\n", std::string(1 << 20, '#') + "\na={\n}\n\n", "", ""},
      {"127 bytes everywhere", n127 + "={\n" + n127 + "=" + n127 + "\n}\n", n127 + "={\n        " + n127 + "=" + n127 + "\n}\n\n", "", ""},
      {"ends inside a section", "a={\nfile_path=a.bin\nmd5=0", "a={\n        file_path=a.bin\n        md5=" + abc + "\n}\n\n", abc + "\ta.bin\n", ""},
      {"non-ASCII file name", "a={\nfile_path=/x/f\xc3\xa9.bin\n}\n", "a={\n        file_path=/x/f\xc3\xa9.bin\n        md5=" + abc + "\n}\n\n", abc + "\tf\xc3\xa9.bin\n", ""},
      {"file_path with backslashes", "a={\nfile_path=C:\\packages\\bin\\a.bin\n}\n", "a={\n        file_path=C:\\packages\\bin\\a.bin\n        md5=" + abc + "\n}\n\n", abc + "\ta.bin\n", ""},
      {"file name with a leading dash", "a={\nfile_path=/x/-a.bin\n}\n", "a={\n        file_path=/x/-a.bin\n        md5=" + abc + "\n}\n\n", abc + "\t-a.bin\n", ""},
      {"file_path of /", "a={\nfile_path=/\nmd5=0\n}\n", "a={\n        file_path=/\n        md5=0\n}\n\n", "", "md5refresh: section \"a\": file_path \"/\" names no file\n" + kept},
      {"file_path of a/", "a={\nfile_path=a/\n}\n", "a={\n        file_path=a/\n}\n\n", "", "md5refresh: section \"a\": file_path \"a/\" names no file\n" + kept},
      {"empty file_path", "a={\nfile_path=\n}\n", "a={\n        file_path=\n}\n\n", "", "md5refresh: section \"a\": file_path \"\" names no file\n" + kept},
      {"keys that look right", "a={\nfile-path=a.bin\nMd5=0\n}\n", "a={\n        file-path=a.bin\n        Md5=0\n}\n\n", "", "md5refresh: section \"a\": key \"file-path\" is not read as file_path\nmd5refresh: section \"a\": key \"Md5\" is not read as md5\n"},
      {"a tab before the equals", "a={\nfile_path=a.bin\nmd5\t=0\n}\n", "a={\n        file_path=a.bin\n        md5\t=0\n        md5=" + abc + "\n}\n\n", abc + "\ta.bin\n",
       "md5refresh: section \"a\": key \"md5\t\" has blanks before \"=\" and is not read as md5\n"},
      {"a comment inside a section, kept as a key", "tool={\n# the tool script\nfile_path=a.bin\n}\n", "tool={\n        # the tool script=\n        file_path=a.bin\n        md5=" + abc + "\n}\n\n", abc + "\ta.bin\n",
       "md5refresh: m.txt:2: no \"=\" in this line of section \"tool\"; kept as a key with no value\n"},
      {"a section name ending in a blank, quoted", "a = {\nfile_path=a.bin\n}\nb={\nfile_path=a.bin\n}\n", "a ={\n        file_path=a.bin\n        md5=" + abc + "\n}\n\nb={\n        file_path=a.bin\n        md5=" + abc + "\n}\n\n",
       abc + "\ta.bin\n" + abc + "\ta.bin\n", "md5refresh: sections \"a \" and \"b\" both lead to a.bin\n"},
      {"none of the files there: the old digests kept, status 1", "a={\nfile_path=x.bin\nmd5=old\n}\nb={\nfile_path=y.bin\n}\nc={\nk=v\n}\n",
       "a={\n        file_path=x.bin\n        md5=old\n}\n\nb={\n        file_path=y.bin\n}\n\nc={\n        k=v\n}\n\n", "",
       "md5refresh: cannot open x.bin: No such file or directory\nmd5refresh: cannot open y.bin: No such file or directory\n"
       "md5refresh: 2 of 2 files not digested; their recorded digests were kept\n"},
      {"0x1A padding after the text", "a={\nfile_path=a.bin\n}\n\x1a\x1a\r\n \t\x1a", "a={\n        file_path=a.bin\n        md5=" + abc + "\n}\n\n", abc + "\ta.bin\n", ""},
      {"file_path of ..", "a={\nfile_path=..\nmd5=0\n}\n", "a={\n        file_path=..\n        md5=0\n}\n\n", "", "md5refresh: cannot open ..: Is a directory\n" + kept},
  };
  // clang-format on
  for (const AcceptedCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    test::write_file(dir / "m.txt", c.manifest);
    test::write_file(dir / "a.bin", "abc");
    test::write_file(dir / "f\xc3\xa9.bin", "abc");
    test::write_file(dir / "-a.bin", "abc");
    const test::ToolRun run = test::run_tool(dir.path(), {"m.txt"});
    EXPECT_EQ(run.status, c.err.find("files not digested") != std::string::npos ? 1 : 0);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(test::read_file(dir / "m.txt"), c.written);
  }
}

TEST(HostileInput, InputAndOutputMayBeOneFileUnderTwoNames) {
  std::vector<std::vector<std::string>> runs{{"-i", "./m.txt", "-o", "sub/../m.txt"}};
  if (test::POSIX_HOST) {  // symlinks
    runs.push_back({"-i", "link.txt", "-o", "m.txt"});
    runs.push_back({"-i", "m.txt", "-o", "link.txt"});
  }
  for (const std::vector<std::string>& arguments : runs) {
    test::TempDir dir;
    fs::create_directory(dir / "sub");
    test::write_file(dir / "m.txt", "a={\nfile_path=a.bin\nmd5=0\n}\n");
    test::write_file(dir / "a.bin", "abc");
    if (test::POSIX_HOST) fs::create_symlink("m.txt", dir / "link.txt");
    const test::ToolRun run = test::run_tool(dir.path(), arguments);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(test::read_file(dir / "m.txt"),
              "a={\n        file_path=a.bin\n        md5=" + std::string(ABC_MD5) + "\n}\n\n");
    EXPECT_EQ(fs::is_symlink(dir / "link.txt"), test::POSIX_HOST);
  }
}

// A file that changes between its open and its read is digested as it is read:
// truncated, the digest covers what is left; removed, the open file still reads whole.
TEST(HostileInput, FileChangedAfterOpenIsDigestedAsRead) {
  if (!test::POSIX_HOST) GTEST_SKIP() << "Windows neither truncates nor removes an open file";
  test::TempDir dir;
  test::write_file(dir / "f.bin", std::string(100000, 'x'));
  std::FILE* truncated = std::fopen((dir / "f.bin").string().c_str(), "rb");
  fs::resize_file(dir / "f.bin", 3);
  HexDigest hex{};
  EXPECT_EQ(digest_file(truncated, hex).status, DigestStatus::ok);
  std::fclose(truncated);
  EXPECT_STREQ(hex.data(), test::reference_md5(std::vector<std::uint8_t>(3, 'x')).c_str());

  test::write_file(dir / "g.bin", std::string(100000, 'y'));
  std::FILE* removed = std::fopen((dir / "g.bin").string().c_str(), "rb");
  fs::remove(dir / "g.bin");
  EXPECT_EQ(digest_file(removed, hex).status, DigestStatus::ok);
  std::fclose(removed);
  EXPECT_STREQ(hex.data(), test::reference_md5(std::vector<std::uint8_t>(100000, 'y')).c_str());
}

// Paths longer than Windows's classic limit of 259 characters, from a
// manifest deep in a tree: found, digested and replaced like any other.
TEST(HostileInput, ReachesFilesInDeepDirectories) {
  test::TempDir dir;
  const std::string deep =
      std::string(100, 'd') + "/" + std::string(100, 'e') + "/" + std::string(100, 'f');
  fs::create_directories(dir / deep);
  test::write_file(dir / (deep + "/" + std::string(120, 'n')), "abc");
  test::write_file(dir / (deep + "/m.txt"), "a={\nfile_path=/x/" + std::string(120, 'n') + "\n}\n");
  const test::ToolRun run = test::run_tool(dir.path(), {deep + "/m.txt"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            std::string(ABC_MD5) + "\t" + test::joined(deep, std::string(120, 'n')) + "\n");
  EXPECT_EQ(test::read_file(dir / (deep + "/m.txt")), "a={\n        file_path=/x/" +
                                                          std::string(120, 'n') +
                                                          "\n        md5=" + ABC_MD5 + "\n}\n\n");
}

}  // namespace
