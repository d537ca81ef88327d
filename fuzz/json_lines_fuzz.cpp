// SPDX-License-Identifier: MIT
// Fuzz target: whatever the bytes of a name, the JSON the tool writes of it is
// read back by a parser of its own (nlohmann's, no part of the tool): one
// line, no raw control byte, the name itself where it is UTF-8, and its exact
// bytes in the twin key where it is not; and the tool's test of UTF-8 agrees
// with the parser's.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "refresh/json_lines.hpp"

using namespace md5refresh;

namespace {

std::string from_hex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);
  JsonObject object;
  add_name(object, "file", name);
  add_text(object, "status", "OK");
  const std::string line = closed(object);
  for (const char byte : line) {
    if (static_cast<unsigned char>(byte) < 0x20 || byte == 0x7F) std::abort();
  }
  const nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) std::abort();
  const bool utf8 = is_utf8(name);
  if (utf8 && (parsed["file"] != name || parsed.contains("file_bytes"))) std::abort();
  if (!utf8 && (!parsed.contains("file_bytes") || from_hex(parsed["file_bytes"]) != name)) {
    std::abort();
  }
  if (parsed["status"] != "OK") std::abort();
  // The parser takes a string's raw bytes only where they are UTF-8; the bytes
  // JSON must escape are made plain first.
  std::string plain = name;
  for (char& byte : plain) {
    if (static_cast<unsigned char>(byte) < 0x20 || byte == '"' || byte == '\\') byte = 'a';
  }
  if (nlohmann::json::parse('"' + plain + '"', nullptr, false).is_discarded() != !utf8) {
    std::abort();
  }
  return 0;
}
