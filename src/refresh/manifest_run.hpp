// SPDX-License-Identifier: MIT
// One manifest's run, in the steps every run takes, whether the manifest is
// named alone or found in a walk of folders: prepared (read, planned, its
// output probed and its input locked) before any file is digested; each
// section finished in order as its file is done (its warnings, its report or
// check line, its digest stored); then, in a refresh, its output committed
// with others or alone, or the input left as it is when its new text is the
// text read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <span>
#include <string>

#include "manifest/manifest.hpp"
#include "platform/diagnostics.hpp"
#include "platform/file_access.hpp"
#include "refresh/check.hpp"
#include "refresh/section_file.hpp"
#include "refresh/section_plan.hpp"

namespace md5refresh {

// What every manifest of a run is asked.
struct RunSettings {
  RunKind kind;
  const ExcludeList& excludes;
  CheckOutput check_output;
  // Many manifests: "-x" names that match no section are warned of once, at
  // the end; a manifest with other names is refused, since a walk reaches it
  // from folders whose files it may not describe.
  bool many;
  // Files that do not exist are passed over without a word ("--ignore-missing").
  bool ignore_missing = false;
  // A refresh adds a "sha256" entry where a section has none ("--sha256").
  bool add_sha256 = false;
  // A refresh that writes nothing, makes no file and takes no lock; it says
  // which manifests it would write ("--dry-run").
  bool dry_run = false;
  // Standard output carries JSON Lines in place of report and check lines ("--json").
  bool json = false;
  // A check lists the plain files beside each manifest that no section names ("--unlisted").
  bool list_unlisted = false;
};

// The kinds beside MD5 the run takes of the section's file: the SHA-256 where
// the section records one, and in a refresh with "--sha256", everywhere.
[[nodiscard]] DigestKinds kinds_wanted(const Section& section, const RunSettings& settings);

// The input of a refresh stays open from its read to the replace, where the
// lock on it keeps a second run out; the bytes read are what the file must
// still hold when it is replaced, or an edit made meanwhile would be lost.
struct OpenInput {
  std::FILE* stream = nullptr;
  TextBuffer buffer;  // the stream's
  FileStamp stamp{};  // taken before the read
  bool stamped = false;
  std::uint64_t names = 1;  // hard links, as opened
  std::string bytes;
};

// Where a manifest stands in its run. Every change of stage is made by
// `advance`, which holds the only ones there are:
//   found -> not_planned | refused | ready | said_only
//   ready -> staged | not_written | unchanged | would_write
//   staged -> written | not_written
enum class Stage {
  found,        // taken from its source, not yet prepared
  not_planned,  // not read, or not the manifest meant: nothing checked or written
  refused,      // read and planned, but its output cannot be written
  ready,        // its sections are finished in order as their files are done
  staged,       // a refresh's output is written beside, not yet in place
  written,      // a refresh's output is in place
  not_written,  // a refresh's output could not be written or put in place
  unchanged,    // a refresh's text is the input's, which is left as it is
  would_write,  // a dry run's text differs from what the output holds
  said_only,    // no manifest: only what its source said after the last one
};

struct ManifestRun {
  std::string input_path;
  std::string output_path;
  bool output_named = false;  // by "-o": replacing another file than the input is no surprise
  HeldFolder folder;          // found by a walk: the manifest and its files are opened there
  Transcript transcript;
  std::unique_ptr<Manifest> manifest;
  ManifestPlan plan{};
  Stage stage = Stage::found;
  OpenInput input;
  OutputProbe probe{};
  bool replaces_input = false;
  OutputFile output;
  std::size_t finished_sections = 0;  // in the manifest's order
  std::string text;                   // a refresh's, once its sections are all finished
  CheckTally tally{};
  // In a refresh: the files visited sections name (one that several name
  // counts once), and those of them that kept no fresh digest in a section
  // (not digested, or no room to store it), marked at their first section.
  int files_named = 0, files_not_digested = 0;
  std::array<bool, MAX_SECTIONS> kept_stale{};
  int sha256_not_stored = 0;  // files whose MD5 was stored and SHA-256 had no room
  int files_digested = 0;     // in a refresh and a check alike
};

// Moves the run to `to`; a change of stage not listed above is a broken
// promise of the code, and ends the process.
void advance(ManifestRun& run, Stage to);

// Whether the manifest was read and its sections planned.
[[nodiscard]] bool planned(const ManifestRun& run);

// Reads and plans the manifest and, in a refresh, makes sure that the output
// can be written, before any file is digested: the run is then ready, or
// else not planned or refused, with the reasons in its transcript.
void prepare_manifest(ManifestRun& run, const RunSettings& settings);

// The next section, `outcome` being what came of its file: its warnings, its
// report or check line, and in a refresh its digest stored.
void finish_section(ManifestRun& run, const FileOutcome& outcome, const RunSettings& settings);

// The status of a check whose sections are all finished; with
// "--unlisted", once the files beside the manifest that no section names are
// listed, each making it not OK.
[[nodiscard]] int end_check_of(ManifestRun& run, const RunSettings& settings);

// Whether every file the written manifest names had its digests stored.
[[nodiscard]] bool complete(const ManifestRun& run);

// What came of a refresh's manifest, as its summary counts it: written,
// left unchanged, would be written (a dry run), any of these with a digest
// not stored (incomplete), or refused (not read, not planned, not written).
enum class Outcome { written, unchanged, would_write, incomplete, refused };
[[nodiscard]] Outcome outcome_of(const ManifestRun& run);

// With "--json", the object that tells what came of the manifest: a refresh's
// outcome, or a check's `status`; why, where it was refused or not checked.
void print_outcome(ManifestRun& run, const RunSettings& settings, int status = 0);

// Once a refresh's sections are all finished: says how many files kept their
// recorded digests, when any did, and makes the manifest's new text. A dry
// run ends there, unchanged or saying it would write the output.
void end_refresh_of(ManifestRun& run, const RunSettings& settings);

// Writes the outputs of the ready refreshes and puts each in place, each run
// ending written or not written; an input whose new text is the text read is
// left as it is, unchanged, once it is found still to hold it. Alone
// (`batched` false, or a host whose file systems cannot be synced whole), each
// is flushed to disk before its rename and its rename made durable; batched,
// all are written, one sync of each file system makes them durable, each is
// put in place, and one more sync makes the renames durable. A failure fails
// its own manifest (or those on the file system whose sync failed) and no
// other. `failed_sync`, for tests: the first sync fails with this errno.
void commit_outputs(std::span<ManifestRun* const> runs, bool batched, int failed_sync = 0);

// Where a race would strike, how tests make one happen: between the finished
// write and the replace, and between the read and the look at the output.
// Seams (platform/seams.hpp).
using RunHook = void (*)();
namespace seams {
inline RunHook before_replace_hook = nullptr;
inline RunHook after_read_hook = nullptr;
// Once the output is found fit to replace the input, just before the rename.
inline RunHook before_rename_hook = nullptr;
}  // namespace seams

}  // namespace md5refresh
