// SPDX-License-Identifier: MIT
// Field access and lookups on the manifest table.
#include "manifest/manifest.hpp"

#include <algorithm>
#include <cstring>
#include <span>
#include <utility>

namespace md5refresh {

std::string_view field_text(const Field& field) {
  return {field.data(), strnlen(field.data(), field.size())};
}

bool set_field(Field& field, std::string_view text) {
  if (text.size() >= field.size()) return false;
  std::copy(text.begin(), text.end(), field.begin());
  field[text.size()] = '\0';
  return true;
}

std::span<const Entry> entries_of(const Section& section) {
  return std::span(section.entries).first(static_cast<std::size_t>(section.entry_count));
}

std::span<Entry> entries_of(Section& section) {
  return std::span(section.entries).first(static_cast<std::size_t>(section.entry_count));
}

int count_entries(const Section& section, std::string_view key) {
  return static_cast<int>(std::ranges::count_if(
      entries_of(section), [key](const Entry& entry) { return field_text(entry.key) == key; }));
}

const Entry* find_entry(const Section& section, std::string_view key) {
  const auto in_use = entries_of(section);
  auto found = std::ranges::find_if(
      in_use, [key](const Entry& entry) { return field_text(entry.key) == key; });
  return found == in_use.end() ? nullptr : &*found;
}

Entry* find_entry(Section& section, std::string_view key) {
  // The entry is the caller's to change: the section it lies in is.
  return const_cast<Entry*>(find_entry(std::as_const(section), key));
}

}  // namespace md5refresh
