// SPDX-License-Identifier: MIT
// Allocation failures in the digest: the read buffers and the engine's context
// come from nothrow allocations, which this test binary can make fail on demand.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <new>
#include <string>

#include "digest/file_digest.hpp"
#include "md5/md5_process.hpp"
#include "refresh/refresh.hpp"
#include "test_support.hpp"

using namespace md5refresh;

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
  int allocations_before_failure;
};

// A stream's two read buffers are its only allocations that may fail: then no
// digest and no report line, and the run goes on.
TEST(AllocationFailure, DigestReportsOutOfMemoryInsteadOfADigest) {
  const AllocationCase cases[] = {{"first buffer", 0}, {"second buffer", 1}};
  for (const AllocationCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::FILE* stream = test::stream_with("abc");
    HexDigest hex{};
    nothrow_allocations_left = c.allocations_before_failure;
    const DigestResult result = digest_file(stream, hex);
    nothrow_allocations_left = -1;
    std::fclose(stream);
    EXPECT_EQ(result.status, DigestStatus::out_of_memory);
    EXPECT_EQ(hex, HexDigest{});
  }
}

// The engine's first interface allocates its context, and says so when it cannot.
TEST(AllocationFailure, EngineContextIsNullWhenItCannotBeMade) {
  std::array<std::uint8_t, 64 + MD5_PADDING_ROOM> data{};
  Md5Digest digest{};
  for (std::uint32_t length : {64u, 10u, 0u}) {
    SCOPED_TRACE(length);
    nothrow_allocations_left = 0;
    EXPECT_EQ(md5_process(data.data(), length, &digest, nullptr), nullptr);
    nothrow_allocations_left = -1;
    EXPECT_EQ(digest, Md5Digest{}) << "nothing written";
  }
}

TEST(AllocationFailure, SectionKeepsItsDigestAndGetsAWarning) {
  test::TempDir dir;
  test::write_file(dir / "a.bin", "abc");
  const std::string input = (dir / "m.txt").string();
  test::write_file(input, "s={\nfile_path=/x/a.bin\nmd5=old\n}\n");

  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  nothrow_allocations_left = 2;  // the manifest's table and the first read buffer, not the second
  EXPECT_EQ(refresh_manifest(input.c_str(), input.c_str(), {}, false), 1);
  nothrow_allocations_left = -1;
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "md5refresh: cannot digest " + (dir / "a.bin").string() +
                ": Cannot allocate memory\n"
                "md5refresh: 1 of 1 files not digested; their recorded digests were kept\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(test::read_file(input), "s={\n        file_path=/x/a.bin\n        md5=old\n}\n\n");

  testing::internal::CaptureStdout();
  EXPECT_EQ(refresh_manifest(input.c_str(), input.c_str(), {}, false), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            std::string(test::ABC_MD5) + "\t" + (dir / "a.bin").string() + "\n");
  EXPECT_EQ(test::read_file(input), "s={\n        file_path=/x/a.bin\n        md5=" +
                                        std::string(test::ABC_MD5) + "\n}\n\n");
}

}  // namespace
