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

}  // namespace
