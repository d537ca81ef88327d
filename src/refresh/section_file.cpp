// Only the file name of a "file_path" value counts: the manifest travels with
// the files it describes, wherever they were when it was written, and between
// hosts, so both separators end a directory on every host.
#include "refresh/section_file.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <span>

#include "digest/file_digest.hpp"
#include "platform/diagnostics.hpp"
#include "platform/file_access.hpp"

std::string_view file_name_of(std::string_view file_path) {
  return file_path.substr(file_path.find_last_of("/\\") + 1);
}

bool build_target_path(std::string_view input_path, std::string_view file_path,
                       TargetPath& target) {
  const std::string_view file_name = file_name_of(file_path);
  const std::size_t separator = input_path.find_last_of(PATH_SEPARATORS);
  const std::string_view directory =
      separator == std::string_view::npos ? std::string_view{} : input_path.substr(0, separator);
  const std::size_t joiner = separator == std::string_view::npos ? 0 : 1;
  if (directory.size() + joiner + file_name.size() >= target.size()) return false;

  char* end = std::copy(directory.begin(), directory.end(), target.begin());
  if (joiner != 0) *end++ = HOST_SEPARATOR;
  end = std::copy(file_name.begin(), file_name.end(), end);
  *end = '\0';
  return true;
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

}  // namespace

SectionFile digest_section_file(Section& section, const char* input_path, bool report_line,
                                TargetPath& target, HexDigest& hex) {
  const Entry* file_path = find_entry(section, "file_path");
  if (file_path == nullptr) return SectionFile::no_file_path;

  const std::string_view value = field_text(file_path->value);
  if (!build_target_path(input_path, value, target)) {
    report("path of %s in %s longer than %d bytes", file_path->value.data(), input_path,
           static_cast<int>(TARGET_PATH_CAPACITY - 1));
    target[value.copy(target.data(), target.size() - 1)] = '\0';
    return SectionFile::not_digested;
  }
  if (file_name_of(value).empty()) {
    report("section %s: file_path \"%s\" names no file", section.name.data(),
           file_path->value.data());
    return SectionFile::not_digested;
  }
  OpenResult file = open_regular_file(target.data());
  if (file.file == nullptr) {
    report("cannot open %s: %s", target.data(), open_error_text(file.error));
    return SectionFile::not_digested;
  }
  // Reads go straight into the digest's own buffer.
  std::setvbuf(file.file, nullptr, _IONBF, 0);
  FileStamp before{}, after{}, now_at_path{};
  const bool stamped = stamp_of_open_file(file.file, before);
  const DigestResult result = compute_file_digest(file.file, target.data(), hex);
  // A file that grew, shrank or was replaced under the read gives the digest of
  // no version of it.
  const bool unchanged = stamped && stamp_of_open_file(file.file, after) &&
                         stamp_of_path(target.data(), now_at_path) && after == before &&
                         now_at_path == before;
  std::fclose(file.file);
  if (result.status != DigestStatus::ok) {
    report("cannot %s %s: %s", result.status == DigestStatus::read_error ? "read" : "digest",
           target.data(), std::strerror(result.error));
    return SectionFile::not_digested;
  }
  if (!unchanged) {
    report("%s changed while it was read", target.data());
    return SectionFile::not_digested;
  }
  if (report_line) print_report_line(hex, target.data());
  return SectionFile::digested;
}

void refresh_digests(Manifest& manifest, const char* input_path) {
  for (Section& section :
       std::span(manifest.sections).first(static_cast<std::size_t>(manifest.section_count))) {
    TargetPath target;
    HexDigest hex;
    if (digest_section_file(section, input_path, true, target, hex) == SectionFile::digested) {
      store_digest(section, hex, target.data());
    }
  }
}
