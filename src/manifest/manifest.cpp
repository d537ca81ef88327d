// SPDX-License-Identifier: MIT
// Field access and lookups on the manifest table.
#include "manifest/manifest.hpp"

#include <algorithm>
#include <cstring>
#include <span>

#include "platform/text.hpp"

std::string_view field_text(const Field& field) {
  return {field.data(), strnlen(field.data(), field.size())};
}

bool set_field(Field& field, std::string_view text) {
  if (text.size() >= field.size()) return false;
  std::copy(text.begin(), text.end(), field.begin());
  field[text.size()] = '\0';
  return true;
}

Entry* find_entry(Section& section, std::string_view key) {
  auto in_use = std::span(section.entries).first(static_cast<std::size_t>(section.entry_count));
  auto found = std::ranges::find_if(
      in_use, [key](const Entry& entry) { return field_text(entry.key) == key; });
  return found == in_use.end() ? nullptr : &*found;
}

bool is_excluded(const ExcludeList& excludes, std::string_view section_name) {
  auto listed = std::span(excludes.names).first(static_cast<std::size_t>(excludes.count));
  return std::ranges::any_of(
      listed, [section_name](std::string_view name) { return same_text(name, section_name); });
}
