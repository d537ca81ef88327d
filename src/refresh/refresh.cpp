// SPDX-License-Identifier: MIT
// The input is read whole and closed before the output is opened, which is what
// lets a manifest be refreshed in place.
#include "refresh/refresh.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string_view>

#include "manifest/manifest_reader.hpp"
#include "manifest/manifest_writer.hpp"
#include "platform/diagnostics.hpp"
#include "platform/file_access.hpp"
#include "platform/text.hpp"
#include "refresh/section_file.hpp"

namespace {

RefreshResult write_output(const char* output_path, const Manifest& manifest,
                           const ExcludeList& excludes) {
  OutputFile output;
  int error = open_output(output_path, output);
  if (error == 0) {
    if (write_manifest(output.file, manifest, excludes)) {
      error = commit_output(output);
    } else {
      error = errno != 0 ? errno : EIO;
      discard_output(output);
    }
  }
  if (error == 0) return RefreshResult::ok;
  report("cannot write %s: %s", output_path, std::strerror(error));
  return RefreshResult::output_not_written;
}

}  // namespace

RefreshResult load_manifest(const char* input_path, std::unique_ptr<Manifest>& manifest) {
  OpenResult input = open_regular_file(input_path);
  if (input.file == nullptr) {
    report("cannot open %s: %s", input_path, open_error_text(input.error));
    return RefreshResult::input_not_opened;
  }
  manifest.reset(new (std::nothrow) Manifest{});
  if (manifest == nullptr) {
    std::fclose(input.file);
    report("%s: out of memory", input_path);
    return RefreshResult::out_of_memory;
  }
  const ReadResult read = read_manifest(input.file, *manifest);
  std::fclose(input.file);
  if (read.status == ReadStatus::read_error) {
    report("cannot read %s: %s", input_path, std::strerror(read.error));
    return RefreshResult::manifest_rejected;
  }
  if (read.status != ReadStatus::ok) {
    report("%s:%ld: %s", input_path, read.line, read_status_text(read.status));
    return RefreshResult::manifest_rejected;
  }
  return RefreshResult::ok;
}

void warn_about_manifest(Manifest& manifest, const char* input_path, const ExcludeList& excludes,
                         bool excluded_are_digested) {
  auto sections =
      std::span(manifest.sections).first(static_cast<std::size_t>(manifest.section_count));
  for (std::string_view name :
       std::span(excludes.names).first(static_cast<std::size_t>(excludes.count))) {
    if (std::ranges::none_of(sections, [name](const Section& section) {
          return same_text(field_text(section.name), name);
        })) {
      report("-x \"%.*s\": no section of that name", static_cast<int>(name.size()), name.data());
    }
  }

  std::array<TargetPath, MAX_SECTIONS> targets{};
  for (std::size_t s = 0; s < sections.size(); ++s) {
    Section& section = sections[s];
    if (!excluded_are_digested && is_excluded(excludes, field_text(section.name))) continue;
    for (const Entry& entry :
         std::span(section.entries).first(static_cast<std::size_t>(section.entry_count))) {
      const std::string_view key = field_text(entry.key);
      const std::string_view bare = key.substr(0, key.find_last_not_of(" \t") + 1);
      if (bare.size() < key.size() && (bare == "file_path" || bare == "md5")) {
        report("section %s: key \"%s\" has blanks before \"=\" and is not read as %s",
               section.name.data(), entry.key.data(), bare == "md5" ? "md5" : "file_path");
      }
    }
    const Entry* file_path = find_entry(section, "file_path");
    if (file_path == nullptr || file_name_of(field_text(file_path->value)).empty() ||
        !build_target_path(input_path, field_text(file_path->value), targets[s])) {
      continue;
    }
    for (std::size_t earlier = 0; earlier < s; ++earlier) {
      if (std::string_view(targets[earlier].data()) == targets[s].data()) {
        report("sections %s and %s both lead to %s", sections[earlier].name.data(),
               section.name.data(), targets[s].data());
        break;
      }
    }
  }
}

RefreshResult refresh_manifest(const char* input_path, const char* output_path,
                               const ExcludeList& excludes) {
  std::unique_ptr<Manifest> manifest;
  if (const RefreshResult loaded = load_manifest(input_path, manifest);
      loaded != RefreshResult::ok) {
    return loaded;
  }
  warn_about_manifest(*manifest, input_path, excludes, true);
  if (const OutputProbe probe = probe_output(output_path); probe.error != 0) {
    if (probe.directory.empty()) {
      report("cannot write %s: %s", output_path, std::strerror(probe.error));
    } else {
      report("cannot create a temporary file in %s: %s", probe.directory.c_str(),
             std::strerror(probe.error));
    }
    return RefreshResult::output_not_written;
  }
  refresh_digests(*manifest, input_path);
  return write_output(output_path, *manifest, excludes);
}
