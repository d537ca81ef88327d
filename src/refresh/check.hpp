// SPDX-License-Identifier: MIT
// The check's verdicts: are the recorded digests true? A check reads the
// manifest and digests its files as the refresh does, and writes nothing.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>

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

// A section's verdict: OK, changed, missing, no file named, no digest
// recorded, an md5 that is not a digest, a sha256 that is not one.
enum class Verdict { ok, changed, missing, no_file_named, no_digest, not_a_digest, not_a_sha256 };
inline constexpr std::size_t VERDICT_COUNT = 7;

// The words of a check line: "OK", "CHANGED", "MISSING", "no file named", "no
// digest recorded", "recorded digest is not 32 hex digits", "recorded sha256
// is not 64 hex digits". A file in the manifest's folder that no section
// names is "UNLISTED".
[[nodiscard]] const char* verdict_text(Verdict verdict);
inline constexpr char UNLISTED_TEXT[] = "UNLISTED";

// What a check found of a section: its verdict, and for "CHANGED" which
// kinds of digest recorded differ from the file's (any entry of the kind).
struct SectionCheck {
  Verdict verdict;
  bool md5_changed;
  bool sha256_changed;
};

// The sections of one manifest's check, counted by verdict; changes of the MD5
// alone and of the SHA-256 alone; the files beside it no section names.
struct CheckTally {
  std::array<int, VERDICT_COUNT> counts;
  int checked;
  bool a_file_named;
  int missing_passed_over;  // by "--ignore-missing"
  int md5_only_changed, sha256_only_changed;
  int unlisted;  // by "--unlisted"
};

// Counts a visited section whose file is done; `digested`: whether `digests`
// are its file's (the SHA-256 taken where the section records one). None for
// a section with no "file_path", "md5" or "sha256" entry, even misspelled:
// no business of a check.
[[nodiscard]] std::optional<SectionCheck> tally_section(CheckTally& tally, const Section& section,
                                                        const SectionPlan& planned, bool digested,
                                                        const Digests& digests);

// Whether `output` shows the line of a section (or file) found `ok` or not.
[[nodiscard]] bool shows_line(CheckOutput output, bool ok);

// A section's check line: "path: VERDICT", or "section NAME: no file named".
[[nodiscard]] std::string check_line(const Section& section, Verdict verdict,
                                     const TargetPath& path);

// The check's status; with `summarize`, when not all is OK, the summary of
// the sections on stderr.
[[nodiscard]] int end_check(const CheckTally& tally, const char* input_path, bool summarize,
                            Transcript& transcript);

}  // namespace md5refresh
