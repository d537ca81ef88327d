// SPDX-License-Identifier: MIT
// The file calls of Windows: wide names (long ones in the "\\?\" form),
// handles under the C runtime's descriptors, errors in the words POSIX hosts
// use for the same causes, and ReplaceFileW for the replace.
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string_view>

#include "platform/diagnostics.hpp"
#include "platform/file_access.hpp"
#include "platform/file_access_host.hpp"
#include "platform/text.hpp"

namespace md5refresh {

namespace {

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

}  // namespace

// Windows walks no folder by descriptor: paths are taken as they are.
const char* name_within(const char* path, int) {
  return path;
}

// No link is followed on Windows: the path is the file replaced.
std::string final_path_of(const char* path) {
  return path;
}

OutputKind output_kind_of(const char* path, FileStamp& existing, int) {
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
int check_replaceable(const std::string& path, bool&, int) {
  const DWORD attributes = GetFileAttributesW(wide_path(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    errno = EACCES;
    return -1;
  }
  return 0;
}

// Shared for deletion, so that an interrupt can remove it while it is open.
int open_exclusive(const std::string& path, int) {
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

// ReplaceFileW carries the ACL, attributes and alternate streams over itself,
// as they stand at the replace; other names of the file are what it cannot keep.
std::int64_t copy_metadata(int, const std::string& original, int, Transcript& transcript) {
  HANDLE handle = open_to_inspect(original);
  if (handle == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileInformationByHandle(handle, &information) && information.nNumberOfLinks > 1) {
    say(transcript, "%s has %lu names; the others keep the old contents", original.c_str(),
        static_cast<unsigned long>(information.nNumberOfLinks));
  }
  CloseHandle(handle);
  return 0;
}

std::int64_t metadata_time(const std::string&, int) {
  return 0;
}

// ReplaceFileW replaces no file that is open, the replacement among them.
void release_before_replace(OutputFile& output) {
  close_output(output);
}

int descriptor_of(std::FILE* stream) {
  return _fileno(stream);
}

int sync_to_disk(std::FILE* stream) {
  if (FlushFileBuffers(handle_of(stream))) return 0;
  errno = errno_from(GetLastError());
  return -1;
}

void remove_file(const std::string& path, int) {
  DeleteFileW(wide_path(path).c_str());
}

// MOVEFILE_WRITE_THROUGH makes every replace durable: `synced` changes nothing.
int replace_file(const std::string& temporary_path, const std::string& final_path, bool, int) {
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

bool has_drive_prefix(std::string_view path) {
  return path.size() >= 2 && path[1] == ':' &&
         ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

long long read_some(int descriptor, std::uint8_t* buffer, std::size_t size) {
  constexpr std::size_t MOST = 1u << 30;
  return _read(descriptor, buffer, static_cast<unsigned>(std::min(size, MOST)));
}

OpenResult open_regular_file(const char* path, int, bool) {
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
}

bool is_plain_file_name(std::string_view name) {
  return name.find(':') == std::string_view::npos;
}

bool stamp_of_open_file(std::FILE* stream, FileStamp& stamp) {
  return stamp_of_handle(handle_of(stream), stamp);
}

bool stamp_of_path(const char* path, FileStamp& stamp, int) {
  HANDLE handle = open_to_inspect(path);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool stamped = stamp_of_handle(handle, stamp);
  CloseHandle(handle);
  return stamped;
}

std::uint64_t name_count(std::FILE* stream) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(handle_of(stream), &information)) return 1;
  return information.nNumberOfLinks;
}

std::uint64_t regular_file_size(std::FILE* stream) {
  struct _stat64 status {};
  if (_fstat64(_fileno(stream), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG) return 0;
  return static_cast<std::uint64_t>(status.st_size);
}

bool lock_for_replace(std::FILE* stream) {
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
}

// Nothing is held: names are found by path.
int list_folder(const std::string& path, int, std::vector<FolderEntry>& entries,
                FileStamp& identity, HeldFolder& held) {
  held = nullptr;
  if (!stamp_of_path(path.c_str(), identity)) identity = {};
  const std::string pattern = path_in_folder(path, "*");  // "E:*": the drive's current folder
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileExW(wide_path(pattern).c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return 0;  // an empty folder
    return error == ERROR_DIRECTORY ? ENOTDIR : errno_from(error);
  }
  DWORD error = ERROR_SUCCESS;
  do {
    const std::wstring_view name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const DWORD attributes = found.dwFileAttributes;
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool reparse = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    entries.push_back({utf8_text(name), reparse  ? EntryKind::link
                                        : folder ? EntryKind::folder
                                                 : EntryKind::file});
  } while (FindNextFileW(search, &found));
  error = GetLastError();
  FindClose(search);
  return error == ERROR_NO_MORE_FILES ? 0 : errno_from(error);
}

bool syncs_file_system() {
  return false;
}

int sync_file_system(const OutputFile&) {
  return ENOSYS;
}

}  // namespace md5refresh
