// SPDX-License-Identifier: MIT
// What came of a section's file once it is digested: whether the digest is
// the file's as it stands, and the warnings of a file that was not digested.
#pragma once

#include <string>
#include <string_view>

#include "digest/job.hpp"
#include "manifest/manifest.hpp"
#include "platform/diagnostics.hpp"
#include "platform/file_access.hpp"
#include "refresh/section_plan.hpp"

namespace md5refresh {

struct FileOutcome {
  int open_error;  // not 0: the file was not opened
  DigestResult result;
  bool unchanged;  // the file is still the one that was opened
  Digests digests;
};

// A report or check line, `before`, the name and `after`. Where the name holds
// a line feed or carriage return, no name may forge a line of its own: the
// line begins with "\\", and in the name "\\" is written "\\\\", a line feed
// "\\n" and a carriage return "\\r", as the common checksum tools write them.
[[nodiscard]] std::string named_line(std::string_view before, std::string_view name,
                                     std::string_view after);

// The report line of a digested file: its digest, a tab and its path.
[[nodiscard]] std::string report_line(const HexDigest& hex, std::string_view path);

// What came of the digested file looked at with the stamp `before`, by what
// the run saw as it closed it.
[[nodiscard]] FileOutcome close_digested(const FileJob& job, const ClosedStamps& stamps,
                                         const FileStamp& before);

// The warnings of a visited section (names no file, not opened, not read
// whole, changed while read); true when `outcome` holds its file's digest.
[[nodiscard]] bool report_outcome(const Section& section, const SectionPlan& planned,
                                  const FileOutcome& outcome, Transcript& transcript);

}  // namespace md5refresh
