// SPDX-License-Identifier: MIT
// Each planned section's file: opened, digested with the others at once, and
// what came of it told in section order, as a run one file at a time would
// have told it.
#pragma once

#include <array>
#include <cstddef>
#include <functional>

#include "digest/file_set_digest.hpp"
#include "manifest/manifest.hpp"
#include "platform/file_access.hpp"
#include "refresh/section_plan.hpp"

namespace md5refresh {

struct SectionFiles {
  std::size_t count;
  std::array<FileJob, MAX_SECTIONS> jobs;  // no stream: nothing to digest
  std::array<int, MAX_SECTIONS> open_error;
  std::array<FileStamp, MAX_SECTIONS> before;  // taken as the file was opened
  std::array<bool, MAX_SECTIONS> stamped;
};

// Opens the file of every visited section whose plan holds a plain name.
[[nodiscard]] SectionFiles open_section_files(const ManifestPlan& plan);

// Digests every opened file at once; `finished(s)` runs for every section in
// order as soon as its file and those before it are done. On a terminal, a
// long digest shows a progress line, taken away before each `finished`.
void digest_section_files(const ManifestPlan& plan, SectionFiles& files,
                          const std::function<void(std::size_t)>& finished);

// What came of a section's file once it is done.
struct FileOutcome {
  int open_error;  // not 0: the file was not opened
  DigestResult result;
  bool unchanged;  // the file is still the one that was opened
  HexDigest hex;
};

// Called between the last read of a file and the look at whether it changed:
// how tests change a file there.
using FileReadHook = void (*)(const char* path);
void set_after_file_read_hook(FileReadHook hook);

// Closes the digested file opened at `path`: what came of it.
[[nodiscard]] FileOutcome close_digested(FileJob& job, const FileStamp& before, bool stamped,
                                         const char* path);

// The warnings of a visited section (names no file, not opened, not read
// whole, changed while read); true when `outcome` holds its file's digest.
[[nodiscard]] bool report_outcome(const Section& section, const SectionPlan& planned,
                                  const FileOutcome& outcome);

// Gives the warnings of a visited section whose file is done (names no file,
// not opened, not read whole, changed while read) and closes the file; true
// when `files.jobs[s].hex` is the digest of the file as it is.
[[nodiscard]] bool take_digest(const Manifest& manifest, const ManifestPlan& plan,
                               SectionFiles& files, std::size_t s);

}  // namespace md5refresh
