// SPDX-License-Identifier: MIT
// Each section's file: where its "file_path" leads, digesting it, and storing
// the digest in the section's "md5" entry.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <string_view>

#include "digest/file_digest.hpp"
#include "manifest/manifest.hpp"
#include "platform/file_access.hpp"

// The manifest's directory (at most 511 bytes), a separator and a file name of
// at most 127 bytes always fit.
inline constexpr std::size_t TARGET_PATH_CAPACITY = 511 + 1 + (FIELD_CAPACITY - 1) + 1;
using TargetPath = std::array<char, TARGET_PATH_CAPACITY>;

// The part of a "file_path" value after its last "/" or "\", or the whole value.
[[nodiscard]] std::string_view file_name_of(std::string_view file_path);

// The file a section describes lies in the manifest's own directory (the input
// path up to its last separator, or the current directory when it has none),
// under the file name of the "file_path" value. The input path is at most 511
// bytes.
void build_target_path(std::string_view input_path, std::string_view file_path, TargetPath& target);

enum class SectionFile {
  digested,
  not_digested,   // not found, not opened, not read whole, or changed meanwhile
  no_file_named,  // no "file_path", or one with an empty file name
};

// What a section's file came to, in section order: its target path (or the
// value that did not fit) and, when digested, its digest.
using SectionDone = std::function<void(Section& section, SectionFile outcome,
                                       const TargetPath& target, const HexDigest& hex)>;

// Finds the file of every section (but those `skipped` names) and digests them
// all at once. Each section's warnings (a file not found, not read whole,
// changed while read) are given, and `done` called, in section order, for
// every section that `skipped` does not name.
void digest_section_files(Manifest& manifest, const char* input_path, const ExcludeList* skipped,
                          const SectionDone& done);

// Prints each report line and stores the digest in the section's "md5" entry; a
// file that cannot be opened or read whole gets a warning and keeps its "md5".
void refresh_digests(Manifest& manifest, const char* input_path);
