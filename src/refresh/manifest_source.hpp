// SPDX-License-Identifier: MIT
// Where a run's manifests come from: one named on the command line, or the
// walk of folders. Each call of `next_manifest_of` hands the next one to its
// run, named and placed; a manifest named twice, or that the walk reaches
// twice (two folders given, one beneath the other), is handed once.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <span>

#include "refresh/manifest_run.hpp"
#include "refresh/tree.hpp"

namespace md5refresh {

// A manifest named on the command line, and where its refresh is written.
struct NamedManifest {
  const char* input_path = nullptr;
  const char* output_path = nullptr;
  bool output_named = false;  // by "-o"
};

struct ManifestSource {
  std::span<const NamedManifest> named;  // empty: the walk
  std::size_t next_named = 0;
  std::set<std::array<std::uint64_t, 3>> named_seen;  // the files named, by identity
  TreeWalk walk;
  std::set<ManifestKey> seen;
};

[[nodiscard]] ManifestSource named_manifests(std::span<const NamedManifest> named);
[[nodiscard]] ManifestSource walk_of(std::span<const char* const> folders);

// Whether the source's manifests are named, each a run of its own, rather
// than found by the walk.
[[nodiscard]] bool names_its_manifests(const ManifestSource& source);

// Fills `run`'s paths and folder with the next manifest; false when none
// follows. What the walk has to say on the way goes to `run.transcript`, with
// or without a manifest.
[[nodiscard]] bool next_manifest_of(ManifestSource& source, ManifestRun& run);

}  // namespace md5refresh
