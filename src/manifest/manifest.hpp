// SPDX-License-Identifier: MIT
// The in-memory manifest: a fixed table of named sections of key=value entries,
// and the list of section names that the rewritten manifest leaves out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

inline constexpr int MAX_SECTIONS = 10;
inline constexpr int MAX_ENTRIES = 10;
inline constexpr int MAX_EXCLUDES = 10;

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
};

// Names refer to the argument strings themselves, which live as long as the process.
struct ExcludeList {
  std::array<std::string_view, MAX_EXCLUDES> names;
  int count;
};

[[nodiscard]] std::string_view field_text(const Field& field);

// False, with the field untouched, when the text does not fit.
[[nodiscard]] bool set_field(Field& field, std::string_view text);

// The first entry whose key equals `key` byte for byte, or null.
[[nodiscard]] Entry* find_entry(Section& section, std::string_view key);

// A name matches a section whose name is the same text (in either encoding on Windows).
[[nodiscard]] bool is_excluded(const ExcludeList& excludes, std::string_view section_name);
