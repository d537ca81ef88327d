// SPDX-License-Identifier: MIT
// A named manifest is opened by its path as the user typed it (links
// followed); the walk's are opened within the folder it holds, links refused.
#include "refresh/manifest_source.hpp"

#include <utility>

namespace md5refresh {

ManifestSource named_manifests(std::span<const NamedManifest> named) {
  ManifestSource source;
  source.named = named;
  return source;
}

ManifestSource walk_of(std::span<const char* const> folders) {
  ManifestSource source;
  source.walk.folders = folders;
  return source;
}

bool names_its_manifests(const ManifestSource& source) {
  return !source.named.empty();
}

bool next_manifest_of(ManifestSource& source, ManifestRun& run) {
  while (source.next_named < source.named.size()) {
    const NamedManifest& named = source.named[source.next_named++];
    // By identity: two spellings of one file are one manifest. One that
    // cannot be looked at runs, to say why.
    FileStamp stamp{};
    if (stamp_of_path(named.input_path, stamp) &&
        !source.named_seen.insert({stamp.device, stamp.inode, stamp.inode_high}).second) {
      continue;
    }
    run.transcript.line_by_line = true;
    run.input_path = named.input_path;
    run.output_path = named.output_path;
    run.output_named = named.output_named;
    return true;
  }
  if (names_its_manifests(source)) return false;
  FoundManifest found{};
  while (next_manifest(source.walk, found, run.transcript)) {
    if (found.key.known() && !source.seen.insert(found.key).second) continue;
    run.input_path = run.output_path = found.path;
    run.folder = std::move(found.folder);
    return true;
  }
  return false;
}

}  // namespace md5refresh
