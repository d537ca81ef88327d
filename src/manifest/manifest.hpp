// SPDX-License-Identifier: MIT
// The in-memory manifest: a fixed table of named sections of key=value
// entries, and the comments that stand between them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace md5refresh {

inline constexpr int MAX_SECTIONS = 10;
inline constexpr int MAX_ENTRIES = 10;

// Every name, key and value is a NUL-terminated byte string of at most 127 bytes.
inline constexpr std::size_t FIELD_CAPACITY = 128;
using Field = std::array<char, FIELD_CAPACITY>;

struct Entry {
  Field key;
  Field value;
};

struct Section {
  Field name;
  std::int32_t entry_count;
  std::array<Entry, MAX_ENTRIES> entries;
};

struct Manifest {
  std::int32_t section_count;
  bool utf8_byte_order_mark;  // the text began with one, and the rewrite does too
  std::array<Section, MAX_SECTIONS> sections;
  // Comment lines outside sections, each ended by LF, kept where they stand:
  // those before section s in comments[s], those after the last section in
  // comments[section_count].
  std::array<std::string, MAX_SECTIONS + 1> comments;
};

[[nodiscard]] std::string_view field_text(const Field& field);

// False, with the field untouched, when the text does not fit.
[[nodiscard]] bool set_field(Field& field, std::string_view text);

// The section's entries in use.
[[nodiscard]] std::span<const Entry> entries_of(const Section& section);
[[nodiscard]] std::span<Entry> entries_of(Section& section);

// How many entries have a key equal to `key` byte for byte.
[[nodiscard]] int count_entries(const Section& section, std::string_view key);

// The first entry whose key equals `key` byte for byte, or null.
[[nodiscard]] Entry* find_entry(Section& section, std::string_view key);
[[nodiscard]] const Entry* find_entry(const Section& section, std::string_view key);

}  // namespace md5refresh
