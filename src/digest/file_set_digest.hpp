// SPDX-License-Identifier: MIT
// Files digested at once, one or many: the one read path of the tool. Each
// worker thread takes the streams that the plan gives it and runs them through
// its kernel for a turn; between turns the streams go back and the plan is made
// again from what is left, so that the cores stay busy and the files end
// together. A core with no stream of its own reads ahead for one that is being
// digested. Results come back in the order of the files.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>

#include "digest/digest_plan.hpp"
#include "digest/file_digest.hpp"
#include "platform/file_access.hpp"

namespace md5refresh {

struct FileJob {
  std::FILE* stream;    // read from its position to its end; null: nothing to do
  std::uint64_t size;   // as the file was opened: what the plan goes by
  DigestResult result;  // filled in; only a whole read gives a digest
  HexDigest hex;
  // A fed run closes each stream as soon as it is done, after taking its stamp.
  FileStamp after{};
  bool after_stamped = false;
};

// How far the run has come: files finished, bytes read of all of them.
using ProgressTick = std::function<void(std::size_t files_done, std::uint64_t bytes_read)>;
inline constexpr std::chrono::milliseconds PROGRESS_TICK{250};

// Bytes read at a time, straight into a stream's buffer: few system calls, and
// the chunks of five streams still fit a core's 1 MiB second-level cache. A
// stream that a core of its own reads ahead for reads more at a time: the
// reader then sleeps and wakes less often than the digest needs a chunk.
inline constexpr std::size_t STREAM_READ_SIZE = 128 * 1024;
inline constexpr std::size_t READ_AHEAD_SIZE = 1024 * 1024;

// Digests every job's stream. `finished(i)` runs on the calling thread for each
// job in index order, as soon as that job and every one before it are done.
// `paces` null means the machine's, measured only when two files or more call
// for a plan; `workers` 0 means one per hardware thread. `tick`, when given, is
// called on the calling thread at the start and then every PROGRESS_TICK or
// so while files remain.
void digest_file_set(std::span<FileJob> jobs, const std::function<void(std::size_t)>& finished,
                     const KernelPaces* paces = nullptr, unsigned workers = 0,
                     const ProgressTick& tick = {});

// Gives the run its next job through `job` (null: none until more are
// delivered, so the feed is asked again after the next delivery, or at once
// when nothing is left to deliver); false when no job follows.
using JobFeed = std::function<bool(FileJob*& job)>;

// A run that takes its files as they come, for more files than may be open at
// once: `feed` is called on the calling thread while fewer than `window` of
// the fed streams are open. Each stream is closed as soon as its file is done
// (its stamp then in `after`), and each job stays where it is until `finished`
// has had it, in the order fed. Paces, workers and `tick` as above.
void digest_file_feed(const JobFeed& feed, std::size_t window,
                      const std::function<void(FileJob&)>& finished, const ProgressTick& tick = {},
                      const KernelPaces* paces = nullptr, unsigned workers = 0);

}  // namespace md5refresh
