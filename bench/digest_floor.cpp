// SPDX-License-Identifier: MIT
// The least a digest of a tree's files can take on this machine, cache warm:
// every file read into a buffer on each core in turn (the copy out of the
// page cache, which no read(2)-based tool avoids), and, apart, the same bytes
// through the fastest kernel each core has, from the paces the tool measures.
// Both cores do both, one after the other, so the floor is their sum. With
// BUFFERS, each core reads into that many buffers in turn, as a core with as
// many streams in its lanes must: their copies no longer fit its cache.
// Last, the two together as no scheduler can beat them: each core reads its
// files as the widest kernel's lanes of one long stream each, every lane full
// in every call, the kernel run on the bytes just read.
// Usage: digest_floor FILE-LIST [RUNS [BUFFERS]]   (one path a line; medians)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "digest/digest_plan.hpp"
#include "md5/md5_lanes.hpp"

namespace {

constexpr std::size_t READ_SIZE = 128 * 1024;

std::uint64_t read_files(const std::vector<std::string>& paths, std::size_t first, std::size_t step,
                         std::size_t buffers) {
  std::vector<std::uint8_t> space(buffers * READ_SIZE + 64);
  std::uint8_t* const start =
      space.data() + (64 - reinterpret_cast<std::uintptr_t>(space.data()) % 64);
  std::size_t next = 0;
  std::uint64_t total = 0;
  for (std::size_t i = first; i < paths.size(); i += step) {
    const int descriptor = ::open(paths[i].c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) continue;
    for (ssize_t got;
         (got = ::read(descriptor, start + next++ % buffers * READ_SIZE, READ_SIZE)) > 0;)
      total += static_cast<std::uint64_t>(got);
    ::close(descriptor);
  }
  return total;
}

// A core's files read as `width` long streams, one a lane, each lane going on
// into the core's next file where its last one ended, and hashed a read of
// each lane a call: the bytes a last call cannot fill are left out.
std::uint64_t read_and_hash(const std::vector<std::string>& paths, std::size_t first,
                            std::size_t step, md5refresh::LaneEngine engine, std::size_t width) {
  constexpr std::size_t CALL = 128 * 1024;  // the tool's read; 16 to 64 KiB were slower here
  std::vector<int> descriptors(width, -1);
  std::size_t next = first;
  std::vector<std::uint8_t> space(width * CALL + 64);
  std::uint8_t* const start =
      space.data() + (64 - reinterpret_cast<std::uintptr_t>(space.data()) % 64);
  md5refresh::Md5Lanes states{};
  md5refresh::LaneData data{};
  std::uint64_t total = 0;
  for (;;) {
    for (std::size_t lane = 0; lane < width; ++lane) {
      int& descriptor = descriptors[lane];
      std::size_t filled = 0;
      while (filled < CALL) {
        if (descriptor < 0) {
          if (next >= paths.size()) break;
          descriptor = ::open(paths[next].c_str(), O_RDONLY | O_CLOEXEC);
          next += step;
          continue;
        }
        const ssize_t got = ::read(descriptor, start + lane * CALL + filled, CALL - filled);
        if (got <= 0) {
          ::close(descriptor);
          descriptor = -1;
          continue;
        }
        filled += static_cast<std::size_t>(got);
      }
      if (filled < CALL) {
        for (int open : descriptors)
          if (open >= 0) ::close(open);
        return total;
      }
      data[lane] = start + lane * CALL;
    }
    md5refresh::md5_absorb_lanes(engine, width, states, data, CALL / 64);
    total += width * CALL;
  }
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Timed {
  double median;        // seconds, wall clock
  std::uint64_t bytes;  // of every core, in one run
};

// `work(core)` on a thread a core, `runs` times; it returns the bytes it moved.
template <typename Work>
Timed on_every_core(int runs, unsigned cores, Work work) {
  std::vector<double> times;
  std::uint64_t bytes = 0;
  for (int run = 0; run < runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::uint64_t> moved(cores);
    std::vector<std::thread> threads;
    for (unsigned core = 0; core < cores; ++core)
      threads.emplace_back([&, core] { moved[core] = work(core); });
    for (std::thread& thread : threads)
      thread.join();
    times.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    bytes = 0;
    for (std::uint64_t got : moved)
      bytes += got;
  }
  return {median(times), bytes};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: digest_floor FILE-LIST [RUNS]\n");
    return 2;
  }
  std::vector<std::string> paths;
  std::ifstream list(argv[1]);
  for (std::string line; std::getline(list, line);)
    paths.push_back(line);
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
  const std::size_t buffers = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const Timed copies = on_every_core(
      runs, cores, [&](unsigned core) { return read_files(paths, core, cores, buffers); });
  const std::uint64_t bytes = copies.bytes;
  const md5refresh::KernelPaces& paces = md5refresh::machine_paces();
  double per_core = paces.interleaved[1];  // bytes a second, all a core's streams together
  for (std::size_t n = 2; n < paces.interleaved.size(); ++n)
    per_core = std::max(per_core, paces.interleaved[n] * static_cast<double>(n));
  for (std::size_t i = 0; i < md5refresh::LANE_WIDTHS.size(); ++i)
    per_core = std::max(per_core, paces.lanes[i] * static_cast<double>(md5refresh::LANE_WIDTHS[i]));
  const double copy = copies.median;
  const double hash = static_cast<double>(bytes) / (per_core * cores);
  std::printf("%zu files, %.0f MiB, %u cores\n", paths.size(),
              static_cast<double>(bytes) / 1048576.0, cores);
  std::printf("copy out of the page cache  %.3f s (median of %d, %zu buffers a core)\n", copy, runs,
              buffers);
  std::printf("widest kernel, every core   %.3f s (%.2f GB/s a core)\n", hash, per_core / 1e9);
  std::printf("floor                       %.3f s\n", copy + hash);
  const md5refresh::LaneEngine engine = md5refresh::best_lane_engine();
  const std::span<const std::size_t> widths = md5refresh::lane_widths(engine);
  if (widths.empty()) return 0;
  const Timed together = on_every_core(runs, cores, [&](unsigned core) {
    return read_and_hash(paths, core, cores, engine, widths.back());
  });
  const double share = static_cast<double>(together.bytes) / static_cast<double>(bytes);
  std::printf(
      "read and hashed, full lanes %.3f s (%zu lanes, %.0f%% of the bytes; %.3f s for all)\n",
      together.median, widths.back(), share * 100, together.median / share);
  return 0;
}
