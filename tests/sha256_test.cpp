// SPDX-License-Identifier: MIT
// The SHA-256 engine: FIPS 180-4's examples, every length up to four blocks
// and random splits against libcrypto, and every kernel the CPU has on the
// same blocks.
#include "sha256/sha256.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"

using namespace md5refresh;

namespace {

std::vector<std::uint8_t> random_bytes(std::mt19937& random, std::size_t length) {
  std::vector<std::uint8_t> bytes(length);
  for (auto& byte : bytes)
    byte = static_cast<std::uint8_t>(random());
  return bytes;
}

std::vector<Sha256Kernel> kernels_here() {
  std::vector<Sha256Kernel> kernels;
  for (Sha256Kernel kernel : {Sha256Kernel::portable, Sha256Kernel::sha_extensions}) {
    if (sha256_kernel_available(kernel)) kernels.push_back(kernel);
  }
  return kernels;
}

// The message through `kernel` alone, padded here as FIPS 180-4 says.
std::string digest_with(Sha256Kernel kernel, std::span<const std::uint8_t> message) {
  std::vector<std::uint8_t> padded(message.begin(), message.end());
  const std::uint64_t bits = static_cast<std::uint64_t>(message.size()) * 8;
  padded.push_back(0x80);
  while (padded.size() % 64 != 56)
    padded.push_back(0);
  for (int i = 7; i >= 0; --i)
    padded.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  Sha256State state = SHA256_INITIAL_STATE;
  sha256_absorb_with(kernel, state, padded.data(), padded.size() / 64);
  std::vector<std::uint8_t> digest;
  for (std::uint32_t word : state) {
    for (int byte = 3; byte >= 0; --byte)
      digest.push_back(static_cast<std::uint8_t>(word >> (8 * byte)));
  }
  return test::hex(digest);
}

}  // namespace

TEST(Sha256, FipsExamplesOnEveryKernel) {
  struct Example {
    std::string message;
    const char* digest;
  };
  const std::vector<Example> examples = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrl"
       "mnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Example& example : examples) {
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(example.message.data()),
                          example.message.size());
    EXPECT_EQ(test::hex(sha256_of(bytes)), example.digest) << example.message.size() << " bytes";
    for (Sha256Kernel kernel : kernels_here()) {
      EXPECT_EQ(digest_with(kernel, bytes), example.digest)
          << sha256_kernel_name(kernel) << ", " << example.message.size() << " bytes";
    }
  }
}

// Lengths 0 to 256 cross every place the padding can fall: in the last block,
// in one of its own, and the length field across the boundary.
TEST(Sha256, EveryLengthToFourBlocksAgreesOnEveryKernel) {
  std::mt19937 random(7);
  const std::vector<std::uint8_t> data = random_bytes(random, 256);
  for (std::size_t length = 0; length <= 256; ++length) {
    const std::span message(data.data(), length);
    const std::string expected = test::reference_sha256(message);
    const std::string engine = test::hex(sha256_of(message));
    if (!expected.empty()) {
      EXPECT_EQ(engine, expected) << length << " bytes";
    }
    for (Sha256Kernel kernel : kernels_here())
      EXPECT_EQ(digest_with(kernel, message), engine) << sha256_kernel_name(kernel) << length;
  }
}

TEST(Sha256, ValueTakesAnyPiecesAndAgreesWithLibcrypto) {
  std::mt19937 random(11);
  for (int trial = 0; trial < 200; ++trial) {
    const std::vector<std::uint8_t> message = random_bytes(random, random() % 5000);
    Sha256 sha;
    for (std::size_t offset = 0; offset < message.size();) {
      const std::size_t piece = std::min<std::size_t>(message.size() - offset, random() % 300);
      sha256_update(sha, std::span(message).subspan(offset, piece));
      offset += piece;
    }
    const std::string whole = test::hex(sha256_of(message));
    EXPECT_EQ(test::hex(sha256_finish(sha)), whole) << message.size() << " bytes";
    const std::string expected = test::reference_sha256(message);
    if (!expected.empty()) {
      EXPECT_EQ(whole, expected) << message.size() << " bytes";
    }
  }
}

// The kernel this CPU is given is the fastest it has: the extensions where
// the CPU reports them.
TEST(Sha256, DispatchTakesTheExtensionsWhereTheCpuHasThem) {
#if defined(__GNUC__) && !defined(__clang__) && (defined(__x86_64__) || defined(__i386__))
  const bool has = __builtin_cpu_supports("sha") != 0;  // the C library's own look at the CPU
#else
  const bool has = sha256_kernel_available(Sha256Kernel::sha_extensions);
  GTEST_SKIP() << "no independent look at the CPU with this compiler";
#endif
  EXPECT_EQ(sha256_kernel_available(Sha256Kernel::sha_extensions), has);
  EXPECT_EQ(sha256_best_kernel(), has ? Sha256Kernel::sha_extensions : Sha256Kernel::portable);
  EXPECT_TRUE(sha256_kernel_available(Sha256Kernel::portable));
}

// Messages side by side, however many, give each its own digest: the kernel
// of the SHA extensions with one to three, and the dispatch that splits more.
TEST(Sha256, MessagesSideBySideAgreeWithOneAtATime) {
  std::mt19937 random(5);
  constexpr std::size_t BLOCKS = 9;
  for (std::size_t count = 1; count <= 7; ++count) {
    std::vector<std::vector<std::uint8_t>> messages;
    std::vector<Sha256State> expected(count, SHA256_INITIAL_STATE), states(count);
    std::vector<Sha256State*> pointers;
    std::vector<const std::uint8_t*> data;
    for (std::size_t i = 0; i < count; ++i)
      messages.push_back(random_bytes(random, 64 * BLOCKS));
    for (std::size_t i = 0; i < count; ++i) {
      sha256_absorb_portable(expected[i], messages[i].data(), BLOCKS);
      pointers.push_back(&states[i]);
      data.push_back(messages[i].data());
    }
    std::fill(states.begin(), states.end(), SHA256_INITIAL_STATE);
    sha256_absorb_streams(pointers, data, BLOCKS);
    EXPECT_EQ(states, expected) << count << " messages, dispatched";
    if (count > SHA256_MAX_STREAMS || !sha256_kernel_available(Sha256Kernel::sha_extensions)) {
      continue;
    }
    std::fill(states.begin(), states.end(), SHA256_INITIAL_STATE);
    sha256_absorb_streams_sha_extensions(pointers, data, BLOCKS);
    EXPECT_EQ(states, expected) << count << " messages, SHA extensions";
  }
}
