// SPDX-License-Identifier: MIT
// What the tool knows of a file from its stamp: whether it changed while it
// was open, and whether two names lead to one file.
#include "platform/file_access.hpp"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "test_support.hpp"

namespace md5refresh {

namespace {

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

}  // namespace md5refresh
