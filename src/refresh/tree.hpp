// SPDX-License-Identifier: MIT
// Every manifest beneath some folders in one run ("-r DIR"): each file named
// update.txt is refreshed in place, or checked, as a run of its own would have
// it, while the files of all of them go through one digest, so that the cores
// and lanes stay full and a file that several manifests name is read once.
#pragma once

#include <span>

#include "refresh/check.hpp"
#include "refresh/section_plan.hpp"

namespace md5refresh {

inline constexpr char TREE_MANIFEST_NAME[] = "update.txt";

// How much a tree run holds at once: open files being digested, manifests
// read and not yet finished, written outputs waiting for one sync.
struct TreeLimits {
  std::size_t files_in_flight = 128;
  std::size_t manifests_in_flight = 64;
  std::size_t batch = 64;
};

// What a tree run does: a refresh, or a check printing as `output` says.
struct TreeRequest {
  std::span<const char* const> folders;
  const ExcludeList& excludes;
  bool check;
  CheckOutput output;
  TreeLimits limits = {};
  std::size_t* files_read = nullptr;  // when given: how many files were read, for tests
  int failed_sync = 0;  // not 0: the first batch's sync fails with this errno, for tests
};

// Walks each folder depth first, its entries in byte order, links to folders
// not followed. Each manifest's lines come in the walk's order, under its own
// messages; one summary line on stderr ends the run. Returns the exit status:
// for a refresh 0 when every manifest was written, 1 otherwise (a folder
// missing, unreadable or without a manifest among the reasons); for a check the
// worst of the manifests' statuses, 2 when a folder could not be walked.
[[nodiscard]] int run_trees(const TreeRequest& request);

}  // namespace md5refresh
