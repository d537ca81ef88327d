// SPDX-License-Identifier: MIT
// The calling thread's side of a run: it feeds the scheduler while the window
// has room, and delivers what is done in the order fed. With no worker thread
// it digests between the two itself.
#include "digest/file_set_digest.hpp"

#include <algorithm>
#include <optional>
#include <thread>
#include <vector>

#include "digest/scheduler.hpp"

namespace md5refresh {

namespace {

struct Feeder {
  DigestRun& run;
  const JobFeed& feed;
  const JobDone& done;
  std::size_t window;
  const ProgressTick& tick;
  bool threads_started;
  std::size_t delivered = 0;  // of the streams now in the run, counted from its front
  std::size_t files_done = 0;
  bool feed_over = false;
  bool paused = false;  // the feed had nothing until more is delivered
  std::vector<Delivered> ready{};
};

// How many fed streams count against the window: the open ones, when streams
// are closed as they are done, else all not delivered.
std::size_t in_window(Feeder& feeder) {
  if (!feeder.run.close_when_done) return feeder.run.streams.size() - feeder.delivered;
  return unfinished_streams(feeder.run);
}

void feed_run(Feeder& feeder) {
  while (!feeder.feed_over && !feeder.paused && in_window(feeder) < feeder.window) {
    FileJob* job = nullptr;
    if (!feeder.feed(job)) {
      feeder.feed_over = true;
      end_feed(feeder.run);
    } else if (job == nullptr) {
      feeder.paused = true;
    } else {
      add_stream(feeder.run, *job);
    }
  }
}

// Delivers the streams that are done, in order; false when none was.
bool deliver_ready(Feeder& feeder) {
  feeder.ready.clear();
  const std::optional<std::chrono::milliseconds> wait =
      feeder.tick ? std::optional(PROGRESS_TICK) : std::nullopt;
  feeder.delivered = take_done(feeder.run, feeder.delivered, wait, feeder.ready);
  for (const Delivered& file : feeder.ready)
    feeder.done(*file.job, feeder.run.close_when_done ? &file.stamps : nullptr);
  feeder.files_done += feeder.ready.size();
  return !feeder.ready.empty();
}

void run_feed(Feeder& feeder) {
  DigestRun& run = feeder.run;
  for (;;) {
    feed_run(feeder);
    if (!feeder.threads_started) work(run, true);
    const bool all_delivered = feeder.delivered == run.streams.size();
    if (all_delivered && feeder.feed_over) return;
    if (all_delivered) {
      feeder.paused = false;  // nothing left to wait for: the feed must go on
      continue;
    }
    if (deliver_ready(feeder)) feeder.paused = false;
    if (feeder.tick) feeder.tick(feeder.files_done, run.bytes_read.load(std::memory_order_relaxed));
  }
}

}  // namespace

void digest_files(const JobFeed& feed, const JobDone& done, const DigestOptions& options) {
  // One stream is planned onto the scalar engine whatever the paces.
  static constexpr KernelPaces ONE_STREAM{{0, 1.0, 0, 0}, {}, LaneEngine::scalar};
  const KernelPaces& paces = options.paces != nullptr ? *options.paces
                             : options.expected > 1   ? machine_paces()
                                                      : ONE_STREAM;
  DigestRun run(paces, options.close_streams);
  run.open_limit =
      std::max<std::size_t>(options.open_files != 0 ? options.open_files : options.window, 1);
  std::vector<std::thread> threads =
      start_workers(run, options.workers, options.expected, options.threads);
  Feeder feeder{
      run, feed, done, std::max<std::size_t>(options.window, 1), options.tick, !threads.empty()};
  if (options.tick) options.tick(0, 0);
  run_feed(feeder);
  end_feed(run);
  for (std::thread& thread : threads)
    thread.join();
}

}  // namespace md5refresh
