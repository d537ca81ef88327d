// SPDX-License-Identifier: MIT
// The file digest: independent of how reads split the stream, reported only
// when the whole stream was read, and the report line's exact shape.
#include "digest/file_digest.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "digest/file_set_digest.hpp"
#include "test_support.hpp"

namespace {

TEST(FileDigest, DigestDoesNotDependOnHowReadsSplitTheStream) {
  std::mt19937 random(8192);
  const std::vector<std::vector<std::size_t>> read_patterns = {
      {8192}, {1}, {63, 65}, {100, 7, 8192}, {4096, 4095, 1}, {64}, {8191, 2}};
  for (std::size_t length : {0, 55, 64, 100, 8191, 8192, 8193, 100000}) {
    std::vector<std::uint8_t> message(length);
    for (auto& byte : message)
      byte = static_cast<std::uint8_t>(random());
    const std::string expected = test::reference_md5(message);
    for (const auto& pattern : read_patterns) {
      SCOPED_TRACE(testing::Message() << length << " bytes, first read " << pattern[0]);
      std::size_t offset = 0, reads = 0;
      auto short_reads = [&](std::uint8_t* window, std::size_t size) {
        EXPECT_GT(size, 0u);
        EXPECT_LE(size, READ_WINDOW);
        const std::size_t count =
            std::min({size, pattern[reads++ % pattern.size()], message.size() - offset});
        std::copy_n(message.begin() + static_cast<std::ptrdiff_t>(offset), count, window);
        offset += count;
        return count;
      };
      Md5Digest digest{};
      ASSERT_EQ(digest_stream(short_reads, digest), DigestStatus::ok);
      EXPECT_EQ(test::hex(digest), expected);
    }
  }
}

TEST(FileDigest, PrintsTheReportLineAndHandsBackTheDigits) {
  std::FILE* stream = test::stream_with("abc");
  HexDigest hex{};
  testing::internal::CaptureStdout();
  DigestResult result = digest_file(stream, "dir/abc.txt", &hex);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "900150983cd24fb0d6963f7d28e17f72\tdir/abc.txt\n");
  EXPECT_EQ(result.status, DigestStatus::ok);
  EXPECT_STREQ(hex.data(), "900150983cd24fb0d6963f7d28e17f72");

  std::rewind(stream);
  testing::internal::CaptureStdout();
  result = digest_file(stream, nullptr, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "900150983cd24fb0d6963f7d28e17f72\n");
  EXPECT_EQ(result.status, DigestStatus::ok);
  std::fclose(stream);
}

TEST(FileDigest, ReadErrorGivesNoDigestAndNoReportLine) {
  if (!test::POSIX_HOST) GTEST_SKIP() << "only POSIX hosts open a directory as a file";
  std::FILE* directory = std::fopen(".", "rb");  // opens on Linux; every read fails
  ASSERT_NE(directory, nullptr);
  HexDigest hex{};
  testing::internal::CaptureStdout();
  const DigestResult result = digest_file(directory, ".", &hex);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(result.status, DigestStatus::read_error);
  EXPECT_EQ(result.error, EISDIR);
  EXPECT_EQ(hex, HexDigest{});
  std::fclose(directory);
}

struct FileSetCase {
  const char* name;
  std::vector<std::size_t> sizes;
};

// The scheduler on every lane engine the CPU has, on one and two workers, against
// an independent MD5: few or unequal files on the scalar engine in turns, files
// of like size in the lanes, which end at different times, are refilled with the
// next file and finish alone.
TEST(FileSetDigest, EveryFileGetsItsOwnDigestInOrder) {
  const std::size_t mib = 1 << 20;
  // clang-format off
  const FileSetCase cases[] = {
      {"short and unequal", {0, 1, 55, 56, 63, 64, 65, 127, 128, 4096 + 3}},
      {"lanes ending at different times", {3 * mib + 5, 64, LANE_READ_SIZE, LANE_READ_SIZE + 64, 2 * LANE_READ_SIZE - 1}},
      {"more files than lanes", {9000, 70000, 1, 300000, 64 * 1024, 5, 2 * mib, 128, 77, 1000, 640}},
      {"one long file and short ones", {mib / 2 + 17, 10, 20}},
      {"files of like size, in lanes", {70000, 70001, 70064, 69999, 70063, 70100, 70005, 70128, 70003, 70010}},
      {"like sizes around a lane's read", {LANE_READ_SIZE - 1, LANE_READ_SIZE, LANE_READ_SIZE + 1, LANE_READ_SIZE + 63, LANE_READ_SIZE + 64, LANE_READ_SIZE + 65, LANE_READ_SIZE - 64, LANE_READ_SIZE + 127, LANE_READ_SIZE + 3}},
  };
  // clang-format on
  std::mt19937 random(13);
  for (const FileSetCase& c : cases) {
    std::vector<std::string> contents;
    for (std::size_t size : c.sizes) {
      std::string bytes(size, '\0');
      for (char& byte : bytes)
        byte = static_cast<char>(random());
      contents.push_back(bytes);
    }
    for (LaneEngine engine : {LaneEngine::scalar, LaneEngine::avx2, LaneEngine::avx512}) {
      if (!lane_engine_available(engine)) continue;
      for (unsigned workers : {1u, 2u}) {
        SCOPED_TRACE(std::string(c.name) + ", " + lane_engine_name(engine) + ", " +
                     std::to_string(workers) + " workers");
        std::vector<FileJob> jobs;
        for (const std::string& bytes : contents)
          jobs.push_back({test::stream_with(bytes), bytes.size(), nullptr, {}, {}});
        std::vector<std::size_t> order;
        digest_file_set(
            jobs, [&order](std::size_t i) { order.push_back(i); }, engine, workers);
        for (std::size_t i = 0; i < jobs.size(); ++i) {
          std::fclose(jobs[i].stream);
          EXPECT_EQ(jobs[i].result.status, DigestStatus::ok);
          const auto* data = reinterpret_cast<const std::uint8_t*>(contents[i].data());
          EXPECT_EQ(jobs[i].hex.data(), test::reference_md5({data, contents[i].size()}))
              << "file " << i;
          EXPECT_EQ(order[i], i);
        }
      }
    }
  }
}

}  // namespace
