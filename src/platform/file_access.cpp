// SPDX-License-Identifier: MIT
// POSIX and Windows file calls, kept in one place. Each host supplies a few
// primitives; what the tool does with them (the checks before work, the
// temporary file, the replace) is written once below them.
#include "platform/file_access.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/diagnostics.hpp"
#include "platform/process.hpp"

#if defined(_WIN32)
#include <io.h>
#include <process.h>
#include <windows.h>

#include "platform/text.hpp"
#else
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <system_error>
#include <vector>
#endif

namespace {

// The directory a path lies in, as a message names it and as fsync opens it.
std::string directory_of(const std::string& path) {
  const DirectoryPart part = directory_part(path);
  if (!part.text.empty()) return std::string(part.text);
  return part.joined_with_separator ? path.substr(0, 1) : ".";  // the root, or here
}

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
HANDLE open_to_inspect(const std::string& path) {
  return CreateFileW(wide_path(path).c_str(), 0,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool stamp_of_handle(HANDLE handle, FileStamp& stamp) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(handle, &information)) return false;
  stamp = {information.dwVolumeSerialNumber,
           joined(information.nFileIndexHigh, information.nFileIndexLow),
           joined(information.nFileSizeHigh, information.nFileSizeLow),
           static_cast<std::int64_t>(joined(information.ftLastWriteTime.dwHighDateTime,
                                            information.ftLastWriteTime.dwLowDateTime))};
  return true;
}

HANDLE handle_of(std::FILE* stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
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

OutputKind output_kind_of(const char* path, FileStamp& existing) {
  HANDLE handle = open_to_inspect(path);
  if (handle == INVALID_HANDLE_VALUE) return OutputKind::missing;
  OutputKind kind = OutputKind::regular;
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    kind = OutputKind::device;  // NUL, CON, a pipe
  } else if (GetFileInformationByHandle(handle, &information) &&
             (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    kind = OutputKind::directory;
  } else if (!stamp_of_handle(handle, existing)) {
    existing = {};
  }
  CloseHandle(handle);
  return kind;
}

// The read-only attribute stands where POSIX hosts have permission bits.
int check_replaceable(const std::string& path, bool&) {
  const DWORD attributes = GetFileAttributesW(wide_path(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    errno = EACCES;
    return -1;
  }
  return 0;
}

// Shared for deletion, so that an interrupt can remove it while it is open.
int open_exclusive(const std::string& path) {
  HANDLE handle = CreateFileW(wide_path(path).c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
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
  return _wfopen(wide_path(path).c_str(), L"wb");
}

int process_id() {
  return _getpid();
}

// ReplaceFileW carries the ACL, attributes and alternate streams over itself.
void copy_metadata(int, const std::string&) {}

int sync_to_disk(std::FILE* stream) {
  if (FlushFileBuffers(handle_of(stream))) return 0;
  errno = errno_from(GetLastError());
  return -1;
}

void remove_file(const std::string& path) {
  DeleteFileW(wide_path(path).c_str());
}

// A scanner or an indexer may hold the file for a moment: a replace refused
// for sharing is tried again for about a second.
bool worth_retrying(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
         error == ERROR_LOCK_VIOLATION;
}

// ReplaceFileW keeps what the replaced file had besides its bytes; where it
// cannot be used (no file there yet, a file system without it), the rename
// stands in, keeping the attributes by hand.
DWORD replace_or_move(const std::wstring& temporary, const std::wstring& final_path) {
  const DWORD attributes = GetFileAttributesW(final_path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      ReplaceFileW(final_path.c_str(), temporary.c_str(), nullptr,
                   REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                   nullptr)) {
    return ERROR_SUCCESS;
  }
  const DWORD replace_error = attributes == INVALID_FILE_ATTRIBUTES ? 0 : GetLastError();
  if (worth_retrying(replace_error)) return replace_error;
  if (!MoveFileExW(temporary.c_str(), final_path.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return GetLastError();
  }
  constexpr DWORD KEPT = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                         FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & KEPT) != 0) {
    SetFileAttributesW(final_path.c_str(), attributes & KEPT);
  }
  return ERROR_SUCCESS;
}

int replace_file(const std::string& temporary_path, const std::string& final_path) {
  const std::wstring temporary = wide_path(temporary_path), final_wide = wide_path(final_path);
  constexpr int ATTEMPTS = 20;
  constexpr DWORD PAUSE_MS = 50;
  DWORD error = ERROR_SUCCESS;
  for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
    error = replace_or_move(temporary, final_wide);
    if (!worth_retrying(error)) break;
    Sleep(PAUSE_MS);
  }
  return error == ERROR_SUCCESS ? 0 : errno_from(error);
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

bool is_stream(int descriptor, const struct stat& status) {
  struct stat stream {};
  return ::fstat(descriptor, &stream) == 0 && stream.st_dev == status.st_dev &&
         stream.st_ino == status.st_ino;
}

// By what the output is, never by its name: /dev/stdout, /dev/fd/1 or a file
// that standard output was sent to is the stream the report lines went to, and
// reopening it would truncate them; a file on /dev/shm is a file. The kernel
// follows the links: those under /proc name pipes in no way a path can.
OutputKind output_kind_of(const char* path, FileStamp& existing) {
  struct stat status {};
  if (::stat(path, &status) != 0) return OutputKind::missing;
  if (is_stream(STDOUT_FILENO, status)) return OutputKind::standard_output;
  if (is_stream(STDERR_FILENO, status)) return OutputKind::standard_error;
  if (S_ISREG(status.st_mode)) {
    existing = stamp_from(status);
    return OutputKind::regular;
  }
  if (S_ISDIR(status.st_mode)) return OutputKind::directory;
  if (S_ISCHR(status.st_mode) || S_ISFIFO(status.st_mode)) return OutputKind::device;
  return OutputKind::not_written;
}

// A rename over a file in a sticky directory needs the file's or the
// directory's owner (or a process that may act for any owner).
bool sticky_forbids_replace(const std::string& path) {
  struct stat file {
  }, directory{};
  if (::geteuid() == 0 || ::stat(path.c_str(), &file) != 0 ||
      ::stat(directory_of(path).c_str(), &directory) != 0) {
    return false;
  }
  return (directory.st_mode & S_ISVTX) != 0 && file.st_uid != ::geteuid() &&
         directory.st_uid != ::geteuid();
}

int check_replaceable(const std::string& path, bool& sticky) {
  if (::access(path.c_str(), W_OK) != 0) return -1;
  if (sticky_forbids_replace(path)) {
    sticky = true;
    errno = EPERM;
    return -1;
  }
  return 0;
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

// Owner and group are kept each where the process may: a user who may not give
// the file away may still keep a group of theirs.
void copy_owner(int descriptor, const std::string& original, const struct stat& status) {
  if (::fchown(descriptor, status.st_uid, status.st_gid) == 0) return;
  const int owner_error = errno;
  if (::fchown(descriptor, static_cast<uid_t>(-1), status.st_gid) == 0) {
    report("cannot keep the owner of %s: %s", original.c_str(), std::strerror(owner_error));
  } else {
    report("cannot keep the owner and group of %s: %s", original.c_str(),
           std::strerror(owner_error));
  }
}

// Extended attributes, POSIX ACLs (system.posix_acl_access) among them.
void copy_extended_attributes(int descriptor, const std::string& original) {
  const ssize_t list_size = ::listxattr(original.c_str(), nullptr, 0);
  if (list_size <= 0) return;  // none, or a file system without them
  std::vector<char> names(static_cast<std::size_t>(list_size));
  const ssize_t listed = ::listxattr(original.c_str(), names.data(), names.size());
  if (listed < 0) {
    report("cannot keep the extended attributes of %s: %s", original.c_str(), std::strerror(errno));
    return;
  }
  std::vector<char> value;
  for (std::size_t at = 0; at < static_cast<std::size_t>(listed);) {
    const char* name = names.data() + at;
    at += std::strlen(name) + 1;
    ssize_t size = ::getxattr(original.c_str(), name, nullptr, 0);
    if (size >= 0) {
      value.resize(static_cast<std::size_t>(size));
      size = ::getxattr(original.c_str(), name, value.data(), value.size());
    }
    if (size < 0 ||
        ::fsetxattr(descriptor, name, value.data(), static_cast<std::size_t>(size), 0) != 0) {
      report("cannot keep extended attribute %s of %s: %s", name, original.c_str(),
             std::strerror(errno));
    }
  }
}

// The mode is set last: a change of owner can clear the set-id bits, and an
// ACL's mask stands in the group bits.
void copy_metadata(int descriptor, const std::string& original) {
  struct stat status {};
  if (::stat(original.c_str(), &status) != 0) return;
  if (status.st_nlink > 1) {
    report("%s has %ju names; the others keep the old contents", original.c_str(),
           static_cast<std::uintmax_t>(status.st_nlink));
  }
  copy_owner(descriptor, original, status);
  copy_extended_attributes(descriptor, original);
  if (::fchmod(descriptor, status.st_mode & 07777) != 0) {
    report("cannot keep the permissions of %s: %s", original.c_str(), std::strerror(errno));
  }
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
// It is removed if a signal ends the process while it exists.
int create_temporary(const std::string& final_path, std::string& temporary_path) {
  const std::size_t name_start = final_path.find_last_of(PATH_SEPARATORS) + 1;
  const std::string prefix = final_path.substr(0, name_start) + "." +
                             final_path.substr(name_start) + "." + std::to_string(process_id());
  constexpr int ATTEMPTS = 100;
  for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
    temporary_path = prefix + "-" + std::to_string(attempt) + ".tmp";
    remove_on_interrupt(temporary_path.c_str());
    const int descriptor = open_exclusive(temporary_path);
    if (descriptor >= 0) return descriptor;
    remove_on_interrupt(nullptr);
    if (errno != EEXIST) return -1;
  }
  return -1;
}

void remove_temporary(std::string& temporary_path) {
  remove_file(temporary_path);
  remove_on_interrupt(nullptr);
  temporary_path.clear();
}

}  // namespace

OpenResult open_regular_file(const char* path) {
#if defined(_WIN32)
  HANDLE handle = CreateFileW(wide_path(path).c_str(), GENERIC_READ,
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

DirectoryPart directory_part(std::string_view path) {
  const std::size_t separator = path.find_last_of(PATH_SEPARATORS);
#if defined(_WIN32)
  const bool drive_prefix =
      path.size() >= 2 && path[1] == ':' &&
      ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  if (separator == std::string_view::npos && drive_prefix) return {path.substr(0, 2), false};
#endif
  if (separator == std::string_view::npos) return {{}, false};
  return {path.substr(0, separator), true};
}

bool is_plain_file_name(std::string_view name) {
#if defined(_WIN32)
  return name.find(':') == std::string_view::npos;
#else
  (void)name;
  return true;
#endif
}

bool stamp_of_open_file(std::FILE* stream, FileStamp& stamp) {
#if defined(_WIN32)
  return stamp_of_handle(handle_of(stream), stamp);
#else
  struct stat status {};
  if (::fstat(::fileno(stream), &status) != 0) return false;
  stamp = stamp_from(status);
  return true;
#endif
}

bool stamp_of_path(const char* path, FileStamp& stamp) {
#if defined(_WIN32)
  HANDLE handle = open_to_inspect(path);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool stamped = stamp_of_handle(handle, stamp);
  CloseHandle(handle);
  return stamped;
#else
  struct stat status {};
  if (::stat(path, &status) != 0) return false;
  stamp = stamp_from(status);
  return true;
#endif
}

std::size_t read_file_bytes(std::FILE* stream, std::uint8_t* buffer, std::size_t size, int& error) {
  const int descriptor = fileno(stream);
  if (descriptor < 0) {  // a stream in memory: nothing but the C library reads it
    const std::size_t got = std::fread(buffer, 1, size, stream);
    if (got < size && std::ferror(stream)) error = errno != 0 ? errno : EIO;
    return got;
  }
  std::size_t done = 0;
  while (done < size) {
#if defined(_WIN32)
    constexpr std::size_t MOST = 1u << 30;
    const int got =
        _read(descriptor, buffer + done, static_cast<unsigned>(std::min(size - done, MOST)));
#else
    const ssize_t got = ::read(descriptor, buffer + done, size - done);
    if (got < 0 && errno == EINTR) continue;
#endif
    if (got < 0) {
      error = errno != 0 ? errno : EIO;
      break;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
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
  if (error == NOT_WRITTEN_KIND) return "a block device or socket is not written";
  return error == NOT_A_REGULAR_FILE ? "not a regular file" : std::strerror(error);
}

bool lock_for_replace(std::FILE* stream) {
#if defined(_WIN32)
  // A byte far past any end of file: Windows's locks bar reads of what they
  // cover, and this one covers nothing a reader wants.
  OVERLAPPED far_byte{};
  far_byte.Offset = 0xFFFFFFFE;
  far_byte.OffsetHigh = 0x7FFFFFFF;
  if (LockFileEx(handle_of(stream), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                 &far_byte)) {
    return true;
  }
  return GetLastError() != ERROR_LOCK_VIOLATION;
#else
  // A file system without locks locks nothing; the stamp check still stands.
  return ::flock(::fileno(stream), LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
#endif
}

OutputProbe probe_output(const char* path) {
  const std::string final_path = final_path_of(path);
  OutputProbe probe{0, {}, false, OutputKind::missing, {}};
  probe.kind = output_kind_of(path, probe.existing);
  switch (probe.kind) {
    case OutputKind::standard_output:
    case OutputKind::standard_error:
    case OutputKind::device:
      return probe;
    case OutputKind::directory:
      probe.error = EISDIR;
      return probe;
    case OutputKind::not_written:
      probe.error = NOT_WRITTEN_KIND;
      return probe;
    case OutputKind::regular:
      if (check_replaceable(final_path, probe.sticky) != 0) {
        probe.error = errno;
        return probe;
      }
      break;
    case OutputKind::missing:
      break;
  }
  std::string temporary_path;
  const int descriptor = create_temporary(final_path, temporary_path);
  if (descriptor < 0) {
    probe.error = errno;
    probe.directory = directory_of(final_path);
    return probe;
  }
  close_descriptor(descriptor);
  remove_temporary(temporary_path);
  return probe;
}

int open_output(const char* path, const OutputProbe& probe, OutputFile& output) {
  output.final_path = final_path_of(path);
  switch (probe.kind) {
    case OutputKind::standard_output:
      output.file = stdout;
      return 0;
    case OutputKind::standard_error:
      std::fflush(stdout);
      output.file = stderr;
      return 0;
    case OutputKind::device:
      output.file = open_in_place(output.final_path);
      return output.file == nullptr ? errno : 0;
    case OutputKind::directory:
      return EISDIR;
    case OutputKind::not_written:
      return NOT_WRITTEN_KIND;
    case OutputKind::regular:
    case OutputKind::missing:
      break;
  }
  const int descriptor = create_temporary(output.final_path, output.temporary_path);
  if (descriptor < 0) {
    const int create_error = errno;
    output.temporary_path.clear();
    return create_error;
  }
  if (probe.kind == OutputKind::regular) copy_metadata(descriptor, output.final_path);
  output.file = stream_for_writing(descriptor);
  if (output.file == nullptr) {
    const int stream_error = errno;
    close_descriptor(descriptor);
    remove_temporary(output.temporary_path);
    return stream_error;
  }
  return 0;
}

int finish_output(OutputFile& output) {
  int error = 0;
  if (std::fflush(output.file) != 0 || std::ferror(output.file)) error = errno != 0 ? errno : EIO;
  if (error == 0 && !output.temporary_path.empty() && sync_to_disk(output.file) != 0) {
    error = errno;
  }
  const bool standard_stream = output.file == stdout || output.file == stderr;
  if (!standard_stream && std::fclose(output.file) != 0 && error == 0) error = errno;
  output.file = nullptr;
  if (error != 0 && !output.temporary_path.empty()) remove_temporary(output.temporary_path);
  return error;
}

int replace_with_output(OutputFile& output) {
  if (output.temporary_path.empty()) return 0;
  const int error = replace_file(output.temporary_path, output.final_path);
  if (error != 0) {
    remove_temporary(output.temporary_path);
  } else {
    remove_on_interrupt(nullptr);
    output.temporary_path.clear();
  }
  return error;
}

void discard_output(OutputFile& output) {
  if (output.file != nullptr && output.file != stdout && output.file != stderr) {
    std::fclose(output.file);
  }
  output.file = nullptr;
  if (!output.temporary_path.empty()) remove_temporary(output.temporary_path);
}
