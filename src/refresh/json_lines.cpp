// SPDX-License-Identifier: MIT
// A writer of the little JSON the tool needs, rather than a library: strings,
// whole numbers, arrays of strings and nested objects, written in one pass.
#include "refresh/json_lines.hpp"

#include <optional>

namespace md5refresh {

namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD
constexpr char HEX_DIGITS[] = "0123456789abcdef";

// The length of the valid UTF-8 character that begins `text`, or 0.
std::size_t utf8_length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong below U+10000
    if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

void append_hex(std::string& text, unsigned char byte) {
  text += HEX_DIGITS[byte >> 4];
  text += HEX_DIGITS[byte & 0xF];
}

void add_key(JsonObject& object, std::string_view key) {
  if (object.text.size() > 1) object.text += ", ";
  object.text += json_string(key);
  object.text += ": ";
}

}  // namespace

bool is_utf8(std::string_view text) {
  while (!text.empty()) {
    const std::size_t length = utf8_length(text);
    if (length == 0) return false;
    text.remove_prefix(length);
  }
  return true;
}

std::string json_string(std::string_view text) {
  std::string json = "\"";
  json.reserve(text.size() + 2);
  while (!text.empty()) {
    const std::size_t length = utf8_length(text);
    const auto byte = static_cast<unsigned char>(text.front());
    if (length == 0) {
      json += REPLACEMENT;
      text.remove_prefix(1);
      continue;
    }
    if (byte == '"' || byte == '\\') {
      json += '\\';
      json += static_cast<char>(byte);
    } else if (byte == '\n') {
      json += "\\n";
    } else if (byte == '\r') {
      json += "\\r";
    } else if (byte == '\t') {
      json += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      json += "\\u00";
      append_hex(json, byte);
    } else {
      json += text.substr(0, length);
    }
    text.remove_prefix(length);
  }
  json += '"';
  return json;
}

void add_text(JsonObject& object, std::string_view key, std::string_view value) {
  add_key(object, key);
  object.text += json_string(value);
}

void add_name(JsonObject& object, std::string_view key, std::string_view name) {
  add_text(object, key, name);
  if (is_utf8(name)) return;
  add_key(object, std::string(key) + "_bytes");
  object.text += '"';
  for (const char byte : name)
    append_hex(object.text, static_cast<unsigned char>(byte));
  object.text += '"';
}

void add_number(JsonObject& object, std::string_view key, std::int64_t value) {
  add_key(object, key);
  object.text += std::to_string(value);
}

void add_texts(JsonObject& object, std::string_view key, std::span<const std::string_view> values) {
  add_key(object, key);
  object.text += '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) object.text += ", ";
    object.text += json_string(values[i]);
  }
  object.text += ']';
}

void add_object(JsonObject& object, std::string_view key, const JsonObject& value) {
  add_key(object, key);
  object.text += closed(value);
}

std::string closed(const JsonObject& object) {
  return object.text + "}";
}

std::string file_object(const FileLine& line) {
  JsonObject object;
  add_name(object, "manifest", line.manifest);
  if (line.section) add_name(object, "section", *line.section);
  if (line.file) add_name(object, "file", *line.file);
  if (line.md5) add_text(object, "md5", *line.md5);
  if (line.sha256) add_text(object, "sha256", *line.sha256);
  add_text(object, "status", line.status);
  if (!line.changed.empty()) add_texts(object, "changed", line.changed);
  if (line.reason) add_text(object, "reason", *line.reason);
  return closed(object);
}

std::string manifest_object(std::string_view manifest, std::string_view outcome,
                            std::optional<std::string_view> why) {
  JsonObject object;
  add_name(object, "manifest", manifest);
  add_text(object, "outcome", outcome);
  if (why) add_text(object, "why", *why);
  return closed(object);
}

}  // namespace md5refresh
