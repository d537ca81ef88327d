// SPDX-License-Identifier: MIT
// The loop that ties a run's stages together: manifests come from their
// source and are prepared as the digest needs their files; their files go
// through the shared reads to the digest; each manifest is finished once its
// files and those of every manifest before it are done; a refresh's outputs
// are committed alone or in batches. A bounded window of manifests and files
// is in flight, so descriptors and memory stay bounded whatever the size of
// the tree. What each manifest says is held until the manifests before it
// are shown.
#include "refresh/refresh.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "digest/file_set_digest.hpp"
#include "manifest/manifest_reader.hpp"
#include "platform/diagnostics.hpp"
#include "platform/file_access.hpp"
#include "platform/process.hpp"
#include "refresh/batch_committer.hpp"
#include "refresh/json_lines.hpp"
#include "refresh/manifest_source.hpp"
#include "refresh/progress_line.hpp"
#include "refresh/shared_reads.hpp"

namespace md5refresh {

static_assert(TreeLimits{}.batch <= TEMPORARIES_AT_ONCE, "an interrupt removes every temporary");

namespace {

// A manifest whose files are done waits at most this long for others to be
// made durable with it: one sync for a batch instead of one each.
constexpr std::chrono::milliseconds BATCH_WAIT{100};

// A manifest from the moment it is found until its lines are shown.
struct ManifestInFlight {
  ManifestRun run;
  SectionReads sections;
};

// How a run of named manifests differs from a walk's, decided once from the
// source: a named manifest's files are looked at before the digest starts,
// so that the digest's plan and the progress line know them all, and its
// output is committed alone, synced by itself, as soon as it is finished.
struct RunShape {
  bool look_ahead;
  bool commit_alone;
};

struct Pipeline {
  Pipeline(const RunSettings& run_settings, ManifestSource manifest_source,
           const TreeLimits& run_limits)
      : settings(run_settings), source(std::move(manifest_source)), limits(run_limits) {
    // Several named manifests draw an open-ended progress line, as a walk does.
    const bool named = names_its_manifests(source);
    shape = {named && source.named.size() == 1, named};
    if (shape.commit_alone) limits.batch = 1;
  }
  const RunSettings& settings;
  ManifestSource source;
  TreeLimits limits;
  RunShape shape{};
  int failed_sync = 0;  // for tests: the first batch's sync fails with it
  bool no_more_manifests = false;
  std::deque<ManifestInFlight> manifests;  // in the source's order, not yet shown
  SharedReads reads;
  ProgressLine progress{};
  RunTotals counts;
  std::array<bool, MAX_EXCLUDES> excludes_matched{};
  std::vector<ManifestRun> batch;  // finished refreshes, to be committed together
  std::chrono::steady_clock::time_point batch_started;
  std::size_t batches = 0;
  BatchCommitter committer;  // last: its thread ends before the rest goes
};

// The front manifest shows what it says as it comes once every manifest
// before it is shown.
void show_front(Pipeline& p) {
  if (!p.batch.empty() || holds_a_batch(p.committer) || p.manifests.empty()) return;
  Transcript& transcript = p.manifests.front().run.transcript;
  if (!transcript.held) return;
  clear_progress_line(p.progress);
  show_transcript(transcript);
}

void note_matched_excludes(Pipeline& p, const ManifestPlan& plan) {
  const ExcludeList& excludes = p.settings.excludes;
  const auto unmatched =
      std::span(plan.unmatched).first(static_cast<std::size_t>(plan.unmatched_count));
  for (std::size_t x = 0; x < static_cast<std::size_t>(excludes.count); ++x) {
    if (std::ranges::find(unmatched, excludes.names[x]) == unmatched.end()) {
      p.excludes_matched[x] = true;
    }
  }
}

// Takes the next manifest from the source and prepares it; false when none
// follows (what the source said last is kept all the same).
bool load_next_manifest(Pipeline& p) {
  ManifestRun& run = p.manifests.emplace_back().run;
  run.transcript.held = true;
  if (!next_manifest_of(p.source, run)) {
    if (run.transcript.kept.empty()) {
      p.manifests.pop_back();
    } else {
      advance(run, Stage::said_only);
    }
    return false;
  }
  ++p.counts.manifests;
  show_front(p);
  if (run.input_path.size() > MANIFEST_PATH_LIMIT) {
    say(run.transcript, "path longer than %d bytes: %s", static_cast<int>(MANIFEST_PATH_LIMIT),
        run.input_path.c_str());
    advance(run, Stage::not_planned);
    return true;
  }
  prepare_manifest(run, p.settings);
  if (planned(run)) note_matched_excludes(p, run.plan);
  return true;
}

// Finishes the manifest's sections whose files are done, in order; true when
// every one is.
bool finish_sections(Pipeline& p, ManifestInFlight& manifest) {
  ManifestRun& run = manifest.run;
  if (run.stage != Stage::ready) return true;
  while (run.finished_sections < manifest.sections.next_to_feed) {
    const std::size_t s = run.finished_sections;
    if (!take_outcome(manifest.sections, s)) return false;
    if (!run.transcript.held) clear_progress_line(p.progress);
    finish_section(run, manifest.sections.outcomes[s], p.settings);
  }
  return all_fed(run, manifest.sections);
}

// The summary's count a committed manifest adds to.
std::size_t& count_of_outcome(RunTotals& counts, const ManifestRun& run) {
  switch (outcome_of(run)) {
    case Outcome::written:
      return counts.written;
    case Outcome::unchanged:
      return counts.unchanged;
    case Outcome::would_write:
      return counts.would_write;
    case Outcome::incomplete:
      return counts.incomplete;
    case Outcome::refused:
      break;
  }
  return counts.refused;
}

// Each committed manifest's lines and messages shown in the source's order,
// as its own run shows them.
void show_batch(Pipeline& p, std::vector<ManifestRun>& batch) {
  clear_progress_line(p.progress);
  for (ManifestRun& run : batch) {
    print_outcome(run, p.settings);
    show_transcript(run.transcript);
    if (run.stage == Stage::said_only) continue;
    ++count_of_outcome(p.counts, run);
    p.counts.files_not_digested += static_cast<std::size_t>(run.files_not_digested);
  }
  batch.clear();
}

// Shows the batch the committer has committed, waiting for it when `wait`;
// true when a batch was shown.
bool show_committed(Pipeline& p, bool wait) {
  std::vector<ManifestRun> committed;
  if (!take_back(p.committer, wait, committed)) return false;
  show_batch(p, committed);
  return true;
}

// Hands the batch to the committer once the one before it is shown; a
// manifest committed alone, or a batch whose committer cannot start, is
// committed here.
void commit_batch(Pipeline& p) {
  (void)show_committed(p, true);
  const int failed_sync = p.batches++ == 0 ? p.failed_sync : 0;
  if (!p.shape.commit_alone && start_committer(p.committer)) {
    hand_over(p.committer, p.batch, failed_sync);
    return;
  }
  clear_progress_line(p.progress);
  commit_here(p.batch, !p.shape.commit_alone, failed_sync);
  show_batch(p, p.batch);
}

void finish_check(Pipeline& p, ManifestRun& run) {
  if (run.stage != Stage::said_only) {
    const int status = end_check_of(run, p.settings);
    ++p.counts.check_statuses[static_cast<std::size_t>(status)];
    print_outcome(run, p.settings, status);
    const CheckTally& tally = run.tally;
    for (std::size_t v = 0; v < VERDICT_COUNT; ++v)
      p.counts.verdicts[v] += static_cast<std::size_t>(tally.counts[v]);
    p.counts.md5_only_changed += static_cast<std::size_t>(tally.md5_only_changed);
    p.counts.sha256_only_changed += static_cast<std::size_t>(tally.sha256_only_changed);
    p.counts.unlisted += static_cast<std::size_t>(tally.unlisted);
  }
  clear_progress_line(p.progress);
  show_transcript(run.transcript);
}

// Finishes what is done, in the source's order: the sections of the
// manifests at the front, and each manifest whose sections all are; a
// refresh's in batches of at most `limits.batch`, none waiting longer than
// BATCH_WAIT. Then lets go of the files that no manifest waits for.
void finish_ready(Pipeline& p, bool at_end = false) {
  if (show_committed(p, false)) show_front(p);
  while (!p.manifests.empty() && finish_sections(p, p.manifests.front())) {
    ManifestRun& run = p.manifests.front().run;
    p.counts.files += static_cast<std::size_t>(run.files_digested);
    if (p.settings.kind == RunKind::check) {
      finish_check(p, run);
    } else {
      if (run.stage == Stage::ready) end_refresh_of(run, p.settings);
      if (p.batch.empty()) p.batch_started = std::chrono::steady_clock::now();
      p.batch.push_back(std::move(run));
    }
    p.manifests.pop_front();
    if (p.batch.size() >= p.limits.batch) commit_batch(p);
    show_front(p);
  }
  if (!p.batch.empty() &&
      (at_end || std::chrono::steady_clock::now() - p.batch_started >= BATCH_WAIT)) {
    commit_batch(p);
    show_front(p);
  }
  if (at_end && show_committed(p, true)) show_front(p);
  let_go_of_done(p.reads);
}

// The digest's next file: from the last manifest taken while it has files to
// feed, else from the next manifest while the window has room for one.
bool next_job(Pipeline& p, FileJob*& job) {
  finish_ready(p);
  for (;;) {
    if (!p.manifests.empty() && !all_fed(p.manifests.back().run, p.manifests.back().sections)) {
      ManifestInFlight& last = p.manifests.back();
      if (SharedFile* file = file_to_feed(p.reads, last.run, last.sections, p.settings)) {
        job = &file->job;
        return true;
      }
      continue;
    }
    // Those waiting to be committed count too: their descriptors are open.
    if (p.manifests.size() + p.batch.size() + p.committer.batch.size() >=
        p.limits.manifests_in_flight) {
      if (!p.manifests.empty()) {
        job = nullptr;  // more when the first are finished
        return true;
      }
      // No file is awaited: only a commit frees the window, and it is made now
      // rather than after the batch's wait.
      if (!p.batch.empty()) commit_batch(p);
      (void)show_committed(p, true);
      show_front(p);
      continue;
    }
    if (!load_next_manifest(p)) {
      p.no_more_manifests = true;
      return false;
    }
  }
}

void file_done(Pipeline& p, FileJob& job, const ClosedStamps* closed) {
  if (closed == nullptr) std::abort();  // the digest closes every file it reads here
  deliver(p.reads, job, *closed);
  finish_ready(p);
}

// The first manifest's files, looked at before the digest starts.
std::vector<FileJob*> look_ahead(Pipeline& p) {
  std::vector<FileJob*> jobs;
  if (!load_next_manifest(p)) return jobs;
  ManifestInFlight& first = p.manifests.back();
  while (!all_fed(first.run, first.sections)) {
    if (SharedFile* file = file_to_feed(p.reads, first.run, first.sections, p.settings)) {
      jobs.push_back(&file->job);
    }
  }
  std::uint64_t total_bytes = 0;
  for (const FileJob* job : jobs)
    total_bytes += job->size;
  p.progress = begin_progress_line(total_bytes, jobs.size(),
                                   jobs.size() == 1 ? p.reads.files.back().path : "");
  return jobs;
}

void digest_all(Pipeline& p, std::size_t* files_read) {
  note_standard_streams();
  DigestOptions options{p.limits.files_in_flight, p.limits.files_open};
  std::vector<FileJob*> looked_at;
  if (p.shape.look_ahead) {
    looked_at = look_ahead(p);
    options.expected = looked_at.size();
  } else {
    p.progress = begin_open_ended_progress_line();
  }
  if (p.progress.shown) {
    // Drawn only while files remain: none after the last file's line.
    options.tick = [&p](std::size_t done, std::uint64_t bytes) {
      if (p.no_more_manifests && p.reads.delivered == p.reads.fed) return;
      draw_progress_line(p.progress, done, bytes);
    };
  }
  std::size_t handed = 0;
  digest_files(
      [&](FileJob*& job) {
        if (handed < looked_at.size()) {
          job = looked_at[handed++];
          return true;
        }
        return next_job(p, job);
      },
      [&p](FileJob& job, const ClosedStamps* closed) { file_done(p, job, closed); }, options);
  finish_ready(p, true);
  clear_progress_line(p.progress);
  if (files_read != nullptr) *files_read = static_cast<std::size_t>(p.reads.fed);
}

std::string counted(std::size_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// The run's status: a refresh's 0 when every manifest was written with every
// digest taken; a check's the worst of its manifests' (and a walk that failed).
int status_of(const Pipeline& p) {
  const RunTotals& counts = p.counts;
  const bool walk_failed = p.source.walk.failed;
  if (p.settings.kind == RunKind::refresh) {
    return counts.refused + counts.incomplete == 0 && !walk_failed ? 0 : 1;
  }
  if (walk_failed || counts.check_statuses[2] > 0) return CHECK_NOT_MADE;
  return counts.check_statuses[1] > 0 ? CHECK_NOT_ALL_OK : CHECK_ALL_OK;
}

// "-x" names no manifest of a walk matched, said once; then the one summary
// line, but for a check that prints nothing, or prints nothing when all is OK.
void report_summary(const Pipeline& p, CheckOutput output, bool warn_unmatched) {
  const ExcludeList& excludes = p.settings.excludes;
  for (std::size_t x = 0; warn_unmatched && x < static_cast<std::size_t>(excludes.count); ++x) {
    if (p.excludes_matched[x]) continue;
    const std::string_view name = excludes.names[x];
    report("-x \"%.*s\": no section of that name in any manifest", static_cast<int>(name.size()),
           name.data());
  }
  const bool check = p.settings.kind == RunKind::check;
  if (check && output == CheckOutput::status_only) return;
  if (check && output == CheckOutput::quiet && status_of(p) == CHECK_ALL_OK) return;
  std::string counts;
  if (check) {
    const auto& statuses = p.counts.check_statuses;
    counts = std::to_string(statuses[0]) + " OK, " + std::to_string(statuses[1]) + " not OK";
    if (statuses[2] > 0) counts += ", " + std::to_string(statuses[2]) + " not checked";
  } else {
    counts = p.settings.dry_run ? std::to_string(p.counts.would_write) + " would write, "
                                : std::to_string(p.counts.written) + " written, ";
    counts += std::to_string(p.counts.unchanged) + " unchanged, ";
    if (p.counts.incomplete > 0) counts += std::to_string(p.counts.incomplete) + " incomplete, ";
    counts += std::to_string(p.counts.refused) + " refused";
  }
  report("%s, %s: %s", counted(p.counts.manifests, "manifest").c_str(),
         counted(p.counts.files, "file").c_str(), counts.c_str());
}

// Whether `manifest`, read, has a section named `name`.
bool has_section(const char* manifest, std::string_view name) {
  const OpenResult opened = open_regular_file(manifest);
  if (opened.file == nullptr) return false;
  const std::unique_ptr<Manifest> read(new (std::nothrow) Manifest{});
  const bool readable =
      read != nullptr && read_manifest(opened.file, *read, nullptr).status == ReadStatus::ok;
  std::fclose(opened.file);
  const auto sections =
      std::span(read->sections).first(static_cast<std::size_t>(read->section_count));
  return readable && std::ranges::any_of(sections, [&](const Section& section) {
           return names_section(name, section);
         });
}

// What every manifest of a run of named manifests (`many` false) or of a
// walk is asked.
template <typename Request>
RunSettings settings_of(const Request& request, bool many) {
  return {request.check ? RunKind::check : RunKind::refresh,
          request.excludes,
          request.output,
          many,
          request.ignore_missing,
          request.add_sha256,
          request.dry_run,
          request.json,
          request.list_unlisted};
}

// A run's counts, handed to its caller where it asks for them.
void hand_totals(const Pipeline& p, RunTotals* totals) {
  if (totals != nullptr) *totals = p.counts;
}

}  // namespace

std::string summary_object(const RunTotals& totals, RunKind kind, bool dry_run, int exit_status) {
  JsonObject object;
  const bool check = kind == RunKind::check;
  add_text(object, "run", check ? "check" : (dry_run ? "dry run" : "refresh"));
  auto add_count = [&](std::string_view key, std::size_t count) {
    add_number(object, key, static_cast<std::int64_t>(count));
  };
  add_count("manifests", totals.manifests);
  add_count("files", totals.files);
  if (check) {
    add_count("manifests_ok", totals.check_statuses[CHECK_ALL_OK]);
    add_count("manifests_not_ok", totals.check_statuses[CHECK_NOT_ALL_OK]);
    add_count("manifests_not_checked", totals.check_statuses[CHECK_NOT_MADE]);
    JsonObject sections;
    for (std::size_t v = 0; v < VERDICT_COUNT; ++v) {
      add_number(sections, verdict_text(static_cast<Verdict>(v)),
                 static_cast<std::int64_t>(totals.verdicts[v]));
    }
    add_object(object, "sections", sections);
    add_count("md5_only_changed", totals.md5_only_changed);
    add_count("sha256_only_changed", totals.sha256_only_changed);
    add_count("unlisted", totals.unlisted);
  } else {
    add_count("files_not_digested", totals.files_not_digested);
    add_count("written", totals.written);
    add_count("would_write", totals.would_write);
    add_count("unchanged", totals.unchanged);
    add_count("incomplete", totals.incomplete);
    add_count("refused", totals.refused);
  }
  add_number(object, "exit_status", exit_status);
  return closed(object);
}

int run_named(const NamedRequest& request) {
  const RunSettings settings = settings_of(request, false);
  const auto p =
      std::make_unique<Pipeline>(settings, named_manifests(request.manifests), TreeLimits{});
  digest_all(*p, nullptr);
  // Each manifest warned of its own "-x" names.
  if (p->counts.manifests > 1) report_summary(*p, request.output, false);
  hand_totals(*p, request.totals);
  return status_of(*p);
}

int refresh_manifest(const char* input_path, const char* output_path, const ExcludeList& excludes,
                     bool output_named, bool ignore_missing, bool add_sha256) {
  const NamedManifest named[] = {{input_path, output_path, output_named}};
  return run_named({named, excludes, false, CheckOutput::every_line, ignore_missing, add_sha256});
}

int check_manifest(const char* input_path, const ExcludeList& excludes, CheckOutput output,
                   bool ignore_missing) {
  const NamedManifest named[] = {{input_path, input_path, false}};
  return run_named({named, excludes, true, output, ignore_missing});
}

std::string_view file_taken_by_excludes(std::span<const NamedManifest> manifests,
                                        const ExcludeList& excludes) {
  for (const std::string_view name :
       std::span(excludes.names).first(static_cast<std::size_t>(excludes.count))) {
    const std::string path(name);
    FileStamp stamp{};
    if (look_at_regular_file(path.c_str(), NO_FOLDER, stamp) != 0) continue;
    const bool a_section = std::ranges::any_of(manifests, [&](const NamedManifest& manifest) {
      return has_section(manifest.input_path, name);
    });
    if (!a_section) return name;
  }
  return {};
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
  const RunSettings settings = settings_of(request, true);
  const auto p =
      std::make_unique<Pipeline>(settings, walk_of(request.folders),
                                 fit_to_descriptors(request.limits, descriptors_allowed()));
  p->failed_sync = request.failed_sync;
  TreeWalk& walk = p->source.walk;
  if (request.json) walk.passed_over_outcome = request.check ? "not checked" : "refused";
  digest_all(*p, request.files_read);
  p->counts.manifests += walk.passed_over;
  (request.check ? p->counts.check_statuses[CHECK_NOT_MADE] : p->counts.refused) +=
      walk.passed_over;
  report_summary(*p, request.output, true);
  hand_totals(*p, request.totals);
  return status_of(*p);
}

}  // namespace md5refresh
