// SPDX-License-Identifier: MIT
// Allocation failures in the digest: the work buffer and the engine's context
// come from nothrow allocations, which this test binary can make fail on demand.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "digest/file_digest.hpp"
#include "refresh/section_file.hpp"
#include "test_support.hpp"

namespace {
int nothrow_allocations_left = -1;  // negative: never fail
}  // namespace

// Every form goes through malloc and free, so the sanitizers see matching pairs.
void* operator new(std::size_t size) {
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) std::abort();
  return memory;
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (nothrow_allocations_left == 0) return nullptr;
  if (nothrow_allocations_left > 0) --nothrow_allocations_left;
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& nothrow) noexcept {
  return operator new(size, nothrow);
}
void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete[](void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
  std::free(memory);
}

namespace {

struct AllocationCase {
  const char* name;
  std::size_t message_length;
  int allocations_before_failure;
};

TEST(AllocationFailure, DigestReportsOutOfMemoryInsteadOfADigest) {
  const AllocationCase cases[] = {
      {"work buffer", 10, 0},
      {"context on an absorbing call", 64, 1},
      {"context on a final call", 10, 1},
      {"context on an empty message", 0, 1},
  };
  for (const AllocationCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::size_t offset = 0;
    auto reads = [&](std::uint8_t* window, std::size_t size) {
      const std::size_t count = std::min(size, c.message_length - offset);
      std::fill_n(window, count, std::uint8_t{'x'});
      offset += count;
      return count;
    };
    Md5Digest digest{};
    nothrow_allocations_left = c.allocations_before_failure;
    const DigestStatus status = digest_stream(reads, digest);
    nothrow_allocations_left = -1;
    EXPECT_EQ(status, DigestStatus::out_of_memory);
  }
}

TEST(AllocationFailure, SectionKeepsItsDigestAndGetsAWarning) {
  test::TempDir dir;
  test::write_file(dir / "a.bin", "abc");
  Manifest manifest{};
  manifest.section_count = 1;
  Section& section = manifest.sections[0];
  section.entry_count = 2;
  ASSERT_TRUE(set_field(section.name, "s"));
  ASSERT_TRUE(set_field(section.entries[0].key, "file_path"));
  ASSERT_TRUE(set_field(section.entries[0].value, "/x/a.bin"));
  ASSERT_TRUE(set_field(section.entries[1].key, "md5"));
  ASSERT_TRUE(set_field(section.entries[1].value, "old"));
  const std::string input = (dir / "m.txt").string();

  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  nothrow_allocations_left = 2;  // the stream buffer, the work buffer, then not the context
  refresh_digests(manifest, input.c_str());
  nothrow_allocations_left = -1;
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "md5refresh: cannot digest " + (dir / "a.bin").string() + ": Cannot allocate memory\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(field_text(section.entries[1].value), "old");

  testing::internal::CaptureStdout();
  refresh_digests(manifest, input.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "900150983cd24fb0d6963f7d28e17f72\t" + (dir / "a.bin").string() + "\n");
  EXPECT_EQ(field_text(section.entries[1].value), "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
