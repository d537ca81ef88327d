// POSIX and Windows file calls, kept in one place.
#include "platform/file_access.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

#if defined(_WIN32)
#include <io.h>
#include <process.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

#if defined(_WIN32)
int open_exclusive(const char* path) {
  return _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}
int sync_to_disk(int descriptor) {
  return _commit(descriptor);
}
int process_id() {
  return _getpid();
}
int check_writable(const char* path) {
  return _access(path, 2);
}
using HostStat = struct _stat64;
int stat_open_file(std::FILE* stream, HostStat& status) {
  return _fstat64(_fileno(stream), &status);
}
int stat_path(const char* path, HostStat& status) {
  return _stat64(path, &status);
}
// The device and file numbers that stat reports here do not match those of an
// open handle, so a stamp holds only the size and the time.
FileStamp stamp_from(const HostStat& status) {
  return {0, 0, static_cast<std::uint64_t>(status.st_size),
          static_cast<std::int64_t>(status.st_mtime)};
}
void copy_permissions(int, const fs::path&) {}
void sync_directory(const fs::path&) {}
#else
int open_exclusive(const char* path) {
  return ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}
int sync_to_disk(int descriptor) {
  return ::fsync(descriptor);
}
int process_id() {
  return static_cast<int>(::getpid());
}
int check_writable(const char* path) {
  return ::access(path, W_OK);
}
using HostStat = struct stat;
int stat_open_file(std::FILE* stream, HostStat& status) {
  return ::fstat(::fileno(stream), &status);
}
int stat_path(const char* path, HostStat& status) {
  return ::stat(path, &status);
}
FileStamp stamp_from(const HostStat& status) {
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
          static_cast<std::uint64_t>(status.st_size),
          static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec};
}

// The owner is kept where the process may keep it (as root, say); the mode is
// set after, since a change of owner can clear the set-id bits.
void copy_permissions(int descriptor, const fs::path& original) {
  struct stat status {};
  if (::stat(original.c_str(), &status) != 0) return;
  if (::fchown(descriptor, status.st_uid, status.st_gid) != 0) {
    // Not permitted: the replacement belongs to whoever runs the tool.
  }
  ::fchmod(descriptor, status.st_mode & 07777);
}

// Makes the rename itself durable; a failure here loses nothing already written.
void sync_directory(const fs::path& directory) {
  int descriptor = ::open(directory.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return;
  ::fsync(descriptor);
  ::close(descriptor);
}
#endif

// Follows a chain of symlinks to the path that is finally replaced, also when
// the last link dangles (the file it names will be created).
fs::path resolve_links(fs::path path) {
  constexpr int MAX_LINKS = 40;
  for (int hops = 0; hops < MAX_LINKS; ++hops) {
    std::error_code error;
    if (!fs::is_symlink(fs::symlink_status(path, error))) break;
    fs::path target = fs::read_symlink(path, error);
    if (error) break;
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return path;
}

fs::path directory_of(const fs::path& path) {
  fs::path directory = path.parent_path();
  return directory.empty() ? fs::path(".") : directory;
}

}  // namespace

OpenResult open_regular_file(const char* path) {
#if defined(_WIN32)
  // Opening a directory fails here without saying why; ask first.
  struct _stat64 status {};
  if (_stat64(path, &status) == 0 && (status.st_mode & _S_IFMT) != _S_IFREG) {
    return {nullptr, (status.st_mode & _S_IFMT) == _S_IFDIR ? EISDIR : NOT_A_REGULAR_FILE};
  }
  std::FILE* file = std::fopen(path, "rb");
  return {file, file == nullptr ? errno : 0};
#else
  int descriptor = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return {nullptr, errno};
  struct stat status {};
  int error = 0;
  if (::fstat(descriptor, &status) != 0) {
    error = errno;
  } else if (!S_ISREG(status.st_mode)) {
    error = S_ISDIR(status.st_mode) ? EISDIR : NOT_A_REGULAR_FILE;
  } else if (std::FILE* file = ::fdopen(descriptor, "rb")) {
    return {file, 0};
  } else {
    error = errno;
  }
  ::close(descriptor);
  return {nullptr, error};
#endif
}

std::uint64_t regular_file_size(std::FILE* stream) {
#if defined(_WIN32)
  struct _stat64 status {};
  if (_fstat64(_fileno(stream), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG) return 0;
#else
  struct stat status {};
  if (::fstat(::fileno(stream), &status) != 0 || !S_ISREG(status.st_mode)) return 0;
#endif
  return static_cast<std::uint64_t>(status.st_size);
}

bool stamp_of_open_file(std::FILE* stream, FileStamp& stamp) {
  HostStat status{};
  if (stat_open_file(stream, status) != 0) return false;
  stamp = stamp_from(status);
  return true;
}

bool stamp_of_path(const char* path, FileStamp& stamp) {
  HostStat status{};
  if (stat_path(path, status) != 0) return false;
  stamp = stamp_from(status);
  return true;
}

const char* open_error_text(int error) {
  return error == NOT_A_REGULAR_FILE ? "not a regular file" : std::strerror(error);
}

namespace {

// Whatever /dev names is written in place, even where a link there leads to a
// regular file (/dev/fd/N): it stands for an open stream, not for a file to replace.
bool written_in_place(const char* path, const fs::file_status& status) {
  return (fs::exists(status) && !fs::is_regular_file(status)) ||
         std::string_view(path).starts_with("/dev/");
}

// A new hidden file beside `final_path`; its descriptor, or -1 with errno set.
int create_temporary(const fs::path& final_path, std::string& temporary_path) {
  std::string hidden_name(".");
  hidden_name += final_path.filename().string();
  hidden_name += '.';
  const std::string prefix = (directory_of(final_path) / hidden_name).string();
  constexpr int ATTEMPTS = 100;
  for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
    temporary_path =
        prefix + std::to_string(process_id()) + "-" + std::to_string(attempt) + ".tmp";
    const int descriptor = open_exclusive(temporary_path.c_str());
    if (descriptor >= 0 || errno != EEXIST) return descriptor;
  }
  return -1;
}

}  // namespace

OutputProbe probe_output(const char* path) {
  if (std::string_view(path) == "/dev/stdout") return {0, {}};
  const fs::path final_path = resolve_links(path);
  std::error_code error;
  const fs::file_status status = fs::status(final_path, error);
  if (written_in_place(path, status)) return {0, {}};
  if (fs::is_regular_file(status) && check_writable(final_path.string().c_str()) != 0) {
    return {errno, {}};
  }
  std::string temporary_path;
  const int descriptor = create_temporary(final_path, temporary_path);
  if (descriptor < 0) return {errno, directory_of(final_path).string()};
  ::close(descriptor);
  std::remove(temporary_path.c_str());
  return {0, {}};
}

int open_output(const char* path, OutputFile& output) {
  // The manifest follows the report lines on the stream they went to: reopened,
  // a redirected standard output would be truncated under them.
  if (std::string_view(path) == "/dev/stdout") {
    output.file = stdout;
    return 0;
  }
  const fs::path final_path = resolve_links(path);
  output.final_path = final_path.string();
  std::error_code error;
  const fs::file_status status = fs::status(final_path, error);
  if (written_in_place(path, status)) {
    output.file = std::fopen(path, "wb");
    return output.file == nullptr ? errno : 0;
  }

  std::string temporary_path;
  const int descriptor = create_temporary(final_path, temporary_path);
  if (descriptor < 0) return errno;
  if (fs::is_regular_file(status)) copy_permissions(descriptor, final_path);
  output.file = ::fdopen(descriptor, "wb");
  if (output.file == nullptr) {
    const int fdopen_error = errno;
    ::close(descriptor);
    std::remove(temporary_path.c_str());
    return fdopen_error;
  }
  output.temporary_path = temporary_path;
  return 0;
}

int commit_output(OutputFile& output) {
  int error = 0;
  if (std::fflush(output.file) != 0) error = errno;
  if (error == 0 && !output.temporary_path.empty() && sync_to_disk(::fileno(output.file)) != 0) {
    error = errno;
  }
  if (output.file != stdout && std::fclose(output.file) != 0 && error == 0) error = errno;
  output.file = nullptr;
  if (output.temporary_path.empty()) return error;

  if (error == 0) {
    std::error_code rename_error;
    fs::rename(output.temporary_path, output.final_path, rename_error);
    if (!rename_error) {
      sync_directory(directory_of(output.final_path));
      output.temporary_path.clear();
      return 0;
    }
    error = rename_error.default_error_condition().value();
  }
  std::remove(output.temporary_path.c_str());
  output.temporary_path.clear();
  return error;
}

void discard_output(OutputFile& output) {
  if (output.file != nullptr && output.file != stdout) std::fclose(output.file);
  output.file = nullptr;
  if (!output.temporary_path.empty()) std::remove(output.temporary_path.c_str());
  output.temporary_path.clear();
}
