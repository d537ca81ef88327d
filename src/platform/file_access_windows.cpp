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
#include <climits>
#include <cstdint>
#include <cstring>
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
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return IN_USE;
    case ERROR_ACCESS_DENIED:
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
    case ERROR_UNABLE_TO_REMOVE_REPLACED:
      return OLD_NOT_MOVED_ASIDE;
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT:
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT_2:
      return NEW_NOT_MOVED_IN;
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

HANDLE open_to_inspect(const std::string& path) {
  return open_to_inspect(wide_path(path));
}

// Asked while the handle is open: a closed file's index may be handed on.
FileStamp stamp_of_information(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& information) {
  FileStamp stamp{information.dwVolumeSerialNumber,
                  joined(information.nFileIndexHigh, information.nFileIndexLow),
                  joined(information.nFileSizeHigh, information.nFileSizeLow),
                  static_cast<std::int64_t>(joined(information.ftLastWriteTime.dwHighDateTime,
                                                   information.ftLastWriteTime.dwLowDateTime))};
  FILE_ID_INFO id{};
  bool by_file_index = false;
  if constexpr (WITH_SEAMS) by_file_index = seams::identify_by_file_index;
  if (!by_file_index && GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
    static_assert(sizeof id.FileId.Identifier == 2 * sizeof(std::uint64_t));
    stamp.device = id.VolumeSerialNumber;
    std::memcpy(&stamp.inode, id.FileId.Identifier, sizeof stamp.inode);
    std::memcpy(&stamp.inode_high, id.FileId.Identifier + sizeof stamp.inode,
                sizeof stamp.inode_high);
  }
  return stamp;
}

bool stamp_of_handle(HANDLE handle, FileStamp& stamp) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(handle, &information)) return false;
  stamp = stamp_of_information(handle, information);
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

// What ReplaceFileW leaves when it fails halfway is told apart by its error
// (ERROR_UNABLE_TO_MOVE_REPLACEMENT and _2); with a backup name given, the old
// file, when it was moved aside, is under that name, where it can be put back.
DWORD replace_keeping_metadata(const std::wstring& final_path, const std::wstring& temporary,
                               const std::wstring& backup, ReplaceFault fault, DWORD& merge_error) {
  switch (fault) {
    case ReplaceFault::fails:
    case ReplaceFault::falls_back_to_a_rename:
      return ERROR_UNABLE_TO_REMOVE_REPLACED;
    case ReplaceFault::loses_the_original:
      DeleteFileW(final_path.c_str());
      return ERROR_UNABLE_TO_MOVE_REPLACEMENT;
    case ReplaceFault::moves_the_original_aside:
      MoveFileW(final_path.c_str(), backup.c_str());
      return ERROR_UNABLE_TO_MOVE_REPLACEMENT_2;
    default:
      break;
  }
  // Strict first, so that an ACL or attribute it cannot carry over is known
  // and told, not passed over.
  if (fault != ReplaceFault::cannot_merge &&
      ReplaceFileW(final_path.c_str(), temporary.c_str(), backup.c_str(), 0, nullptr, nullptr)) {
    return ERROR_SUCCESS;
  }
  const DWORD strict_error =
      fault == ReplaceFault::cannot_merge ? ERROR_ACCESS_DENIED : GetLastError();
  if (strict_error == ERROR_UNABLE_TO_MOVE_REPLACEMENT ||
      strict_error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 ||
      strict_error == ERROR_UNABLE_TO_REMOVE_REPLACED) {
    return strict_error;
  }
  if (ReplaceFileW(final_path.c_str(), temporary.c_str(), backup.c_str(),
                   REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                   nullptr)) {
    merge_error = strict_error;
    return ERROR_SUCCESS;
  }
  return GetLastError();
}

// The attributes a replaced file had that the new one lacks, set by hand: a
// rename carries none over, and Wine's ReplaceFileW none either.
void keep_attributes(const std::wstring& path, DWORD attributes) {
  constexpr DWORD KEPT = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                         FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  const DWORD now = GetFileAttributesW(path.c_str());
  if (now == INVALID_FILE_ATTRIBUTES || (now & KEPT) == (attributes & KEPT)) return;
  constexpr DWORD OTHERS_SETTABLE =
      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE;
  const DWORD wanted = (now & OTHERS_SETTABLE) | (attributes & KEPT);
  SetFileAttributesW(path.c_str(), wanted != 0 ? wanted : FILE_ATTRIBUTE_NORMAL);
}

// The entries of a path's folder whose names are its last name without regard
// to case, and whether one is that name exactly: more than one only in a
// case-sensitive folder, where a name that is gone is found again in another
// file's (Wine finds it so in every folder).
struct NameMatches {
  int count = 0;
  bool exact = false;
};

// The last character is matched by a wildcard: a name without one is looked
// up alone (by Wine too), where a wildcard has the folder's names compared.
NameMatches matches_of(const std::wstring& path) {
  NameMatches matches;
  const std::size_t separator = path.find_last_of(L"\\/:");
  const std::wstring_view name =
      separator == std::wstring::npos ? path : std::wstring_view(path).substr(separator + 1);
  if (name.empty() || name.size() > INT_MAX) return matches;
  std::wstring pattern = path;
  pattern.back() = L'?';
  WIN32_FIND_DATAW found{};
  HANDLE search =
      FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return matches;
  do {
    const std::wstring_view other = found.cFileName;
    if (other.size() != name.size()) continue;
    const int length = static_cast<int>(name.size());
    if (CompareStringOrdinal(name.data(), length, other.data(), length, TRUE) != CSTR_EQUAL)
      continue;
    ++matches.count;
    matches.exact |= name == other;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return matches;
}

bool exists(const std::wstring& path) {
  return matches_of(path).exact;
}

// ".m.txt.PID-N.tmp" gives ".m.txt.PID-N.old": the old file's name while
// ReplaceFileW works, in the same folder as ReplaceFileW needs.
std::wstring backup_of(const std::wstring& temporary) {
  return temporary.substr(0, temporary.size() - 3) + L"old";
}

}  // namespace

// ReplaceFileW keeps what the replaced file had besides its bytes; where it
// cannot be used (no file there yet, a file system without it, a failure
// halfway, another file whose name differs only by case, which its moving the
// old file aside would let the new one replace), the rename stands in,
// keeping the attributes by hand, and where the rename fails too the old file
// is put back if it was moved aside. The old file's copy goes only once the
// new file is in place under its exact name.
int replace_file(const std::string& temporary_path, const std::string& final_path, bool, int,
                 Transcript& transcript, bool& put_back) {
  const std::wstring temporary = wide_path(temporary_path), target = wide_path(final_path);
  const std::wstring backup = backup_of(temporary);
  const std::string shown_backup = temporary_path.substr(0, temporary_path.size() - 3) + "old";
  ReplaceFault fault = ReplaceFault::none;
  if constexpr (WITH_SEAMS) fault = std::exchange(seams::replace_fault, ReplaceFault::none);
  const DWORD attributes = GetFileAttributesW(target.c_str());
  const bool shares_its_name = matches_of(target).count > 1;
  DWORD error = ERROR_FILE_NOT_FOUND;
  if (attributes != INVALID_FILE_ATTRIBUTES && !shares_its_name) {
    constexpr int ATTEMPTS = 20;
    constexpr DWORD PAUSE_MS = 50;
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
      DWORD merge_error = ERROR_SUCCESS;
      error = replace_keeping_metadata(target, temporary, backup, fault, merge_error);
      if (error == ERROR_SUCCESS) {
        // No other file's name differs from it only by case: found, it is the new one.
        if (GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES ||
            fault == ReplaceFault::lands_elsewhere) {
          return NOT_IN_PLACE;
        }
        if (merge_error != ERROR_SUCCESS) {
          say(transcript, "%s is replaced without the old file's permissions or attributes: %s",
              final_path.c_str(), error_text(errno_from(merge_error)));
        }
        keep_attributes(target, attributes);
        if (!DeleteFileW(backup.c_str())) {
          say(transcript, "cannot remove %s, a copy of the old %s: %s", shown_backup.c_str(),
              final_path.c_str(), error_text(errno_from(GetLastError())));
        }
        return 0;
      }
      if (!worth_retrying(error)) break;
      Sleep(PAUSE_MS);
    }
    if (worth_retrying(error)) return errno_from(error);
  }
  const bool move_refused =
      fault != ReplaceFault::none && fault != ReplaceFault::falls_back_to_a_rename;
  if (!move_refused && MoveFileExW(temporary.c_str(), target.c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      keep_attributes(target, attributes);
      say(transcript, "%s is replaced by a rename, without the old file's permissions: %s",
          final_path.c_str(),
          shares_its_name ? "another file's name differs from it only by case"
                          : error_text(errno_from(error)));
      DeleteFileW(backup.c_str());
    }
    return 0;
  }
  const DWORD move_error = move_refused ? ERROR_ACCESS_DENIED : GetLastError();
  if (!exists(target) && exists(backup)) {
    put_back = MoveFileExW(backup.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
  }
  return errno_from(error == ERROR_FILE_NOT_FOUND ? move_error : error);
}

namespace {

// "\\?\C:\..." and "\\?\UNC\server\..." as a user writes them; wide_path
// gives the long form back wherever it is needed.
std::wstring written_form(std::wstring path) {
  if (path.starts_with(L"\\\\?\\UNC\\")) return L"\\\\" + path.substr(8);
  if (path.starts_with(L"\\\\?\\")) return path.substr(4);
  return path;
}

// Where the file open as `handle` lies, links followed and every name spelled
// as on disk, in its written form. Empty when the system cannot tell.
std::wstring final_name_of(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD length =
        GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return {};
    const bool fits = length < path.size();
    path.resize(length);
    if (fits) break;
  }
  return written_form(std::move(path));
}

// The absolute path the system makes of `path` as written, without a look at
// the disk, in the same form. A long form is absolute already, every name as
// written (Wine's GetFullPathNameW would drop a name's last dot).
std::wstring absolute_form(const char* path) {
  const std::wstring wide = wide_path(path);
  return written_form(wide.starts_with(L"\\\\?\\") ? wide : full_path_of(wide));
}

bool stamp_of_wide_path(const std::wstring& path, FileStamp& stamp) {
  HANDLE handle = open_to_inspect(path);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool stamped = stamp_of_handle(handle, stamp);
  CloseHandle(handle);
  return stamped;
}

// The final path of what `path` opens, only where that path opens the same
// file again: Wine's drops the dots and blanks that end a name.
// The common case, the path as written being where the file lies and how its
// names are spelled, is told from the path alone, without a second open.
struct FinalName {
  std::wstring path;  // empty: not known
  bool as_written;
};

FinalName final_name_of_path(const char* path) {
  HANDLE handle = open_to_inspect(path);
  if (handle == INVALID_HANDLE_VALUE) return {};
  std::wstring final = final_name_of(handle);
  if (!final.empty() && final == absolute_form(path)) {
    CloseHandle(handle);
    return {std::move(final), true};
  }
  FileStamp opened{}, reopened{};
  const bool stamped = stamp_of_handle(handle, opened);
  CloseHandle(handle);
  if (!stamped || final.empty() || !stamp_of_wide_path(wide_path(utf8_text(final)), reopened) ||
      !same_file(opened, reopened)) {
    return {};
  }
  return {std::move(final), false};
}

}  // namespace

// The file the system opens for `path`, which a replace must replace: through
// a link, where the link leads (a replace would otherwise put a private copy
// in the link's place and leave the file it shared stale), and under the name
// it has on disk, whatever spelling (case, a short 8.3 name) the path used.
// Where it lies in the folder the path names (the same folder, by identity:
// its spelling may differ too), the path keeps the folder as written.
std::string final_path_of(const char* path) {
  const auto [final, as_written] = final_name_of_path(path);
  if (as_written) return path;
  const std::size_t separator = final.find_last_of(L'\\');
  if (separator == std::wstring::npos) return path;
  const std::string name = utf8_text(std::wstring_view(final).substr(separator + 1));
  const std::string_view written = path;
  const DirectoryPart part = directory_part(written);
  std::string folder(part.text);
  folder += part.joined_with_separator ? '\\' : '.';           // "E:." the current folder of E:
  std::wstring final_folder = final.substr(0, separator + 1);  // "C:\" stays a root
  FileStamp written_folder{}, folder_reached{};
  if (!name.empty() && stamp_of_path(folder.c_str(), written_folder) &&
      stamp_of_wide_path(wide_path(utf8_text(final_folder)), folder_reached) &&
      same_file(written_folder, folder_reached)) {
    return std::string(written.substr(0, part.name_start())) + name;
  }
  return utf8_text(final);
}

bool reached_by_own_name(const std::string& path) {
  return final_path_of(path.c_str()) == path;
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

// A folder's ACL, inherited entries and the token's privileges decide, and
// only CreateFileW asks them all.
bool folder_access_known(const std::string&, int, int&) {
  return false;
}

bool backup_name_free(const std::string& temporary_path) {
  return GetFileAttributesW(backup_of(wide_path(temporary_path)).c_str()) ==
         INVALID_FILE_ATTRIBUTES;
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
std::int64_t copy_metadata(int, int, const std::string& original, int, Transcript& transcript) {
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

bool has_drive_prefix(std::string_view path) {
  return path.size() >= 2 && path[1] == ':' &&
         ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

long long read_some(int descriptor, std::uint8_t* buffer, std::size_t size) {
  constexpr std::size_t MOST = 1u << 30;
  const int got = _read(descriptor, buffer, static_cast<unsigned>(std::min(size, MOST)));
  if (got < 0 &&
      (GetLastError() == ERROR_LOCK_VIOLATION || GetLastError() == ERROR_SHARING_VIOLATION))
    errno = IN_USE;  // the C library says EACCES
  return got;
}

namespace {

// A manifest stays open for writing by others: an edit meanwhile is seen and
// refused at the end. A file to digest does not: NTFS updates a file's time
// lazily for writes through a handle open elsewhere, and FAT keeps it to 2
// seconds, so no stamp could tell a file written while it is read. A file open
// for writing elsewhere is in use (ERROR_SHARING_VIOLATION), and no one opens
// it for writing while it is read.
enum class Writers { shared, barred };

HANDLE open_for_reading(const char* path, Writers writers) {
  const DWORD sharing =
      FILE_SHARE_READ | FILE_SHARE_DELETE | (writers == Writers::shared ? FILE_SHARE_WRITE : 0);
  return CreateFileW(wide_path(path).c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// 0 when `handle` is a regular file's, its information then in `information`.
int regular_file_information(HANDLE handle, BY_HANDLE_FILE_INFORMATION& information) {
  if (GetFileType(handle) != FILE_TYPE_DISK) return NOT_A_REGULAR_FILE;
  if (!GetFileInformationByHandle(handle, &information)) return errno_from(GetLastError());
  return (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EISDIR : 0;
}

}  // namespace

void note_standard_streams() {}

int look_at_regular_file(const char* path, int, FileStamp& stamp) {
  HANDLE handle = open_to_inspect(path);
  if (handle == INVALID_HANDLE_VALUE) return errno_from(GetLastError());
  BY_HANDLE_FILE_INFORMATION information{};
  const int error = regular_file_information(handle, information);
  if (error == 0) stamp = stamp_of_information(handle, information);
  CloseHandle(handle);
  return error;
}

OpenResult open_to_read(const char* path, int) {
  HANDLE handle = open_for_reading(path, Writers::barred);
  if (handle == INVALID_HANDLE_VALUE) return {nullptr, errno_from(GetLastError()), {}};
  std::FILE* file = stream_of_handle(handle, _O_RDONLY | _O_BINARY, "rb");
  return {file, file != nullptr ? 0 : errno, {}};
}

OpenResult open_regular_file(const char* path, int, bool) {
  HANDLE handle = open_for_reading(path, Writers::shared);
  if (handle == INVALID_HANDLE_VALUE) return {nullptr, errno_from(GetLastError()), {}};
  BY_HANDLE_FILE_INFORMATION information{};
  if (const int error = regular_file_information(handle, information); error != 0) {
    CloseHandle(handle);
    return {nullptr, error, {}};
  }
  const FileStamp stamp = stamp_of_information(handle, information);
  // The handle is the stream's now, or closed.
  std::FILE* file = stream_of_handle(handle, _O_RDONLY | _O_BINARY, "rb");
  if (file == nullptr) return {nullptr, errno, {}};
  return {file, 0, stamp, information.nNumberOfLinks};
}

bool is_plain_file_name(std::string_view name) {
  return name.find(':') == std::string_view::npos;
}

bool stamp_of_open_file(std::FILE* stream, FileStamp& stamp) {
  return stamp_of_handle(handle_of(stream), stamp);
}

bool stamp_of_name(const char* path, FileStamp& stamp, int folder) {
  return stamp_of_path(path, stamp, folder);
}

bool stamp_of_path(const char* path, FileStamp& stamp, int) {
  return stamp_of_wide_path(wide_path(path), stamp);
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
    // Links and junctions stand for another name; other reparse points (a
    // cloud placeholder, a deduplicated file) are the file itself. A tag of 0
    // is one the system did not give: taken for a link.
    const bool reparse = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    const bool link =
        reparse && (found.dwReserved0 == 0 || IsReparseTagNameSurrogate(found.dwReserved0));
    const EntryKind kind = folder ? (link ? EntryKind::folder_link : EntryKind::folder)
                                  : (link ? EntryKind::link : EntryKind::file);
    entries.push_back({utf8_text(name), kind, (attributes & FILE_ATTRIBUTE_HIDDEN) != 0});
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
