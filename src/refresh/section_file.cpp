// SPDX-License-Identifier: MIT
// Files are opened before any is digested, so that the plan of the digest
// knows every size; the messages wait for the section's turn, so that they come
// in the order of the manifest whichever file ends first.
#include "refresh/section_file.hpp"

#include <cstdio>
#include <cstring>

#include "platform/diagnostics.hpp"
#include "refresh/progress_line.hpp"

namespace md5refresh {

SectionFiles open_section_files(const ManifestPlan& plan) {
  SectionFiles files{};
  files.count = static_cast<std::size_t>(plan.section_count);
  for (std::size_t s = 0; s < files.count; ++s) {
    const SectionPlan& section = plan.sections[s];
    if (!section.visited || section.target != Target::beside_manifest) continue;
    const OpenResult file = open_regular_file(section.path.data());
    files.open_error[s] = file.error;
    if (file.file == nullptr) continue;
    files.stamped[s] = stamp_of_open_file(file.file, files.before[s]);
    files.jobs[s].stream = file.file;
    files.jobs[s].size = files.stamped[s] ? files.before[s].size : regular_file_size(file.file);
  }
  return files;
}

void digest_section_files(const ManifestPlan& plan, SectionFiles& files,
                          const std::function<void(std::size_t)>& finished) {
  const std::span jobs = std::span(files.jobs).first(files.count);
  std::uint64_t total_bytes = 0;
  std::size_t opened = 0;
  std::string_view last_name;  // the progress line names a file digested alone
  for (std::size_t s = 0; s < jobs.size(); ++s) {
    if (jobs[s].stream == nullptr) continue;
    total_bytes += jobs[s].size;
    ++opened;
    last_name = plan.sections[s].path.data();
  }
  ProgressLine line = begin_progress_line(total_bytes, opened, opened == 1 ? last_name : "");
  ProgressTick tick;
  if (line.shown) {
    tick = [&line](std::size_t done, std::uint64_t bytes) {
      draw_progress_line(line, done, bytes);
    };
  }
  digest_file_set(
      jobs,
      [&](std::size_t s) {
        clear_progress_line(line);
        finished(s);
      },
      nullptr, 0, tick);
  clear_progress_line(line);
}

namespace {

void report_file_path(const Section& section, const char* what) {
  report("section %s: file_path \"%s\" %s", section.name.data(),
         find_entry(section, "file_path")->value.data(), what);
}

}  // namespace

namespace {

FileReadHook after_file_read_hook = nullptr;

}  // namespace

void set_after_file_read_hook(FileReadHook hook) {
  after_file_read_hook = hook;
}

FileOutcome close_digested(FileJob& job, const FileStamp& before, bool stamped, const char* path) {
  if (after_file_read_hook != nullptr) after_file_read_hook(path);
  // A file that grew, shrank or was replaced under the read gives the digest of
  // no version of it.
  FileStamp now_at_path{};
  if (job.stream != nullptr) {
    job.after_stamped = stamp_of_open_file(job.stream, job.after);
    std::fclose(job.stream);
    job.stream = nullptr;
  }
  FileOutcome outcome{0, job.result, false, job.hex};
  outcome.unchanged = stamped && job.after_stamped && stamp_of_path(path, now_at_path) &&
                      job.after == before && now_at_path == before;
  return outcome;
}

bool report_outcome(const Section& section, const SectionPlan& planned,
                    const FileOutcome& outcome) {
  switch (planned.target) {
    case Target::no_file_path:
      return false;
    case Target::names_no_file:
      report_file_path(section, "names no file");
      return false;
    case Target::not_plain:
      report_file_path(section, "names no plain file beside the manifest");
      return false;
    case Target::beside_manifest:
      break;
  }
  if (outcome.open_error != 0) {
    report("cannot open %s: %s", planned.path.data(), open_error_text(outcome.open_error));
    return false;
  }
  if (outcome.result.status != DigestStatus::ok) {
    report("cannot %s %s: %s",
           outcome.result.status == DigestStatus::read_error ? "read" : "digest",
           planned.path.data(), std::strerror(outcome.result.error));
    return false;
  }
  if (!outcome.unchanged) {
    report("%s changed while it was read", planned.path.data());
    return false;
  }
  return true;
}

bool take_digest(const Manifest& manifest, const ManifestPlan& plan, SectionFiles& files,
                 std::size_t s) {
  const SectionPlan& planned = plan.sections[s];
  FileOutcome outcome{files.open_error[s], {}, false, {}};
  if (files.jobs[s].stream != nullptr) {
    outcome = close_digested(files.jobs[s], files.before[s], files.stamped[s], planned.path.data());
  }
  return report_outcome(manifest.sections[s], planned, outcome);
}

}  // namespace md5refresh
