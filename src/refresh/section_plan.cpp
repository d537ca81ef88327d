// SPDX-License-Identifier: MIT
// Only the file name of a "file_path" value counts: the manifest travels with
// the files it describes, wherever they were when it was written, and between
// hosts, so both separators end a directory on every host.
#include "refresh/section_plan.hpp"

#include <algorithm>
#include <cctype>
#include <span>
#include <string>

#include "platform/diagnostics.hpp"
#include "platform/file_access.hpp"
#include "platform/text.hpp"

namespace md5refresh {

std::string_view file_name_of(std::string_view file_path) {
  return file_path.substr(name_start(file_path));
}

void build_target_path(std::string_view input_path, std::string_view file_path,
                       TargetPath& target) {
  std::string converted;
  const std::string_view file_name = name_for_joining(file_name_of(file_path), converted);
  const DirectoryPart directory = directory_part(input_path);
  const std::size_t length = directory.name_start() + file_name.size();
  if (length >= target.size()) {  // an input path beyond the command line's limit
    target[0] = '\0';
    return;
  }
  char* end = std::copy(directory.text.begin(), directory.text.end(), target.begin());
  if (directory.joined_with_separator) *end++ = HOST_SEPARATOR;
  end = std::copy(file_name.begin(), file_name.end(), end);
  *end = '\0';
}

bool names_section(std::string_view name, const Section& section) {
  return same_text(field_text(section.name), name);
}

namespace {

std::span<const Section> sections_of(const Manifest& manifest) {
  return std::span(manifest.sections).first(static_cast<std::size_t>(manifest.section_count));
}

void plan_target(const Section& section, std::string_view input_path, SectionPlan& plan) {
  const Entry* file_path = find_entry(section, "file_path");
  if (file_path == nullptr) {
    plan.target = Target::no_file_path;
    return;
  }
  const std::string_view value = field_text(file_path->value);
  if (file_name_of(value).empty()) {
    plan.target = Target::names_no_file;
    return;
  }
  build_target_path(input_path, value, plan.path);
  plan.target =
      is_plain_file_name(file_name_of(value)) ? Target::beside_manifest : Target::not_plain;
}

// Two spellings of a name (case, encoding) lead to one file, but for two files
// there: a case-sensitive folder on Windows may hold both "a.bin" and "A.BIN".
bool same_target(const char* path, const char* other) {
  if (!same_file_name(path, other)) return false;
  FileStamp stamp{}, other_stamp{};
  return std::string_view(path) == other || !stamp_of_path(path, stamp) ||
         !stamp_of_path(other, other_stamp) || same_file(stamp, other_stamp);
}

int earlier_with_path(const ManifestPlan& plan, std::size_t s) {
  const char* path = plan.sections[s].path.data();
  for (std::size_t earlier = 0; earlier < s; ++earlier) {
    const SectionPlan& other = plan.sections[earlier];
    if (other.visited && has_path(other.target) && same_target(path, other.path.data())) {
      return static_cast<int>(earlier);
    }
  }
  return NO_SECTION;
}

// "file_path " (blanks before the "="), "File_Path", "filepath", "file-path",
// "MD5", "SHA-256": what the user meant, read as another key, so the section
// would be passed over in silence.
void warn_about_near_miss(const Section& section, std::string_view key, Transcript& transcript) {
  const char* meant = looks_like_key(key, "file_path") ? "file_path"
                      : looks_like_key(key, "md5")     ? "md5"
                      : looks_like_key(key, "sha256")  ? "sha256"
                                                       : nullptr;
  if (meant == nullptr || key == meant) return;
  const std::string_view bare = key.substr(0, key.find_last_not_of(" \t") + 1);
  if (bare == meant) {
    say(transcript, "section \"%s\": key \"%.*s\" has blanks before \"=\" and is not read as %s",
        section.name.data(), static_cast<int>(key.size()), key.data(), meant);
  } else {
    say(transcript, "section \"%s\": key \"%.*s\" is not read as %s", section.name.data(),
        static_cast<int>(key.size()), key.data(), meant);
  }
}

}  // namespace

ManifestPlan plan_sections(const Manifest& manifest, std::string_view input_path,
                           const ExcludeList& excludes, RunKind kind) {
  ManifestPlan plan{};
  plan.section_count = manifest.section_count;
  const auto sections = sections_of(manifest);
  const auto names = std::span(excludes.names).first(static_cast<std::size_t>(excludes.count));
  for (std::string_view name : names) {
    if (std::ranges::none_of(sections, [name](const Section& s) { return names_section(name, s); }))
      plan.unmatched[static_cast<std::size_t>(plan.unmatched_count++)] = name;
  }
  for (std::size_t s = 0; s < sections.size(); ++s) {
    SectionPlan& section = plan.sections[s];
    plan.left_out[s] = std::ranges::any_of(
        names, [&](std::string_view name) { return names_section(name, sections[s]); });
    section.visited = kind == RunKind::refresh || !plan.left_out[s];
    section.same_file_as = NO_SECTION;
    if (!section.visited) continue;
    plan_target(sections[s], input_path, section);
    if (has_path(section.target)) section.same_file_as = earlier_with_path(plan, s);
  }
  return plan;
}

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
  return std::ranges::any_of(entries_of(section), [meant](const Entry& entry) {
    return looks_like_key(field_text(entry.key), meant);
  });
}

bool warn_about_unmatched(const ManifestPlan& plan, Transcript& transcript) {
  bool a_file_named = false;
  for (std::string_view name :
       std::span(plan.unmatched).first(static_cast<std::size_t>(plan.unmatched_count))) {
    const std::string text(name);
    FileStamp stamp{};
    if (look_at_regular_file(text.c_str(), NO_FOLDER, stamp) == 0) {
      say(transcript,
          "-x \"%s\" names no section but a file; -x takes every word up to the next option",
          text.c_str());
      a_file_named = true;
    } else {
      say(transcript, "-x \"%s\": no section of that name", text.c_str());
    }
  }
  return a_file_named;
}

void warn_about_plan(const Manifest& manifest, const ManifestPlan& plan, Transcript& transcript) {
  const auto sections = sections_of(manifest);
  for (std::size_t s = 0; s < sections.size(); ++s) {
    const SectionPlan& section = plan.sections[s];
    if (!section.visited) continue;
    for (const Entry& entry : entries_of(sections[s]))
      warn_about_near_miss(sections[s], field_text(entry.key), transcript);
    if (section.same_file_as != NO_SECTION) {
      say(transcript, "sections \"%s\" and \"%s\" both lead to %s",
          sections[static_cast<std::size_t>(section.same_file_as)].name.data(),
          sections[s].name.data(), section.path.data());
    }
  }
}

}  // namespace md5refresh
