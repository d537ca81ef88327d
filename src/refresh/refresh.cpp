// SPDX-License-Identifier: MIT
// The run feeds the digest ahead of the output: manifests are prepared as the
// digest needs their files, and each is finished once its files and those of
// every manifest before it are done. A bounded window of manifests and files
// is in flight, so descriptors and memory stay bounded whatever the size of
// the tree; only a digest per file read stays for the run, so that a file
// reached again through another name is not read again. What each manifest
// says is held until the manifests before it are shown.
#include "refresh/refresh.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "digest/file_set_digest.hpp"
#include "platform/diagnostics.hpp"
#include "platform/file_access.hpp"
#include "platform/process.hpp"
#include "refresh/progress_line.hpp"
#include "refresh/tree.hpp"

namespace md5refresh {

static_assert(TreeLimits{}.batch <= TEMPORARIES_AT_ONCE, "an interrupt removes every temporary");

namespace {

// A manifest whose files are done waits at most this long for others to be
// made durable with it: one sync for a batch instead of one each.
constexpr std::chrono::milliseconds BATCH_WAIT{100};

// A file being digested for one section or more.
struct SharedFile {
  FileJob job{};
  FileStamp before{};  // as it was looked at before the digest
  std::string path;    // where it is
  HeldFolder folder;
  std::uint64_t sequence = 0;
  bool delivered = false;
  FileOutcome outcome{};
  int readers = 0;  // sections of unfinished manifests that wait for it
};

// A manifest from the moment it is found until its lines are shown; or only
// what the walk said after the last manifest.
struct Pending {
  ManifestRun run;
  bool only_said = false;
  std::array<SharedFile*, MAX_SECTIONS> files{};  // null: the outcome is below
  std::array<FileOutcome, MAX_SECTIONS> outcomes{};
  std::size_t next_to_feed = 0;
};

using FileKey = std::pair<std::uint64_t, std::uint64_t>;  // device, inode

struct KnownDigest {
  FileStamp stamp;
  Digests digests;
};

// Where the manifests come from: one named on the command line, or a walk.
struct Source {
  const char* input_path = nullptr;  // null: the walk
  const char* output_path = nullptr;
  bool output_named = false;
  std::span<const char* const> folders;
};

// A tree's batches are committed on a thread of their own, one at a time,
// while the walk, the loads and the digest go on: the system calls of the
// writes and their syncs cost the walking thread nothing. What the batch's
// manifests say meanwhile is kept, and shown by the walking thread once the
// commit is over, in the walk's order.
struct Committer {
  Committer() = default;
  Committer(const Committer&) = delete;
  Committer& operator=(const Committer&) = delete;
  ~Committer() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
      changed.notify_all();
    }
    if (thread.joinable()) thread.join();
  }
  std::thread thread;
  std::mutex mutex;
  std::condition_variable changed;
  // Handed over, or committed and not yet shown; only the walking thread
  // adds or removes.
  std::vector<Pending> batch;
  int failed_sync = 0;
  bool committing = false;  // under the mutex
  bool stopping = false;
};

struct Run {
  Run(const RunSettings& run_settings, const Source& run_source, const TreeLimits& run_limits)
      : settings(run_settings), source(run_source), limits(run_limits) {
    walk.folders = source.folders;
  }
  const RunSettings& settings;
  const Source& source;
  TreeLimits limits;
  int failed_sync = 0;
  bool single_taken = false;
  bool no_more_manifests = false;
  TreeWalk walk;
  std::deque<Pending> manifests;  // in the walk's order, not yet shown
  std::deque<SharedFile> files;   // in the order fed
  std::map<FileKey, SharedFile*> reading;
  std::map<FileKey, KnownDigest> known;
  std::set<ManifestKey> manifests_seen;
  std::uint64_t fed = 0, delivered = 0;
  std::size_t files_let_go = 0;  // delivered, and gone from `files`
  ProgressLine progress{};
  std::size_t manifest_count = 0, file_count = 0;  // files: those digested
  std::size_t written = 0, incomplete = 0, refused = 0;
  std::array<std::size_t, 3> check_statuses{};  // manifests by check status
  int last_check_status = CHECK_NOT_MADE;
  std::array<bool, MAX_EXCLUDES> excludes_matched{};
  std::vector<Pending> batch;  // finished refreshes, to be committed together
  std::chrono::steady_clock::time_point batch_started;
  std::size_t batches = 0;
  Committer committer;  // last: its thread ends before the rest goes
};

bool single(const Run& run) {
  return run.source.input_path != nullptr;
}

FileKey key_of(const FileStamp& stamp) {
  return {stamp.device, stamp.inode};
}

// The front manifest shows what it says as it comes once every manifest
// before it is shown.
void show_front(Run& run) {
  if (!run.batch.empty() || !run.committer.batch.empty() || run.manifests.empty()) return;
  Transcript& transcript = run.manifests.front().run.transcript;
  if (!transcript.held) return;
  clear_progress_line(run.progress);
  show_transcript(transcript);
}

void note_matched_excludes(Run& run, const ManifestPlan& plan) {
  const ExcludeList& excludes = run.settings.excludes;
  const auto unmatched =
      std::span(plan.unmatched).first(static_cast<std::size_t>(plan.unmatched_count));
  for (std::size_t x = 0; x < static_cast<std::size_t>(excludes.count); ++x) {
    if (std::ranges::find(unmatched, excludes.names[x]) == unmatched.end()) {
      run.excludes_matched[x] = true;
    }
  }
}

// Finds the next manifest not taken before and prepares it; false when no
// manifest follows (what the walk said last is kept all the same).
bool load_next_manifest(Run& run) {
  Pending& pending = run.manifests.emplace_back();
  ManifestRun& manifest = pending.run;
  manifest.transcript.held = true;
  bool found = false;
  if (single(run)) {
    found = !std::exchange(run.single_taken, true);
    manifest.transcript.line_by_line = true;
    manifest.input_path = run.source.input_path;
    manifest.output_path = run.source.output_path;
    manifest.output_named = run.source.output_named;
  } else {
    FoundManifest next{};
    while (!found && next_manifest(run.walk, next, manifest.transcript)) {
      found = !next.key.known() || run.manifests_seen.insert(next.key).second;
    }
    manifest.input_path = manifest.output_path = next.path;
    manifest.folder = std::move(next.folder);
  }
  if (!found) {
    pending.only_said = true;
    if (manifest.transcript.kept.empty()) run.manifests.pop_back();
    return false;
  }
  ++run.manifest_count;
  show_front(run);
  if (manifest.input_path.size() > MANIFEST_PATH_LIMIT) {
    say(manifest.transcript, "path longer than %d bytes: %s", static_cast<int>(MANIFEST_PATH_LIMIT),
        manifest.input_path.c_str());
    return true;
  }
  (void)prepare_manifest(manifest, run.settings);
  if (manifest.planned) note_matched_excludes(run, manifest.plan);
  return true;
}

// The kinds section `s`'s file is read for: its own, and those of the later
// sections of the manifest that lead to the same file and share its read.
DigestKinds kinds_for_file(const Run& run, const Pending& pending, std::size_t s) {
  const ManifestRun& manifest = pending.run;
  DigestKinds kinds{};
  for (std::size_t t = s; t < static_cast<std::size_t>(manifest.plan.section_count); ++t) {
    const bool same_file = t == s || manifest.plan.sections[t].same_file_as == static_cast<int>(s);
    if (same_file) kinds |= kinds_wanted(manifest.manifest->sections[t], run.settings);
  }
  return kinds;
}

// The file of a manifest's next section: a job to feed, or null when the
// section needs none (no file, not a regular file, a digest known, a file
// already being read). A digest known or a read under way serves only where
// it has every kind the section needs.
SharedFile* file_to_feed(Run& run, Pending& pending) {
  const std::size_t s = pending.next_to_feed++;
  const SectionPlan& planned = pending.run.plan.sections[s];
  if (!planned.visited || planned.target != Target::beside_manifest) return nullptr;
  const DigestKinds kinds = kinds_for_file(run, pending, s);
  const int folder = folder_descriptor(pending.run.folder);
  // Only looked at here, its identity from that look: the worker that digests
  // it opens it, and the stamp after its read tells whether that met the file
  // looked at.
  FileStamp stamp{};
  if (const int error = look_at_regular_file(planned.path.data(), folder, stamp); error != 0) {
    pending.outcomes[s].open_error = error;
    return nullptr;
  }
  if (const auto known = run.known.find(key_of(stamp)); known != run.known.end() &&
                                                        known->second.stamp == stamp &&
                                                        covers(known->second.digests, kinds)) {
    pending.outcomes[s] = {0, {DigestStatus::ok, 0}, true, known->second.digests};
    return nullptr;
  }
  if (const auto reading = run.reading.find(key_of(stamp));
      reading != run.reading.end() && reading->second->before == stamp &&
      takes_all(reading->second->job.wanted, kinds)) {
    pending.files[s] = reading->second;
    ++reading->second->readers;
    return nullptr;
  }
  SharedFile& file = run.files.emplace_back();
  file.before = stamp;
  file.path = planned.path.data();
  file.folder = pending.run.folder;
  file.job = {nullptr, stamp.size, {}, {}, file.path.c_str(), folder};
  file.job.wanted = kinds;
  file.sequence = ++run.fed;
  file.readers = 1;
  run.reading[key_of(file.before)] = &file;
  pending.files[s] = &file;
  return &file;
}

bool all_fed(const Pending& pending) {
  return pending.only_said || !pending.run.ready ||
         pending.next_to_feed == static_cast<std::size_t>(pending.run.plan.section_count);
}

// Finishes the front manifest's sections whose files are done, in order;
// true when every one is.
bool finish_sections(Run& run, Pending& pending) {
  ManifestRun& manifest = pending.run;
  if (pending.only_said || !manifest.ready) return true;
  while (manifest.finished_sections < pending.next_to_feed) {
    const std::size_t s = manifest.finished_sections;
    if (SharedFile* file = pending.files[s]) {
      if (!file->delivered) return false;
      pending.outcomes[s] = file->outcome;
      --file->readers;
      pending.files[s] = nullptr;
    }
    if (!manifest.transcript.held) clear_progress_line(run.progress);
    finish_section(manifest, pending.outcomes[s], run.settings);
  }
  return all_fed(pending);
}

void commit_pending(std::vector<Pending>& batch, bool batched, int failed_sync) {
  std::vector<ManifestRun*> runs;
  for (Pending& pending : batch) {
    if (!pending.only_said) runs.push_back(&pending.run);
  }
  commit_outputs(runs, batched, failed_sync);
}

void commit_in_turn(Committer& committer) {
  std::unique_lock lock(committer.mutex);
  for (;;) {
    committer.changed.wait(lock, [&] { return committer.committing || committer.stopping; });
    if (!committer.committing) return;
    lock.unlock();
    commit_pending(committer.batch, true, committer.failed_sync);
    lock.lock();
    committer.committing = false;
    committer.changed.notify_all();
  }
}

// Each committed manifest's lines and messages shown in the walk's order, as
// its own run shows them.
void show_batch(Run& run, std::vector<Pending>& batch) {
  clear_progress_line(run.progress);
  for (Pending& pending : batch) {
    show_transcript(pending.run.transcript);
    if (pending.only_said) continue;
    const ManifestRun& manifest = pending.run;
    ++(!manifest.written ? run.refused : !complete(manifest) ? run.incomplete : run.written);
  }
  batch.clear();
}

// Shows the batch the committer has committed, waiting for it when `wait`;
// true when a batch was shown.
bool show_committed(Run& run, bool wait) {
  Committer& committer = run.committer;
  if (committer.batch.empty()) return false;
  {
    std::unique_lock lock(committer.mutex);
    if (wait) committer.changed.wait(lock, [&] { return !committer.committing; });
    if (committer.committing) return false;
  }
  show_batch(run, committer.batch);
  return true;
}

// Hands the batch to the committer once the one before it is shown; a
// manifest named alone, or a tree whose committer cannot start, commits here.
void commit_batch(Run& run) {
  Committer& committer = run.committer;
  (void)show_committed(run, true);
  const int failed_sync = run.batches++ == 0 ? run.failed_sync : 0;
  if (!single(run) && !committer.thread.joinable()) {
    try {
      committer.thread = std::thread(commit_in_turn, std::ref(committer));
    } catch (const std::exception&) {
      // committed here, then
    }
  }
  if (single(run) || !committer.thread.joinable()) {
    clear_progress_line(run.progress);
    commit_pending(run.batch, !single(run), failed_sync);
    show_batch(run, run.batch);
    return;
  }
  // A manifest shown already says no more until the walking thread shows it.
  for (Pending& pending : run.batch)
    pending.run.transcript.held = true;
  std::lock_guard lock(committer.mutex);
  committer.batch = std::move(run.batch);
  run.batch.clear();
  committer.failed_sync = failed_sync;
  committer.committing = true;
  committer.changed.notify_all();
}

void finish_check(Run& run, Pending& pending) {
  if (!pending.only_said) {
    run.last_check_status = end_check_of(pending.run, run.settings);
    ++run.check_statuses[static_cast<std::size_t>(run.last_check_status)];
  }
  clear_progress_line(run.progress);
  show_transcript(pending.run.transcript);
}

// Finishes what is done, in the walk's order: the sections of the manifests
// at the front, and each manifest whose sections all are; a refresh's in
// batches of at most `limits.batch`, none waiting longer than BATCH_WAIT.
// Then lets go of the files that no manifest waits for.
void finish_ready(Run& run, bool at_end = false) {
  if (show_committed(run, false)) show_front(run);
  while (!run.manifests.empty() && finish_sections(run, run.manifests.front())) {
    Pending& pending = run.manifests.front();
    run.file_count += static_cast<std::size_t>(pending.run.files_digested);
    if (run.settings.kind == RunKind::check) {
      finish_check(run, pending);
    } else {
      if (pending.run.ready) end_refresh_of(pending.run);
      if (run.batch.empty()) run.batch_started = std::chrono::steady_clock::now();
      run.batch.push_back(std::move(pending));
    }
    run.manifests.pop_front();
    if (!run.batch.empty() && (run.batch.size() >= run.limits.batch || single(run))) {
      commit_batch(run);
    }
    show_front(run);
  }
  if (!run.batch.empty() &&
      (at_end || std::chrono::steady_clock::now() - run.batch_started >= BATCH_WAIT)) {
    commit_batch(run);
    show_front(run);
  }
  if (at_end && show_committed(run, true)) show_front(run);
  while (!run.files.empty() && run.files.front().delivered && run.files.front().readers == 0) {
    run.files.pop_front();
    ++run.files_let_go;
  }
}

bool feed(Run& run, FileJob*& job) {
  finish_ready(run);
  for (;;) {
    if (!run.manifests.empty() && !all_fed(run.manifests.back())) {
      if (SharedFile* file = file_to_feed(run, run.manifests.back())) {
        job = &file->job;
        return true;
      }
      continue;
    }
    // Those waiting to be committed count too: their descriptors are open.
    if (run.manifests.size() + run.batch.size() + run.committer.batch.size() >=
        run.limits.manifests_in_flight) {
      if (!run.manifests.empty()) {
        job = nullptr;  // more when the first are finished
        return true;
      }
      // No file is awaited: only a commit frees the window, and it is made now
      // rather than after the batch's wait.
      if (!run.batch.empty()) commit_batch(run);
      (void)show_committed(run, true);
      show_front(run);
      continue;
    }
    if (!load_next_manifest(run)) {
      run.no_more_manifests = true;
      return false;
    }
  }
}

// Files are delivered in the order fed: the job is the first one not yet delivered.
void file_done(Run& run, FileJob& job, const ClosedStamps* closed) {
  SharedFile& file = run.files[static_cast<std::size_t>(run.delivered) - run.files_let_go];
  if (&file.job != &job) std::abort();  // the scheduler's promise broken
  if (closed == nullptr) std::abort();  // the run closes every file it reads
  file.outcome = close_digested(file.job, *closed, file.before);
  file.folder = nullptr;
  file.delivered = true;
  ++run.delivered;
  const auto reading = run.reading.find(key_of(file.before));
  if (reading != run.reading.end() && reading->second == &file) run.reading.erase(reading);
  if (file.outcome.result.status == DigestStatus::ok && file.outcome.unchanged) {
    run.known[key_of(file.before)] = {file.before, file.outcome.digests};
  }
  finish_ready(run);
}

// A manifest named alone has its files looked at before the digest starts,
// so that the digest's plan and the progress line know them all.
std::vector<FileJob*> look_at_single(Run& run) {
  std::vector<FileJob*> jobs;
  if (!load_next_manifest(run)) return jobs;
  Pending& pending = run.manifests.back();
  while (!all_fed(pending)) {
    if (SharedFile* file = file_to_feed(run, pending)) jobs.push_back(&file->job);
  }
  std::uint64_t total_bytes = 0;
  for (const FileJob* job : jobs)
    total_bytes += job->size;
  run.progress =
      begin_progress_line(total_bytes, jobs.size(), jobs.size() == 1 ? run.files.back().path : "");
  return jobs;
}

void digest_all(Run& run, std::size_t* files_read) {
  note_standard_streams();
  std::vector<FileJob*> looked_at;
  if (single(run)) {
    looked_at = look_at_single(run);
  } else {
    run.progress = begin_open_ended_progress_line();
  }
  DigestOptions settings{run.limits.files_in_flight, run.limits.files_open};
  if (single(run)) settings.expected = looked_at.size();
  if (run.progress.shown) {
    // Drawn only while files remain: none after the last file's line.
    settings.tick = [&run](std::size_t done, std::uint64_t bytes) {
      if (run.no_more_manifests && run.delivered == run.fed) return;
      draw_progress_line(run.progress, done, bytes);
    };
  }
  std::size_t handed = 0;
  digest_files(
      [&](FileJob*& job) {
        if (handed < looked_at.size()) {
          job = looked_at[handed++];
          return true;
        }
        return feed(run, job);
      },
      [&run](FileJob& job, const ClosedStamps* closed) { file_done(run, job, closed); }, settings);
  finish_ready(run, true);
  clear_progress_line(run.progress);
  if (files_read != nullptr) *files_read = static_cast<std::size_t>(run.fed);
}

std::string counted(std::size_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

void report_summary(const Run& run, CheckOutput output) {
  const ExcludeList& excludes = run.settings.excludes;
  for (std::size_t x = 0; x < static_cast<std::size_t>(excludes.count); ++x) {
    if (run.excludes_matched[x]) continue;
    const std::string_view name = excludes.names[x];
    report("-x \"%.*s\": no section of that name in any manifest", static_cast<int>(name.size()),
           name.data());
  }
  const bool check = run.settings.kind == RunKind::check;
  if (check && output == CheckOutput::status_only) return;
  const std::size_t passed_over = run.walk.passed_over;
  std::string counts;
  if (check) {
    const auto& statuses = run.check_statuses;
    counts = std::to_string(statuses[0]) + " OK, " + std::to_string(statuses[1]) + " not OK";
    if (statuses[2] + passed_over > 0)
      counts += ", " + std::to_string(statuses[2] + passed_over) + " not checked";
  } else {
    counts = std::to_string(run.written) + " written, ";
    if (run.incomplete > 0) counts += std::to_string(run.incomplete) + " incomplete, ";
    counts += std::to_string(run.refused + passed_over) + " refused";
  }
  report("%s, %s: %s", counted(run.manifest_count + passed_over, "manifest").c_str(),
         counted(run.file_count, "file").c_str(), counts.c_str());
}

}  // namespace

int refresh_manifest(const char* input_path, const char* output_path, const ExcludeList& excludes,
                     bool output_named, bool ignore_missing, bool add_sha256) {
  const RunSettings settings{RunKind::refresh, excludes,  CheckOutput::every_line, false,
                             ignore_missing,   add_sha256};
  const Source source{input_path, output_path, output_named, {}};
  const auto run = std::make_unique<Run>(settings, source, TreeLimits{});
  digest_all(*run, nullptr);
  return run->written == 1 ? 0 : 1;
}

int check_manifest(const char* input_path, const ExcludeList& excludes, CheckOutput output,
                   bool ignore_missing) {
  const RunSettings settings{RunKind::check, excludes, output, false, ignore_missing};
  const Source source{input_path, input_path, false, {}};
  const auto run = std::make_unique<Run>(settings, source, TreeLimits{});
  digest_all(*run, nullptr);
  return run->last_check_status;
}

TreeLimits fit_to_descriptors(const TreeLimits& wanted, std::size_t allowed) {
  const std::size_t needed = wanted.files_open + 2 * wanted.manifests_in_flight + wanted.batch;
  const std::size_t budget = allowed > DESCRIPTORS_SPARED ? allowed - DESCRIPTORS_SPARED : 0;
  if (needed <= budget) return wanted;
  auto share = [&](std::size_t limit) { return std::max<std::size_t>(1, limit * budget / needed); };
  TreeLimits fitted = wanted;
  fitted.files_open = share(wanted.files_open);
  fitted.manifests_in_flight = share(wanted.manifests_in_flight);
  fitted.batch = share(wanted.batch);
  return fitted;
}

int run_trees(const TreeRequest& request) {
  const RunSettings settings{request.check ? RunKind::check : RunKind::refresh,
                             request.excludes,
                             request.output,
                             true,
                             request.ignore_missing,
                             request.add_sha256};
  const Source source{nullptr, nullptr, false, request.folders};
  const auto run = std::make_unique<Run>(settings, source,
                                         fit_to_descriptors(request.limits, descriptors_allowed()));
  run->failed_sync = request.failed_sync;
  digest_all(*run, request.files_read);
  report_summary(*run, request.output);
  if (!request.check) return run->refused + run->incomplete == 0 && !run->walk.failed ? 0 : 1;
  if (run->walk.failed || run->check_statuses[2] > 0) return CHECK_NOT_MADE;
  return run->check_statuses[1] > 0 ? CHECK_NOT_ALL_OK : CHECK_ALL_OK;
}

}  // namespace md5refresh
