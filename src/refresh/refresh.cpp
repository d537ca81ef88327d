// SPDX-License-Identifier: MIT
// The input is read whole and closed before the output is opened, which is what
// lets a manifest be refreshed in place.
#include "refresh/refresh.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>

#include "manifest/manifest_reader.hpp"
#include "manifest/manifest_writer.hpp"
#include "platform/diagnostics.hpp"
#include "platform/file_access.hpp"
#include "platform/text.hpp"
#include "refresh/section_file.hpp"

namespace {

BeforeReplaceHook before_replace_hook = nullptr;

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

// `input` is given when the output replaces it: it must still be the file
// that was read, or an edit made while the files were digested would be lost.
RefreshResult write_output(const char* output_path, const OutputProbe& probe,
                           const Manifest& manifest, const ExcludeList& excludes,
                           const char* input_path, OpenInput* input) {
  OutputFile output;
  int error = open_output(output_path, probe, output);
  if (error == 0) {
    if (write_manifest(output.file, manifest, excludes)) {
      error = finish_output(output);
    } else {
      error = errno != 0 ? errno : EIO;
      discard_output(output);
    }
  }
  if (error != 0) {
    report_write_error(output_path, error);
    return RefreshResult::output_not_written;
  }
  if (before_replace_hook != nullptr) before_replace_hook();
  if (input != nullptr) {
    FileStamp now{};
    if (!stamp_of_path(input_path, now) || now != input->stamp) {
      discard_output(output);
      report("%s changed while the files were digested; not replaced", input_path);
      return RefreshResult::output_not_written;
    }
    close_input(*input);  // Windows replaces no file that is open
  }
  if (const int replace_error = replace_with_output(output); replace_error != 0) {
    report_write_error(output_path, replace_error);
    return RefreshResult::output_not_written;
  }
  return RefreshResult::ok;
}

// "file_path " (blanks before the "="), "File_Path", "filepath", "file-path",
// "MD5": what the user meant, read as another key, so the section would be
// passed over in silence.
void warn_about_near_miss(const Section& section, std::string_view key) {
  const char* meant = looks_like_key(key, "file_path") ? "file_path"
                      : looks_like_key(key, "md5")     ? "md5"
                                                       : nullptr;
  if (meant == nullptr || key == meant) return;
  const std::string_view bare = key.substr(0, key.find_last_not_of(" \t") + 1);
  if (bare == meant) {
    report("section %s: key \"%.*s\" has blanks before \"=\" and is not read as %s",
           section.name.data(), static_cast<int>(key.size()), key.data(), meant);
  } else {
    report("section %s: key \"%.*s\" is not read as %s", section.name.data(),
           static_cast<int>(key.size()), key.data(), meant);
  }
}

}  // namespace

bool looks_like_key(std::string_view key, std::string_view meant) {
  auto folded = [](std::string_view text) {
    std::string letters;
    for (const char c : text) {
      if (c != ' ' && c != '\t' && c != '_' && c != '-') {
        letters += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
    }
    return letters;
  };
  return folded(key) == folded(meant);
}

bool mentions_key(const Section& section, std::string_view meant) {
  return std::ranges::any_of(
      std::span(section.entries).first(static_cast<std::size_t>(section.entry_count)),
      [meant](const Entry& entry) { return looks_like_key(field_text(entry.key), meant); });
}

void set_before_replace_hook(BeforeReplaceHook hook) {
  before_replace_hook = hook;
}

RefreshResult load_manifest(const char* input_path, std::unique_ptr<Manifest>& manifest,
                            OpenInput* kept_open) {
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
  OpenInput opened{input.file, {}, false};
  opened.stamped = stamp_of_open_file(input.file, opened.stamp);
  const ReadResult read = read_manifest(input.file, *manifest);
  if (kept_open != nullptr && read.status == ReadStatus::ok) {
    *kept_open = opened;
  } else {
    std::fclose(input.file);
  }
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
      warn_about_near_miss(section, field_text(entry.key));
    }
    const Entry* file_path = find_entry(section, "file_path");
    if (file_path == nullptr || file_name_of(field_text(file_path->value)).empty()) continue;
    build_target_path(input_path, field_text(file_path->value), targets[s]);
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
                               const ExcludeList& excludes, bool output_named) {
  std::unique_ptr<Manifest> manifest;
  OpenInput input;
  if (const RefreshResult loaded = load_manifest(input_path, manifest, &input);
      loaded != RefreshResult::ok) {
    return loaded;
  }
  warn_about_manifest(*manifest, input_path, excludes, true);
  const OutputProbe probe = probe_output(output_path);
  if (!report_probe(output_path, probe)) {
    close_input(input);
    return RefreshResult::output_not_written;
  }
  const bool replaces_input =
      probe.kind == OutputKind::regular && input.stamped && same_file(probe.existing, input.stamp);
  if (probe.kind == OutputKind::regular && !replaces_input && !output_named) {
    report("writing %s from %s; choose the output with -o", output_path, input_path);
  }
  if (replaces_input && !lock_for_replace(input.stream)) {
    report("%s is being refreshed by another run; not replaced", input_path);
    close_input(input);
    return RefreshResult::output_not_written;
  }
  refresh_digests(*manifest, input_path);
  const RefreshResult written = write_output(output_path, probe, *manifest, excludes, input_path,
                                             replaces_input ? &input : nullptr);
  close_input(input);
  return written;
}
