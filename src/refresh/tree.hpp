// SPDX-License-Identifier: MIT
// The walk of "-r DIR": every file named update.txt beneath some folders,
// depth first, each folder's entries in byte order. Links are followed
// nowhere: a link to a folder is passed over, and a manifest that is a link is
// named and refused, since it would take another folder's manifest with this
// folder's files; so is one that is not a regular file (a FIFO, a device).
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/diagnostics.hpp"
#include "platform/file_access.hpp"

namespace md5refresh {

inline constexpr char TREE_MANIFEST_NAME[] = "update.txt";

struct WalkLevel {
  std::string path;
  std::vector<FolderEntry> entries;  // in byte order
  FileStamp folder;                  // its identity
  HeldFolder held;                   // where its entries are opened
  std::size_t next = 0;
};

// A manifest is its folder's and its name's: not the manifest file's inode,
// which a file the run has just replaced may hand on to the next one.
// Its exact name counts: a case-sensitive folder on Windows may hold both
// "update.txt" and "UPDATE.TXT", two manifests.
struct ManifestKey {
  std::uint64_t device = 0;  // the folder's
  std::uint64_t inode = 0;
  std::string name;  // as the folder lists it
  [[nodiscard]] bool known() const { return device != 0 || inode != 0; }
  friend auto operator<=>(const ManifestKey&, const ManifestKey&) = default;
};

struct TreeWalk {
  std::span<const char* const> folders;
  std::size_t next_folder = 0;
  std::vector<WalkLevel> levels;
  std::size_t found_in_folder = 0;
  // Manifests named and passed over (links, not regular files), each once
  // however many folders given reach it: their folders, where known.
  std::size_t passed_over = 0;
  std::set<ManifestKey> passed_over_in;
  bool failed =
      false;  // a folder was missing, unreadable or without a manifest, or one was passed over
  // With "--json": the outcome a manifest passed over shows in its object.
  const char* passed_over_outcome = nullptr;
};

struct FoundManifest {
  std::string path;
  ManifestKey key;    // not known() where the host could not tell the folder's identity
  HeldFolder folder;  // where it is read and written, and its files read
};

// The next manifest; false at the end of the walk. What the walk has to say
// (a folder that cannot be read, one without a manifest, a linked manifest)
// goes to `transcript`.
[[nodiscard]] bool next_manifest(TreeWalk& walk, FoundManifest& found, Transcript& transcript);

// Called with an entry's path between the listing of its folder and its
// opening: how tests swap a folder or a manifest for a link there.
// A seam (platform/seams.hpp).
using WalkHook = void (*)(const char* entry_path);
namespace seams {
inline WalkHook walk_hook = nullptr;
}  // namespace seams

}  // namespace md5refresh
