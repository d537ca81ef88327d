// SPDX-License-Identifier: MIT
// The MD5 engine: RFC 1321's vectors and edge lengths under every way of
// splitting a message into calls, the padding contract, and agreement with
// OpenSSL's libcrypto on random data.
#include "md5/md5.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "md5/md5_lanes.hpp"
#include "md5/md5_process.hpp"
#include "test_support.hpp"

using namespace md5refresh;

namespace {

// Digests `message` with absorbing calls of the whole-block lengths in `splits`
// (taken in turn while they fit), then one final call with the rest.
std::string engine_md5(const std::vector<std::uint8_t>& message,
                       const std::vector<std::size_t>& splits = {}) {
  std::vector<std::uint8_t> buffer(message);
  buffer.resize(message.size() + MD5_PADDING_ROOM);
  Md5Context* context = nullptr;
  std::size_t offset = 0;
  for (std::size_t split : splits) {
    if (split == 0 || split % 64 != 0 || offset + split > message.size()) break;
    context =
        md5_process(buffer.data() + offset, static_cast<std::uint32_t>(split), nullptr, context);
    EXPECT_NE(context, nullptr);
    offset += split;
  }
  std::size_t rest = message.size() - offset;
  if (rest != 0 && rest % 64 == 0) {
    context =
        md5_process(buffer.data() + offset, static_cast<std::uint32_t>(rest), nullptr, context);
    offset += rest;
  }
  Md5Digest digest{};
  EXPECT_EQ(md5_process(buffer.data() + offset, static_cast<std::uint32_t>(message.size() - offset),
                        &digest, context),
            nullptr);
  return test::hex(digest);
}

std::vector<std::uint8_t> bytes_of(std::string_view text) {
  return {text.begin(), text.end()};
}

std::vector<std::uint8_t> random_bytes(std::mt19937& random, std::size_t length) {
  std::vector<std::uint8_t> bytes(length);
  for (auto& byte : bytes)
    byte = static_cast<std::uint8_t>(random());
  return bytes;
}

// Every whole-block prefix as one absorbing call, and the message block by block.
std::vector<std::vector<std::size_t>> block_splits(std::size_t length) {
  std::vector<std::vector<std::size_t>> splits{{}};
  for (std::size_t prefix = 64; prefix <= length; prefix += 64)
    splits.push_back({prefix});
  splits.push_back(std::vector<std::size_t>(length / 64, 64));
  return splits;
}

// Each kernel is taken exactly where the CPU has what it needs, as the C
// library sees the CPU.
TEST(Md5, DispatchTakesTheKernelsTheCpuHas) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  struct DispatchCase {
    const char* name;
    bool taken;
    bool cpu_has;
  };
  const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                      __builtin_cpu_supports("avx2");
  // clang-format off
  const DispatchCase cases[] = {
      {"streams with BMI2", md5_streams_have_bmi2(), __builtin_cpu_supports("bmi2") != 0},
      {"lanes with AVX2", lane_engine_available(LaneEngine::avx2), __builtin_cpu_supports("avx2") != 0},
      {"lanes with AVX-512", lane_engine_available(LaneEngine::avx512), avx512},
      {"the widest lanes", best_lane_engine() == LaneEngine::avx512, avx512},
  };
  // clang-format on
  for (const DispatchCase& c : cases)
    EXPECT_EQ(c.taken, c.cpu_has) << c.name;
  EXPECT_TRUE(lane_engine_available(LaneEngine::scalar));
#else
  GTEST_SKIP() << "no independent look at the CPU with this compiler";
#endif
}

TEST(Md5, MatchesRfc1321TestSuiteForEverySplit) {
  // RFC 1321, appendix A.5.
  const std::pair<std::string_view, std::string_view> vectors[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [message, expected] : vectors) {
    SCOPED_TRACE(message);
    for (const auto& splits : block_splits(message.size())) {
      EXPECT_EQ(engine_md5(bytes_of(message), splits), expected);
    }
  }
}

TEST(Md5, EdgeLengthsAgreeWithLibcrypto) {
  std::mt19937 random(1321);
  for (std::size_t length : {0, 1, 55, 56, 63, 64, 65, 119, 120, 127, 128, 1000}) {
    SCOPED_TRACE(length);
    const auto message = random_bytes(random, length);
    const std::string expected = test::reference_md5(message);
    for (const auto& splits : block_splits(length))
      EXPECT_EQ(engine_md5(message, splits), expected);
  }
  const auto large = random_bytes(random, (1u << 20) + 17);
  const std::string expected = test::reference_md5(large);
  for (std::vector<std::size_t> splits :
       {std::vector<std::size_t>{}, {64}, {8192, 8192, 64}, {1u << 20}}) {
    EXPECT_EQ(engine_md5(large, splits), expected);
  }
}

TEST(Md5, RandomLengthsAndSplitsAgreeWithLibcrypto) {
  std::mt19937 random(20261208);
  for (int round = 0; round < 300; ++round) {
    const auto message = random_bytes(random, random() % 5000);
    std::vector<std::size_t> splits;
    for (int i = 0; i < 8; ++i)
      splits.push_back(64 * (random() % 20));
    SCOPED_TRACE(message.size());
    EXPECT_EQ(engine_md5(message, splits), test::reference_md5(message));
  }
}

TEST(Md5, FinalCallWritesNothingBeyondItsPaddingRoom) {
  constexpr std::uint8_t GUARD = 0xA5;
  for (std::uint32_t length : {0u, 1u, 55u, 56u, 63u, 100u}) {
    SCOPED_TRACE(length);
    std::vector<std::uint8_t> buffer(length + MD5_PADDING_ROOM + 64, GUARD);
    Md5Digest digest{};
    EXPECT_EQ(md5_process(buffer.data(), length, &digest, nullptr), nullptr);
    for (std::size_t i = length + MD5_PADDING_ROOM; i < buffer.size(); ++i) {
      ASSERT_EQ(buffer[i], GUARD) << "byte " << i;
    }
    EXPECT_EQ(test::hex(digest), test::reference_md5(std::vector<std::uint8_t>(length, GUARD)));
  }
}

TEST(Md5, AbsorbingCallLeavesBufferAndDigestAlone) {
  std::vector<std::uint8_t> buffer(128 + MD5_PADDING_ROOM, 7);
  const auto before = buffer;
  Md5Digest digest{};
  Md5Context* context = md5_process(buffer.data(), 128, &digest, nullptr);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(buffer, before);
  EXPECT_EQ(digest, Md5Digest{});
  EXPECT_EQ(md5_process(buffer.data() + 128, 0, &digest, context), nullptr);
  EXPECT_EQ(test::hex(digest), test::reference_md5(std::vector<std::uint8_t>(128, 7)));
}

// The engine as a value: any lengths, fed in any pieces, and finishing leaves
// it as it was.
TEST(Md5, ValueTakesAnyPiecesAndAgreesWithLibcrypto) {
  std::mt19937 random(1993);
  for (int round = 0; round < 200; ++round) {
    const auto message = random_bytes(random, random() % 3000);
    Md5 md5;
    for (std::size_t offset = 0; offset < message.size();) {
      const std::size_t piece = std::min<std::size_t>(random() % 150, message.size() - offset);
      md5_update(md5, std::span(message).subspan(offset, piece));
      offset += piece;
      if (random() % 8 == 0) {
        EXPECT_EQ(test::hex(md5_finish(md5)),
                  test::reference_md5(std::span(message).first(offset)));
      }
    }
    SCOPED_TRACE(message.size());
    EXPECT_EQ(test::hex(md5_finish(md5)), test::reference_md5(message));
    EXPECT_EQ(test::hex(md5_of(message)), test::reference_md5(message));
  }
}

// Every kernel for several messages at once, against the one-message engine:
// unequal contents and states, absorbed in calls of unequal block counts.
TEST(Md5Lanes, EveryKernelAgreesWithTheScalarEngine) {
  std::mt19937 random(88);
  constexpr std::size_t BLOCKS = 40;
  std::vector<std::vector<std::uint8_t>> messages;
  LaneData data{};
  std::array<Md5State, MD5_MAX_LANES> start{}, expected{};
  for (std::size_t lane = 0; lane < MD5_MAX_LANES; ++lane) {
    messages.push_back(random_bytes(random, 64 * BLOCKS));
    data[lane] = messages.back().data();
    start[lane] = {0x67452301, 0xefcdab89, 0x98badcfe, static_cast<std::uint32_t>(lane)};
    expected[lane] = start[lane];
    md5_absorb(expected[lane], data[lane], BLOCKS);
  }
  const std::size_t calls[] = {1, 0, 7, 32};
  using StreamsKernel =
      void (*)(std::span<Md5State* const>, std::span<const std::uint8_t* const>, std::size_t);
  // Each kernel by name too: the dispatch hides the portable one on a CPU with BMI2.
  const std::pair<const char*, StreamsKernel> kernels[] = {
      {"dispatched", md5_absorb_streams},
      {"portable", md5_absorb_streams_portable},
      {"bmi2", md5_streams_have_bmi2() ? md5_absorb_streams_bmi2 : nullptr}};
  for (const auto& [name, kernel] : kernels) {
    if (kernel == nullptr) continue;
    for (std::size_t streams = name == std::string_view("bmi2") ? 2 : 1; streams <= MD5_MAX_STREAMS;
         ++streams) {
      SCOPED_TRACE(std::string(name) + ", " + std::to_string(streams) + " interleaved streams");
      std::vector<Md5State> states(start.begin(), start.begin() + static_cast<long>(streams));
      std::vector<Md5State*> state_pointers;
      for (Md5State& state : states)
        state_pointers.push_back(&state);
      std::vector<const std::uint8_t*> at(data.begin(), data.begin() + static_cast<long>(streams));
      for (std::size_t blocks : calls) {
        kernel(state_pointers, at, blocks);
        for (auto& pointer : at)
          pointer += 64 * blocks;
      }
      for (std::size_t s = 0; s < streams; ++s)
        EXPECT_EQ(states[s], expected[s]) << "stream " << s;
    }
  }
  for (LaneEngine engine : {LaneEngine::scalar, LaneEngine::avx2, LaneEngine::avx512}) {
    if (!lane_engine_available(engine)) continue;
    for (std::size_t width : lane_widths(engine)) {
      SCOPED_TRACE(std::string(lane_engine_name(engine)) + " " + std::to_string(width));
      Md5Lanes lanes{};
      for (std::size_t lane = 0; lane < width; ++lane)
        set_lane_state(lanes, lane, start[lane]);
      LaneData at = data;
      for (std::size_t blocks : calls) {
        md5_absorb_lanes(engine, width, lanes, at, blocks);
        for (auto& pointer : at)
          pointer += 64 * blocks;
      }
      for (std::size_t lane = 0; lane < width; ++lane)
        EXPECT_EQ(lane_state(lanes, lane), expected[lane]) << "lane " << lane;
    }
  }
}

}  // namespace
