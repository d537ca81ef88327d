// SPDX-License-Identifier: MIT
// POSIX and Windows file calls, kept in one place. Each host supplies a few
// primitives; what the tool does with them (the checks before work, the
// temporary file, the replace) is written once below them.
#include "platform/file_access.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#if defined(_WIN32)
#include <io.h>
#include <process.h>
#include <windows.h>

#include "platform/text.hpp"
#else
#include <unistd.h>

#include <filesystem>
#include <system_error>
#endif

namespace {

// The directory a path lies in, as a message names it and as fsync opens it.
std::string directory_of(const std::string& path) {
  const std::size_t separator = path.find_last_of(PATH_SEPARATORS);
  if (separator == std::string::npos) return ".";
  return separator == 0 ? path.substr(0, 1) : path.substr(0, separator);
}

enum class OutputKind { missing, regular, directory, device, standard_output };

#if defined(_WIN32)
// The same wording as on POSIX hosts for the same causes.
int errno_from(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_CURRENT_DIRECTORY:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
    case ERROR_DIRECTORY:
      return EINVAL;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    default:
      return EIO;
  }
}

std::uint64_t joined(DWORD high, DWORD low) {
  return static_cast<std::uint64_t>(high) << 32 | low;
}

// Opens for its attributes only: devices, directories and files alike.
HANDLE open_to_inspect(const std::wstring& path) {
  return CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

std::FILE* stream_of_handle(HANDLE handle, int flags, const char* mode) {
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
  if (descriptor < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* stream = _fdopen(descriptor, mode);
  if (stream == nullptr) _close(descriptor);
  return stream;
}

// No link is followed on Windows: the path is the file replaced.
std::string final_path_of(const char* path) {
  return path;
}

OutputKind output_kind_of(const char*, const std::string& final_path) {
  HANDLE handle = open_to_inspect(wide_text(final_path));
  if (handle == INVALID_HANDLE_VALUE) return OutputKind::missing;
  OutputKind kind = OutputKind::regular;
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    kind = OutputKind::device;  // NUL, CON, a pipe
  } else if (GetFileInformationByHandle(handle, &information) &&
             (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    kind = OutputKind::directory;
  }
  CloseHandle(handle);
  return kind;
}

// The read-only attribute stands where POSIX hosts have permission bits.
int check_writable(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(wide_text(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    errno = EACCES;
    return -1;
  }
  return 0;
}

int open_exclusive(const std::string& path) {
  HANDLE handle = CreateFileW(wide_text(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = errno_from(GetLastError());
    return -1;
  }
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (descriptor < 0) CloseHandle(handle);
  return descriptor;
}

std::FILE* stream_for_writing(int descriptor) {
  return _fdopen(descriptor, "wb");
}

void close_descriptor(int descriptor) {
  _close(descriptor);
}

std::FILE* open_in_place(const std::string& path) {
  return _wfopen(wide_text(path).c_str(), L"wb");
}

int process_id() {
  return _getpid();
}

void copy_permissions(int, const std::string&) {}

int sync_to_disk(std::FILE* stream) {
  if (FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))))) return 0;
  errno = errno_from(GetLastError());
  return -1;
}

void remove_file(const std::string& path) {
  DeleteFileW(wide_text(path).c_str());
}

// The replaced file keeps its attributes (hidden, say), which the temporary
// does not carry.
int replace_file(const std::string& temporary_path, const std::string& final_path) {
  const std::wstring final_wide = wide_text(final_path);
  const DWORD attributes = GetFileAttributesW(final_wide.c_str());
  if (!MoveFileExW(wide_text(temporary_path).c_str(), final_wide.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return errno_from(GetLastError());
  }
  constexpr DWORD KEPT = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                         FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & KEPT) != 0) {
    SetFileAttributesW(final_wide.c_str(), attributes & KEPT);
  }
  return 0;
}
#else
namespace fs = std::filesystem;

FileStamp stamp_from(const struct stat& status) {
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
          static_cast<std::uint64_t>(status.st_size),
          static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec};
}

// Follows a chain of symlinks to the path that is finally replaced, also when
// the last link dangles (the file it names will be created).
std::string final_path_of(const char* path) {
  constexpr int MAX_LINKS = 40;
  fs::path resolved = path;
  for (int hops = 0; hops < MAX_LINKS; ++hops) {
    std::error_code error;
    if (!fs::is_symlink(fs::symlink_status(resolved, error))) break;
    fs::path target = fs::read_symlink(resolved, error);
    if (error) break;
    resolved = target.is_absolute() ? target : resolved.parent_path() / target;
  }
  return resolved.string();
}

// Whatever /dev names is written in place, even where a link there leads to a
// regular file (/dev/fd/N): it stands for an open stream, not for a file to
// replace. "/dev/stdout" is the stream the report lines went to: reopened, a
// redirected standard output would be truncated under them.
OutputKind output_kind_of(const char* path, const std::string& final_path) {
  const std::string_view given = path;
  if (given == "/dev/stdout") return OutputKind::standard_output;
  if (given.starts_with("/dev/")) return OutputKind::device;
  struct stat status {};
  if (::stat(final_path.c_str(), &status) != 0) return OutputKind::missing;
  if (S_ISREG(status.st_mode)) return OutputKind::regular;
  return S_ISDIR(status.st_mode) ? OutputKind::directory : OutputKind::device;
}

int check_writable(const std::string& path) {
  return ::access(path.c_str(), W_OK);
}

int open_exclusive(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}

std::FILE* stream_for_writing(int descriptor) {
  return ::fdopen(descriptor, "wb");
}

void close_descriptor(int descriptor) {
  ::close(descriptor);
}

std::FILE* open_in_place(const std::string& path) {
  return std::fopen(path.c_str(), "wb");
}

int process_id() {
  return static_cast<int>(::getpid());
}

// The owner is kept where the process may keep it (as root, say); the mode is
// set after, since a change of owner can clear the set-id bits.
void copy_permissions(int descriptor, const std::string& original) {
  struct stat status {};
  if (::stat(original.c_str(), &status) != 0) return;
  if (::fchown(descriptor, status.st_uid, status.st_gid) != 0) {
    // Not permitted: the replacement belongs to whoever runs the tool.
  }
  ::fchmod(descriptor, status.st_mode & 07777);
}

int sync_to_disk(std::FILE* stream) {
  return ::fsync(::fileno(stream));
}

void remove_file(const std::string& path) {
  std::remove(path.c_str());
}

// The rename itself is made durable too; a failure there loses nothing written.
int replace_file(const std::string& temporary_path, const std::string& final_path) {
  if (std::rename(temporary_path.c_str(), final_path.c_str()) != 0) return errno;
  const int descriptor = ::open(directory_of(final_path).c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor >= 0) {
    ::fsync(descriptor);
    ::close(descriptor);
  }
  return 0;
}
#endif

// A new hidden file beside `final_path`; its descriptor, or -1 with errno set.
int create_temporary(const std::string& final_path, std::string& temporary_path) {
  const std::size_t name_start = final_path.find_last_of(PATH_SEPARATORS) + 1;
  const std::string prefix = final_path.substr(0, name_start) + "." +
                             final_path.substr(name_start) + "." + std::to_string(process_id());
  constexpr int ATTEMPTS = 100;
  for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
    temporary_path = prefix + "-" + std::to_string(attempt) + ".tmp";
    const int descriptor = open_exclusive(temporary_path);
    if (descriptor >= 0 || errno != EEXIST) return descriptor;
  }
  return -1;
}

}  // namespace

OpenResult open_regular_file(const char* path) {
#if defined(_WIN32)
  HANDLE handle = CreateFileW(wide_text(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {nullptr, errno_from(GetLastError())};
  BY_HANDLE_FILE_INFORMATION information{};
  int error = 0;
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    error = NOT_A_REGULAR_FILE;
  } else if (!GetFileInformationByHandle(handle, &information)) {
    error = errno_from(GetLastError());
  } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    error = EISDIR;
  } else if (std::FILE* file = stream_of_handle(handle, _O_RDONLY | _O_BINARY, "rb")) {
    return {file, 0};
  } else {
    return {nullptr, errno};
  }
  CloseHandle(handle);
  return {nullptr, error};
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

bool stamp_of_open_file(std::FILE* stream, FileStamp& stamp) {
#if defined(_WIN32)
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))),
                                  &information)) {
    return false;
  }
  // The path's attributes carry no file number, so neither does the stamp.
  stamp = {0, 0, joined(information.nFileSizeHigh, information.nFileSizeLow),
           static_cast<std::int64_t>(joined(information.ftLastWriteTime.dwHighDateTime,
                                            information.ftLastWriteTime.dwLowDateTime))};
#else
  struct stat status {};
  if (::fstat(::fileno(stream), &status) != 0) return false;
  stamp = stamp_from(status);
#endif
  return true;
}

bool stamp_of_path(const char* path, FileStamp& stamp) {
#if defined(_WIN32)
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(wide_text(path).c_str(), GetFileExInfoStandard, &data)) return false;
  stamp = {0, 0, joined(data.nFileSizeHigh, data.nFileSizeLow),
           static_cast<std::int64_t>(
               joined(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime))};
  return true;
#else
  struct stat status {};
  if (::stat(path, &status) != 0) return false;
  stamp = stamp_from(status);
  return true;
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

const char* open_error_text(int error) {
  return error == NOT_A_REGULAR_FILE ? "not a regular file" : std::strerror(error);
}

OutputProbe probe_output(const char* path) {
  const std::string final_path = final_path_of(path);
  switch (output_kind_of(path, final_path)) {
    case OutputKind::standard_output:
    case OutputKind::device:
      return {0, {}};
    case OutputKind::directory:
      return {EISDIR, {}};
    case OutputKind::regular:
      if (check_writable(final_path) != 0) return {errno, {}};
      break;
    case OutputKind::missing:
      break;
  }
  std::string temporary_path;
  const int descriptor = create_temporary(final_path, temporary_path);
  if (descriptor < 0) return {errno, directory_of(final_path)};
  close_descriptor(descriptor);
  remove_file(temporary_path);
  return {0, {}};
}

int open_output(const char* path, OutputFile& output) {
  output.final_path = final_path_of(path);
  const OutputKind kind = output_kind_of(path, output.final_path);
  if (kind == OutputKind::standard_output) {
    output.file = stdout;
    return 0;
  }
  if (kind == OutputKind::directory) return EISDIR;
  if (kind == OutputKind::device) {
    output.file = open_in_place(path);
    return output.file == nullptr ? errno : 0;
  }

  std::string temporary_path;
  const int descriptor = create_temporary(output.final_path, temporary_path);
  if (descriptor < 0) return errno;
  if (kind == OutputKind::regular) copy_permissions(descriptor, output.final_path);
  output.file = stream_for_writing(descriptor);
  if (output.file == nullptr) {
    const int stream_error = errno;
    close_descriptor(descriptor);
    remove_file(temporary_path);
    return stream_error;
  }
  output.temporary_path = temporary_path;
  return 0;
}

int commit_output(OutputFile& output) {
  int error = 0;
  if (std::fflush(output.file) != 0) error = errno;
  if (error == 0 && !output.temporary_path.empty() && sync_to_disk(output.file) != 0) {
    error = errno;
  }
  if (output.file != stdout && std::fclose(output.file) != 0 && error == 0) error = errno;
  output.file = nullptr;
  if (output.temporary_path.empty()) return error;

  if (error == 0) error = replace_file(output.temporary_path, output.final_path);
  if (error != 0) remove_file(output.temporary_path);
  output.temporary_path.clear();
  return error;
}

void discard_output(OutputFile& output) {
  if (output.file != nullptr && output.file != stdout) std::fclose(output.file);
  output.file = nullptr;
  if (!output.temporary_path.empty()) remove_file(output.temporary_path);
  output.temporary_path.clear();
}
