// SPDX-License-Identifier: MIT
// A file is taken for digested only when it is still the file that was
// opened, as it was opened: a file written to while it was read has the digest
// of no version of itself.
#include "refresh/section_file.hpp"

#include <cstdio>
#include <cstring>

#include "platform/diagnostics.hpp"

namespace md5refresh {

namespace {

void report_file_path(const Section& section, const char* what, Transcript& transcript) {
  say(transcript, "section \"%s\": file_path \"%s\" %s", section.name.data(),
      find_entry(section, "file_path")->value.data(), what);
}

}  // namespace

std::string named_line(std::string_view before, std::string_view name, std::string_view after) {
  const bool escaped = name.find_first_of("\n\r") != std::string_view::npos;
  std::string line;
  if (escaped) line += '\\';
  line += before;
  if (!escaped) return line.append(name).append(after);
  for (const char c : name) {
    switch (c) {
      case '\\':
        line += "\\\\";
        break;
      case '\n':
        line += "\\n";
        break;
      case '\r':
        line += "\\r";
        break;
      default:
        line += c;
    }
  }
  return line.append(after);
}

std::string report_line(const HexDigest& hex, std::string_view path) {
  return named_line(std::string(hex.data()) + '\t', path, "");
}

FileOutcome close_digested(const FileJob& job, const ClosedStamps& stamps,
                           const FileStamp& before) {
  // A file that grew, shrank or was replaced under the read gives the digest of
  // no version of it.
  const int open_error = job.result.status == DigestStatus::open_error ? job.result.error : 0;
  FileOutcome outcome{open_error, job.result, false, job.digests};
  outcome.unchanged = stamps.closed_taken && stamps.path_taken && stamps.closed == before &&
                      stamps.at_path == before;
  return outcome;
}

bool report_outcome(const Section& section, const SectionPlan& planned, const FileOutcome& outcome,
                    Transcript& transcript) {
  switch (planned.target) {
    case Target::no_file_path:
      return false;
    case Target::names_no_file:
      report_file_path(section, "names no file", transcript);
      return false;
    case Target::not_plain:
      report_file_path(section, "names no plain file beside the manifest", transcript);
      return false;
    case Target::beside_manifest:
      break;
  }
  if (outcome.open_error == LEADS_OUT) {
    const std::string_view folder = directory_part(planned.path.data()).text;
    say(transcript, "%s is a link leading out of %.*s; not read", planned.path.data(),
        static_cast<int>(folder.size()), folder.data());
    return false;
  }
  if (outcome.open_error != 0) {
    say(transcript, "cannot open %s: %s", planned.path.data(), error_text(outcome.open_error));
    return false;
  }
  if (outcome.result.status != DigestStatus::ok) {
    say(transcript, "cannot %s %s: %s",
        outcome.result.status == DigestStatus::read_error ? "read" : "digest", planned.path.data(),
        error_text(outcome.result.error));
    return false;
  }
  if (!outcome.unchanged) {
    say(transcript, "%s changed while it was read", planned.path.data());
    return false;
  }
  return true;
}

}  // namespace md5refresh
