// SPDX-License-Identifier: MIT
// What the digest floor and the floors above it hand each other: a file to
// digest, the digests taken of it, and what was seen as it was closed. A new
// kind of digest is a field of `DigestKinds` and `Digests` and its hasher
// (digest/hashers.hpp); nothing between the job and its outcome names it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "platform/file_access.hpp"

namespace md5refresh {

using HexDigest = std::array<char, 33>;  // 32 digits and a NUL
using Sha256Hex = std::array<char, 65>;  // 64 digits and a NUL

// The kinds a file's read takes beside its MD5, which is always taken.
struct DigestKinds {
  bool sha256 = false;
  DigestKinds& operator|=(const DigestKinds& other) {
    sha256 = sha256 || other.sha256;
    return *this;
  }
};

// Whether a read that takes `taken` takes every kind `wanted` asks for.
[[nodiscard]] inline bool takes_all(const DigestKinds& taken, const DigestKinds& wanted) {
  return !wanted.sha256 || taken.sha256;
}

// A file's digests from one read, in lowercase hex.
struct Digests {
  HexDigest md5{};
  std::optional<Sha256Hex> sha256;  // where it was taken
};

// Whether `digests` hold every kind `wanted` asks for.
[[nodiscard]] inline bool covers(const Digests& digests, const DigestKinds& wanted) {
  return !wanted.sha256 || digests.sha256.has_value();
}

enum class DigestStatus { ok, open_error, read_error, out_of_memory };

struct DigestResult {
  DigestStatus status;
  int error;  // errno value when status is not ok
};

// A file to digest: a stream open already, or, so that the calling thread
// only looks at files, one the worker that first digests it opens by its path.
struct FileJob {
  std::FILE* stream;    // read from its position to its end; null: opened at `path`
  std::uint64_t size;   // as the file was looked at: what the plan goes by
  DigestResult result;  // filled in; only a whole read gives digests
  Digests digests;      // filled in, the kinds `wanted` asks for
  // Where the file is (within `folder`): a run that closes it looks there
  // again, so that the caller can tell whether the path still names the file
  // it looked at. Null, with no stream: nothing to do.
  const char* path = nullptr;
  int folder = NO_FOLDER;
  DigestKinds wanted{};
};

// How many files a run will have, where its caller cannot say.
inline constexpr std::size_t FILES_NOT_KNOWN = SIZE_MAX;

// What a run saw as it closed a file, once nothing more was read: the file's
// stamp through the stream, and the stamp of what its path named then.
struct ClosedStamps {
  bool closed_taken = false;  // false: the file could not be inspected
  FileStamp closed{};
  bool path_taken = false;  // false: no path, or nothing there
  FileStamp at_path{};
};

}  // namespace md5refresh
