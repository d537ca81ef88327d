// SPDX-License-Identifier: MIT
// Who digests which file, and when. Each worker thread asks for a group of
// streams (the plan's choice for the cores not busy) or, while the files are
// fewer than the cores, a stream to read ahead for; it digests its group for a
// turn and gives the streams back, so that the plan is made again from what is
// left. The run's calling thread adds streams at the back and takes them off
// the front, done, in the order added. One mutex guards who holds which stream.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "digest/digest_plan.hpp"
#include "digest/job.hpp"
#include "digest/read_ring.hpp"
#include "platform/file_access.hpp"

namespace md5refresh {

enum class Reader { none, reading, gone };

struct DigestStream {
  FileJob* job = nullptr;
  ReadRing ring;
  // The kinds beside MD5 are taken on the reading thread (`ring.hashers`
  // set) when a core of its own may read ahead for the stream (a long file's
  // two chains on two cores), else beside the MD5 in the worker's group.
  Hashers hashers;
  ClosedStamps closed{};  // what the run saw as it closed the file
  // Under the run's mutex.
  bool held = false;  // in a worker's group
  bool open = false;  // its file is open, or taken to be opened: it counts against the limit
  bool done = false;  // the job's result is in, and the ring's reads are over
  Reader reader = Reader::none;
};

struct DigestRun {
  DigestRun(const KernelPaces& kernel_paces, bool close_streams)
      : paces(kernel_paces), close_when_done(close_streams) {}
  // The streams not yet delivered or not yet let go by every worker, in the
  // order added; a deque, so that adding and removing at its ends moves none.
  // Only the calling thread adds or removes, under the mutex.
  std::deque<DigestStream> streams;
  const KernelPaces& paces;
  const bool close_when_done;
  RingShape shape{STREAM_READ_SIZE, 2};
  std::atomic<std::uint64_t> bytes_read{0};

  std::mutex mutex;
  std::condition_variable changed;
  // The reserve worker waits on its own, woken only when bulk arrives or the
  // run ends, so that the feed of many small files never wakes it.
  std::condition_variable bulk_or_end;
  std::uint64_t unfinished_bytes = 0;  // of the unfinished streams, as added
  std::size_t dormant = 0;             // the reserve, while it waits apart
  BufferPool spare_buffers;
  std::size_t workers = 0;
  std::size_t hashing = 0;  // workers in a turn
  std::size_t reading = 0;  // workers reading ahead
  std::size_t unfinished = 0;
  std::size_t open_files = 0;  // streams unfinished and open
  std::size_t open_limit = SIZE_MAX;
  bool feed_over = false;  // no stream will be added
};

// The worker threads, as many as `workers` (0: one per hardware thread) and
// the files call for; `expected` files, or FILES_NOT_KNOWN. None when not
// `threaded`, or when none could start: the calling thread then digests.
[[nodiscard]] std::vector<std::thread> start_workers(DigestRun& run, unsigned workers,
                                                     std::size_t expected, bool threaded);

// Digests on the calling thread until every stream is done, or, when
// `until_idle`, until nothing is left to take now.
void work(DigestRun& run, bool until_idle);

void add_stream(DigestRun& run, FileJob& job);

// No stream follows: workers waiting for one return.
void end_feed(DigestRun& run);

[[nodiscard]] std::size_t unfinished_streams(DigestRun& run);

// A stream done and taken off the run: its job and the stamp its close took.
struct Delivered {
  FileJob* job;
  ClosedStamps stamps;  // where the run closes its files
};

// Waits until the stream after the first `delivered` is done (no longer than
// `wait`, where given), then appends it and every done stream after it, in
// order, to `ready`; lets go of the streams before them that no worker touches
// any more. Returns how many streams at the run's front are delivered now.
[[nodiscard]] std::size_t take_done(DigestRun& run, std::size_t delivered,
                                    std::optional<std::chrono::milliseconds> wait,
                                    std::vector<Delivered>& ready);

}  // namespace md5refresh
