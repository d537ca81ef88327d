// SPDX-License-Identifier: MIT
// Two ways to digest files at once, whichever finishes sooner. Many files of
// like size share the lanes of the multi-buffer engine: a worker runs all its
// busy lanes together for as many blocks as the shortest has buffered; a file
// whose read ends leaves its lane to the next file, its tail and padding going
// through the scalar engine from the lane's state, and a lane left running
// alone goes on on the scalar engine, faster than one lane. Few or unequal
// files each go on the scalar engine, the workers taking turns at them.
#include "digest/file_set_digest.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "digest/md5.hpp"
#include "digest/md5_steps.hpp"
#include "digest/progress.hpp"

namespace {

constexpr std::size_t MAX_BLOCKS_PER_CALL = 1024;  // 64 KiB of each lane
constexpr std::size_t LANE_BUFFER_SIZE = LANE_READ_SIZE + MD5_PADDING_ROOM;

// A file on the scalar engine that any worker may carry on with: the running
// state, and the bytes short of a block from where the last worker stopped.
struct Chain {
  std::size_t job_index = 0;
  std::array<std::uint32_t, 4> state = MD5_INITIAL_STATE;
  std::uint64_t absorbed = 0;
  std::array<std::uint8_t, 64> carry{};
  std::size_t carried = 0;
  bool taken = false;  // a worker is on it
  bool ended = false;
};

struct SharedRun {
  std::span<FileJob> jobs;
  std::vector<std::size_t> order;  // largest first
  std::mutex take_mutex;
  std::size_t next_in_order = 0;  // guarded by `take_mutex`
  std::atomic<std::uint64_t> bytes_read{0};
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<char> done;     // guarded by `mutex`
  std::vector<Chain> chains;  // guarded by `take_mutex`
};

struct Lane {
  FileJob* job = nullptr;  // null: the lane is free
  std::size_t job_index = 0;
  std::unique_ptr<std::uint8_t[]> buffer;
  std::size_t offset = 0;    // where the unabsorbed bytes begin
  std::size_t buffered = 0;  // how many there are
  std::uint64_t absorbed = 0;
  bool ended = false;
};

void mark_done(SharedRun& run, std::size_t index) {
  {
    std::lock_guard lock(run.mutex);
    run.done[index] = 1;
  }
  run.changed.notify_one();
}

void fail(SharedRun& run, Lane& lane, DigestStatus status, int error) {
  lane.job->result = {status, error};
  mark_done(run, lane.job_index);
  lane.job = nullptr;
}

// Tops the lane's buffer up from its stream. The few bytes short of a block
// move to the front first.
void fill(SharedRun& run, Lane& lane) {
  std::memmove(lane.buffer.get(), lane.buffer.get() + lane.offset, lane.buffered);
  lane.offset = 0;
  const std::size_t wanted = LANE_READ_SIZE - lane.buffered;
  const std::size_t got =
      std::fread(lane.buffer.get() + lane.buffered, 1, wanted, lane.job->stream);
  lane.buffered += got;
  run.bytes_read.fetch_add(got, std::memory_order_relaxed);
  if (got < wanted) {
    if (std::ferror(lane.job->stream)) {
      fail(run, lane, DigestStatus::read_error, errno != 0 ? errno : EIO);
      return;
    }
    lane.ended = true;
  }
}

// The last bytes and the padding, on the scalar engine from the lane's state.
void finish(SharedRun& run, Lane& lane, const std::array<std::uint32_t, 4>& state) {
  auto* context = new (std::nothrow) Md5Context{lane.absorbed, state};
  if (context == nullptr) {
    fail(run, lane, DigestStatus::out_of_memory, ENOMEM);
    return;
  }
  Md5Digest digest{};
  (void)md5_process(lane.buffer.get() + lane.offset, static_cast<std::uint32_t>(lane.buffered),
                    &digest, context);
  lane.job->hex = hex_digest(digest);
  lane.job->result = {DigestStatus::ok, 0};
  mark_done(run, lane.job_index);
  lane.job = nullptr;
}

// Takes the next file for `lane`; false when none is left.
bool start(SharedRun& run, Lane& lane, Md5Lanes& states, std::size_t slot) {
  {
    std::lock_guard lock(run.take_mutex);
    if (run.next_in_order >= run.order.size()) return false;
    lane.job_index = run.order[run.next_in_order++];
    lane.job = &run.jobs[lane.job_index];
  }
  if (lane.buffer == nullptr) {
    lane.buffer.reset(new (std::nothrow) std::uint8_t[LANE_BUFFER_SIZE]);
    if (lane.buffer == nullptr) {
      fail(run, lane, DigestStatus::out_of_memory, ENOMEM);
      return true;
    }
  }
  lane.offset = lane.buffered = 0;
  lane.absorbed = 0;
  lane.ended = false;
  set_lane_state(states, slot, MD5_INITIAL_STATE);
  return true;
}

void absorb(Lane& lane, std::size_t blocks) {
  lane.offset += 64 * blocks;
  lane.buffered -= 64 * blocks;
  lane.absorbed += 64 * blocks;
}

void work(SharedRun& run, LaneEngine engine, std::size_t lane_count) {
  std::array<Lane, MD5_LANES> lanes;
  Md5Lanes states{};
  const auto used = std::span(lanes).first(lane_count);
  bool queue_empty = false;
  for (;;) {
    for (std::size_t slot = 0; slot < used.size() && !queue_empty; ++slot) {
      while (used[slot].job == nullptr && !queue_empty)
        queue_empty = !start(run, used[slot], states, slot);
    }
    // Every busy lane gets at least a block buffered, or its end.
    std::size_t busy = 0, blocks = MAX_BLOCKS_PER_CALL, first_busy = 0;
    bool lane_freed = false;
    for (std::size_t slot = 0; slot < used.size(); ++slot) {
      Lane& lane = used[slot];
      if (lane.job != nullptr && !lane.ended && lane.buffered < 64) fill(run, lane);
      if (lane.job != nullptr && lane.ended && lane.buffered < 64) {
        finish(run, lane, lane_state(states, slot));
      }
      if (lane.job == nullptr) {
        lane_freed = true;
        continue;
      }
      if (busy++ == 0) first_busy = slot;
      blocks = std::min(blocks, lane.buffered / 64);
    }
    if (busy == 0) {
      if (queue_empty) return;
      continue;
    }
    if (lane_freed && !queue_empty) continue;  // refill before the next call
    if (busy == 1) {
      Lane& lane = used[first_busy];
      std::array<std::uint32_t, 4> state = lane_state(states, first_busy);
      const std::size_t whole = lane.buffered / 64;
      md5_absorb(state, lane.buffer.get() + lane.offset, whole);
      set_lane_state(states, first_busy, state);
      absorb(lane, whole);
      continue;
    }
    LaneData data{};
    for (std::size_t slot = 0; slot < MD5_LANES; ++slot) {
      const Lane& lane =
          slot < used.size() && used[slot].job != nullptr ? used[slot] : used[first_busy];
      data[slot] = lane.buffer.get() + lane.offset;
    }
    md5_absorb_lanes(engine, states, data, blocks);
    for (Lane& lane : used) {
      if (lane.job != nullptr) absorb(lane, blocks);
    }
  }
}

// Bytes a worker digests of a chain before it picks again.
constexpr std::uint64_t CHAIN_TURN = 8 << 20;

// The chain with the most bytes left that no worker is on, or null.
Chain* take_longest(SharedRun& run) {
  std::lock_guard lock(run.take_mutex);
  Chain* longest = nullptr;
  auto left = [&run](const Chain& chain) {
    return run.jobs[chain.job_index].size - chain.absorbed;
  };
  for (Chain& chain : run.chains) {
    if (chain.taken || chain.ended) continue;
    if (longest == nullptr || left(chain) > left(*longest)) longest = &chain;
  }
  if (longest != nullptr) longest->taken = true;
  return longest;
}

// Few files, each on the scalar engine, the fastest for one file. The workers
// take turns at the files with the most left, so all of them finish together
// and the largest sets the pace, whatever the system's scheduler does with
// more files than cores.
void work_on_chains(SharedRun& run) {
  Lane lane;  // one lane's buffer and read loop, for whichever chain is taken
  lane.buffer.reset(new (std::nothrow) std::uint8_t[LANE_BUFFER_SIZE]);
  while (Chain* chain = take_longest(run)) {
    lane.job = &run.jobs[chain->job_index];
    lane.job_index = chain->job_index;
    lane.absorbed = chain->absorbed;
    lane.ended = false;
    if (lane.buffer == nullptr) {
      fail(run, lane, DigestStatus::out_of_memory, ENOMEM);
    } else {
      std::memcpy(lane.buffer.get(), chain->carry.data(), chain->carried);
      lane.offset = 0;
      lane.buffered = chain->carried;
      for (std::uint64_t turn = 0; lane.job != nullptr && turn < CHAIN_TURN;) {
        fill(run, lane);
        if (lane.job == nullptr) break;
        const std::size_t whole = lane.buffered / 64;
        md5_absorb(chain->state, lane.buffer.get() + lane.offset, whole);
        absorb(lane, whole);
        turn += 64 * whole;
        if (lane.ended) finish(run, lane, chain->state);
      }
      chain->absorbed = lane.absorbed;
      std::memcpy(chain->carry.data(), lane.buffer.get() + lane.offset, lane.buffered);
      chain->carried = lane.buffered;
    }
    std::lock_guard lock(run.take_mutex);
    chain->ended = lane.job == nullptr;
    chain->taken = false;
  }
}

// Whether the vector lanes finish sooner than the scalar engine on each file in
// turn. A lane runs at about half the scalar engine's pace, so lanes pay when
// the files are many and none of them outweighs the rest.
bool lanes_finish_sooner(std::uint64_t largest, std::uint64_t total, std::size_t workers,
                         std::size_t lanes_each) {
  constexpr double LANE_PACE = 0.55;  // of the scalar engine's, measured
  const double scalar_time = std::max(static_cast<double>(largest),
                                      static_cast<double>(total) / static_cast<double>(workers));
  const double lane_time =
      std::max(static_cast<double>(largest),
               static_cast<double>(total) / static_cast<double>(workers * lanes_each)) /
      LANE_PACE;
  return lane_time < scalar_time;
}

void digest_alone(FileJob& job) {
  job.result = compute_file_digest(job.stream, job.display_name, job.hex);
}

}  // namespace

void digest_file_set(std::span<FileJob> jobs, const std::function<void(std::size_t)>& finished,
                     LaneEngine engine, unsigned workers) {
  SharedRun run;
  run.jobs = jobs;
  run.done.assign(jobs.size(), 0);
  std::uint64_t total_bytes = 0;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    if (jobs[i].stream == nullptr) {
      run.done[i] = 1;
    } else {
      run.order.push_back(i);
      total_bytes += jobs[i].size;
    }
  }
  if (run.order.size() <= 1) {
    if (!run.order.empty()) digest_alone(jobs[run.order.front()]);
    for (std::size_t i = 0; i < jobs.size(); ++i)
      finished(i);
    return;
  }
  std::stable_sort(run.order.begin(), run.order.end(),
                   [&jobs](std::size_t a, std::size_t b) { return jobs[a].size > jobs[b].size; });

  if (workers == 0) workers = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t files = run.order.size();
  const std::size_t worker_count = std::min<std::size_t>(workers, files);
  const std::size_t lanes_each = std::min(MD5_LANES, (files + worker_count - 1) / worker_count);
  const bool in_lanes =
      engine != LaneEngine::scalar &&
      lanes_finish_sooner(jobs[run.order.front()].size, total_bytes, worker_count, lanes_each);
  if (!in_lanes) {
    for (std::size_t index : run.order)
      run.chains.push_back({.job_index = index});
  }
  auto work_share = [&run, engine, lanes_each, in_lanes] {
    if (in_lanes) {
      work(run, engine, lanes_each);
    } else {
      work_on_chains(run);
    }
  };
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < worker_count; ++i) {
    try {
      threads.emplace_back(work_share);
    } catch (const std::system_error&) {
      break;  // the workers already started take all the files
    }
  }
  if (threads.empty()) work_share();

  RunProgress progress = begin_run_progress(total_bytes, files);
  show_run_progress(progress, 0, 0);
  std::size_t next = 0, files_done = 0;
  while (next < jobs.size()) {
    std::size_t ready = next;
    {
      std::unique_lock lock(run.mutex);
      run.changed.wait_for(lock, std::chrono::milliseconds(250),
                           [&run, next] { return run.done[next] != 0; });
      while (ready < jobs.size() && run.done[ready] != 0)
        ++ready;
      files_done = static_cast<std::size_t>(std::count(run.done.begin(), run.done.end(), 1)) -
                   (jobs.size() - files);
    }
    if (ready > next) clear_run_progress(progress);
    for (; next < ready; ++next)
      finished(next);
    show_run_progress(progress, files_done, run.bytes_read.load(std::memory_order_relaxed));
  }
  clear_run_progress(progress);
  for (std::thread& thread : threads)
    thread.join();
}
