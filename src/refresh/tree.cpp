// SPDX-License-Identifier: MIT
// The walk runs ahead of the output: manifests are read, planned and probed as
// the digest needs their files, what is said of them meanwhile is kept with
// them, and each is finished (its messages, its lines, its write) once its
// files and those of every manifest before it are done. A bounded window of
// manifests and files is in flight, so descriptors and memory stay bounded
// whatever the size of the tree; only a digest per file read stays for the
// run, so that a file reached again through another link is not read again.
#include "refresh/tree.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/diagnostics.hpp"
#include "platform/file_access.hpp"
#include "platform/process.hpp"
#include "refresh/progress_line.hpp"
#include "refresh/refresh.hpp"
#include "refresh/section_file.hpp"

namespace md5refresh {

namespace {

constexpr std::size_t MANIFEST_PATH_LIMIT = 511;
static_assert(TreeLimits{}.batch <= TEMPORARIES_AT_ONCE, "an interrupt removes every temporary");
// A manifest whose files are done waits at most this long for others to be
// made durable with it: one sync for a batch instead of one each.
constexpr std::chrono::milliseconds BATCH_WAIT{100};

struct WalkLevel {
  std::string path;
  std::vector<FolderEntry> entries;  // in byte order
  FileStamp folder;                  // its identity
  std::size_t next = 0;
};

struct TreeWalk {
  std::span<const char* const> folders;
  std::size_t next_folder = 0;
  std::vector<WalkLevel> levels;
  std::size_t found_in_folder = 0;
  std::size_t linked_manifests = 0;  // passed over: links are not followed
  bool failed = false;               // a folder was missing, unreadable or without a manifest
};

// A manifest is its folder's and its name's: not the manifest file's inode,
// which a file the run has just replaced may hand on to the next one.
using ManifestKey = std::pair<std::uint64_t, std::uint64_t>;  // the folder's device, inode

struct FoundManifest {
  std::string path;
  ManifestKey key;
  bool known_folder;  // the key tells the folder (the host could tell its identity)
};

std::string joined_path(const std::string& folder, const std::string& name) {
  const bool separated =
      !folder.empty() && PATH_SEPARATORS.find(folder.back()) != std::string_view::npos;
  return separated ? folder + name : folder + HOST_SEPARATOR + name;
}

bool enter_folder(TreeWalk& walk, std::string path) {
  std::vector<FolderEntry> entries;
  FileStamp folder{};
  if (const int error = list_folder(path, entries, folder); error != 0) {
    report("cannot read folder %s: %s", path.c_str(), std::strerror(error));
    walk.failed = true;
    return false;
  }
  std::ranges::sort(entries, {}, &FolderEntry::name);
  walk.levels.push_back({std::move(path), std::move(entries), folder});
  return true;
}

// The next folder named with "-r"; false when none is left.
bool next_root(TreeWalk& walk) {
  while (walk.next_folder < walk.folders.size()) {
    walk.found_in_folder = 0;
    if (enter_folder(walk, walk.folders[walk.next_folder++])) return true;
  }
  return false;
}

// The next manifest, depth first; false at the end of the walk.
bool next_manifest(TreeWalk& walk, FoundManifest& found) {
  for (;;) {
    if (walk.levels.empty() && !next_root(walk)) return false;
    WalkLevel& level = walk.levels.back();
    if (level.next == level.entries.size()) {
      const std::string finished = std::move(level.path);
      walk.levels.pop_back();
      if (walk.levels.empty() && walk.found_in_folder == 0) {
        report("no %s in %s or beneath it", TREE_MANIFEST_NAME, finished.c_str());
        walk.failed = true;
      }
      continue;
    }
    const FolderEntry& entry = level.entries[level.next++];
    std::string entry_path = joined_path(level.path, entry.name);
    if (entry.kind == EntryKind::folder) {
      enter_folder(walk, std::move(entry_path));
    } else if (entry.name != TREE_MANIFEST_NAME) {
      continue;
    } else if (entry.kind == EntryKind::link) {
      // Followed, it would take another folder's manifest with this folder's files.
      report("%s is a symbolic link; not followed", entry_path.c_str());
      ++walk.found_in_folder;
      ++walk.linked_manifests;
      walk.failed = true;
    } else if (entry.kind == EntryKind::file) {
      ++walk.found_in_folder;
      found = {std::move(entry_path),
               {level.folder.device, level.folder.inode},
               level.folder.device != 0 || level.folder.inode != 0};
      return true;
    }
  }
}

// A file being digested for one manifest or more.
struct TreeFile {
  FileJob job{};
  FileStamp before{};
  bool stamped = false;
  std::string path;  // where it was opened
  std::uint64_t sequence = 0;
  bool delivered = false;
  FileOutcome outcome{};
  int readers = 0;  // sections of unfinished manifests that wait for it
};

struct TreeManifest {
  std::string messages;  // said of it while it was got ready
  bool ready = false;    // read, planned and (in a refresh) its output probed
  RefreshJob job;
  std::array<TreeFile*, MAX_SECTIONS> files{};  // null: the outcome is below
  std::array<FileOutcome, MAX_SECTIONS> outcomes{};
  std::array<bool, MAX_SECTIONS> no_room{};  // its digest found no "md5" entry
  std::string late;                          // said of it while it was written
  bool written = false;
  std::size_t next_section = 0;  // the next whose file goes to the digest
  std::uint64_t waits_for = 0;   // the sequence of the last file it needs
};

using FileKey = std::pair<std::uint64_t, std::uint64_t>;  // device, inode

struct KnownDigest {
  FileStamp stamp;
  HexDigest hex;
};

struct Tree {
  explicit Tree(const TreeRequest& tree_request) : request(tree_request) {}
  const TreeRequest& request;
  TreeWalk walk;
  std::deque<TreeManifest> manifests;  // in the walk's order, not yet finished
  std::deque<TreeFile> files;          // in the order fed
  std::map<FileKey, TreeFile*> reading;
  std::map<FileKey, KnownDigest> known;
  std::set<ManifestKey> manifests_seen;
  std::uint64_t fed = 0, delivered = 0;
  std::size_t files_let_go = 0;  // delivered, and gone from `files`
  ProgressLine progress{};
  std::size_t manifest_count = 0, file_count = 0, written = 0, refused = 0;
  std::array<std::size_t, 3> check_statuses{};  // manifests by check status
  std::array<bool, MAX_EXCLUDES> excludes_matched{};
  std::vector<TreeManifest> batch;  // written, waiting to be put in place
  std::size_t batches_committed = 0;
  std::chrono::steady_clock::time_point batch_started;
};

FileKey key_of(const FileStamp& stamp) {
  return {stamp.device, stamp.inode};
}

// Reads and plans a manifest as a run of its own would, its messages kept.
void get_ready(Tree& tree, TreeManifest& manifest, const std::string& path) {
  RefreshJob& job = manifest.job;
  job.input_path = job.output_path = path;
  if (path.size() > MANIFEST_PATH_LIMIT) {
    report("path longer than %d bytes: %s", static_cast<int>(MANIFEST_PATH_LIMIT), path.c_str());
    return;
  }
  const ExcludeList& excludes = tree.request.excludes;
  if (tree.request.check) {
    manifest.ready = begin_check(path.c_str(), excludes, false, job.manifest, job.plan);
    job.planned = manifest.ready;
  } else {
    job.refuse_other_names = true;
    manifest.ready = begin_refresh(job, excludes, false, false);
  }
  if (!job.planned) return;
  const auto unmatched =
      std::span(job.plan.unmatched).first(static_cast<std::size_t>(job.plan.unmatched_count));
  for (std::size_t x = 0; x < static_cast<std::size_t>(excludes.count); ++x) {
    if (std::ranges::find(unmatched, excludes.names[x]) == unmatched.end()) {
      tree.excludes_matched[x] = true;
    }
  }
}

// Walks to the next manifest not seen before and gets it ready; false at the
// end of the walk.
bool load_next_manifest(Tree& tree) {
  FoundManifest next{};
  std::string messages;
  defer_reports(&messages);
  bool found = false;
  while (!found && next_manifest(tree.walk, next)) {
    found = !next.known_folder || tree.manifests_seen.insert(next.key).second;
  }
  const std::string& path = next.path;
  TreeManifest* manifest = nullptr;
  if (found || !messages.empty()) {
    manifest = &tree.manifests.emplace_back();
    manifest->messages = std::move(messages);
    defer_reports(&manifest->messages);
  }
  if (found) {
    ++tree.manifest_count;
    get_ready(tree, *manifest, path);
  }
  defer_reports(nullptr);
  return manifest != nullptr;
}

// The file of a manifest's next section: a job to feed, or null when the
// section needs none (no file, a file that did not open, a digest known).
TreeFile* file_to_feed(Tree& tree, TreeManifest& manifest) {
  const std::size_t s = manifest.next_section++;
  const SectionPlan& planned = manifest.job.plan.sections[s];
  if (!planned.visited || planned.target != Target::beside_manifest) return nullptr;
  ++tree.file_count;
  FileStamp stamp{};
  const bool stamped = stamp_of_path(planned.path.data(), stamp);
  if (const auto known = tree.known.find(key_of(stamp));
      stamped && known != tree.known.end() && known->second.stamp == stamp) {
    manifest.outcomes[s] = {0, {DigestStatus::ok, 0}, true, known->second.hex};
    return nullptr;
  }
  if (const auto reading = tree.reading.find(key_of(stamp));
      stamped && reading != tree.reading.end() && reading->second->before == stamp) {
    manifest.files[s] = reading->second;
    ++reading->second->readers;
    manifest.waits_for = std::max(manifest.waits_for, reading->second->sequence);
    return nullptr;
  }
  const OpenResult opened = open_regular_file(planned.path.data());
  if (opened.file == nullptr) {
    manifest.outcomes[s].open_error = opened.error;
    return nullptr;
  }
  TreeFile& file = tree.files.emplace_back();
  file.stamped = stamp_of_open_file(opened.file, file.before);
  file.job = {
      opened.file, file.stamped ? file.before.size : regular_file_size(opened.file), {}, {}};
  file.path = planned.path.data();
  file.sequence = ++tree.fed;
  file.readers = 1;
  if (file.stamped) tree.reading[key_of(file.before)] = &file;
  manifest.files[s] = &file;
  manifest.waits_for = file.sequence;
  return &file;
}

bool all_fed(const TreeManifest& manifest) {
  return !manifest.ready ||
         manifest.next_section == static_cast<std::size_t>(manifest.job.plan.section_count);
}

// The outcomes of its files, taken from the files it shared with others.
void take_outcomes(TreeManifest& manifest) {
  for (std::size_t s = 0; s < manifest.files.size(); ++s) {
    if (TreeFile* file = manifest.files[s]) {
      manifest.outcomes[s] = file->outcome;
      --file->readers;
      manifest.files[s] = nullptr;
    }
  }
}

// What a run of its own prints while the files are digested: each section's
// messages and its report or check line.
void print_sections(Tree& tree, TreeManifest& manifest, CheckTally& tally) {
  RefreshJob& job = manifest.job;
  for (std::size_t s = 0; s < static_cast<std::size_t>(job.plan.section_count); ++s) {
    const SectionPlan& planned = job.plan.sections[s];
    if (!planned.visited) continue;
    const FileOutcome& outcome = manifest.outcomes[s];
    const Section& section = job.manifest->sections[s];
    const bool digested = report_outcome(section, planned, outcome);
    if (tree.request.check) {
      tally_section(tally, section, planned, digested, outcome.hex, tree.request.output);
    } else if (digested) {
      print_report_line(outcome.hex, planned.path.data());
      if (manifest.no_room[s]) report_no_room(section, planned.path.data());
    }
  }
}

void finish_check(Tree& tree, TreeManifest& manifest) {
  clear_progress_line(tree.progress);
  put_deferred_reports(manifest.messages);
  if (manifest.job.input_path.empty()) return;  // only what the walk said
  CheckTally tally{};
  if (manifest.ready) print_sections(tree, manifest, tally);
  const int status = manifest.ready
                         ? end_check(tally, manifest.job.input_path.c_str(), tree.request.output)
                         : CHECK_NOT_MADE;
  ++tree.check_statuses[static_cast<std::size_t>(status)];
}

bool holds_digest(const SectionPlan& planned, const FileOutcome& outcome) {
  return planned.visited && planned.target == Target::beside_manifest && outcome.open_error == 0 &&
         outcome.result.status == DigestStatus::ok && outcome.unchanged;
}

// A refresh's first step, which prints nothing yet: the digests stored and
// the output written, flushed and closed, what is said of it kept.
void write_refreshed(TreeManifest& manifest) {
  if (!manifest.ready) return;
  RefreshJob& job = manifest.job;
  defer_reports(&manifest.late);
  for (std::size_t s = 0; s < static_cast<std::size_t>(job.plan.section_count); ++s) {
    if (holds_digest(job.plan.sections[s], manifest.outcomes[s])) {
      manifest.no_room[s] = !put_digest(job.manifest->sections[s], manifest.outcomes[s].hex);
    }
  }
  manifest.written = start_write(job, !syncs_file_system());
  defer_reports(nullptr);
}

// One sync of each file system the batch's outputs lie on, through an output
// held open there (a path could have gone meanwhile); when one fails, the
// outputs on that file system are given up (`before_replace`) or said to be
// perhaps not durable, and the others go on.
void sync_outputs(std::vector<TreeManifest>& batch, bool before_replace, int failed_sync) {
  for (std::size_t first = 0; first < batch.size(); ++first) {
    const OutputFile& output = batch[first].job.output;
    const auto on_this_system = [&](std::size_t m) {
      return batch[m].written && same_file_system(batch[m].job.output, output);
    };
    if (!on_this_system(first)) continue;
    bool synced_before = false;
    for (std::size_t m = 0; m < first && !synced_before; ++m)
      synced_before = on_this_system(m);
    if (synced_before) continue;
    const int error = failed_sync != 0 ? failed_sync : sync_file_system(output);
    if (error == 0 || !before_replace) continue;
    for (std::size_t m = batch.size(); m-- > first;) {
      if (!on_this_system(m)) continue;
      defer_reports(&batch[m].late);
      abandon_write(batch[m].job, error);
      batch[m].written = false;
    }
    defer_reports(nullptr);
  }
}

// The batch's outputs made durable together, then put in place, then each
// manifest's messages and lines in the walk's order, as its own run prints them.
void commit_batch(Tree& tree) {
  std::vector<TreeManifest>& batch = tree.batch;
  const bool once = syncs_file_system();
  if (once) sync_outputs(batch, true, tree.batches_committed++ == 0 ? tree.request.failed_sync : 0);
  for (TreeManifest& manifest : batch) {
    if (!manifest.written) continue;
    defer_reports(&manifest.late);
    manifest.written = commit_write(manifest.job, !once);
    defer_reports(nullptr);
  }
  if (once) sync_outputs(batch, false, 0);  // the renames; a failure here loses nothing
  for (TreeManifest& manifest : batch)
    close_output(manifest.job.output);
  clear_progress_line(tree.progress);
  for (TreeManifest& manifest : batch) {
    put_deferred_reports(manifest.messages);
    if (manifest.job.input_path.empty()) continue;  // only what the walk said
    CheckTally unused{};
    if (manifest.ready) print_sections(tree, manifest, unused);
    put_deferred_reports(manifest.late);
    ++(manifest.written ? tree.written : tree.refused);
  }
  batch.clear();
}

// Finishes the manifests at the front whose files are all done (a refresh's
// in batches: at most TEMPORARIES_AT_ONCE, none waiting longer than
// BATCH_WAIT), and lets go of the files that no manifest waits for.
void finish_ready(Tree& tree, bool at_end = false) {
  while (!tree.manifests.empty() && all_fed(tree.manifests.front()) &&
         tree.manifests.front().waits_for <= tree.delivered) {
    TreeManifest& manifest = tree.manifests.front();
    take_outcomes(manifest);
    if (tree.request.check) {
      finish_check(tree, manifest);
    } else {
      write_refreshed(manifest);
      if (tree.batch.empty()) tree.batch_started = std::chrono::steady_clock::now();
      tree.batch.push_back(std::move(manifest));
      if (tree.batch.size() >= tree.request.limits.batch) commit_batch(tree);
    }
    tree.manifests.pop_front();
  }
  if (!tree.batch.empty() &&
      (at_end || std::chrono::steady_clock::now() - tree.batch_started >= BATCH_WAIT)) {
    commit_batch(tree);
  }
  while (!tree.files.empty() && tree.files.front().delivered && tree.files.front().readers == 0) {
    tree.files.pop_front();
    ++tree.files_let_go;
  }
}

bool feed_tree(Tree& tree, FileJob*& job) {
  finish_ready(tree);
  for (;;) {
    if (!tree.manifests.empty() && !all_fed(tree.manifests.back())) {
      if (TreeFile* file = file_to_feed(tree, tree.manifests.back())) {
        job = &file->job;
        return true;
      }
      continue;
    }
    if (tree.manifests.size() >= tree.request.limits.manifests_in_flight) {
      job = nullptr;  // more when the first are finished
      return true;
    }
    if (!load_next_manifest(tree)) return false;
  }
}

// Files are delivered in the order fed: the job is the first one not yet delivered.
void file_done(Tree& tree, FileJob& job) {
  TreeFile& file = tree.files[static_cast<std::size_t>(tree.delivered) - tree.files_let_go];
  if (&file.job != &job) std::abort();  // the scheduler's promise broken
  file.outcome = close_digested(file.job, file.before, file.stamped, file.path.c_str());
  file.delivered = true;
  ++tree.delivered;
  if (file.stamped) {
    const auto reading = tree.reading.find(key_of(file.before));
    if (reading != tree.reading.end() && reading->second == &file) tree.reading.erase(reading);
    if (file.outcome.result.status == DigestStatus::ok && file.outcome.unchanged) {
      tree.known[key_of(file.before)] = {file.before, file.outcome.hex};
    }
  }
  finish_ready(tree);
}

std::string counted(std::size_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

void report_summary(Tree& tree) {
  for (int x = 0; x < tree.request.excludes.count; ++x) {
    if (tree.excludes_matched[static_cast<std::size_t>(x)]) continue;
    const std::string_view name = tree.request.excludes.names[static_cast<std::size_t>(x)];
    report("-x \"%.*s\": no section of that name in any manifest", static_cast<int>(name.size()),
           name.data());
  }
  if (tree.request.check && tree.request.output == CheckOutput::status_only) return;
  std::string counts;
  if (tree.request.check) {
    const auto& statuses = tree.check_statuses;
    const std::size_t not_checked = statuses[2] + tree.walk.linked_manifests;
    counts = std::to_string(statuses[0]) + " OK, " + std::to_string(statuses[1]) + " not OK";
    if (not_checked > 0) counts += ", " + std::to_string(not_checked) + " not checked";
  } else {
    counts = std::to_string(tree.written) + " written, " +
             std::to_string(tree.refused + tree.walk.linked_manifests) + " refused";
  }
  report("%s, %s: %s",
         counted(tree.manifest_count + tree.walk.linked_manifests, "manifest").c_str(),
         counted(tree.file_count, "file").c_str(), counts.c_str());
}

int exit_status(const Tree& tree) {
  if (!tree.request.check) return tree.refused == 0 && !tree.walk.failed ? 0 : 1;
  if (tree.walk.failed || tree.check_statuses[2] > 0) return CHECK_NOT_MADE;
  return tree.check_statuses[1] > 0 ? CHECK_NOT_ALL_OK : CHECK_ALL_OK;
}

}  // namespace

int run_trees(const TreeRequest& request) {
  const auto tree = std::make_unique<Tree>(request);
  tree->walk.folders = request.folders;
  tree->progress = begin_open_ended_progress_line();
  ProgressTick tick;
  if (tree->progress.shown) {
    tick = [&tree](std::size_t done, std::uint64_t bytes) {
      draw_progress_line(tree->progress, done, bytes);
    };
  }
  digest_file_feed([&tree](FileJob*& job) { return feed_tree(*tree, job); },
                   request.limits.files_in_flight, [&tree](FileJob& job) { file_done(*tree, job); },
                   tick);
  if (request.files_read != nullptr) *request.files_read = static_cast<std::size_t>(tree->fed);
  finish_ready(*tree, true);
  clear_progress_line(tree->progress);
  report_summary(*tree);
  return exit_status(*tree);
}

}  // namespace md5refresh
