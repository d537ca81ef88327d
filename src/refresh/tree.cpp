// SPDX-License-Identifier: MIT
// Folders are listed whole when entered and sorted, so that the order of a
// run does not depend on the file system's; only the levels on the way down
// are held.
#include "refresh/tree.hpp"

#include <algorithm>
#include <cstring>

#include "platform/seams.hpp"
#include "platform/text.hpp"
#include "refresh/json_lines.hpp"

namespace md5refresh {

namespace {

// A folder beneath another is opened within it, never through a link: one
// swapped for a link since it was listed is not entered.
bool enter_folder(TreeWalk& walk, std::string path, int parent, Transcript& transcript) {
  std::vector<FolderEntry> entries;
  FileStamp folder{};
  HeldFolder held;
  if (const int error = list_folder(path, parent, entries, folder, held); error != 0) {
    say(transcript, "cannot read folder %s: %s", path.c_str(), error_text(error));
    walk.failed = true;
    return false;
  }
  std::ranges::sort(entries, {}, &FolderEntry::name);
  walk.levels.push_back({std::move(path), std::move(entries), folder, std::move(held)});
  return true;
}

// The next folder named with "-r"; false when none is left.
bool next_root(TreeWalk& walk, Transcript& transcript) {
  while (walk.next_folder < walk.folders.size()) {
    walk.found_in_folder = 0;
    if (enter_folder(walk, walk.folders[walk.next_folder++], NO_FOLDER, transcript)) return true;
  }
  return false;
}

}  // namespace

bool next_manifest(TreeWalk& walk, FoundManifest& found, Transcript& transcript) {
  for (;;) {
    if (walk.levels.empty() && !next_root(walk, transcript)) return false;
    WalkLevel& level = walk.levels.back();
    if (level.next == level.entries.size()) {
      const std::string finished = std::move(level.path);
      walk.levels.pop_back();
      if (walk.levels.empty() && walk.found_in_folder == 0) {
        say(transcript, "no %s in %s or beneath it", TREE_MANIFEST_NAME, finished.c_str());
        walk.failed = true;
      }
      continue;
    }
    const FolderEntry& entry = level.entries[level.next++];
    std::string entry_path = path_in_folder(level.path, entry.name);
    if constexpr (WITH_SEAMS) {
      if (seams::walk_hook != nullptr) seams::walk_hook(entry_path.c_str());
    }
    if (entry.kind == EntryKind::folder) {
      const int parent = folder_descriptor(level.held);
      enter_folder(walk, std::move(entry_path), parent, transcript);
    } else if (entry.kind == EntryKind::folder_link) {
      say(transcript, "%s is a link to a folder; not followed", entry_path.c_str());
    } else if (!same_file_name(entry.name, TREE_MANIFEST_NAME)) {
      continue;
    } else {
      ++walk.found_in_folder;
      ManifestKey key{level.folder.device, level.folder.inode, entry.name};
      if (entry.kind == EntryKind::file && reached_by_own_name(entry_path)) {
        found = {std::move(entry_path), key, level.held};
        return true;
      }
      walk.failed = true;
      // A folder reached again through overlapping folders names it once.
      if (key.known() && !walk.passed_over_in.insert(std::move(key)).second) continue;
      ++walk.passed_over;
      say(transcript,
          entry.kind != EntryKind::other ? "%s is a symbolic link; not followed"
                                         : "%s is not a regular file",
          entry_path.c_str());
      if (walk.passed_over_outcome != nullptr) {
        print_line(transcript,
                   manifest_object(entry_path, walk.passed_over_outcome, transcript.last_said));
      }
    }
  }
}

}  // namespace md5refresh
