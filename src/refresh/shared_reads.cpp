// SPDX-License-Identifier: MIT
// A file is only looked at here, its identity from that look: the worker that
// digests it opens it, and the stamp after its read tells whether that met
// the file looked at. A known digest or a read under way serves a section
// only where it has every kind of digest the section needs.
#include "refresh/shared_reads.hpp"

#include <cstdlib>

namespace md5refresh {

namespace {

FileKey key_of(const FileStamp& stamp) {
  return {stamp.device, stamp.inode};
}

// The kinds section `s`'s file is read for: its own, and those of the later
// sections of the manifest that lead to the same file and share its read.
DigestKinds kinds_for_file(const ManifestRun& run, std::size_t s, const RunSettings& settings) {
  DigestKinds kinds{};
  for (std::size_t t = s; t < static_cast<std::size_t>(run.plan.section_count); ++t) {
    const bool same_file = t == s || run.plan.sections[t].same_file_as == static_cast<int>(s);
    if (same_file) kinds |= kinds_wanted(run.manifest->sections[t], settings);
  }
  return kinds;
}

}  // namespace

bool all_fed(const ManifestRun& run, const SectionReads& sections) {
  return run.stage != Stage::ready ||
         sections.next_to_feed == static_cast<std::size_t>(run.plan.section_count);
}

SharedFile* file_to_feed(SharedReads& reads, const ManifestRun& run, SectionReads& sections,
                         const RunSettings& settings) {
  const std::size_t s = sections.next_to_feed++;
  const SectionPlan& planned = run.plan.sections[s];
  if (!planned.visited || planned.target != Target::beside_manifest) return nullptr;
  const DigestKinds kinds = kinds_for_file(run, s, settings);
  const int folder = folder_descriptor(run.folder);
  FileStamp stamp{};
  if (const int error = look_at_regular_file(planned.path.data(), folder, stamp); error != 0) {
    sections.outcomes[s].open_error = error;
    return nullptr;
  }
  if (const auto known = reads.known.find(key_of(stamp)); known != reads.known.end() &&
                                                          known->second.stamp == stamp &&
                                                          covers(known->second.digests, kinds)) {
    sections.outcomes[s] = {0, {DigestStatus::ok, 0}, true, known->second.digests};
    return nullptr;
  }
  if (const auto reading = reads.reading.find(key_of(stamp));
      reading != reads.reading.end() && reading->second->before == stamp &&
      takes_all(reading->second->job.wanted, kinds)) {
    sections.files[s] = reading->second;
    ++reading->second->readers;
    return nullptr;
  }
  SharedFile& file = reads.files.emplace_back();
  file.before = stamp;
  file.path = planned.path.data();
  file.folder = run.folder;
  file.job = {nullptr, stamp.size, {}, {}, file.path.c_str(), folder, kinds};
  file.readers = 1;
  ++reads.fed;
  reads.reading[key_of(file.before)] = &file;
  sections.files[s] = &file;
  return &file;
}

void deliver(SharedReads& reads, FileJob& job, const ClosedStamps& closed) {
  SharedFile& file = reads.files[static_cast<std::size_t>(reads.delivered) - reads.let_go];
  if (&file.job != &job) std::abort();  // the digest's promise of order broken
  file.outcome = close_digested(file.job, closed, file.before);
  file.folder = nullptr;
  file.delivered = true;
  ++reads.delivered;
  const auto reading = reads.reading.find(key_of(file.before));
  if (reading != reads.reading.end() && reading->second == &file) reads.reading.erase(reading);
  if (file.outcome.result.status == DigestStatus::ok && file.outcome.unchanged) {
    reads.known[key_of(file.before)] = {file.before, file.outcome.digests};
  }
}

bool take_outcome(SectionReads& sections, std::size_t s) {
  SharedFile* file = sections.files[s];
  if (file == nullptr) return true;
  if (!file->delivered) return false;
  sections.outcomes[s] = file->outcome;
  --file->readers;
  sections.files[s] = nullptr;
  return true;
}

void let_go_of_done(SharedReads& reads) {
  while (!reads.files.empty() && reads.files.front().delivered &&
         reads.files.front().readers == 0) {
    reads.files.pop_front();
    ++reads.let_go;
  }
}

}  // namespace md5refresh
