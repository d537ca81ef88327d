// SPDX-License-Identifier: MIT
// How the tool touches the file system: files are read only when they are
// regular files (opening never blocks on a FIFO or device), and a manifest is
// replaced through a temporary file, so a failed write leaves the old one whole.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#if defined(_WIN32)
inline constexpr char HOST_SEPARATOR = '\\';
inline constexpr std::string_view PATH_SEPARATORS = "\\/";
#else
inline constexpr char HOST_SEPARATOR = '/';
inline constexpr std::string_view PATH_SEPARATORS = "/";
#endif

// Stands for "exists but is not a regular file" where an errno value would go.
inline constexpr int NOT_A_REGULAR_FILE = -1;

struct OpenResult {
  std::FILE* file;  // binary stream, or null
  int error;        // errno value or NOT_A_REGULAR_FILE when `file` is null
};

[[nodiscard]] OpenResult open_regular_file(const char* path);

[[nodiscard]] const char* open_error_text(int error);

// What tells one version of a file from another: a file appended to, rewritten
// or replaced while it is read shows a different stamp after the read.
struct FileStamp {
  std::uint64_t device;
  std::uint64_t inode;  // 0 where the host has none
  std::uint64_t size;
  std::int64_t modified;  // nanoseconds, or whatever finer unit the host keeps
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// False when the file cannot be inspected.
[[nodiscard]] bool stamp_of_open_file(std::FILE* stream, FileStamp& stamp);
[[nodiscard]] bool stamp_of_path(const char* path, FileStamp& stamp);

// The size of the regular file open as `stream`; 0 for anything else.
[[nodiscard]] std::uint64_t regular_file_size(std::FILE* stream);

struct OutputFile {
  std::FILE* file = nullptr;
  std::string final_path;      // the file that is replaced: a symlink's target
  std::string temporary_path;  // empty when the output is written directly
};

// An output that exists and is not a regular file (a device, a FIFO), or that
// lies under /dev, is written directly ("/dev/stdout" through the stdout
// stream); anything else through a new temporary file beside its final path,
// carrying the permission bits of the file it replaces. Returns 0 or errno.
[[nodiscard]] int open_output(const char* path, OutputFile& output);

struct OutputProbe {
  int error;              // 0, or errno
  std::string directory;  // set when the temporary file could not be made there
};

// Finds out, before any work is done, whether `path` can be replaced: an
// existing output the process may not write is refused as an open for writing
// would refuse it, and a temporary file is made and removed again beside it.
[[nodiscard]] OutputProbe probe_output(const char* path);

// Flushes the data to disk and renames the temporary over the final path.
// Returns 0 or errno; on failure the temporary is removed and the old file stays.
[[nodiscard]] int commit_output(OutputFile& output);

void discard_output(OutputFile& output);
