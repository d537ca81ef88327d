// SPDX-License-Identifier: MIT
// The plan of each section: where its file is looked for (the manifest's
// directory and the last component of the "file_path" value, joined with the
// host's separator), what "-x" leaves out, which sections share a file.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "manifest/manifest_reader.hpp"
#include "platform/file_access.hpp"
#include "platform/text.hpp"
#include "refresh/section_plan.hpp"
#include "test_support.hpp"

using namespace md5refresh;

namespace {

struct JoinCase {
  std::string input_path;
  std::string file_path;
  std::string on_posix;    // "\" is an ordinary character there
  std::string on_windows;  // both "\" and "/" separate, "\" joins
};

// A temporary lies in its output's folder on every path form, a drive's
// current folder among them.
TEST(TargetPath, TemporaryLiesInTheOutputsOwnFolder) {
  // clang-format off
  const JoinCase cases[] = {
      {"update.txt", "", ".update.txt.", ".update.txt."},
      {"pkg/update.txt", "", "pkg/.update.txt.", "pkg/.update.txt."},
      {"/update.txt", "", "/.update.txt.", "/.update.txt."},
      {"E:update.txt", "", ".E:update.txt.", "E:.update.txt."},
      {"E:\\pkg\\update.txt", "", ".E:\\pkg\\update.txt.", "E:\\pkg\\.update.txt."},
  };
  // clang-format on
  for (const JoinCase& c : cases) {
    SCOPED_TRACE(c.input_path);
    EXPECT_EQ(temporary_prefix(c.input_path), test::POSIX_HOST ? c.on_posix : c.on_windows);
  }
}

#if defined(_WIN32)
// The system drops a name's last dot or blank and takes a path of 260
// characters only in the long form, where every name is taken as written:
// such paths go in that form, "." and ".." resolved as the system resolves
// them; short ones, devices and long forms stay as they are.
TEST(TargetPath, PathsThatTheSystemWouldChangeGoInTheLongForm) {
  const std::wstring here = std::filesystem::current_path().wstring();
  const std::wstring drive = here.substr(0, 2);
  const std::string deep(260 - here.size(), 'd');  // short, but not once absolute
  const std::string far_device = "\\\\.\\" + std::string(300, 'x');
  struct LongFormCase {
    std::string path;
    std::wstring expected;
  };
  // clang-format off
  const LongFormCase cases[] = {
      {"pkg.\\update.txt", L"\\\\?\\" + here + L"\\pkg.\\update.txt"},
      {"a/b/../pkg /./x", L"\\\\?\\" + here + L"\\a\\pkg \\x"},
      {"../../../../../../../../../../../../../../../../../../../../../../../../x.", L"\\\\?\\" + drive + L"\\x."},
      {deep, L"\\\\?\\" + here + L"\\" + std::wstring(deep.begin(), deep.end())},
      {"pkg\\update.txt", L"pkg\\update.txt"},
      {"NUL", L"NUL"},
      {"..\\x", L"..\\x"},
      {far_device, std::wstring(far_device.begin(), far_device.end())},
      {"\\\\?\\C:\\x.", L"\\\\?\\C:\\x."},
  };
  // clang-format on
  for (const LongFormCase& c : cases) {
    SCOPED_TRACE(c.path.substr(0, 40));
    EXPECT_EQ(wide_path(c.path), c.expected);
  }
}
#endif

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
      // Bytes of code page 932 read by the ANSI code page: split at 0x5C, joined as UTF-8.
      {"pkg/m.txt", "/x/\x83\x5C\x83\x74\x83\x67.bin", "pkg/\x83\x74\x83\x67.bin", "pkg\\\xC6\x92t\xC6\x92g.bin"},
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

struct PlannedSection {
  Target target;
  bool visited;
  int same_file_as;
};

struct PlanCase {
  const char* name;
  RunKind kind;
  ExcludeList excludes;
  std::vector<PlannedSection> sections;
  std::vector<std::string_view> unmatched;
};

TEST(SectionPlan, DecidesOnceWhatTheRunDoesWithEachSection) {
  const std::string text =
      "a={\nfile_path=/x/a.bin\n}\nb={\nmd5=0\n}\nc={\nfile_path=dir/\n}\n"
      "d={\nfile_path=C:\\y\\a.bin\n}\ne={\nfile_path=A.BIN\n}\n";
  constexpr auto beside = Target::beside_manifest;
  constexpr int none = NO_SECTION;
  // Windows compares names as its file systems do, without regard to case.
  constexpr int folds = test::POSIX_HOST ? none : 0;
  // clang-format off
  const PlanCase cases[] = {
      {"refresh", RunKind::refresh, {{}, 0},
       {{beside, true, none}, {Target::no_file_path, true, none}, {Target::names_no_file, true, none}, {beside, true, 0}, {beside, true, folds}}, {}},
      {"refresh visits what it leaves out", RunKind::refresh, {{"a", "zz"}, 2},
       {{beside, true, none}, {Target::no_file_path, true, none}, {Target::names_no_file, true, none}, {beside, true, 0}, {beside, true, folds}}, {"zz"}},
      {"a check passes over what it leaves out", RunKind::check, {{"a", "e"}, 2},
       {{Target::no_file_path, false, none}, {Target::no_file_path, true, none}, {Target::names_no_file, true, none}, {beside, true, none}, {Target::no_file_path, false, none}}, {}},
  };
  // clang-format on
  std::FILE* stream = test::stream_with(text);
  Manifest manifest{};
  ASSERT_EQ(read_manifest(stream, manifest).status, ReadStatus::ok);
  std::fclose(stream);
  for (const PlanCase& c : cases) {
    SCOPED_TRACE(c.name);
    const ManifestPlan plan = plan_sections(manifest, "pkg/m.txt", c.excludes, c.kind);
    ASSERT_EQ(plan.section_count, 5);
    for (std::size_t s = 0; s < c.sections.size(); ++s) {
      SCOPED_TRACE(s);
      const SectionPlan& planned = plan.sections[s];
      EXPECT_EQ(planned.visited, c.sections[s].visited);
      EXPECT_EQ(planned.target, c.sections[s].target);
      EXPECT_EQ(planned.same_file_as, c.sections[s].same_file_as);
      const bool named = std::ranges::any_of(
          std::span(c.excludes.names).first(static_cast<std::size_t>(c.excludes.count)),
          [&](std::string_view name) { return field_text(manifest.sections[s].name) == name; });
      EXPECT_EQ(plan.left_out[s], named);
    }
    EXPECT_EQ(std::vector<std::string_view>(plan.unmatched.begin(),
                                            plan.unmatched.begin() + plan.unmatched_count),
              c.unmatched);
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

// One file, by any name and however often it is opened, is the same file;
// another is not. On Windows the identity is the 128-bit file id where the
// volume gives one, else the 64-bit index with the volume's 32-bit serial.
TEST(FileStamp, TellsFilesApartByIdentity) {
  for (const bool by_index : {false, true}) {
    SCOPED_TRACE(by_index ? "by the 64-bit file index" : "by the file id");
    seams::identify_by_file_index = by_index;
    test::TempDir dir;
    test::write_file(dir / "f.bin", "abc");
    test::write_file(dir / "g.bin", "abc");
    std::filesystem::create_hard_link(dir / "f.bin", dir / "h.bin");
    FileStamp f{}, f_again{}, g{}, h{};
    ASSERT_TRUE(stamp_of_path((dir / "f.bin").string().c_str(), f));
    ASSERT_TRUE(stamp_of_path((dir / "f.bin").string().c_str(), f_again));
    ASSERT_TRUE(stamp_of_path((dir / "g.bin").string().c_str(), g));
    ASSERT_TRUE(stamp_of_path((dir / "h.bin").string().c_str(), h));
    seams::identify_by_file_index = false;
    EXPECT_TRUE(same_file(f, f_again));
    EXPECT_TRUE(same_file(f, h));
    EXPECT_FALSE(same_file(f, g));
#if defined(_WIN32)
    HANDLE handle = CreateFileW((dir / "f.bin").wstring().c_str(), 0, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    BY_HANDLE_FILE_INFORMATION information{};
    FILE_ID_INFO id{};
    ASSERT_TRUE(GetFileInformationByHandle(handle, &information));
    const bool has_id = GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id);
    CloseHandle(handle);
    if (by_index || !has_id) {
      EXPECT_EQ(f.device, information.dwVolumeSerialNumber);
      EXPECT_EQ(f.inode,
                std::uint64_t{information.nFileIndexHigh} << 32 | information.nFileIndexLow);
      EXPECT_EQ(f.inode_high, 0u);
    } else {
      std::uint64_t halves[2];
      std::memcpy(halves, id.FileId.Identifier, sizeof halves);
      EXPECT_EQ(f.device, id.VolumeSerialNumber);
      EXPECT_EQ(f.inode, halves[0]);
      EXPECT_EQ(f.inode_high, halves[1]);
    }
#endif
  }
}

}  // namespace
