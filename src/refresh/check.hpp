// SPDX-License-Identifier: MIT
// The check: are the recorded digests true? Reads the manifest and digests its
// files as the refresh does, and writes nothing.
#pragma once

#include "manifest/manifest.hpp"

// Exit statuses of a check, as cmp and diff have them.
inline constexpr int CHECK_ALL_OK = 0;      // and at least one file was checked
inline constexpr int CHECK_NOT_ALL_OK = 1;  // a file CHANGED or MISSING
inline constexpr int CHECK_NOT_MADE = 2;    // no manifest, or no file in it to check

// Prints "path: OK", "path: CHANGED" or "path: MISSING" for every section with a
// "file_path" that `excludes` does not name, and a summary on stderr when not
// all are OK. Returns one of the statuses above.
[[nodiscard]] int check_manifest(const char* input_path, const ExcludeList& excludes);
