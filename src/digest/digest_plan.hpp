// SPDX-License-Identifier: MIT
// Which files a worker digests together, and with which kernel. MD5 is one
// dependency chain per message, so a core is fastest with several chains at
// once; how much each kernel yields per chain differs between CPUs (a vector
// result may come one cycle late or two), so the paces are measured on the
// machine, and the plan is a pure function of them and the bytes left.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "md5/md5.hpp"
#include "md5/md5_lanes.hpp"

namespace md5refresh {

// Two or three interleaved scalar streams, or the vector lanes of one width.
struct Kernel {
  std::size_t interleaved;  // 1 to MD5_MAX_STREAMS, or 0 for lanes
  std::size_t lane_width;   // 8, 16 or 32, or 0
  friend bool operator==(const Kernel&, const Kernel&) = default;
};

// Bytes per second that each stream gets from each kernel on one core.
struct KernelPaces {
  std::array<double, MD5_MAX_STREAMS + 1> interleaved{};  // [n]: with n streams; [0] unused
  std::array<double, 3> lanes{};  // widths 8, 16, 32; 0 where the CPU has no such kernel
  LaneEngine engine = LaneEngine::scalar;
};

inline constexpr std::array<std::size_t, 3> LANE_WIDTHS{8, 16, 32};

// The most streams the kernel works on at once.
[[nodiscard]] std::size_t kernel_width(const Kernel& kernel);

// What each stream gets from the kernel; 0 where the CPU has no such kernel.
[[nodiscard]] double kernel_pace(const Kernel& kernel, const KernelPaces& paces);

// The kernels of `engine`, each run for a moment on data in the cache; the
// fastest of a few tries.
[[nodiscard]] KernelPaces measure_paces(LaneEngine engine);

// measure_paces(best_lane_engine()), measured once per process.
[[nodiscard]] const KernelPaces& machine_paces();

struct WorkGroup {
  Kernel kernel;
  std::vector<std::size_t> streams;  // indices into the plan's input, most bytes left first
};

// How the streams with `bytes_left` are best spread over `workers` cores: the
// largest may each get a core of its own, the rest share the others, each core
// with the kernel that moves its streams fastest. A group holds no more
// streams than its kernel takes at once; streams left out wait for the next
// plan. The first group is the one to take first.
[[nodiscard]] std::vector<WorkGroup> plan_work(std::span<const std::uint64_t> bytes_left,
                                               std::size_t workers, const KernelPaces& paces);

// The kernel a planned group runs with `streams` of its streams left: the
// planned one while the group fills it, else the one that moves all of them
// fastest (never one narrower than the group). A group of 32 lanes that has
// dwindled to 12 streams, behind a large file or at the end of a run, goes
// faster through 16 lanes, and one stream alone through the scalar engine.
[[nodiscard]] Kernel kernel_for_group(const Kernel& planned, std::size_t streams,
                                      const KernelPaces& paces);

}  // namespace md5refresh
