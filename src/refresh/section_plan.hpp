// SPDX-License-Identifier: MIT
// What a run does with each section, decided once after the manifest is read:
// where its file is (or why it has none), whether "-x" leaves it out, and
// whether an earlier section leads to the same file. Warnings, the digest, the
// check and the writer all read this plan.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <string_view>

#include "manifest/manifest.hpp"
#include "platform/diagnostics.hpp"

namespace md5refresh {

// The "-x" names of a command line. They refer to the argument strings
// themselves, which live as long as the process.
inline constexpr int MAX_EXCLUDES = 10;
struct ExcludeList {
  std::array<std::string_view, MAX_EXCLUDES> names;
  int count;
};

// The longest path of a manifest the tool takes, in bytes.
inline constexpr std::size_t MANIFEST_PATH_LIMIT = 511;

// The manifest's directory, a separator and a file name of at most 127 bytes
// always fit.
inline constexpr std::size_t TARGET_PATH_CAPACITY =
    MANIFEST_PATH_LIMIT + 1 + (FIELD_CAPACITY - 1) + 1;
using TargetPath = std::array<char, TARGET_PATH_CAPACITY>;

// The part of a "file_path" value after its last "/" or "\", or the whole value.
[[nodiscard]] std::string_view file_name_of(std::string_view file_path);

// The file a section describes lies in the manifest's own directory (the input
// path up to its last separator, or the current directory when it has none),
// under the file name of the "file_path" value. The input path is at most 511
// bytes.
void build_target_path(std::string_view input_path, std::string_view file_path, TargetPath& target);

enum class Target {
  no_file_path,   // the section has no "file_path" entry
  names_no_file,  // its value ends in a separator or is empty
  not_plain,      // a name the host would not read as a file beside the manifest
  beside_manifest,
};

// Whether the plan holds a path for the section, a file to look for.
[[nodiscard]] constexpr bool has_path(Target target) {
  return target == Target::not_plain || target == Target::beside_manifest;
}

inline constexpr int NO_SECTION = -1;

struct SectionPlan {
  bool visited;  // the run looks for its file: in a check, not when left out
  Target target;
  TargetPath path;   // set for `not_plain` and `beside_manifest`
  int same_file_as;  // an earlier visited section whose path is the same, or NO_SECTION
};

enum class RunKind { refresh, check };

struct ManifestPlan {
  int section_count;
  std::array<SectionPlan, MAX_SECTIONS> sections;
  std::bitset<MAX_SECTIONS> left_out;  // "-x" names them: neither written nor checked
  int unmatched_count;                 // "-x" names that match no section
  std::array<std::string_view, MAX_EXCLUDES> unmatched;
};

// Whether "-x" `name` names `section`: the same text (in either encoding on
// Windows).
[[nodiscard]] bool names_section(std::string_view name, const Section& section);

// A refresh visits every section, the ones it leaves out of the written
// manifest too; a check visits only the ones it does not leave out.
[[nodiscard]] ManifestPlan plan_sections(const Manifest& manifest, std::string_view input_path,
                                         const ExcludeList& excludes, RunKind kind);

// Whether `key` is `meant` but for case, blanks, "_" and "-" ("File_Path",
// "filepath", "MD5"): what a person wrote for it, though only the exact key is read.
[[nodiscard]] bool looks_like_key(std::string_view key, std::string_view meant);

// Whether any entry of `section` looks like the key `meant`.
[[nodiscard]] bool mentions_key(const Section& section, std::string_view meant);

// Warns of what the run would otherwise pass over in silence: keys that are
// "file_path", "md5" or "sha256" but for blanks, case, "_" and "-", and
// visited sections whose files are one file.
void warn_about_plan(const Manifest& manifest, const ManifestPlan& plan, Transcript& transcript);

// Warns of each "-x" name that matches no section; true when one of them names
// a regular file instead (a manifest's path taken by "-x", which takes every
// word up to the next option).
[[nodiscard]] bool warn_about_unmatched(const ManifestPlan& plan, Transcript& transcript);

}  // namespace md5refresh
