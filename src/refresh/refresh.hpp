// SPDX-License-Identifier: MIT
// The run: read the input manifest, refresh its digests, write the output manifest.
#pragma once

#include <memory>

#include "manifest/manifest.hpp"

enum class RefreshResult {
  ok = 0,
  input_not_opened = -1,  // missing, unreadable, or not a regular file
  out_of_memory = -2,
  manifest_rejected = -3,  // does not fit the table, or cannot be read whole
  output_not_written = -4,
};

// Opens and reads the input manifest whole, closing it again; reports a failure
// on stderr.
[[nodiscard]] RefreshResult load_manifest(const char* input_path,
                                          std::unique_ptr<Manifest>& manifest);

// Warns of what the run would otherwise pass over in silence: "-x" names that
// match no section, keys that are "file_path" or "md5" but for blanks before the
// "=", and sections whose files are one file. Sections that `excludes` names
// are left out of the last when `excluded_are_digested` is false.
void warn_about_manifest(Manifest& manifest, const char* input_path, const ExcludeList& excludes,
                         bool excluded_are_digested);

// Reports every failure on stderr; on failure no output manifest is written.
// Whether the output can be written is found out before any file is digested.
[[nodiscard]] RefreshResult refresh_manifest(const char* input_path, const char* output_path,
                                             const ExcludeList& excludes);
