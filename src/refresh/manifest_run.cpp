// SPDX-License-Identifier: MIT
// The input is read whole before the output is opened, which is what lets a
// manifest be refreshed in place; it stays open and locked until the output
// replaces it, and it must then still hold the bytes that were read.
#include "refresh/manifest_run.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "manifest/manifest_reader.hpp"
#include "manifest/manifest_writer.hpp"
#include "platform/seams.hpp"
#include "platform/text.hpp"
#include "refresh/json_lines.hpp"

namespace md5refresh {

namespace {

void close_input(OpenInput& input) {
  if (input.stream != nullptr) std::fclose(input.stream);
  input.stream = nullptr;
}

void report_write_error(ManifestRun& run, int error) {
  say(run.transcript, "cannot write %s: %s", run.output_path.c_str(), error_text(error));
}

// A comment or a stray word inside a section is kept, but as a key: the
// rewrite gives it an "=", so the user is told where.
void warn_about_keyless_lines(ManifestRun& run, const ReadResult& read) {
  const auto kept = std::min(static_cast<std::size_t>(read.keyless_count), KEYLESS_LINES_KEPT);
  for (const KeylessLine& keyless : std::span(read.keyless).first(kept)) {
    const Section& section = run.manifest->sections[static_cast<std::size_t>(keyless.section)];
    say(run.transcript,
        "%s:%ld: no \"=\" in this line of section \"%s\"; kept as a key with no value",
        run.input_path.c_str(), keyless.line, section.name.data());
  }
  if (read.keyless_count > static_cast<int>(kept)) {
    say(run.transcript, "%s: %d more lines with no \"=\" kept as keys with no value",
        run.input_path.c_str(), read.keyless_count - static_cast<int>(kept));
  }
}

// Opens and reads the input manifest whole, keeping it open in a refresh.
bool load(ManifestRun& run, bool keep_open) {
  const char* input_path = run.input_path.c_str();
  const int folder = folder_descriptor(run.folder);
  const OpenResult opened = open_regular_file(input_path, folder, folder == NO_FOLDER);
  if (opened.file == nullptr) {
    say(run.transcript, "cannot open %s: %s", input_path, error_text(opened.error));
    return false;
  }
  run.manifest.reset(new (std::nothrow) Manifest{});
  if (run.manifest == nullptr) {
    std::fclose(opened.file);
    say(run.transcript, "%s: out of memory", input_path);
    return false;
  }
  OpenInput& input = run.input;
  input.stream = opened.file;
  input.stamp = opened.stamp;
  input.stamped = true;
  input.names = opened.names;
  buffer_stream(input.stream, input.buffer);
  const ReadResult read =
      read_manifest(opened.file, *run.manifest, keep_open ? &input.bytes : nullptr);
  if (!keep_open || read.status != ReadStatus::ok) close_input(input);
  if (read.status == ReadStatus::read_error) {
    say(run.transcript, "cannot read %s: %s", input_path, error_text(read.error));
    return false;
  }
  if (read.status != ReadStatus::ok) {
    say(run.transcript, "%s:%ld: %s", input_path, read.line, read_status_text(read.status));
    return false;
  }
  warn_about_keyless_lines(run, read);
  return true;
}

bool report_probe(ManifestRun& run) {
  const OutputProbe& probe = run.probe;
  if (probe.error == 0) return true;
  if (!probe.directory.empty()) {
    say(run.transcript, "cannot create a temporary file in %s: %s", probe.directory.c_str(),
        error_text(probe.error));
  } else if (probe.sticky) {
    say(run.transcript, "cannot write %s: %s (another user's file in a sticky directory)",
        run.output_path.c_str(), error_text(probe.error));
  } else {
    report_write_error(run, probe.error);
  }
  return false;
}

// The output's side of a refresh, before any file is digested: that it can be
// written, whether it replaces the input, and the lock that keeps a second run
// from replacing the input meanwhile.
bool prepare_output(ManifestRun& run, const RunSettings& settings) {
  const char* input_path = run.input_path.c_str();
  if (const std::uint64_t names = run.input.names; settings.many && names > 1) {
    say(run.transcript, "%s has %llu names; not refreshed in a tree, name it alone", input_path,
        static_cast<unsigned long long>(names));
    return false;
  }
  if constexpr (WITH_SEAMS) {
    if (seams::after_read_hook != nullptr) seams::after_read_hook();
  }
  run.probe =
      probe_output(run.output_path.c_str(), folder_descriptor(run.folder), settings.dry_run);
  if (!report_probe(run)) return false;
  const bool regular = run.probe.kind == OutputKind::regular;
  const bool same_path = run.output_path == run.input_path;
  if (same_path && !regular && run.probe.kind != OutputKind::missing) {
    say(run.transcript, "%s is no longer the file that was read; not replaced", input_path);
    return false;
  }
  // By its path too: a save by rename since the read leaves another file
  // there, whose text must still be the text read.
  run.replaces_input =
      same_path || (regular && run.input.stamped && same_file(run.probe.existing, run.input.stamp));
  if (regular && !run.replaces_input && !run.output_named) {
    say(run.transcript, "writing %s from %s; choose the output with -o", run.output_path.c_str(),
        input_path);
  }
  if (run.replaces_input && !settings.dry_run && !lock_for_replace(run.input.stream)) {
    say(run.transcript, "%s is being refreshed by another run; not replaced", input_path);
    return false;
  }
  return true;
}

// Stores `digest` in every entry of `key`; false when the section has none.
bool store_in_every(Section& section, std::string_view key, std::string_view digest) {
  bool stored = false;
  for (Entry& entry : entries_of(section)) {
    if (field_text(entry.key) != key) continue;
    (void)set_field(entry.value, digest);
    stored = true;
  }
  return stored;
}

// A new entry at `at`, the ones from there on moved one place down; the
// caller has made sure there is room.
Entry& insert_entry(Section& section, std::size_t at, std::string_view key) {
  const auto entries = std::span(section.entries);
  const auto end = entries.begin() + section.entry_count++;
  std::move_backward(entries.begin() + static_cast<std::ptrdiff_t>(at), end, end + 1);
  Entry& entry = entries[at];
  entry = {};
  (void)set_field(entry.key, key);
  return entry;
}

// Stores the digest in every "md5" entry, or in a new one at the section's
// end; false when it has none and no room for one.
bool put_digest(Section& section, const HexDigest& hex) {
  if (store_in_every(section, "md5", hex.data())) return true;
  if (section.entry_count == MAX_ENTRIES) return false;
  (void)set_field(insert_entry(section, static_cast<std::size_t>(section.entry_count), "md5").value,
                  hex.data());
  return true;
}

// Stores the SHA-256 in every "sha256" entry, or, when `add`, in a new one
// right after the first "md5" entry, where readers that know both look; false
// when it has none and may not, or has no room for one.
bool put_sha256(Section& section, const Sha256Hex& sha256, bool add) {
  if (store_in_every(section, "sha256", sha256.data())) return true;
  if (!add || section.entry_count == MAX_ENTRIES) return false;
  const Entry* md5 = find_entry(section, "md5");
  const std::size_t at = md5 != nullptr ? static_cast<std::size_t>(md5 - section.entries.data()) + 1
                                        : static_cast<std::size_t>(section.entry_count);
  (void)set_field(insert_entry(section, at, "sha256").value, sha256.data());
  return true;
}

// Every entry of a digest's key gets the fresh digest; a second one is
// likely a mistake the user wants to hear of.
void warn_about_repeated_digests(const Section& section, Transcript& transcript) {
  for (const char* key : {"md5", "sha256"}) {
    if (const int count = count_entries(section, key); count > 1) {
      say(transcript, "section \"%s\" has %d %s entries", section.name.data(), count, key);
    }
  }
}

// An output that replaces the input must still hold the text that was read,
// byte for byte (a stamp misses an edit within the file system's time
// granularity, and takes a touch for one); any other output must be as the
// probe found it.
bool unchanged_since_read(const ManifestRun& run) {
  if (run.replaces_input) {
    return holds_bytes(run.input_path.c_str(), folder_descriptor(run.folder), run.input.stream,
                       run.input.stamp, run.input.bytes);
  }
  FileStamp now{};
  const bool exists = stamp_of_path(run.output.final_path.c_str(), now, run.output.folder);
  switch (run.probe.kind) {
    case OutputKind::missing:
      return !exists;
    case OutputKind::regular:
      return exists && now == run.probe.existing;
    default:
      return true;
  }
}

// Whether the output is the input, found by the probe at the output's path.
bool input_is_output(const ManifestRun& run) {
  return run.replaces_input && run.probe.kind == OutputKind::regular &&
         same_file(run.probe.existing, run.input.stamp);
}

// Whether the new text is what the input, the output itself, holds already.
bool text_as_read(const ManifestRun& run) {
  return input_is_output(run) && run.text == run.input.bytes;
}

// The last look before the output is put in place or the input left as it
// is: false, said, when what is there changed since the run looked at it.
bool still_as_found(ManifestRun& run) {
  if constexpr (WITH_SEAMS) {
    if (seams::before_replace_hook != nullptr) seams::before_replace_hook();
  }
  if (unchanged_since_read(run)) return true;
  say(run.transcript, "%s changed while the files were digested; not replaced",
      run.replaces_input ? run.input_path.c_str() : run.output_path.c_str());
  return false;
}

// The output written, flushed (and alone, synced) and kept open.
bool write_output(ManifestRun& run, bool synced) {
  int error = open_output(run.probe, input_is_output(run) ? run.input.stream : nullptr, run.output,
                          run.transcript);
  if (error == 0) {
    if (std::fwrite(run.text.data(), 1, run.text.size(), run.output.file) == run.text.size()) {
      error = finish_output(run.output, synced);
    } else {
      error = errno != 0 ? errno : EIO;
      discard_output(run.output);
    }
  }
  if (error == 0) return true;
  report_write_error(run, error);
  close_input(run.input);
  return false;
}

bool put_in_place(ManifestRun& run, bool synced) {
  if (!still_as_found(run)) {
    discard_output(run.output);
    close_input(run.input);
    return false;
  }
  // Elsewhere the lock on the input keeps a second run out until the new
  // manifest is in place.
  if (REPLACE_NEEDS_READERS_CLOSED) close_input(run.input);
  if constexpr (WITH_SEAMS) {
    if (seams::before_rename_hook != nullptr) seams::before_rename_hook();
  }
  const int error = replace_with_output(run.output, synced, run.transcript);
  close_input(run.input);
  if (error != 0) {
    if (run.output.original_put_back) {
      say(run.transcript, "cannot write %s: %s; the old manifest was put back",
          run.output_path.c_str(), error_text(error));
    } else if (run.output.kept_path.empty()) {
      report_write_error(run, error);
    } else {
      say(run.transcript, "cannot write %s: %s; the new manifest is kept in %s",
          run.output_path.c_str(), error_text(error), run.output.kept_path.c_str());
    }
    return false;
  }
  return true;
}

// The file system of each written output: the input's, when the output
// replaces the input (its temporary lies beside it), else asked once of the
// output held open there (a path could have gone meanwhile); NO_DEVICE where
// none is.
constexpr std::uint64_t NO_DEVICE = UINT64_MAX;
std::vector<std::uint64_t> devices_of(std::span<ManifestRun* const> runs) {
  std::vector<std::uint64_t> devices(runs.size(), NO_DEVICE);
  for (std::size_t r = 0; r < runs.size(); ++r) {
    const ManifestRun& run = *runs[r];
    FileStamp stamp{};
    if (run.stage != Stage::staged) continue;
    if (input_is_output(run)) {
      devices[r] = run.input.stamp.device;
    } else if (stamp_of_open_file(run.output.file, stamp)) {
      devices[r] = stamp.device;
    }
  }
  return devices;
}

// One sync of each file system the outputs lie on. When one fails before the
// renames, the outputs on that file system are given up; after them, the
// renames are in place and nothing is lost.
void sync_outputs(std::span<ManifestRun* const> runs, std::span<const std::uint64_t> devices,
                  bool before_replace, int failed_sync) {
  const Stage holding = before_replace ? Stage::staged : Stage::written;
  std::vector<bool> held(runs.size());
  for (std::size_t r = 0; r < runs.size(); ++r)
    held[r] = runs[r]->stage == holding && devices[r] != NO_DEVICE;
  std::vector<std::uint64_t> synced;
  for (std::size_t first = 0; first < runs.size(); ++first) {
    if (!held[first] || std::ranges::find(synced, devices[first]) != synced.end()) continue;
    synced.push_back(devices[first]);
    const int forced = before_replace ? std::exchange(failed_sync, 0) : 0;
    const int error = forced != 0 ? forced : sync_file_system(runs[first]->output);
    if (error == 0 || !before_replace) continue;
    for (std::size_t r = first; r < runs.size(); ++r) {
      if (!held[r] || devices[r] != devices[first]) continue;
      discard_output(runs[r]->output);
      close_input(runs[r]->input);
      report_write_error(*runs[r], error);
      advance(*runs[r], Stage::not_written);
    }
  }
}

}  // namespace

void advance(ManifestRun& run, Stage to) {
  const Stage from = run.stage;
  const bool allowed =
      (from == Stage::found && (to == Stage::not_planned || to == Stage::refused ||
                                to == Stage::ready || to == Stage::said_only)) ||
      (from == Stage::ready && (to == Stage::staged || to == Stage::not_written ||
                                to == Stage::unchanged || to == Stage::would_write)) ||
      (from == Stage::staged && (to == Stage::written || to == Stage::not_written));
  if (!allowed) std::abort();
  run.stage = to;
}

bool planned(const ManifestRun& run) {
  switch (run.stage) {
    case Stage::refused:
    case Stage::ready:
    case Stage::staged:
    case Stage::written:
    case Stage::not_written:
    case Stage::unchanged:
    case Stage::would_write:
      return true;
    default:
      return false;
  }
}

void prepare_manifest(ManifestRun& run, const RunSettings& settings) {
  const bool refresh = settings.kind == RunKind::refresh;
  if (!load(run, refresh)) return advance(run, Stage::not_planned);
  run.plan = plan_sections(*run.manifest, run.input_path, settings.excludes, settings.kind);
  // A tree warns of names no manifest matched at its end.
  const bool excluded_a_file = !settings.many && warn_about_unmatched(run.plan, run.transcript);
  // In a check, the manifest meant is not the one read: nothing is checked.
  if (excluded_a_file && !refresh) return advance(run, Stage::not_planned);
  warn_about_plan(*run.manifest, run.plan, run.transcript);
  if (refresh && !prepare_output(run, settings)) {
    close_input(run.input);
    return advance(run, Stage::refused);
  }
  advance(run, Stage::ready);
}

namespace {

// A file that several sections name counts once, at its first section the
// written manifest keeps.
void count_file(ManifestRun& run, std::size_t s, bool fresh) {
  const ManifestPlan& plan = run.plan;
  const int same = plan.sections[s].same_file_as;
  const std::size_t group = same == NO_SECTION ? s : static_cast<std::size_t>(same);
  std::size_t first = s;
  for (std::size_t r = group; r < s && first == s; ++r) {
    const bool same_group = r == group || plan.sections[r].same_file_as == static_cast<int>(group);
    if (same_group && plan.sections[r].visited && !plan.left_out[r]) first = r;
  }
  if (first == s) ++run.files_named;
  if (!fresh && !std::exchange(run.kept_stale[first], true)) ++run.files_not_digested;
}

}  // namespace

DigestKinds kinds_wanted(const Section& section, const RunSettings& settings) {
  return {.sha256 = find_entry(section, "sha256") != nullptr ||
                    (settings.kind == RunKind::refresh && settings.add_sha256)};
}

namespace {

// The object of a section's file: its digests where it was digested, and why
// where it was not.
FileLine file_line(const ManifestRun& run, const Section& section, const SectionPlan& planned,
                   const Digests* digests, std::string_view status) {
  FileLine line{run.input_path, field_text(section.name)};
  if (has_path(planned.target)) line.file = planned.path.data();
  if (digests != nullptr) {
    line.md5 = digests->md5.data();
    if (digests->sha256) line.sha256 = digests->sha256->data();
  } else if (planned.target != Target::no_file_path) {
    line.reason = run.transcript.last_said;
  }
  line.status = status;
  return line;
}

void show_check(ManifestRun& run, const Section& section, const SectionPlan& planned,
                const SectionCheck& check, const Digests* digests, const RunSettings& settings) {
  const bool ok = check.verdict == Verdict::ok;
  if (!settings.json) {
    if (shows_line(settings.check_output, ok)) {
      print_line(run.transcript, check_line(section, check.verdict, planned.path));
    }
    return;
  }
  FileLine line = file_line(run, section, planned, digests, verdict_text(check.verdict));
  std::array<std::string_view, 2> kinds;
  std::size_t changed = 0;
  if (check.md5_changed) kinds[changed++] = "md5";
  if (check.sha256_changed) kinds[changed++] = "sha256";
  line.changed = std::span(kinds).first(changed);
  if (check.verdict == Verdict::no_file_named) line.reason.reset();
  print_line(run.transcript, file_object(line));
}

}  // namespace

void finish_section(ManifestRun& run, const FileOutcome& outcome, const RunSettings& settings) {
  const std::size_t s = run.finished_sections++;
  const SectionPlan& planned = run.plan.sections[s];
  if (!planned.visited) return;
  Section& section = run.manifest->sections[s];
  if (settings.ignore_missing && planned.target == Target::beside_manifest &&
      outcome.open_error == ENOENT) {
    ++run.tally.missing_passed_over;
    return;
  }
  const bool digested = report_outcome(section, planned, outcome, run.transcript);
  if (digested) ++run.files_digested;
  const Digests* digests = digested ? &outcome.digests : nullptr;
  if (settings.kind == RunKind::check) {
    if (const auto check = tally_section(run.tally, section, planned, digested, outcome.digests)) {
      show_check(run, section, planned, *check, digests, settings);
    }
    return;
  }
  if (planned.target == Target::no_file_path) return;
  if (settings.json) {
    print_line(run.transcript, file_object(file_line(run, section, planned, digests,
                                                     digested ? "digested" : "not digested")));
  } else if (digested) {
    print_line(run.transcript, report_line(outcome.digests.md5, planned.path.data()));
  }
  // Digested and reported, but neither written nor counted.
  if (run.plan.left_out[s]) return;
  bool fresh = digested;
  if (digested) {
    warn_about_repeated_digests(section, run.transcript);
    fresh = put_digest(section, outcome.digests.md5);
    if (!fresh) {
      say(run.transcript,
          "section \"%s\" has no md5 entry and no room for one; digest of %s not stored",
          section.name.data(), planned.path.data());
    }
    // Only a SHA-256 taken from the same reads as the MD5 just stored.
    const std::optional<Sha256Hex>& sha256 = outcome.digests.sha256;
    if (kinds_wanted(section, settings).sha256 &&
        (!sha256 || !put_sha256(section, *sha256, settings.add_sha256))) {
      say(run.transcript,
          "section \"%s\" has no sha256 entry and no room for one; SHA-256 of %s not stored",
          section.name.data(), planned.path.data());
      if (fresh) ++run.sha256_not_stored;
    }
  }
  count_file(run, s, fresh);
}

bool complete(const ManifestRun& run) {
  return run.files_not_digested == 0 && run.sha256_not_stored == 0;
}

void end_refresh_of(ManifestRun& run, const RunSettings& settings) {
  if (run.files_not_digested > 0) {
    say(run.transcript, "%d of %d files not digested; their recorded digests were kept",
        run.files_not_digested, run.files_named);
  }
  run.text = manifest_text(*run.manifest, run.plan.left_out);
  if (!settings.dry_run) return;
  const bool same_text = text_as_read(run);
  if (!still_as_found(run)) {
    advance(run, Stage::not_written);
  } else if (same_text) {
    advance(run, Stage::unchanged);
  } else {
    say(run.transcript, "would write %s", run.output_path.c_str());
    advance(run, Stage::would_write);
  }
  close_input(run.input);
}

namespace {

// Whether a section of the manifest (one left out by "-x" too) names the file
// `name` beside it, as the host compares names.
bool named_by_a_section(const ManifestRun& run, std::string_view name) {
  for (std::size_t s = 0; s < static_cast<std::size_t>(run.manifest->section_count); ++s) {
    const Entry* file_path = find_entry(run.manifest->sections[s], "file_path");
    if (file_path != nullptr && same_file_name(file_name_of(field_text(file_path->value)), name)) {
      return true;
    }
  }
  return false;
}

// The plain files beside the manifest, in byte order, that no section names:
// each a line of its own and not OK. The manifest itself, the tool's
// temporaries and hidden files are passed over. False, said, when the folder
// cannot be listed.
bool show_unlisted(ManifestRun& run, const RunSettings& settings) {
  const DirectoryPart directory = directory_part(run.input_path);
  std::string folder_path(directory.text);
  if (folder_path.empty())
    folder_path = directory.joined_with_separator ? std::string(1, HOST_SEPARATOR) : ".";
  const int folder = folder_descriptor(run.folder);
  std::vector<FolderEntry> entries;
  FileStamp identity{};
  HeldFolder listed;
  // A walk's folder is listed where the walk holds it, never through a link.
  if (const int error =
          list_folder(folder == NO_FOLDER ? folder_path : ".", folder, entries, identity, listed);
      error != 0) {
    say(run.transcript, "cannot list folder %s: %s", folder_path.c_str(), error_text(error));
    return false;
  }
  std::ranges::sort(entries, {}, &FolderEntry::name);
  const std::string_view manifest_name =
      std::string_view(run.input_path).substr(directory.name_start());
  for (const FolderEntry& entry : entries) {
    if (entry.kind != EntryKind::file || entry.hidden || entry.name.starts_with('.') ||
        same_file_name(entry.name, manifest_name) || named_by_a_section(run, entry.name)) {
      continue;
    }
    ++run.tally.unlisted;
    std::string path(directory.text);
    if (directory.joined_with_separator) path += HOST_SEPARATOR;
    path += entry.name;
    if (settings.json) {
      FileLine line{run.input_path};
      line.file = path;
      line.status = UNLISTED_TEXT;
      print_line(run.transcript, file_object(line));
    } else if (shows_line(settings.check_output, false)) {
      print_line(run.transcript, named_line("", path, std::string(": ") + UNLISTED_TEXT));
    }
  }
  return true;
}

}  // namespace

int end_check_of(ManifestRun& run, const RunSettings& settings) {
  if (!planned(run)) return CHECK_NOT_MADE;
  if (settings.list_unlisted && !show_unlisted(run, settings)) return CHECK_NOT_MADE;
  // A tree's one summary ends the run: none between its manifests.
  const bool summarize = !settings.many && settings.check_output != CheckOutput::status_only;
  return end_check(run.tally, run.input_path.c_str(), summarize, run.transcript);
}

Outcome outcome_of(const ManifestRun& run) {
  switch (run.stage) {
    case Stage::written:
      return complete(run) ? Outcome::written : Outcome::incomplete;
    case Stage::unchanged:
      return complete(run) ? Outcome::unchanged : Outcome::incomplete;
    case Stage::would_write:
      return complete(run) ? Outcome::would_write : Outcome::incomplete;
    default:
      return Outcome::refused;
  }
}

void print_outcome(ManifestRun& run, const RunSettings& settings, int status) {
  if (!settings.json || run.stage == Stage::said_only) return;
  static constexpr std::array<std::string_view, 5> OUTCOME_TEXT = {
      "written", "unchanged", "would write", "incomplete", "refused"};
  static constexpr std::array<std::string_view, 3> CHECK_TEXT = {"OK", "not OK", "not checked"};
  const bool check = settings.kind == RunKind::check;
  const bool refused = check ? status == CHECK_NOT_MADE : outcome_of(run) == Outcome::refused;
  const std::string_view outcome = check ? CHECK_TEXT[static_cast<std::size_t>(status)]
                                         : OUTCOME_TEXT[static_cast<std::size_t>(outcome_of(run))];
  std::optional<std::string_view> why;
  if (refused) why = run.transcript.last_said;
  print_line(run.transcript, manifest_object(run.input_path, outcome, why));
}

void commit_outputs(std::span<ManifestRun* const> runs, bool batched, int failed_sync) {
  const bool one_sync = batched && syncs_file_system();
  for (ManifestRun* run : runs) {
    if (text_as_read(*run)) {
      advance(*run, still_as_found(*run) ? Stage::unchanged : Stage::not_written);
      close_input(run->input);
      continue;
    }
    advance(*run, write_output(*run, !one_sync) ? Stage::staged : Stage::not_written);
  }
  const std::vector<std::uint64_t> devices =
      one_sync ? devices_of(runs) : std::vector<std::uint64_t>{};
  if (one_sync) sync_outputs(runs, devices, true, failed_sync);
  for (ManifestRun* run : runs) {
    if (run->stage == Stage::staged) {
      advance(*run, put_in_place(*run, !one_sync) ? Stage::written : Stage::not_written);
    }
  }
  if (one_sync) sync_outputs(runs, devices, false, 0);
  for (ManifestRun* run : runs)
    close_output(run->output);
}

}  // namespace md5refresh
