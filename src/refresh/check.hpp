// SPDX-License-Identifier: MIT
// The check's verdicts: are the recorded digests true? A check reads the
// manifest and digests its files as the refresh does, and writes nothing.
#pragma once

#include <array>
#include <cstddef>

#include "digest/job.hpp"
#include "platform/diagnostics.hpp"
#include "refresh/section_plan.hpp"

namespace md5refresh {

// How much of a check is printed: every line and the summary, only what is not
// OK and the summary, or nothing but the exit status.
enum class CheckOutput { every_line, quiet, status_only };

// Exit statuses of a check, as cmp and diff have them.
inline constexpr int CHECK_ALL_OK = 0;      // and at least one file was checked
inline constexpr int CHECK_NOT_ALL_OK = 1;  // a section's line is not OK
inline constexpr int CHECK_NOT_MADE = 2;    // no manifest, or no file in it to check

// The sections of one manifest's check, counted by verdict: OK, changed,
// missing, no file named, no digest recorded, an md5 that is not a digest, a
// sha256 that is not one.
inline constexpr std::size_t VERDICT_COUNT = 7;
struct CheckTally {
  std::array<int, VERDICT_COUNT> counts;
  int checked;
  bool a_file_named;
  int missing_passed_over;  // by "--ignore-missing"
};

// Counts a visited section whose file is done, and prints its line as
// `output` has it; `digested`: whether `digests` are its file's (the SHA-256
// taken where the section records one).
// Prints a line for every section with a "file_path", "md5" or "sha256"
// entry: "path: OK" (every digest recorded matches), "path: CHANGED", "path:
// MISSING", "path: no digest recorded", "path: recorded digest is not 32 hex
// digits", "path: recorded sha256 is not 64 hex digits" or "section NAME: no
// file named".
void tally_section(CheckTally& tally, const Section& section, const SectionPlan& planned,
                   bool digested, const Digests& digests, CheckOutput output,
                   Transcript& transcript);

// The check's status; with `summarize`, when not all is OK, the summary of
// the sections on stderr.
[[nodiscard]] int end_check(const CheckTally& tally, const char* input_path, bool summarize,
                            Transcript& transcript);

}  // namespace md5refresh
