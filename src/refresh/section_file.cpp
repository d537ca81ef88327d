// SPDX-License-Identifier: MIT
// Only the file name of a "file_path" value counts: the manifest travels with
// the files it describes, wherever they were when it was written, and between
// hosts, so both separators end a directory on every host.
#include "refresh/section_file.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "digest/file_digest.hpp"
#include "digest/file_set_digest.hpp"
#include "platform/diagnostics.hpp"
#include "platform/file_access.hpp"

std::string_view file_name_of(std::string_view file_path) {
  return file_path.substr(file_path.find_last_of("/\\") + 1);
}

void build_target_path(std::string_view input_path, std::string_view file_path,
                       TargetPath& target) {
  const std::string_view file_name = file_name_of(file_path);
  const DirectoryPart directory = directory_part(input_path);
  const std::size_t length =
      directory.text.size() + (directory.joined_with_separator ? 1 : 0) + file_name.size();
  if (length >= target.size()) {  // an input path beyond the command line's limit
    target[0] = '\0';
    return;
  }
  char* end = std::copy(directory.text.begin(), directory.text.end(), target.begin());
  if (directory.joined_with_separator) *end++ = HOST_SEPARATOR;
  end = std::copy(file_name.begin(), file_name.end(), end);
  *end = '\0';
}

namespace {

// The digest goes to the first "md5" entry, or to a new one at the section's end.
void store_digest(Section& section, const HexDigest& hex, const char* path) {
  Entry* md5 = find_entry(section, "md5");
  if (md5 == nullptr && section.entry_count < MAX_ENTRIES) {
    md5 = &section.entries[static_cast<std::size_t>(section.entry_count++)];
    (void)set_field(md5->key, "md5");
  }
  if (md5 == nullptr) {
    report("section %s has no md5 entry and no room for one; digest of %s not stored",
           section.name.data(), path);
    return;
  }
  (void)set_field(md5->value, hex.data());
}

enum class Lookup { no_file_path, skipped, names_no_file, not_a_plain_name, not_opened, opened };

struct SectionLookup {
  Lookup lookup;
  int open_error;
  FileStamp before;
  bool stamped;
  TargetPath target;
};

void look_up(Section& section, const char* input_path, SectionLookup& found, FileJob& job) {
  const Entry* file_path = find_entry(section, "file_path");
  if (file_path == nullptr) {
    found.lookup = Lookup::no_file_path;
    return;
  }
  const std::string_view value = field_text(file_path->value);
  if (file_name_of(value).empty()) {
    found.lookup = Lookup::names_no_file;
    return;
  }
  build_target_path(input_path, value, found.target);
  if (!is_plain_file_name(file_name_of(value))) {
    found.lookup = Lookup::not_a_plain_name;
    return;
  }
  const OpenResult file = open_regular_file(found.target.data());
  if (file.file == nullptr) {
    found.lookup = Lookup::not_opened;
    found.open_error = file.error;
    return;
  }
  found.lookup = Lookup::opened;
  found.stamped = stamp_of_open_file(file.file, found.before);
  job.stream = file.file;
  job.size = found.stamped ? found.before.size : regular_file_size(file.file);
  job.display_name = found.target.data();
}

// The messages of one section, in the order a run one file at a time would
// have given them; true when the digest in `job` is the file's.
bool digested(Section& section, SectionLookup& found, FileJob& job) {
  switch (found.lookup) {
    case Lookup::no_file_path:
    case Lookup::skipped:
      return false;
    case Lookup::names_no_file:
      report("section %s: file_path \"%s\" names no file", section.name.data(),
             find_entry(section, "file_path")->value.data());
      return false;
    case Lookup::not_a_plain_name:
      report("section %s: file_path \"%s\" names no plain file beside the manifest",
             section.name.data(), find_entry(section, "file_path")->value.data());
      return false;
    case Lookup::not_opened:
      report("cannot open %s: %s", found.target.data(), open_error_text(found.open_error));
      return false;
    case Lookup::opened:
      break;
  }
  // A file that grew, shrank or was replaced under the read gives the digest of
  // no version of it.
  FileStamp after{}, now_at_path{};
  const bool unchanged = found.stamped && stamp_of_open_file(job.stream, after) &&
                         stamp_of_path(found.target.data(), now_at_path) && after == found.before &&
                         now_at_path == found.before;
  std::fclose(job.stream);
  job.stream = nullptr;
  if (job.result.status != DigestStatus::ok) {
    report("cannot %s %s: %s", job.result.status == DigestStatus::read_error ? "read" : "digest",
           found.target.data(), std::strerror(job.result.error));
    return false;
  }
  if (!unchanged) {
    report("%s changed while it was read", found.target.data());
    return false;
  }
  return true;
}

}  // namespace

void digest_section_files(Manifest& manifest, const char* input_path, const ExcludeList* skipped,
                          const SectionDone& done) {
  const std::size_t count = static_cast<std::size_t>(manifest.section_count);
  std::array<SectionLookup, MAX_SECTIONS> found{};
  std::array<FileJob, MAX_SECTIONS> jobs{};
  for (std::size_t i = 0; i < count; ++i) {
    Section& section = manifest.sections[i];
    if (skipped != nullptr && is_excluded(*skipped, field_text(section.name))) {
      found[i].lookup = Lookup::skipped;
    } else {
      look_up(section, input_path, found[i], jobs[i]);
    }
  }
  digest_file_set(std::span(jobs).first(count), [&](std::size_t i) {
    Section& section = manifest.sections[i];
    if (found[i].lookup == Lookup::skipped) return;
    if (found[i].lookup == Lookup::no_file_path) {
      done(section, SectionFile::no_file_named, found[i].target, jobs[i].hex);
      return;
    }
    const bool names_no_file = found[i].lookup == Lookup::names_no_file;
    const bool ok = digested(section, found[i], jobs[i]);
    done(section,
         ok              ? SectionFile::digested
         : names_no_file ? SectionFile::no_file_named
                         : SectionFile::not_digested,
         found[i].target, jobs[i].hex);
  });
}

void refresh_digests(Manifest& manifest, const char* input_path) {
  digest_section_files(
      manifest, input_path, nullptr,
      [](Section& section, SectionFile outcome, const TargetPath& target, const HexDigest& hex) {
        if (outcome != SectionFile::digested) return;
        print_report_line(hex, target.data());
        store_digest(section, hex, target.data());
      });
}
