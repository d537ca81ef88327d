// SPDX-License-Identifier: MIT
// Several files digested at once: on as many worker threads as the hardware
// has (never more than files), each driving the vector lanes of the
// multi-buffer engine, largest files first. Results come back in the order of
// the files, whatever order they finish in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>

#include "digest/file_digest.hpp"
#include "digest/md5_lanes.hpp"

struct FileJob {
  std::FILE* stream;         // read from its position to its end; null: nothing to do
  std::uint64_t size;        // as the file was opened: the order of work, the progress line
  const char* display_name;  // for the progress line of a file digested alone
  DigestResult result;       // filled in; only a whole read gives a digest
  HexDigest hex;
};

// Bytes each lane reads at a time.
inline constexpr std::size_t LANE_READ_SIZE = 256 * 1024;

// Digests every job's stream. `finished(i)` runs on the calling thread for each
// job in index order, as soon as that job and every one before it are done. A
// lone file is digested on the calling thread by digest_file's read loop.
// `workers` 0 means one per hardware thread.
void digest_file_set(std::span<FileJob> jobs, const std::function<void(std::size_t)>& finished,
                     LaneEngine engine = best_lane_engine(), unsigned workers = 0);
