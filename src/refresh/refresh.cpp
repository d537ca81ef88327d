// SPDX-License-Identifier: MIT
// The input is read whole and closed before the output is opened, which is what
// lets a manifest be refreshed in place.
#include "refresh/refresh.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "manifest/manifest_reader.hpp"
#include "manifest/manifest_writer.hpp"
#include "platform/diagnostics.hpp"
#include "platform/file_access.hpp"
#include "refresh/section_file.hpp"

namespace md5refresh {

namespace {

BeforeReplaceHook before_replace_hook = nullptr;
BeforeReplaceHook after_read_hook = nullptr;

void close_input(OpenInput& input) {
  if (input.stream != nullptr) std::fclose(input.stream);
  input.stream = nullptr;
}

void report_write_error(const char* output_path, int error) {
  report("cannot write %s: %s", output_path, open_error_text(error));
}

bool report_probe(const char* output_path, const OutputProbe& probe) {
  if (probe.error == 0) return true;
  if (!probe.directory.empty()) {
    report("cannot create a temporary file in %s: %s", probe.directory.c_str(),
           std::strerror(probe.error));
  } else if (probe.sticky) {
    report("cannot write %s: %s (another user's file in a sticky directory)", output_path,
           std::strerror(probe.error));
  } else {
    report_write_error(output_path, probe.error);
  }
  return false;
}

}  // namespace

void set_before_replace_hook(BeforeReplaceHook hook) {
  before_replace_hook = hook;
}

void set_after_read_hook(BeforeReplaceHook hook) {
  after_read_hook = hook;
}

bool load_manifest(const char* input_path, std::unique_ptr<Manifest>& manifest,
                   OpenInput* kept_open) {
  OpenResult input = open_regular_file(input_path);
  if (input.file == nullptr) {
    report("cannot open %s: %s", input_path, open_error_text(input.error));
    return false;
  }
  manifest.reset(new (std::nothrow) Manifest{});
  if (manifest == nullptr) {
    std::fclose(input.file);
    report("%s: out of memory", input_path);
    return false;
  }
  OpenInput opened{input.file, {}, false, {}};
  opened.stamped = stamp_of_open_file(input.file, opened.stamp);
  const ReadResult read =
      read_manifest(input.file, *manifest, kept_open != nullptr ? &opened.bytes : nullptr);
  if (kept_open != nullptr && read.status == ReadStatus::ok) {
    *kept_open = std::move(opened);
  } else {
    std::fclose(input.file);
  }
  if (read.status == ReadStatus::read_error) {
    report("cannot read %s: %s", input_path, std::strerror(read.error));
    return false;
  }
  if (read.status != ReadStatus::ok) {
    report("%s:%ld: %s", input_path, read.line, read_status_text(read.status));
    return false;
  }
  return true;
}

void refresh_digests(Manifest& manifest, const ManifestPlan& plan) {
  SectionFiles files = open_section_files(plan);
  digest_section_files(plan, files, [&](std::size_t s) {
    if (take_digest(manifest, plan, files, s))
      store_section_digest(manifest, plan, s, files.jobs[s].hex);
  });
}

void print_report_line(const HexDigest& hex, const char* path) {
  std::fputs(hex.data(), stdout);
  std::fputc('\t', stdout);
  put_output_text(path);
  std::fputc('\n', stdout);
  flush_output();
}

bool put_digest(Section& section, const HexDigest& hex) {
  Entry* md5 = find_entry(section, "md5");
  if (md5 == nullptr && section.entry_count < MAX_ENTRIES) {
    md5 = &section.entries[static_cast<std::size_t>(section.entry_count++)];
    (void)set_field(md5->key, "md5");
  }
  if (md5 == nullptr) return false;
  (void)set_field(md5->value, hex.data());
  return true;
}

void report_no_room(const Section& section, const char* path) {
  report("section %s has no md5 entry and no room for one; digest of %s not stored",
         section.name.data(), path);
}

void store_section_digest(Manifest& manifest, const ManifestPlan& plan, std::size_t s,
                          const HexDigest& hex) {
  const char* path = plan.sections[s].path.data();
  print_report_line(hex, path);
  if (!put_digest(manifest.sections[s], hex)) report_no_room(manifest.sections[s], path);
}

bool begin_refresh(RefreshJob& job, const ExcludeList& excludes, bool output_named,
                   bool warn_unmatched) {
  const char* input_path = job.input_path.c_str();
  const char* output_path = job.output_path.c_str();
  if (!load_manifest(input_path, job.manifest, &job.input)) return false;
  if (const std::uint64_t names = name_count(job.input.stream);
      job.refuse_other_names && names > 1) {
    report("%s has %ju names; not refreshed in a tree, name it alone", input_path,
           static_cast<std::uintmax_t>(names));
    close_input(job.input);
    return false;
  }
  job.plan = plan_sections(*job.manifest, input_path, excludes, RunKind::refresh);
  job.planned = true;
  warn_about_plan(*job.manifest, job.plan, warn_unmatched);
  if (after_read_hook != nullptr) after_read_hook();
  job.probe = probe_output(output_path);
  if (!report_probe(output_path, job.probe)) {
    close_input(job.input);
    return false;
  }
  const bool regular = job.probe.kind == OutputKind::regular;
  if (job.output_path == job.input_path && !regular && job.probe.kind != OutputKind::missing) {
    report("%s is no longer the file that was read; not replaced", input_path);
    close_input(job.input);
    return false;
  }
  // By its path too: a save by rename since the read leaves another file there,
  // whose text must still be the text read.
  job.replaces_input =
      job.output_path == job.input_path ||
      (regular && job.input.stamped && same_file(job.probe.existing, job.input.stamp));
  if (regular && !job.replaces_input && !output_named) {
    report("writing %s from %s; choose the output with -o", output_path, input_path);
  }
  if (job.replaces_input && !lock_for_replace(job.input.stream)) {
    report("%s is being refreshed by another run; not replaced", input_path);
    close_input(job.input);
    return false;
  }
  return true;
}

bool start_write(RefreshJob& job, bool synced) {
  int error = open_output(job.probe, job.output);
  if (error == 0) {
    if (write_manifest(job.output.file, *job.manifest, job.plan.left_out)) {
      error = finish_output(job.output, synced);
    } else {
      error = errno != 0 ? errno : EIO;
      discard_output(job.output);
    }
  }
  if (error == 0) return true;
  report_write_error(job.output_path.c_str(), error);
  close_input(job.input);
  return false;
}

namespace {

// An output that replaces the input must still hold the text that was read,
// byte for byte (a stamp misses an edit within the file system's time
// granularity, and takes a touch for one); any other output must be as the
// probe found it.
bool unchanged_since_read(const RefreshJob& job) {
  if (job.replaces_input) {
    std::string now;
    return read_whole_file(job.input_path.c_str(), now) == 0 && now == job.input.bytes;
  }
  FileStamp now{};
  const bool exists = stamp_of_path(job.output.final_path.c_str(), now);
  switch (job.probe.kind) {
    case OutputKind::missing:
      return !exists;
    case OutputKind::regular:
      return exists && now == job.probe.existing;
    default:
      return true;
  }
}

}  // namespace

bool commit_write(RefreshJob& job, bool synced) {
  if (before_replace_hook != nullptr) before_replace_hook();
  if (!unchanged_since_read(job)) {
    discard_output(job.output);
    close_input(job.input);
    report("%s changed while the files were digested; not replaced",
           job.replaces_input ? job.input_path.c_str() : job.output_path.c_str());
    return false;
  }
  close_input(job.input);  // Windows replaces no file that is open
  if (const int error = replace_with_output(job.output, synced); error != 0) {
    report_write_error(job.output_path.c_str(), error);
    return false;
  }
  if (synced) close_output(job.output);  // else held for the batch's sync
  return true;
}

void abandon_write(RefreshJob& job, int error) {
  discard_output(job.output);
  close_input(job.input);
  report_write_error(job.output_path.c_str(), error);
}

bool end_refresh(RefreshJob& job) {
  return start_write(job, true) && commit_write(job, true);
}

bool refresh_manifest(const char* input_path, const char* output_path, const ExcludeList& excludes,
                      bool output_named) {
  RefreshJob job;
  job.input_path = input_path;
  job.output_path = output_path;
  if (!begin_refresh(job, excludes, output_named, true)) return false;
  refresh_digests(*job.manifest, job.plan);
  return end_refresh(job);
}

}  // namespace md5refresh
