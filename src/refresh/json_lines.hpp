// SPDX-License-Identifier: MIT
// What "--json" prints: JSON Lines, one object a line, for a program to read
// in place of the report and check lines. Each object's keys keep one order;
// names that are not UTF-8 are shown readable and given again as their bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace md5refresh {

// Whether `text` is UTF-8 as RFC 3629 has it: no overlong forms, no
// surrogates, nothing past U+10FFFF.
[[nodiscard]] bool is_utf8(std::string_view text);

// `text` as a JSON string, quotes included: every byte that does not begin or
// continue a valid UTF-8 character becomes U+FFFD, and every control
// character (and DEL) an escape, so that the line stays one line and a
// terminal shows it as it is.
[[nodiscard]] std::string json_string(std::string_view text);

// One object, its keys in the order they are added.
struct JsonObject {
  std::string text = "{";
};

void add_text(JsonObject& object, std::string_view key, std::string_view value);
// A name read from a manifest, a folder or the command line: where it is not
// UTF-8, "KEY_bytes" follows with its exact bytes in lowercase hex.
void add_name(JsonObject& object, std::string_view key, std::string_view name);
void add_number(JsonObject& object, std::string_view key, std::int64_t value);
void add_texts(JsonObject& object, std::string_view key, std::span<const std::string_view> values);
void add_object(JsonObject& object, std::string_view key, const JsonObject& value);

// The object closed: one line's text, without its line end.
[[nodiscard]] std::string closed(const JsonObject& object);

// The object of a section's file, or of a file no section names: its keys
// in this order, those not given left out.
struct FileLine {
  std::string_view manifest;
  std::optional<std::string_view> section = {};  // none for a file no section names
  std::optional<std::string_view> file = {};     // none for a section that names no file
  std::optional<std::string_view> md5 = {}, sha256 = {};
  std::string_view status = {};
  std::span<const std::string_view> changed = {};  // a check's "CHANGED": the kinds that differ
  std::optional<std::string_view> reason = {};     // why the file was not digested
};
[[nodiscard]] std::string file_object(const FileLine& line);

// The object of a manifest's outcome, and why, where it was refused.
[[nodiscard]] std::string manifest_object(std::string_view manifest, std::string_view outcome,
                                          std::optional<std::string_view> why = std::nullopt);

}  // namespace md5refresh
