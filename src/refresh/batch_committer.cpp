// SPDX-License-Identifier: MIT
// The committer and the walking thread share only the batch and two flags,
// under one mutex: the batch is the committer's from its hand-over until its
// commit is over, and the walking thread's otherwise.
#include "refresh/batch_committer.hpp"

#include <exception>
#include <functional>
#include <utility>

namespace md5refresh {

namespace {

void commit_in_turn(BatchCommitter& committer) {
  std::unique_lock lock(committer.mutex);
  for (;;) {
    committer.changed.wait(lock, [&] { return committer.committing || committer.stopping; });
    if (!committer.committing) return;
    lock.unlock();
    commit_here(committer.batch, true, committer.failed_sync);
    lock.lock();
    committer.committing = false;
    committer.changed.notify_all();
  }
}

}  // namespace

BatchCommitter::~BatchCommitter() {
  {
    std::lock_guard lock(mutex);
    stopping = true;
    changed.notify_all();
  }
  if (thread.joinable()) thread.join();
}

void commit_here(std::span<ManifestRun> batch, bool batched, int failed_sync) {
  std::vector<ManifestRun*> runs;
  for (ManifestRun& run : batch) {
    if (run.stage == Stage::ready) runs.push_back(&run);
  }
  commit_outputs(runs, batched, failed_sync);
}

bool start_committer(BatchCommitter& committer) {
  if (committer.thread.joinable()) return true;
  try {
    committer.thread = std::thread(commit_in_turn, std::ref(committer));
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

bool holds_a_batch(const BatchCommitter& committer) {
  return !committer.batch.empty();
}

void hand_over(BatchCommitter& committer, std::vector<ManifestRun>& batch, int failed_sync) {
  for (ManifestRun& run : batch)
    run.transcript.held = true;
  std::lock_guard lock(committer.mutex);
  committer.batch = std::move(batch);
  batch.clear();
  committer.failed_sync = failed_sync;
  committer.committing = true;
  committer.changed.notify_all();
}

bool take_back(BatchCommitter& committer, bool wait, std::vector<ManifestRun>& committed) {
  if (committer.batch.empty()) return false;
  {
    std::unique_lock lock(committer.mutex);
    if (wait) committer.changed.wait(lock, [&] { return !committer.committing; });
    if (committer.committing) return false;
  }
  committed = std::move(committer.batch);
  committer.batch.clear();
  return true;
}

}  // namespace md5refresh
