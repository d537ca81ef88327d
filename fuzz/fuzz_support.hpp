// SPDX-License-Identifier: MIT
// Streams over fuzz inputs, in memory where the host has memory streams, and
// a folder for inputs that must be files.
#pragma once

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "digest/digest_plan.hpp"
#include "digest/file_set_digest.hpp"

namespace fuzz {

using namespace md5refresh;

// Paces under which the plan puts several streams on one core with `kernel`
// (lanes of `engine`, or interleaved scalar streams), so that a test can make
// every kernel run whatever this machine measures.
inline KernelPaces paces_preferring(const Kernel& kernel, LaneEngine engine) {
  KernelPaces paces;
  paces.engine = engine;
  paces.interleaved = {0, 1.0, 0.1, 0.1};
  if (kernel.interleaved != 0) {
    paces.interleaved = {0, 1.0, 0.9, 0.8};
    return paces;
  }
  for (std::size_t i = 0; i < LANE_WIDTHS.size(); ++i) {
    if (LANE_WIDTHS[i] == kernel.lane_width) paces.lanes[i] = 0.9;
  }
  return paces;
}

// An engine target's input: the first byte says how many of the bytes after
// it (up to 7) choose the pieces the message is fed in; the rest is the
// message. False when the input is too short for its own choice.
struct PiecedMessage {
  const std::uint8_t* splits;
  std::size_t split_count;
  const std::uint8_t* message;
  std::size_t length;
};

inline bool pieced_message(const std::uint8_t* data, std::size_t size, PiecedMessage& out) {
  out.split_count = size == 0 ? 0 : data[0] % 8;
  if (size < 1 + out.split_count) return false;
  out.splits = data + 1;
  out.message = data + 1 + out.split_count;
  out.length = size - 1 - out.split_count;
  return true;
}

// The message to `update` in pieces of 3 times each split's value, then the rest.
template <typename Update>
void feed_in_pieces(const PiecedMessage& input, Update update) {
  std::size_t offset = 0;
  for (std::size_t i = 0; i < input.split_count && offset < input.length; ++i) {
    const std::size_t piece = std::min<std::size_t>(input.splits[i] * 3u, input.length - offset);
    update(input.message + offset, piece);
    offset += piece;
  }
  update(input.message + offset, input.length - offset);
}

// Every job fed at once as the window allows, in order.
inline void digest_jobs(std::vector<FileJob>& jobs, const JobDone& done,
                        const DigestOptions& options) {
  std::size_t fed = 0;
  digest_files(
      [&](FileJob*& job) {
        if (fed == jobs.size()) return false;
        job = &jobs[fed++];
        return true;
      },
      done, options);
}

// A folder of the process's own for files the target writes, removed with
// everything in it when the process ends.
struct ScratchFolder {
  ScratchFolder() {
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
      const std::filesystem::path candidate =
          base / ("fuzz-scratch-" + std::to_string(std::random_device{}()));
      std::error_code error;
      if (std::filesystem::create_directory(candidate, error)) path = candidate.string();
    }
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  ~ScratchFolder() {
    std::error_code error;
    if (!path.empty()) std::filesystem::remove_all(path, error);
  }
  std::string path;  // empty when none could be made
};

// A temporary stream of the process's own. The Windows C library names its
// temporary files by a counter that processes share and opens them without
// asking for a new file, so two test processes at once could write into one
// file: there each stream is a file made anew in the process's own folder,
// gone when it is closed.
inline std::FILE* temporary_stream() {
#if defined(_WIN32)
  static const ScratchFolder scratch;
  static std::atomic<unsigned> made{0};
  for (int attempt = 0; attempt < 100 && !scratch.path.empty(); ++attempt) {
    const std::string path = scratch.path + "/stream-" + std::to_string(made++);
    const int descriptor =
        ::_open(path.c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY | _O_TEMPORARY,
                _S_IREAD | _S_IWRITE);
    if (descriptor < 0) continue;
    if (std::FILE* stream = ::_fdopen(descriptor, "w+b")) return stream;
    ::_close(descriptor);
  }
  std::abort();
#else
  std::FILE* stream = nullptr;
  for (int attempt = 0; stream == nullptr && attempt < 100; ++attempt)
    stream = std::tmpfile();
  if (stream == nullptr) std::abort();
  return stream;
#endif
}

inline std::FILE* stream_of(std::string_view bytes) {
#if defined(__unix__)
  if (bytes.empty()) return std::fopen("/dev/null", "rb");
  return ::fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
#else
  std::FILE* stream = temporary_stream();
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
  std::rewind(stream);
  return stream;
#endif
}

}  // namespace fuzz
