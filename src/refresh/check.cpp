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
#include "refresh/section_file.hpp"

namespace md5refresh {

namespace {

// The words of a check line; the first three are the ones scripts have always
// matched, the others say what to mend in the manifest.
constexpr std::array<const char*, VERDICT_COUNT> VERDICT_TEXT = {
    "OK",
    "CHANGED",
    "MISSING",
    "no file named",
    "no digest recorded",
    "recorded digest is not 32 hex digits",
    "recorded sha256 is not 64 hex digits"};

constexpr std::array<const char*, VERDICT_COUNT> SUMMARY_TEXT = {
    "OK",
    "changed",
    "missing",
    "with no file named",
    "with no digest recorded",
    "with a digest that is not 32 hex digits",
    "with a sha256 that is not 64 hex digits"};

bool same_digest(std::string_view recorded, std::string_view computed) {
  return std::ranges::equal(recorded, computed, [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  });
}

bool is_digest(std::string_view text, std::size_t digits) {
  return text.size() == digits && std::ranges::all_of(text, [](char c) {
           return std::isxdigit(static_cast<unsigned char>(c));
         });
}

// Whether every entry of `key` holds text that `holds` accepts; true when there is none.
template <typename Test>
bool every_entry(const Section& section, std::string_view key, Test holds) {
  return std::ranges::all_of(entries_of(section), [&](const Entry& entry) {
    return field_text(entry.key) != key || holds(field_text(entry.value));
  });
}

// OK only when every digest the section records is its file's: a forged file
// may match the MD5 and still differs in its SHA-256, and a second "md5"
// entry is read by some tools as the one that counts.
SectionCheck check_of(const Section& section, Target target, bool digested,
                      const Digests& digests) {
  if (target == Target::no_file_path || target == Target::names_no_file) {
    return {Verdict::no_file_named, false, false};
  }
  if (!digested) return {Verdict::missing, false, false};
  if (find_entry(section, "md5") == nullptr && find_entry(section, "sha256") == nullptr) {
    return {Verdict::no_digest, false, false};
  }
  auto digits = [](std::size_t count) {
    return [count](std::string_view value) { return is_digest(value, count); };
  };
  auto matches = [](std::string_view computed) {
    return [computed](std::string_view value) { return same_digest(value, computed); };
  };
  if (!every_entry(section, "md5", digits(32))) return {Verdict::not_a_digest, false, false};
  if (!every_entry(section, "sha256", digits(64))) return {Verdict::not_a_sha256, false, false};
  const bool md5_changed = !every_entry(section, "md5", matches(digests.md5.data()));
  const bool sha256_changed =
      !every_entry(section, "sha256", matches(digests.sha256 ? digests.sha256->data() : ""));
  return {md5_changed || sha256_changed ? Verdict::changed : Verdict::ok, md5_changed,
          sha256_changed};
}

void report_summary(const std::array<int, VERDICT_COUNT>& counts, int checked,
                    Transcript& transcript) {
  const int not_ok = checked - counts[0];
  std::string parts;
  for (std::size_t v = 1; v < VERDICT_COUNT; ++v) {
    if (counts[v] == 0) continue;
    parts += (parts.empty() ? "" : ", ") + std::to_string(counts[v]) + " " + SUMMARY_TEXT[v];
  }
  say(transcript, "%d of %d sections not OK: %s", not_ok, checked, parts.c_str());
}

}  // namespace

const char* verdict_text(Verdict verdict) {
  return VERDICT_TEXT[static_cast<std::size_t>(verdict)];
}

std::string check_line(const Section& section, Verdict verdict, const TargetPath& path) {
  const bool section_named = verdict == Verdict::no_file_named;
  return named_line(section_named ? "section " : "",
                    section_named ? field_text(section.name) : path.data(),
                    std::string(": ") + verdict_text(verdict));
}

bool shows_line(CheckOutput output, bool ok) {
  return output == CheckOutput::every_line || (output == CheckOutput::quiet && !ok);
}

std::optional<SectionCheck> tally_section(CheckTally& tally, const Section& section,
                                          const SectionPlan& planned, bool digested,
                                          const Digests& digests) {
  if (!mentions_key(section, "file_path") && !mentions_key(section, "md5") &&
      !mentions_key(section, "sha256")) {
    return std::nullopt;
  }
  const SectionCheck check = check_of(section, planned.target, digested, digests);
  tally.a_file_named = tally.a_file_named || check.verdict != Verdict::no_file_named;
  ++tally.counts[static_cast<std::size_t>(check.verdict)];
  ++tally.checked;
  if (check.md5_changed != check.sha256_changed) {
    ++(check.md5_changed ? tally.md5_only_changed : tally.sha256_only_changed);
  }
  return check;
}

int end_check(const CheckTally& tally, const char* input_path, bool summarize,
              Transcript& transcript) {
  // A check of nothing must not pass for a check that found all well.
  if (!tally.a_file_named && tally.missing_passed_over > 0) {
    say(transcript, "%s: nothing left to check; every file it names is missing", input_path);
    return CHECK_NOT_MADE;
  }
  if (!tally.a_file_named) {
    say(transcript, "%s: no section names a file to check", input_path);
    return CHECK_NOT_MADE;
  }
  const bool sections_ok = tally.counts[0] == tally.checked;
  if (sections_ok && tally.unlisted == 0) return CHECK_ALL_OK;
  if (summarize && !sections_ok) report_summary(tally.counts, tally.checked, transcript);
  if (summarize && tally.unlisted > 0) {
    say(transcript, "%s: %d %s beside it that no section names", input_path, tally.unlisted,
        tally.unlisted == 1 ? "file" : "files");
  }
  return CHECK_NOT_ALL_OK;
}

}  // namespace md5refresh
