// SPDX-License-Identifier: MIT
// A walk's finished refreshes are committed in batches, on a thread of their
// own, one batch at a time, while the walk, the loads and the digest go on:
// the system calls of the writes and their syncs cost the walking thread
// nothing. What the batch's manifests say meanwhile is held, and shown by
// the walking thread once the batch is taken back, in the walk's order.
#pragma once

#include <condition_variable>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "refresh/manifest_run.hpp"

namespace md5refresh {

struct BatchCommitter {
  BatchCommitter() = default;
  BatchCommitter(const BatchCommitter&) = delete;
  BatchCommitter& operator=(const BatchCommitter&) = delete;
  ~BatchCommitter();
  std::thread thread;
  std::mutex mutex;
  std::condition_variable changed;
  // Handed over, or committed and not yet taken back; only the walking
  // thread hands over or takes back.
  std::vector<ManifestRun> batch;
  int failed_sync = 0;
  bool committing = false;  // under the mutex
  bool stopping = false;
};

// Commits the outputs of the batch's refreshes here (see commit_outputs);
// what a walk said between them is passed over.
void commit_here(std::span<ManifestRun> batch, bool batched, int failed_sync);

// Starts the committer's thread; false where none can start.
[[nodiscard]] bool start_committer(BatchCommitter& committer);

// Whether a batch is with the committer, being committed or not yet taken back.
[[nodiscard]] bool holds_a_batch(const BatchCommitter& committer);

// Hands `batch` to the committer, whose batch before it must be taken back.
// Its manifests say no more until they are taken back.
void hand_over(BatchCommitter& committer, std::vector<ManifestRun>& batch, int failed_sync);

// The committed batch, moved to `committed`, once its commit is over (waited
// for when `wait`); false when none was taken back.
[[nodiscard]] bool take_back(BatchCommitter& committer, bool wait,
                             std::vector<ManifestRun>& committed);

}  // namespace md5refresh
