// SPDX-License-Identifier: MIT
// The canonical layout is what the reader reads back into the same table, so
// a manifest this tool wrote reads back as the same text: a run that changes
// no digest in it finds nothing to write.
#include "manifest/manifest_writer.hpp"

#include <string_view>

namespace md5refresh {

namespace {

constexpr std::string_view ENTRY_INDENT = "        ";

}  // namespace

std::string manifest_text(const Manifest& manifest, const std::bitset<MAX_SECTIONS>& left_out) {
  const auto count = static_cast<std::size_t>(manifest.section_count);
  std::string text;
  if (manifest.utf8_byte_order_mark) text += "\xEF\xBB\xBF";
  for (std::size_t s = 0; s < count; ++s) {
    text += manifest.comments[s];
    if (left_out[s]) continue;
    const Section& section = manifest.sections[s];
    text.append(field_text(section.name)).append("={\n");
    for (const Entry& entry : entries_of(section)) {
      text.append(ENTRY_INDENT).append(field_text(entry.key)).append("=");
      text.append(field_text(entry.value)).append("\n");
    }
    text += "}\n\n";
  }
  return text += manifest.comments[count];
}

}  // namespace md5refresh
