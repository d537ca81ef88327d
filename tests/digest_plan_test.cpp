// SPDX-License-Identifier: MIT
// The plan: which streams each core takes and with which kernel, from the
// bytes left and the paces of a CPU like the ones the tool runs on.
#include "digest/digest_plan.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace md5refresh;

namespace {

struct Group {
  Kernel kernel;
  std::vector<std::size_t> streams;
};

struct PlanCase {
  const char* name;
  std::vector<std::uint64_t> bytes_left;
  std::size_t workers;
  std::vector<Group> groups;
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

TEST(DigestPlan, SpreadsStreamsOverCoresWithTheFastestKernel) {
  const std::uint64_t mib = 1 << 20, gib = mib << 10;
  const Kernel one{1, 0}, two{2, 0}, three{3, 0}, lanes8{0, 8}, lanes16{0, 16};
  // clang-format off
  const PlanCase cases[] = {
      {"nothing", {}, 2, {}},
      {"one file, the scalar engine", {gib}, 2, {{one, {0}}}},
      {"two files, one core each", {gib, gib}, 2, {{one, {0}}, {one, {1}}}},
      {"three equal files: two interleaved on one core", {2 * gib, 2 * gib, 2 * gib}, 2, {{one, {0}}, {two, {1, 2}}}},
      {"ten like files, lanes on each core", std::vector<std::uint64_t>(10, 100 * mib), 2, {{lanes8, {0, 3, 4, 7, 8}}, {lanes8, {1, 2, 5, 6, 9}}}},
      {"one large file alone, the rest in lanes", {400 * mib, 200 * mib, 100 * mib, 50 * mib, 25 * mib, 12 * mib, 6 * mib, 3 * mib, mib, mib}, 2, {{one, {0}}, {lanes16, {1, 2, 3, 4, 5, 6, 7, 8, 9}}}},
      {"three on one core, interleaved", {mib, 3 * mib, 2 * mib}, 1, {{three, {1, 2, 0}}}},
      {"four on one core: three now, one later", {mib, mib, mib, mib}, 1, {{three, {0, 1, 2}}}},
  };
  // clang-format on
  for (const PlanCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<WorkGroup> plan = plan_work(c.bytes_left, c.workers, two_cycle_vectors());
    ASSERT_EQ(plan.size(), c.groups.size());
    for (std::size_t g = 0; g < plan.size(); ++g) {
      EXPECT_EQ(plan[g].kernel, c.groups[g].kernel) << "group " << g;
      EXPECT_EQ(plan[g].streams, c.groups[g].streams) << "group " << g;
    }
  }
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
