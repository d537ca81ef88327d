// SPDX-License-Identifier: MIT
// The check: are the recorded digests true? Reads the manifest and digests its
// files as the refresh does, and writes nothing.
#pragma once

#include "refresh/section_plan.hpp"

namespace md5refresh {

// How much of a check is printed: every line and the summary, only what is not
// OK and the summary, or nothing but the exit status.
enum class CheckOutput { every_line, quiet, status_only };

// Exit statuses of a check, as cmp and diff have them.
inline constexpr int CHECK_ALL_OK = 0;      // and at least one file was checked
inline constexpr int CHECK_NOT_ALL_OK = 1;  // a section's line is not OK
inline constexpr int CHECK_NOT_MADE = 2;    // no manifest, or no file in it to check

// Prints a line for every section with a "file_path" or an "md5" entry that
// `excludes` does not name: "path: OK", "path: CHANGED", "path: MISSING",
// "path: no digest recorded", "path: recorded digest is not 32 hex digits" or
// "section NAME: no file named"; and a summary of the sections on stderr when
// not all are OK. Returns one of the statuses above.
[[nodiscard]] int check_manifest(const char* input_path, const ExcludeList& excludes,
                                 CheckOutput output);

}  // namespace md5refresh
