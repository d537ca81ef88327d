// SPDX-License-Identifier: MIT
// The plan weighs, for each number of files that get a core alone, the time
// the slowest core would take: a core's time is that of its largest stream at
// the kernel's pace per stream, or of all its bytes at the kernel's total rate,
// whichever is longer.
#include "digest/digest_plan.hpp"

#include <algorithm>
#include <chrono>
#include <numeric>

namespace md5refresh {

namespace {

// Of the kernels `allowed` for `count` streams on one core, the one that moves
// them fastest, all together; `start` unless another is clearly faster.
template <typename Allowed>
Kernel fastest_kernel(std::size_t count, const KernelPaces& paces, const Kernel& start,
                      Allowed allowed) {
  auto rate = [&](const Kernel& kernel) {
    return static_cast<double>(std::min(count, kernel_width(kernel))) * kernel_pace(kernel, paces);
  };
  Kernel best = start;
  double best_rate = rate(start);
  auto consider = [&](const Kernel& kernel) {
    if (allowed(kernel) && rate(kernel) > best_rate * 1.0001) {
      best = kernel;
      best_rate = rate(kernel);
    }
  };
  for (std::size_t n = 1; n <= MD5_MAX_STREAMS && n <= count; ++n)
    consider({n, 0});
  for (std::size_t width : LANE_WIDTHS) {
    if (count > 1) consider({0, width});
  }
  return best;
}

Kernel best_kernel(std::size_t count, const KernelPaces& paces) {
  return fastest_kernel(count, paces, {1, 0}, [](const Kernel&) { return true; });
}

struct Estimate {
  double seconds;
  std::vector<WorkGroup> groups;
};

// `order`: stream indices, most bytes left first. The first `solo` get a core
// each; the rest are dealt out over the other cores, back and forth, so that
// each core gets large and small alike.
Estimate estimate(std::span<const std::uint64_t> bytes_left, std::span<const std::size_t> order,
                  std::size_t solo, std::size_t workers, const KernelPaces& paces) {
  Estimate result{0, {}};
  for (std::size_t i = 0; i < solo; ++i) {
    result.groups.push_back({{1, 0}, {order[i]}});
    result.seconds =
        std::max(result.seconds, static_cast<double>(bytes_left[order[i]]) / paces.interleaved[1]);
  }
  const auto rest = order.subspan(solo);
  const std::size_t sharing = std::min(workers - solo, rest.size());
  std::vector<std::vector<std::size_t>> shares(sharing);
  for (std::size_t i = 0; i < rest.size(); ++i) {
    const std::size_t round = i / sharing, place = i % sharing;
    shares[round % 2 == 0 ? place : sharing - 1 - place].push_back(rest[i]);
  }
  for (std::vector<std::size_t>& share : shares) {
    const Kernel kernel = best_kernel(share.size(), paces);
    const double pace = kernel_pace(kernel, paces);
    const double rate = pace * static_cast<double>(std::min(share.size(), kernel_width(kernel)));
    const double total = std::accumulate(
        share.begin(), share.end(), 0.0,
        [&](double sum, std::size_t s) { return sum + static_cast<double>(bytes_left[s]); });
    const double largest = static_cast<double>(bytes_left[share.front()]);
    result.seconds = std::max({result.seconds, largest / pace, total / rate});
    share.resize(std::min(share.size(), kernel_width(kernel)));
    result.groups.push_back({kernel, std::move(share)});
  }
  return result;
}

template <typename Absorb>
double seconds_for(Absorb absorb) {
  double best = 1e9;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const auto start = std::chrono::steady_clock::now();
    absorb();
    best = std::min(
        best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return std::max(best, 1e-9);
}

}  // namespace

std::size_t kernel_width(const Kernel& kernel) {
  return kernel.interleaved != 0 ? kernel.interleaved : kernel.lane_width;
}

double kernel_pace(const Kernel& kernel, const KernelPaces& paces) {
  if (kernel.interleaved != 0) return paces.interleaved[kernel.interleaved];
  for (std::size_t i = 0; i < LANE_WIDTHS.size(); ++i) {
    if (LANE_WIDTHS[i] == kernel.lane_width) return paces.lanes[i];
  }
  return 0;
}

KernelPaces measure_paces(LaneEngine engine) {
  // 16 KiB of each of 32 messages: in the cache, and a few hundred microseconds
  // for all the kernels together.
  constexpr std::size_t BLOCKS = 256;
  static const std::array<std::uint8_t, 64 * BLOCKS> data{};
  KernelPaces paces;
  paces.engine = engine;
  LaneData lane_data{};
  lane_data.fill(data.data());
  std::array<Md5State, MD5_MAX_STREAMS> states{};
  std::array<Md5State*, MD5_MAX_STREAMS> state_pointers{&states[0], &states[1], &states[2]};
  std::array<const std::uint8_t*, MD5_MAX_STREAMS> stream_data{data.data(), data.data(),
                                                               data.data()};
  constexpr double BYTES = 64.0 * BLOCKS;
  for (std::size_t n = 1; n <= MD5_MAX_STREAMS; ++n) {
    paces.interleaved[n] = BYTES / seconds_for([&] {
                             md5_absorb_streams(std::span(state_pointers).first(n),
                                                std::span(stream_data).first(n), BLOCKS);
                           });
  }
  if (engine == LaneEngine::scalar) return paces;
  const std::span<const std::size_t> widths = lane_widths(engine);
  for (std::size_t i = 0; i < LANE_WIDTHS.size(); ++i) {
    if (std::find(widths.begin(), widths.end(), LANE_WIDTHS[i]) == widths.end()) continue;
    Md5Lanes lanes{};
    paces.lanes[i] = BYTES / seconds_for([&] {
                       md5_absorb_lanes(engine, LANE_WIDTHS[i], lanes, lane_data, BLOCKS);
                     });
  }
  return paces;
}

const KernelPaces& machine_paces() {
  static const KernelPaces paces = measure_paces(best_lane_engine());
  return paces;
}

Kernel kernel_for_group(const Kernel& planned, std::size_t streams, const KernelPaces& paces) {
  if (streams >= kernel_width(planned)) return planned;
  // Every stream of the group is absorbed in each call: no narrower kernel.
  return fastest_kernel(streams, paces, planned, [&](const Kernel& kernel) {
    return kernel_width(kernel) >= streams && kernel_width(kernel) < kernel_width(planned);
  });
}

std::vector<WorkGroup> plan_work(std::span<const std::uint64_t> bytes_left, std::size_t workers,
                                 const KernelPaces& paces) {
  if (bytes_left.empty() || workers == 0) return {};
  std::vector<std::size_t> order(bytes_left.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return bytes_left[a] > bytes_left[b]; });
  Estimate best = estimate(bytes_left, order, 0, workers, paces);
  for (std::size_t solo = 1; solo < workers && solo <= order.size(); ++solo) {
    Estimate candidate = estimate(bytes_left, order, solo, workers, paces);
    if (candidate.seconds < best.seconds * 0.999) best = std::move(candidate);
  }
  return best.groups;
}

}  // namespace md5refresh
