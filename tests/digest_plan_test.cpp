// SPDX-License-Identifier: MIT
// The plan: which streams each core takes and with which kernel, from the
// bytes left and the paces of a CPU like the ones the tool runs on.
#include "digest/digest_plan.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

using namespace md5refresh;

namespace {

struct PlanCase {
  const char* name;
  std::vector<std::uint64_t> bytes_left;
  std::size_t workers;
};

// Bytes per second per stream, as measured on a core whose vector results
// come two cycles late: interleaving pays up to three streams, lanes beyond.
KernelPaces two_cycle_vectors() {
  KernelPaces paces;
  paces.engine = LaneEngine::avx512;
  paces.interleaved = {0, 0.82e9, 0.80e9, 0.65e9};
  paces.lanes = {0.45e9, 0.44e9, 0.40e9};
  return paces;
}

// What any tuning must keep: no more groups than cores, each group within its
// kernel's width and a kernel the CPU has, no stream twice, the largest stream
// in the first turn, and the streams taken moving at least as fast as one
// file per core with the scalar engine would.
TEST(DigestPlan, EveryPlanFitsItsKernelsAndBeatsOneFilePerCore) {
  const std::uint64_t mib = 1 << 20, gib = mib << 10;
  // clang-format off
  std::vector<PlanCase> cases = {
      {"one file", {gib}, 2},
      {"two files", {gib, gib}, 2},
      {"three equal files", {2 * gib, 2 * gib, 2 * gib}, 2},
      {"ten like files", std::vector<std::uint64_t>(10, 100 * mib), 2},
      {"one large file and the rest", {400 * mib, 200 * mib, 100 * mib, 50 * mib, 25 * mib, 12 * mib, 6 * mib, 3 * mib, mib, mib}, 2},
      {"three on one core", {mib, 3 * mib, 2 * mib}, 1},
      {"more than a kernel takes", std::vector<std::uint64_t>(70, 64 * 1024), 2},
      {"nothing left in some", {0, mib, 0, 5}, 3},
  };
  // clang-format on
  std::mt19937_64 random(7);
  for (int i = 0; i < 200; ++i) {
    std::vector<std::uint64_t> bytes(1 + random() % 40);
    for (std::uint64_t& b : bytes)
      b = random() % (std::uint64_t{1} << (random() % 32));
    cases.push_back({"random", bytes, 1 + random() % 4});
  }
  KernelPaces scalar_only = two_cycle_vectors();
  scalar_only.lanes = {};
  scalar_only.engine = LaneEngine::scalar;
  for (const KernelPaces& paces : {two_cycle_vectors(), scalar_only}) {
    for (const PlanCase& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " on " + std::to_string(c.workers) + " workers");
      const std::vector<WorkGroup> plan = plan_work(c.bytes_left, c.workers, paces);
      ASSERT_FALSE(plan.empty());
      EXPECT_LE(plan.size(), c.workers);
      std::vector<bool> taken(c.bytes_left.size());
      double rate = 0;
      for (const WorkGroup& group : plan) {
        ASSERT_FALSE(group.streams.empty());
        EXPECT_LE(group.streams.size(), kernel_width(group.kernel));
        EXPECT_GT(kernel_pace(group.kernel, paces), 0) << "a kernel the CPU lacks";
        for (std::size_t s : group.streams) {
          ASSERT_LT(s, taken.size());
          EXPECT_FALSE(taken[s]) << "stream " << s << " twice";
          taken[s] = true;
        }
        rate += kernel_pace(group.kernel, paces) *
                static_cast<double>(std::min(group.streams.size(), kernel_width(group.kernel)));
      }
      const auto largest = std::ranges::max_element(c.bytes_left) - c.bytes_left.begin();
      EXPECT_TRUE(taken[static_cast<std::size_t>(largest)] ||
                  c.bytes_left[static_cast<std::size_t>(largest)] == 0);
      const double one_file_per_core =
          paces.interleaved[1] * static_cast<double>(std::min(c.workers, c.bytes_left.size()));
      EXPECT_GE(rate, one_file_per_core * 0.999);
    }
  }
}

// A dwindling group moves to the kernel fastest for the streams it has left.
TEST(DigestPlan, AGroupRunsNoFullerThanItIs) {
  const KernelPaces paces = two_cycle_vectors();
  struct Row {
    Kernel planned;
    std::size_t streams;
    Kernel expected;
  };
  // clang-format off
  const Row rows[] = {
    {{0, 32}, 32, {0, 32}},  // full: as planned
    {{0, 32}, 12, {0, 16}},  // 12 x 0.44 beats 12 x 0.40 and 8 x 0.45
    {{0, 32},  5, {0, 8}},   // 5 x 0.45 beats three interleaved, 1.95
    {{0, 16},  1, {1, 0}},   // one stream: the scalar engine
    {{3, 0},   2, {2, 0}},
  };
  // clang-format on
  for (const Row& row : rows) {
    EXPECT_EQ(kernel_for_group(row.planned, row.streams, paces), row.expected)
        << row.streams << " streams";
  }
  // Paces per stream of a core whose 8 lanes move more streams than 16 lanes
  // move 9 of: the group of 9 still needs all of its streams absorbed.
  KernelPaces narrow_wins = paces;
  narrow_wins.lanes = {0.59e9, 0.47e9, 0.28e9};
  for (std::size_t streams = 1; streams <= 32; ++streams) {
    const Kernel kernel = kernel_for_group({0, 32}, streams, narrow_wins);
    EXPECT_GE(kernel_width(kernel), streams);
    EXPECT_NE(kernel_pace(kernel, narrow_wins), 0);
  }
  EXPECT_EQ(kernel_for_group({0, 32}, 9, narrow_wins), (Kernel{0, 16}));
}

TEST(DigestPlan, WithoutLanesInterleavesScalarStreams) {
  KernelPaces paces = two_cycle_vectors();
  paces.lanes = {};
  paces.engine = LaneEngine::scalar;
  const std::vector<std::uint64_t> bytes(5, 1 << 20);
  const std::vector<WorkGroup> plan = plan_work(bytes, 2, paces);
  ASSERT_EQ(plan.size(), 2u);
  EXPECT_EQ(plan[0].kernel, (Kernel{3, 0}));
  EXPECT_EQ(plan[1].kernel, (Kernel{2, 0}));
}

}  // namespace
