// SPDX-License-Identifier: MIT
// The reads a run shares among its manifests' sections: a file that several
// sections name, in one manifest or in several, is read once while it is in
// flight, and a digest taken stays known for the run, so that a file reached
// again through another name is not read again. Files are fed in order and
// delivered in that order; one no unfinished manifest waits for is let go.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>

#include "digest/job.hpp"
#include "platform/file_access.hpp"
#include "refresh/manifest_run.hpp"
#include "refresh/section_file.hpp"

namespace md5refresh {

// A file being digested for one section or more.
struct SharedFile {
  FileJob job{};
  FileStamp before{};  // as it was looked at before the digest
  std::string path;    // where it is
  HeldFolder folder;
  bool delivered = false;
  FileOutcome outcome{};
  int readers = 0;  // sections of unfinished manifests that wait for it
};

// One manifest's side of the reads: for each section fed, the shared file it
// waits for, or its outcome already.
struct SectionReads {
  std::array<SharedFile*, MAX_SECTIONS> files{};  // null: the outcome is below
  std::array<FileOutcome, MAX_SECTIONS> outcomes{};
  std::size_t next_to_feed = 0;
};

using FileKey = std::pair<std::uint64_t, std::uint64_t>;  // device, inode

struct KnownDigest {
  FileStamp stamp;
  Digests digests;
};

struct SharedReads {
  std::deque<SharedFile> files;  // in the order fed, from the first not let go
  std::map<FileKey, SharedFile*> reading;
  std::map<FileKey, KnownDigest> known;
  std::uint64_t fed = 0, delivered = 0;
  std::size_t let_go = 0;  // delivered, and gone from `files`
};

// Whether every section of `run` that is to be fed has been.
[[nodiscard]] bool all_fed(const ManifestRun& run, const SectionReads& sections);

// The file of the manifest's next section: a new read to feed, or null when
// the section needs none (no file, not a regular file, a digest known, a file
// already being read).
[[nodiscard]] SharedFile* file_to_feed(SharedReads& reads, const ManifestRun& run,
                                       SectionReads& sections, const RunSettings& settings);

// The next file fed is done: what came of it, with what the run saw as it
// closed it. `job` must be that file's.
void deliver(SharedReads& reads, FileJob& job, const ClosedStamps& closed);

// The outcome of section `s` once its file is delivered, the section no
// longer waiting for it; false while it is not.
[[nodiscard]] bool take_outcome(SectionReads& sections, std::size_t s);

// Lets go of the delivered files at the front that no section waits for.
void let_go_of_done(SharedReads& reads);

}  // namespace md5refresh
