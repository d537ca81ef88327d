// SPDX-License-Identifier: MIT
// Recorded digests are compared without regard to case, since other tools
// write them in upper case.
#include "refresh/check.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string_view>

#include "platform/diagnostics.hpp"
#include "refresh/refresh.hpp"
#include "refresh/section_file.hpp"

namespace {

bool same_digest(std::string_view recorded, std::string_view computed) {
  return std::ranges::equal(recorded, computed, [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  });
}

}  // namespace

int check_manifest(const char* input_path, const ExcludeList& excludes) {
  std::unique_ptr<Manifest> manifest;
  if (load_manifest(input_path, manifest) != RefreshResult::ok) return CHECK_NOT_MADE;
  warn_about_manifest(*manifest, input_path, excludes, false);

  int checked = 0, changed = 0, missing = 0;
  digest_section_files(
      *manifest, input_path, &excludes,
      [&](Section& section, SectionFile outcome, const TargetPath& target, const HexDigest& hex) {
        ++checked;
        const char* verdict = "OK";
        if (outcome == SectionFile::not_digested) {
          verdict = "MISSING";
          ++missing;
        } else if (const Entry* md5 = find_entry(section, "md5");
                   md5 == nullptr || !same_digest(field_text(md5->value), hex.data())) {
          verdict = "CHANGED";
          ++changed;
        }
        std::printf("%s: %s\n", target.data(), verdict);
        flush_output();
      });
  // A check of nothing must not pass for a check that found all well.
  if (checked == 0) {
    report("%s: no section names a file to check", input_path);
    return CHECK_NOT_MADE;
  }
  if (changed + missing == 0) return CHECK_ALL_OK;
  report("%d of %d files changed, %d missing", changed, checked, missing);
  return CHECK_NOT_ALL_OK;
}
