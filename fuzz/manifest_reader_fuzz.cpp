// SPDX-License-Identifier: MIT
// Fuzz target: the manifest reader takes any bytes without harm, hands back
// every byte it was given when it reads a manifest whole (what a replace later
// compares the file with), and what it reads, once written, reads back as the
// same table and comments (the writer's output is a fixed point), except for the one layout
// the format cannot carry: a key made only of blanks.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "manifest/manifest_reader.hpp"
#include "manifest/manifest_writer.hpp"

using namespace md5refresh;

namespace {

bool has_known_exception(const Manifest& manifest) {
  for (int s = 0; s < manifest.section_count; ++s) {
    const Section& section = manifest.sections[static_cast<std::size_t>(s)];
    for (int e = 0; e < section.entry_count; ++e) {
      const Entry& entry = section.entries[static_cast<std::size_t>(e)];
      const std::string_view key = field_text(entry.key);
      if (!key.empty() && key.find_first_not_of(" \t") == std::string_view::npos) return true;
    }
  }
  return false;
}

std::string written(const Manifest& manifest) {
  return manifest_text(manifest, {});
}

ReadResult read_bytes(std::string_view bytes, Manifest& manifest) {
  std::FILE* input = fuzz::stream_of(bytes);
  std::string seen;
  const ReadResult result = read_manifest(input, manifest, &seen);
  std::fclose(input);
  if (result.status == ReadStatus::ok && seen != bytes) std::abort();
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto first = std::make_unique<Manifest>();
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (read_bytes(input, *first).status != ReadStatus::ok || has_known_exception(*first)) return 0;

  const std::string text = written(*first);
  auto second = std::make_unique<Manifest>();
  if (read_bytes(text, *second).status != ReadStatus::ok) std::abort();
  if (written(*second) != text) std::abort();
  return 0;
}
