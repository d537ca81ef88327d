// SPDX-License-Identifier: MIT
// Recorded digests are compared without regard to case, since other tools
// write them in upper case.
#include "refresh/check.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/diagnostics.hpp"
#include "refresh/refresh.hpp"
#include "refresh/section_file.hpp"

namespace md5refresh {

namespace {

enum class Verdict { ok, changed, missing, no_file_named, no_digest, not_a_digest };
static_assert(VERDICT_COUNT == 6);

// The words of a check line; the first three are the ones scripts have always
// matched, the others say what to mend in the manifest.
constexpr std::array<const char*, VERDICT_COUNT> VERDICT_TEXT = {
    "OK",
    "CHANGED",
    "MISSING",
    "no file named",
    "no digest recorded",
    "recorded digest is not 32 hex digits"};

constexpr std::array<const char*, VERDICT_COUNT> SUMMARY_TEXT = {
    "OK",
    "changed",
    "missing",
    "with no file named",
    "with no digest recorded",
    "with a digest that is not 32 hex digits"};

bool same_digest(std::string_view recorded, std::string_view computed) {
  return std::ranges::equal(recorded, computed, [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  });
}

bool is_digest(std::string_view text) {
  return text.size() == 32 && std::ranges::all_of(text, [](char c) {
           return std::isxdigit(static_cast<unsigned char>(c));
         });
}

Verdict verdict_of(const Section& section, Target target, bool digested, const HexDigest& hex) {
  if (target == Target::no_file_path || target == Target::names_no_file) {
    return Verdict::no_file_named;
  }
  if (!digested) return Verdict::missing;
  const Entry* md5 = find_entry(section, "md5");
  if (md5 == nullptr) return Verdict::no_digest;
  if (!is_digest(field_text(md5->value))) return Verdict::not_a_digest;
  return same_digest(field_text(md5->value), hex.data()) ? Verdict::ok : Verdict::changed;
}

void print_check_line(const Section& section, Verdict verdict, const TargetPath& path) {
  if (verdict == Verdict::no_file_named) {
    std::fputs("section ", stdout);
    put_output_text(field_text(section.name));
  } else {
    put_output_text(path.data());
  }
  std::printf(": %s\n", VERDICT_TEXT[static_cast<std::size_t>(verdict)]);
  flush_output();
}

void report_summary(const std::array<int, VERDICT_COUNT>& counts, int checked) {
  const int not_ok = checked - counts[0];
  std::string parts;
  for (std::size_t v = 1; v < VERDICT_COUNT; ++v) {
    if (counts[v] == 0) continue;
    parts += (parts.empty() ? "" : ", ") + std::to_string(counts[v]) + " " + SUMMARY_TEXT[v];
  }
  report("%d of %d sections not OK: %s", not_ok, checked, parts.c_str());
}

}  // namespace

void tally_section(CheckTally& tally, const Section& section, const SectionPlan& planned,
                   bool digested, const HexDigest& hex, CheckOutput output) {
  // A section with neither entry, even misspelled, is no business of a check.
  if (!mentions_key(section, "file_path") && !mentions_key(section, "md5")) return;
  const Verdict verdict = verdict_of(section, planned.target, digested, hex);
  tally.a_file_named = tally.a_file_named || verdict != Verdict::no_file_named;
  ++tally.counts[static_cast<std::size_t>(verdict)];
  ++tally.checked;
  if (output == CheckOutput::every_line ||
      (output == CheckOutput::quiet && verdict != Verdict::ok)) {
    print_check_line(section, verdict, planned.path);
  }
}

int end_check(const CheckTally& tally, const char* input_path, CheckOutput output) {
  // A check of nothing must not pass for a check that found all well.
  if (!tally.a_file_named) {
    report("%s: no section names a file to check", input_path);
    return CHECK_NOT_MADE;
  }
  if (tally.counts[0] == tally.checked) return CHECK_ALL_OK;
  if (output != CheckOutput::status_only) report_summary(tally.counts, tally.checked);
  return CHECK_NOT_ALL_OK;
}

bool begin_check(const char* input_path, const ExcludeList& excludes, bool warn_unmatched,
                 std::unique_ptr<Manifest>& manifest, ManifestPlan& plan) {
  if (!load_manifest(input_path, manifest)) return false;
  plan = plan_sections(*manifest, input_path, excludes, RunKind::check);
  warn_about_plan(*manifest, plan, warn_unmatched);
  return true;
}

int check_manifest(const char* input_path, const ExcludeList& excludes, CheckOutput output) {
  std::unique_ptr<Manifest> manifest;
  ManifestPlan plan;
  if (!begin_check(input_path, excludes, true, manifest, plan)) return CHECK_NOT_MADE;
  CheckTally tally{};
  SectionFiles files = open_section_files(plan);
  digest_section_files(plan, files, [&](std::size_t s) {
    if (!plan.sections[s].visited) return;
    const bool digested = take_digest(*manifest, plan, files, s);
    tally_section(tally, manifest->sections[s], plan.sections[s], digested, files.jobs[s].hex,
                  output);
  });
  return end_check(tally, input_path, output);
}

}  // namespace md5refresh
