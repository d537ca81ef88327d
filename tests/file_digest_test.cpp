// The file digest: independent of how reads split the stream, reported only
// when the whole stream was read, and the report line's exact shape.
#include "digest/file_digest.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

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

}  // namespace
