// SPDX-License-Identifier: MIT
// The run: read the input manifest, refresh its digests, write the output manifest.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "digest/file_digest.hpp"
#include "manifest/manifest.hpp"
#include "platform/file_access.hpp"
#include "refresh/section_plan.hpp"

namespace md5refresh {

// The input of a refresh stays open from its read to the replace, where the
// lock on it keeps a second run out; the bytes read are what the file must
// still hold when it is replaced, or an edit made meanwhile would be lost.
struct OpenInput {
  std::FILE* stream = nullptr;
  FileStamp stamp{};  // taken before the read
  bool stamped = false;
  std::string bytes;
};

// Opens and reads the input manifest whole, closing it again unless `kept_open`
// is given; false, with the reason on stderr, when it cannot be had.
[[nodiscard]] bool load_manifest(const char* input_path, std::unique_ptr<Manifest>& manifest,
                                 OpenInput* kept_open = nullptr);

// Digests the file of every section the plan visits, prints each report line
// and stores the digest in the section's "md5" entry; a file that cannot be
// opened or read whole gets a warning and its section keeps its "md5".
void refresh_digests(Manifest& manifest, const ManifestPlan& plan);

// The report line, sent on its way at once: a log shows it before any message
// that follows, and an interrupted run keeps the lines already made.
void print_report_line(const HexDigest& hex, const char* path);

// Stores the digest in the section's first "md5" entry, or in a new one at its
// end; false when it has none and no room for one.
[[nodiscard]] bool put_digest(Section& section, const HexDigest& hex);
void report_no_room(const Section& section, const char* path);

// Prints a section's report line and stores its digest in its "md5" entry.
void store_section_digest(Manifest& manifest, const ManifestPlan& plan, std::size_t s,
                          const HexDigest& hex);

// A refresh of one manifest, in the steps a run of many takes apart.
struct RefreshJob {
  std::string input_path;
  std::string output_path;
  std::unique_ptr<Manifest> manifest;
  ManifestPlan plan{};
  OpenInput input;
  OutputProbe probe{};
  bool replaces_input = false;
  bool planned = false;  // read, and `plan` made
  OutputFile output;
  // A manifest with other names is refused: a walk reaches it from a folder
  // whose files it may not describe.
  bool refuse_other_names = false;
};

// Reads and plans the manifest and makes sure that the output can be written,
// before any file is digested; false, with the reasons on stderr, when the
// manifest is not to be refreshed. `warn_unmatched`: whether "-x" names that
// match no section are warned of here.
[[nodiscard]] bool begin_refresh(RefreshJob& job, const ExcludeList& excludes, bool output_named,
                                 bool warn_unmatched);

// Writes the output once the digests are stored; true when it was written.
[[nodiscard]] bool end_refresh(RefreshJob& job);

// end_refresh in two steps, for a run that makes many outputs durable with one
// sync of the file system between them (`synced` false): the output written,
// flushed and closed; then put in place, unless the input changed meanwhile.
// Each reports its failure; the input is closed after a failure or the commit.
[[nodiscard]] bool start_write(RefreshJob& job, bool synced);
[[nodiscard]] bool commit_write(RefreshJob& job, bool synced);

// Gives up a written output that could not be made durable, saying why.
void abandon_write(RefreshJob& job, int error);

// True when the output manifest was written. Reports every failure on stderr;
// on failure no output manifest is written. Whether the output can be written
// is found out before any file is digested. An output that is the input is
// replaced only when the input is as it was read, and by one run at a time.
// `output_named` tells an output the user chose from the default one, for a
// warning when another file is replaced.
[[nodiscard]] bool refresh_manifest(const char* input_path, const char* output_path,
                                    const ExcludeList& excludes, bool output_named);

// Called between the finished write and the replace, where a race would
// strike: how tests make one happen there.
using BeforeReplaceHook = void (*)();
void set_before_replace_hook(BeforeReplaceHook hook);
// Called between the read and the look at the output.
void set_after_read_hook(BeforeReplaceHook hook);

}  // namespace md5refresh
