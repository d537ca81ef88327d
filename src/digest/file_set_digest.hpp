// SPDX-License-Identifier: MIT
// Files digested at once, one or many: the one read path of the tool. The
// calling thread feeds files in while a window allows and takes them back,
// done, in the order fed; worker threads digest them between (the scheduler),
// each file read through a ring of buffers (the read ring), several files at
// once through the kernel that moves them fastest (the plan).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>

#include "digest/digest_plan.hpp"
#include "digest/job.hpp"
#include "platform/file_access.hpp"

namespace md5refresh {

// How far the run has come: files finished, bytes read of all of them.
using ProgressTick = std::function<void(std::size_t files_done, std::uint64_t bytes_read)>;
inline constexpr std::chrono::milliseconds PROGRESS_TICK{250};

// Gives the run its next job through `job` (null: none until more are
// delivered, so the feed is asked again after the next delivery, or at once
// when nothing is left to deliver); false when no job follows.
using JobFeed = std::function<bool(FileJob*& job)>;

// A job done, on the calling thread, in the order fed, with what the run saw
// as it closed the file; null where the stream is left open.
using JobDone = std::function<void(FileJob& job, const ClosedStamps* closed)>;

// Called on the thread that closes a job's file, between its last read and
// the looks at whether it changed: how tests change a file there.
// A seam (platform/seams.hpp).
using FileReadHook = void (*)(const char* path);
namespace seams {
inline FileReadHook after_file_read_hook = nullptr;
}  // namespace seams

struct DigestOptions {
  std::size_t window;  // at most this many fed streams unfinished at once
  // At most this many of them open (0: the window): a job given by its path
  // waits to be opened until one closes. More may wait than are open, so
  // that the plan has files to choose from without their descriptors.
  std::size_t open_files = 0;
  // How many files the run will have, when the caller knows: one file, or
  // fewer than the cores, is read ahead on a core of its own; the kernels'
  // paces are measured only when two files or more call for a plan.
  std::size_t expected = FILES_NOT_KNOWN;
  const KernelPaces* paces = nullptr;  // null: the machine's
  unsigned workers = 0;                // 0: one per hardware thread
  // Each stream closed as soon as its file is done, so that a file done behind
  // a long one holds no descriptor, and the looks after the read are taken
  // beside the digest, not on the calling thread; false: the caller closes
  // them.
  bool close_streams = true;
  // False: no worker thread, all on the calling thread, as when none can be
  // started.
  bool threads = true;
  ProgressTick tick = {};  // on the calling thread at the start, then every PROGRESS_TICK or so
};

// Digests the streams the feed gives, for more files than may be open at
// once: `feed` is called on the calling thread while fewer than the window's
// streams are unfinished. Each job stays where it is until `done` has had it.
void digest_files(const JobFeed& feed, const JobDone& done, const DigestOptions& options);

}  // namespace md5refresh
