// SPDX-License-Identifier: MIT
// A digest is reported only when it covers the whole stream: a read error part
// way through must never pass for the digest of the file.
#include "digest/file_digest.hpp"

#include <utility>

#include "digest/file_set_digest.hpp"
#include "platform/file_access.hpp"

namespace md5refresh {

DigestResult digest_file(std::FILE* stream, HexDigest& hex) {
  FileJob job{stream, regular_file_size(stream), {}, {}};
  bool fed = false;
  digest_files(
      [&](FileJob*& next) {
        next = &job;
        return !std::exchange(fed, true);
      },
      [](FileJob&, const ClosedStamps*) {}, {.window = 1, .expected = 1, .close_streams = false});
  if (job.result.status == DigestStatus::ok) hex = job.digests.md5;
  return job.result;
}

}  // namespace md5refresh
