// SPDX-License-Identifier: MIT
// The run: read the input manifest, refresh its digests, write the output manifest.
#pragma once

#include <cstdio>
#include <memory>
#include <string_view>

#include "manifest/manifest.hpp"
#include "platform/file_access.hpp"

enum class RefreshResult {
  ok = 0,
  input_not_opened = -1,  // missing, unreadable, or not a regular file
  out_of_memory = -2,
  manifest_rejected = -3,  // does not fit the table, or cannot be read whole
  output_not_written = -4,
};

// The input of a refresh stays open from its read to the replace: its stamp
// tells an edit made meanwhile, and the lock on it a second run.
struct OpenInput {
  std::FILE* stream = nullptr;
  FileStamp stamp{};  // taken before the read
  bool stamped = false;
};

// Opens and reads the input manifest whole, closing it again unless `kept_open`
// is given; reports a failure on stderr.
[[nodiscard]] RefreshResult load_manifest(const char* input_path,
                                          std::unique_ptr<Manifest>& manifest,
                                          OpenInput* kept_open = nullptr);

// Warns of what the run would otherwise pass over in silence: "-x" names that
// match no section, keys that are "file_path" or "md5" but for blanks before the
// "=", and sections whose files are one file. Sections that `excludes` names
// are left out of the last when `excluded_are_digested` is false.
void warn_about_manifest(Manifest& manifest, const char* input_path, const ExcludeList& excludes,
                         bool excluded_are_digested);

// Whether `key` is `meant` but for case, blanks, "_" and "-" ("File_Path",
// "filepath", "MD5"): what a person wrote for it, though only the exact key is read.
[[nodiscard]] bool looks_like_key(std::string_view key, std::string_view meant);

// Whether any entry of `section` looks like the key `meant`.
[[nodiscard]] bool mentions_key(const Section& section, std::string_view meant);

// Reports every failure on stderr; on failure no output manifest is written.
// Whether the output can be written is found out before any file is digested.
// An output that is the input is replaced only when the input is as it was
// read, and by one run at a time. `output_named` tells an output the user
// chose from the default one, for a warning when another file is replaced.
[[nodiscard]] RefreshResult refresh_manifest(const char* input_path, const char* output_path,
                                             const ExcludeList& excludes, bool output_named);

// Called between the finished write and the replace, where a race would
// strike: how tests make one happen there.
using BeforeReplaceHook = void (*)();
void set_before_replace_hook(BeforeReplaceHook hook);
