// SPDX-License-Identifier: MIT
// The file calls of POSIX hosts: descriptors, stat, flock, extended
// attributes, and a rename made durable by a sync of its directory.
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/diagnostics.hpp"
#include "platform/file_access.hpp"
#include "platform/file_access_host.hpp"
#include "platform/process.hpp"

namespace md5refresh {

const char* name_within(const char* path, int folder) {
  if (folder == NO_FOLDER) return path;
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

namespace {

namespace fs = std::filesystem;

int at(int folder) {
  return folder == NO_FOLDER ? AT_FDCWD : folder;
}

// Within a folder, the name's own file, never a link's target.
int no_follow(int folder) {
  return folder == NO_FOLDER ? 0 : AT_SYMLINK_NOFOLLOW;
}

FileStamp stamp_from(const struct stat& status) {
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
          static_cast<std::uint64_t>(status.st_size),
          static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec};
}

// Never 0 for a file that exists: 0 stands for "no metadata copied".
std::int64_t status_change_time(const struct stat& status) {
  return static_cast<std::int64_t>(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec + 1;
}

// What a standard stream is, asked when a run begins (note_standard_streams):
// the tool never points it elsewhere during a run. {0, 0} where it is not
// there.
std::pair<dev_t, ino_t> stream_identity(int descriptor) {
  struct stat stream {};
  // Closed when the run began: the null device stands there, not a stream.
  if (standard_descriptor_was_closed(descriptor) || ::fstat(descriptor, &stream) != 0) return {};
  return {stream.st_dev, stream.st_ino};
}

std::array<std::pair<dev_t, ino_t>, 2> standard_streams{};

bool is_stream(int descriptor, const struct stat& status) {
  const auto& [device, inode] = standard_streams[descriptor == STDOUT_FILENO ? 0 : 1];
  return (device != 0 || inode != 0) && device == status.st_dev && inode == status.st_ino;
}

// Asked of the system once a run: the tool never changes its user.
uid_t effective_user() {
  static const uid_t user = ::geteuid();
  return user;
}

// A rename over a file in a sticky directory needs the file's or the
// directory's owner (or a process that may act for any owner).
// The file is looked at only in a sticky directory that is not the user's.
bool sticky_forbids_replace(const std::string& path, int folder) {
  if (effective_user() == 0) return false;
  struct stat directory {};
  const bool folder_stated = folder == NO_FOLDER
                                 ? ::stat(directory_of(path).c_str(), &directory) == 0
                                 : ::fstat(folder, &directory) == 0;
  if (!folder_stated || (directory.st_mode & S_ISVTX) == 0 ||
      directory.st_uid == effective_user()) {
    return false;
  }
  struct stat file {};
  return ::fstatat(at(folder), name_within(path.c_str(), folder), &file, no_follow(folder)) == 0 &&
         file.st_uid != effective_user();
}

// Owner and group are kept each where the process may: a user who may not give
// the file away may still keep a group of theirs.
void copy_owner(int descriptor, const std::string& original, const struct stat& status,
                Transcript& transcript) {
  if (::fchown(descriptor, status.st_uid, status.st_gid) == 0) return;
  const int owner_error = errno;
  if (::fchown(descriptor, static_cast<uid_t>(-1), status.st_gid) == 0) {
    say(transcript, "cannot keep the owner of %s: %s", original.c_str(),
        std::strerror(owner_error));
  } else {
    say(transcript, "cannot keep the owner and group of %s: %s", original.c_str(),
        std::strerror(owner_error));
  }
}

// Extended attributes, POSIX ACLs (system.posix_acl_access) among them, read
// through the original's own descriptor.
void copy_extended_attributes(int descriptor, int source, const std::string& original,
                              Transcript& transcript) {
  const ssize_t list_size = ::flistxattr(source, nullptr, 0);
  if (list_size <= 0) return;  // none, or a file system without them
  std::vector<char> names(static_cast<std::size_t>(list_size));
  const ssize_t listed = ::flistxattr(source, names.data(), names.size());
  if (listed < 0) {
    say(transcript, "cannot keep the extended attributes of %s: %s", original.c_str(),
        std::strerror(errno));
    return;
  }
  std::vector<char> value;
  for (std::size_t at = 0; at < static_cast<std::size_t>(listed);) {
    const char* name = names.data() + at;
    at += std::strlen(name) + 1;
    ssize_t size = ::fgetxattr(source, name, nullptr, 0);
    if (size >= 0) {
      value.resize(static_cast<std::size_t>(size));
      size = ::fgetxattr(source, name, value.data(), value.size());
    }
    if (size < 0 ||
        ::fsetxattr(descriptor, name, value.data(), static_cast<std::size_t>(size), 0) != 0) {
      say(transcript, "cannot keep extended attribute %s of %s: %s", name, original.c_str(),
          std::strerror(errno));
    }
  }
}

}  // namespace

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

bool backup_name_free(const std::string&) {
  return true;
}

bool reached_by_own_name(const std::string&) {
  return true;
}

void note_standard_streams() {
  standard_streams = {stream_identity(STDOUT_FILENO), stream_identity(STDERR_FILENO)};
}

// By what the output is, never by its name: /dev/stdout, /dev/fd/1 or a file
// that standard output was sent to is the stream the report lines went to, and
// reopening it would truncate them; a file on /dev/shm is a file. The kernel
// follows the links: those under /proc name pipes in no way a path can.
OutputKind output_kind_of(const char* path, FileStamp& existing, int folder) {
  struct stat status {};
  if (::fstatat(at(folder), name_within(path, folder), &status, no_follow(folder)) != 0) {
    return OutputKind::missing;
  }
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

int check_replaceable(const std::string& path, bool& sticky, int folder) {
  if (::faccessat(at(folder), name_within(path.c_str(), folder), W_OK, 0) != 0) return -1;
  if (sticky_forbids_replace(path, folder)) {
    sticky = true;
    errno = EPERM;
    return -1;
  }
  return 0;
}

// "/." asks of a folder only: a file on the way is not one (ENOTDIR).
bool folder_access_known(const std::string& path, int folder, int& error) {
  const std::string directory = folder != NO_FOLDER ? "." : directory_of(path) + "/.";
  const int access = ::faccessat(at(folder), directory.c_str(), W_OK | X_OK, AT_EACCESS);
  error = access == 0 ? 0 : errno;
  return true;
}

int open_exclusive(const std::string& path, int folder) {
  return ::openat(at(folder), name_within(path.c_str(), folder),
                  O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
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

// Asked of the system once a run: every temporary's name holds it.
int process_id() {
  static const int id = static_cast<int>(::getpid());
  return id;
}

// The mode is set last: a change of owner can clear the set-id bits, and an
// ACL's mask stands in the group bits.
std::int64_t copy_metadata(int descriptor, int held, const std::string& original, int folder,
                           Transcript& transcript) {
  const int source =
      held != NO_DESCRIPTOR
          ? held
          : ::openat(at(folder), name_within(original.c_str(), folder),
                     O_RDONLY | O_NONBLOCK | O_CLOEXEC | (folder == NO_FOLDER ? 0 : O_NOFOLLOW));
  const auto let_go = [&] {
    if (source >= 0 && source != held) ::close(source);
  };
  struct stat status {};
  if (source < 0 || ::fstat(source, &status) != 0) {
    if (errno != ENOENT) {
      say(transcript, "cannot keep the owner, permissions and attributes of %s: %s",
          original.c_str(), std::strerror(errno));
    }
    let_go();
    return 0;
  }
  if (status.st_nlink > 1) {
    say(transcript, "%s has %ju names; the others keep the old contents", original.c_str(),
        static_cast<std::uintmax_t>(status.st_nlink));
  }
  copy_owner(descriptor, original, status, transcript);
  copy_extended_attributes(descriptor, source, original, transcript);
  let_go();
  if (::fchmod(descriptor, status.st_mode & 07777) != 0) {
    say(transcript, "cannot keep the permissions of %s: %s", original.c_str(),
        std::strerror(errno));
  }
  return status_change_time(status);
}

std::int64_t metadata_time(const std::string& path, int folder) {
  struct stat status {};
  return ::fstatat(at(folder), name_within(path.c_str(), folder), &status, no_follow(folder)) == 0
             ? status_change_time(status)
             : 0;
}

void release_before_replace(OutputFile&) {}

int descriptor_of(std::FILE* stream) {
  return ::fileno(stream);
}

int sync_to_disk(std::FILE* stream) {
  return ::fsync(::fileno(stream));
}

void remove_file(const std::string& path, int folder) {
  ::unlinkat(at(folder), name_within(path.c_str(), folder), 0);
}

// The rename itself is made durable too; a failure there loses nothing written.
int replace_file(const std::string& temporary_path, const std::string& final_path, bool synced,
                 int folder, Transcript&, bool&) {
  ReplaceFault fault = ReplaceFault::none;
  if constexpr (WITH_SEAMS) fault = std::exchange(seams::replace_fault, ReplaceFault::none);
  switch (fault) {
    case ReplaceFault::fails:
      return EIO;
    case ReplaceFault::loses_the_original:
      remove_file(final_path, folder);
      return EIO;
    default:  // the others are what only ReplaceFileW does
      break;
  }
  if (::renameat(at(folder), name_within(temporary_path.c_str(), folder), at(folder),
                 name_within(final_path.c_str(), folder)) != 0) {
    return errno;
  }
  if (!synced) return 0;
  if (folder != NO_FOLDER) {
    ::fsync(folder);
    return 0;
  }
  const int descriptor = ::open(directory_of(final_path).c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor >= 0) {
    ::fsync(descriptor);
    ::close(descriptor);
  }
  return 0;
}

bool has_drive_prefix(std::string_view) {
  return false;
}

long long read_some(int descriptor, std::uint8_t* buffer, std::size_t size) {
  for (;;) {
    const ssize_t got = ::read(descriptor, buffer, size);
    if (got >= 0 || errno != EINTR) return got;
  }
}

namespace {

int open_for_reading(const char* path, int folder, bool follow_link) {
  return ::openat(at(folder), name_within(path, folder),
                  O_RDONLY | O_NONBLOCK | O_CLOEXEC | (follow_link ? 0 : O_NOFOLLOW));
}

int not_regular_error(const struct stat& status) {
  return S_ISDIR(status.st_mode) ? EISDIR : NOT_A_REGULAR_FILE;
}

// Whether the system resolves names beneath a folder itself: not known until
// asked, then known for the process. Tests make it take the steps.
enum class SystemBeneath : int { unknown, works, missing };
std::atomic<SystemBeneath> system_beneath{SystemBeneath::unknown};

// Deep enough for any link a package holds; Linux follows at most 40 too.
constexpr int LINKS_FOLLOWED_AT_MOST = 40;

// A descriptor of `name` within `folder`, or -1 with errno set: links are
// followed, each component looked at with O_NOFOLLOW, as long as every step
// stays beneath the folder. A ".." above it or an absolute target leads out
// (EXDEV), as RESOLVE_BENEATH has it.
int open_beneath_by_steps(int folder, const char* name, int flags) {
  std::deque<std::string> left;
  auto push_components = [&left](std::string_view path) {
    std::vector<std::string> parts;
    for (std::size_t start = 0; start <= path.size();) {
      const std::size_t slash = std::min(path.find('/', start), path.size());
      if (slash > start) parts.emplace_back(path.substr(start, slash - start));
      start = slash + 1;
    }
    left.insert(left.begin(), parts.begin(), parts.end());
  };
  push_components(name);
  std::vector<int> held;  // the folders below `folder` on the way down
  auto current = [&] { return held.empty() ? folder : held.back(); };
  // Lets go of the folders on the way down, errno as it was.
  auto done = [&held](int descriptor) {
    const int error = errno;
    for (const int below : held)
      ::close(below);
    errno = error;
    return descriptor;
  };
  auto fail = [&done](int error) {
    errno = error;
    return done(-1);
  };
  int links = 0;
  while (!left.empty()) {
    const std::string component = std::move(left.front());
    left.pop_front();
    if (component == ".") continue;
    if (component == "..") {
      if (held.empty()) return fail(EXDEV);
      ::close(held.back());
      held.pop_back();
      continue;
    }
    struct stat status {};
    if (::fstatat(current(), component.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      return fail(errno);
    }
    if (S_ISLNK(status.st_mode)) {
      std::array<char, 4096> target{};
      const ssize_t length =
          ::readlinkat(current(), component.c_str(), target.data(), target.size());
      if (length < 0) return fail(errno);
      if (static_cast<std::size_t>(length) == target.size()) return fail(ENAMETOOLONG);
      if (++links > LINKS_FOLLOWED_AT_MOST) return fail(ELOOP);
      if (target[0] == '/') return fail(EXDEV);
      push_components({target.data(), static_cast<std::size_t>(length)});
      continue;
    }
    // A link put there since the look is refused, never followed.
    if (left.empty()) return done(::openat(current(), component.c_str(), flags | O_NOFOLLOW));
    if (!S_ISDIR(status.st_mode)) return fail(ENOTDIR);
    const int next =
        ::openat(current(), component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return fail(errno);
    held.push_back(next);
  }
  // The name ended in "." or "..": the folder it came to.
  return done(::openat(current(), ".", flags));
}

// As open_beneath_by_steps, by the system where it has openat2: a kernel
// before 5.6 has none (ENOSYS), and a container's filter may refuse it (EPERM).
int open_beneath(int folder, const char* name, int flags) {
  bool by_steps = system_beneath.load(std::memory_order_relaxed) == SystemBeneath::missing;
  if constexpr (WITH_SEAMS) by_steps |= seams::resolve_beneath_by_steps;
  if (!by_steps) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = RESOLVE_BENEATH;
    for (int tries = 0; tries < 3; ++tries) {
      const long descriptor = ::syscall(SYS_openat2, folder, name, &how, sizeof how);
      if (descriptor >= 0) {
        system_beneath.store(SystemBeneath::works, std::memory_order_relaxed);
        return static_cast<int>(descriptor);
      }
      // EAGAIN: a rename meanwhile kept the system from proving a ".." safe.
      if (errno != EAGAIN) break;
    }
    if (errno != ENOSYS && errno != EPERM) return -1;
    if (errno == EPERM && system_beneath.load(std::memory_order_relaxed) == SystemBeneath::works) {
      return -1;  // a real refusal, not a filter
    }
    system_beneath.store(SystemBeneath::missing, std::memory_order_relaxed);
  }
  return open_beneath_by_steps(folder, name, flags);
}

int leads_out_as_error(int error) {
  return error == EXDEV ? LEADS_OUT : error;
}

}  // namespace

int look_at_regular_file(const char* path, int folder, FileStamp& stamp) {
  const char* name = name_within(path, folder);
  struct stat status {};
  if (::fstatat(at(folder), name, &status, no_follow(folder)) != 0) return errno;
  if (S_ISLNK(status.st_mode)) {
    // Within a tree's folder, a link is followed only as far as the folder reaches.
    const int descriptor = open_beneath(folder, name, O_PATH | O_CLOEXEC);
    if (descriptor < 0) return leads_out_as_error(errno);
    const int looked = ::fstat(descriptor, &status);
    const int error = errno;
    ::close(descriptor);
    if (looked != 0) return error;
  }
  if (!S_ISREG(status.st_mode)) return not_regular_error(status);
  stamp = stamp_from(status);
  return 0;
}

OpenResult open_to_read(const char* path, int folder) {
  const int descriptor = folder == NO_FOLDER ? open_for_reading(path, folder, true)
                                             : open_beneath(folder, name_within(path, folder),
                                                            O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return {nullptr, leads_out_as_error(errno), {}};
  if (std::FILE* file = ::fdopen(descriptor, "rb")) return {file, 0, {}};
  const int error = errno;
  ::close(descriptor);
  return {nullptr, error, {}};
}

OpenResult open_regular_file(const char* path, int folder, bool follow_link) {
  int descriptor = open_for_reading(path, folder, follow_link);
  if (descriptor < 0) return {nullptr, errno, {}};
  struct stat status {};
  int error = 0;
  if (::fstat(descriptor, &status) != 0) {
    error = errno;
  } else if (!S_ISREG(status.st_mode)) {
    error = not_regular_error(status);
  } else if (std::FILE* file = ::fdopen(descriptor, "rb")) {
    return {file, 0, stamp_from(status), static_cast<std::uint64_t>(status.st_nlink)};
  } else {
    error = errno;
  }
  ::close(descriptor);
  return {nullptr, error, {}};
}

bool is_plain_file_name(std::string_view name) {
  (void)name;
  return true;
}

bool stamp_of_open_file(std::FILE* stream, FileStamp& stamp) {
  struct stat status {};
  if (::fstat(::fileno(stream), &status) != 0) return false;
  stamp = stamp_from(status);
  return true;
}

namespace {

bool stamp_at(const char* path, FileStamp& stamp, int folder, int flags) {
  struct stat status {};
  if (::fstatat(at(folder), name_within(path, folder), &status, flags) != 0) return false;
  stamp = stamp_from(status);
  return true;
}

}  // namespace

bool stamp_of_name(const char* path, FileStamp& stamp, int folder) {
  return stamp_at(path, stamp, folder, no_follow(folder));
}

bool stamp_of_path(const char* path, FileStamp& stamp, int folder) {
  return stamp_at(path, stamp, folder, 0);
}

std::uint64_t regular_file_size(std::FILE* stream) {
  struct stat status {};
  if (::fstat(::fileno(stream), &status) != 0 || !S_ISREG(status.st_mode)) return 0;
  return static_cast<std::uint64_t>(status.st_size);
}

bool lock_for_replace(std::FILE* stream) {
  // A file system without locks locks nothing; the stamp check still stands.
  return ::flock(::fileno(stream), LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

namespace {

EntryKind kind_of_entry(int folder, const struct dirent& entry) {
  if (entry.d_type == DT_DIR) return EntryKind::folder;
  if (entry.d_type == DT_REG) return EntryKind::file;
  if (entry.d_type == DT_LNK) return EntryKind::link;
  struct stat status {};
  if (::fstatat(folder, entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::other;
  if (S_ISDIR(status.st_mode)) return EntryKind::folder;
  if (S_ISREG(status.st_mode)) return EntryKind::file;
  if (S_ISLNK(status.st_mode)) return EntryKind::link;
  return EntryKind::other;
}

}  // namespace

int list_folder(const std::string& path, int parent, std::vector<FolderEntry>& entries,
                FileStamp& identity, HeldFolder& held) {
  constexpr int FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  const int descriptor =
      parent == NO_FOLDER ? ::open(path.c_str(), FLAGS)
                          : ::openat(parent, name_within(path.c_str(), parent), FLAGS | O_NOFOLLOW);
  if (descriptor < 0) return errno;
  struct stat status {};
  const int listed = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
  DIR* folder = listed >= 0 ? ::fdopendir(listed) : nullptr;
  if (folder == nullptr || ::fstat(descriptor, &status) != 0) {
    const int error = errno;
    if (folder != nullptr) {
      ::closedir(folder);
    } else if (listed >= 0) {
      ::close(listed);
    }
    ::close(descriptor);
    return error;
  }
  identity = stamp_from(status);
  held = HeldFolder(new OpenFolder{descriptor}, [](const OpenFolder* open) {
    ::close(open->descriptor);
    delete open;
  });
  int error = 0;
  for (;;) {
    errno = 0;
    const struct dirent* entry = ::readdir(folder);
    if (entry == nullptr) {
      error = errno;
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    entries.push_back({std::string(name), kind_of_entry(::dirfd(folder), *entry)});
  }
  ::closedir(folder);
  return error;
}

bool syncs_file_system() {
  return true;
}

int sync_file_system(const OutputFile& output) {
  if (output.file == nullptr) return EBADF;
  return ::syncfs(::fileno(output.file)) == 0 ? 0 : errno;
}

}  // namespace md5refresh
