// SPDX-License-Identifier: MIT
// The runs the command line asks for: one manifest refreshed or checked, or
// every manifest beneath some folders. All take one flow: manifests are
// prepared in order, their files go through one digest (a file that several
// name is read once), each manifest's sections are finished in order as their
// files are done, and a refresh's outputs are committed, alone or in batches.
// A run of one manifest is a tree of one that shows its lines as they come.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "refresh/check.hpp"
#include "refresh/manifest_run.hpp"
#include "refresh/manifest_source.hpp"
#include "refresh/section_plan.hpp"

namespace md5refresh {

// The exit status: 0 when the output manifest was written (or left as it
// was, its new text the text read) and every visited section that names a
// file holds its file's fresh digest, 1 otherwise (the manifest is still
// written with the digests that could be taken). Reports
// every failure on stderr; on failure no output manifest is written. Whether
// the output can be written is found out before any file is digested. An
// output that is the input is replaced only when the input still holds what
// was read, and by one run at a time. `output_named` tells an output the user
// chose from the default one, for a warning when another file is replaced;
// with `ignore_missing`, files that do not exist are passed over in silence.
// Sections that record a "sha256" get their file's SHA-256 there, from the
// same reads; with `add_sha256`, every section gets one.
[[nodiscard]] int refresh_manifest(const char* input_path, const char* output_path,
                                   const ExcludeList& excludes, bool output_named,
                                   bool ignore_missing = false, bool add_sha256 = false);

// Prints a line for every section with a "file_path", "md5" or "sha256" entry
// that `excludes` does not name, and a summary of the sections on stderr when not
// all are OK. Returns CHECK_ALL_OK, CHECK_NOT_ALL_OK or CHECK_NOT_MADE.
[[nodiscard]] int check_manifest(const char* input_path, const ExcludeList& excludes,
                                 CheckOutput output, bool ignore_missing = false);

// What a run counts, for its summary line and its last JSON object. Manifests
// a walk passes over (links, not regular files) count as refused, or in a
// check as not checked.
struct RunTotals {
  std::size_t manifests = 0, files = 0;  // files: those digested
  std::size_t files_not_digested = 0;    // in a refresh
  std::size_t written = 0, unchanged = 0, would_write = 0, incomplete = 0, refused = 0;
  std::array<std::size_t, 3> check_statuses{};        // manifests by check status
  std::array<std::size_t, VERDICT_COUNT> verdicts{};  // a check's sections
  std::size_t md5_only_changed = 0, sha256_only_changed = 0, unlisted = 0;
};

// The last object "--json" prints: what the run counted and its exit status.
[[nodiscard]] std::string summary_object(const RunTotals& totals, RunKind kind, bool dry_run,
                                         int exit_status);

// Manifests named on the command line, one or many, each run as one named
// alone is (links followed, lines shown as they are made, a check's own
// summary, each refresh committed as soon as it is finished); a manifest
// named twice runs once. Several end with one summary line for them all, as
// a tree does. Returns the exit status: a refresh's 0 when every manifest
// was written with every digest taken, 1 otherwise; a check's the worst of
// the manifests'.
struct NamedRequest {
  std::span<const NamedManifest> manifests;
  const ExcludeList& excludes;
  bool check;
  CheckOutput output;
  bool ignore_missing = false;
  bool add_sha256 = false;
  bool dry_run = false;         // a refresh that writes nothing ("--dry-run")
  bool json = false;            // JSON Lines on standard output ("--json")
  bool list_unlisted = false;   // a check's "--unlisted"
  RunTotals* totals = nullptr;  // when given: what the run counted
};
[[nodiscard]] int run_named(const NamedRequest& request);

// The "-x" name that names an existing regular file and no section of any
// of the manifests, or empty: a manifest's path taken by "-x", which takes
// every word up to the next option. Only manifests that can be read count.
[[nodiscard]] std::string_view file_taken_by_excludes(std::span<const NamedManifest> manifests,
                                                      const ExcludeList& excludes);

// How much a run of many manifests holds at once: files fed to the digest
// and not yet done, and of them the ones open; manifests read and not yet
// committed (each its folder and itself, locked); a batch's outputs waiting
// for one sync. Fewer manifests leave the lanes idle behind a large file (on
// 2 cores, 64 in place of 80 made a mixed tree's refresh 1.1 times as long);
// a larger batch saves little once a sync serves 16. Descriptors: at most
// 64 + 2 x 80 + 16 = 240, besides the standard three and the walk's folders.
struct TreeLimits {
  std::size_t files_in_flight = 256;
  std::size_t manifests_in_flight = 80;
  std::size_t batch = 16;
  std::size_t files_open = 64;  // two cores' widest lanes full
};

// Descriptors a run needs besides its limits' own: the standard streams, the
// walk's folders on the way down, a probe's temporary, the C library's.
inline constexpr std::size_t DESCRIPTORS_SPARED = 32;

// `wanted`, each of its descriptor limits cut in the same proportion where
// `allowed` descriptors would not hold them all, so that the run itself never
// makes a folder unreadable for want of one.
[[nodiscard]] TreeLimits fit_to_descriptors(const TreeLimits& wanted, std::size_t allowed);

// What a tree run does: a refresh, or a check printing as `output` says.
struct TreeRequest {
  std::span<const char* const> folders;
  const ExcludeList& excludes;
  bool check;
  CheckOutput output;
  TreeLimits limits = {};
  std::size_t* files_read = nullptr;  // when given: how many files were read, for tests
  int failed_sync = 0;  // not 0: the first batch's sync fails with this errno, for tests
  bool ignore_missing = false;
  bool add_sha256 = false;  // a refresh's "--sha256"
  bool dry_run = false;     // a refresh's "--dry-run"
  bool json = false;
  bool list_unlisted = false;
  RunTotals* totals = nullptr;
};

// Walks each folder depth first, its entries in byte order, links not
// followed. Each manifest's lines come in the walk's order, under its own
// messages, as a run of its own prints them; one summary line on stderr ends
// the run. Returns the exit status: for a refresh 0 when every manifest was
// written whole (as refresh_manifest has it), 1 otherwise (a folder missing, unreadable or without
// a manifest among the reasons); for a check the worst of the manifests' statuses, 2 when a folder
// could not be walked.
[[nodiscard]] int run_trees(const TreeRequest& request);

}  // namespace md5refresh
