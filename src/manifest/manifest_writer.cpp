// SPDX-License-Identifier: MIT
// The canonical layout is what the reader reads back into the same table, so a
// manifest this tool wrote survives the next run unchanged.
#include "manifest/manifest_writer.hpp"

#include <span>
#include <string_view>

namespace md5refresh {

namespace {

constexpr std::string_view ENTRY_INDENT = "        ";

bool put(std::FILE* output, std::string_view text) {
  return std::fwrite(text.data(), 1, text.size(), output) == text.size();
}

}  // namespace

bool write_manifest(std::FILE* output, const Manifest& manifest,
                    const std::bitset<MAX_SECTIONS>& left_out) {
  auto sections =
      std::span(manifest.sections).first(static_cast<std::size_t>(manifest.section_count));
  if (manifest.utf8_byte_order_mark && !put(output, "\xEF\xBB\xBF")) return false;
  for (std::size_t s = 0; s < sections.size(); ++s) {
    if (left_out[s]) continue;
    const Section& section = sections[s];
    bool ok = put(output, field_text(section.name)) && put(output, "={\n");
    for (const Entry& entry :
         std::span(section.entries).first(static_cast<std::size_t>(section.entry_count))) {
      ok = ok && put(output, ENTRY_INDENT) && put(output, field_text(entry.key)) &&
           put(output, "=") && put(output, field_text(entry.value)) && put(output, "\n");
    }
    if (!(ok && put(output, "}\n\n"))) return false;
  }
  return true;
}

}  // namespace md5refresh
