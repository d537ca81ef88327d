// SPDX-License-Identifier: MIT
// How the tool touches the file system: files are read only when they are
// regular files (opening never blocks on a FIFO or device), and a manifest is
// replaced through a temporary file, so a failed write leaves the old one whole
// and the replaced file keeps what the host keeps of a file besides its bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace md5refresh {

struct Transcript;

// Windows replaces no file that is open, so a replaced manifest's reader
// closes it, and lets go of its lock, first.
#if defined(_WIN32)
inline constexpr char HOST_SEPARATOR = '\\';
inline constexpr std::string_view PATH_SEPARATORS = "\\/";
inline constexpr bool REPLACE_NEEDS_READERS_CLOSED = true;
#else
inline constexpr char HOST_SEPARATOR = '/';
inline constexpr std::string_view PATH_SEPARATORS = "/";
inline constexpr bool REPLACE_NEEDS_READERS_CLOSED = false;
#endif

// A folder held open by a walk: a name in it is found there, whatever is
// renamed, moved or swapped for a link above it meanwhile. The calls below that
// take a `folder` then use the last component of their path within it, and
// report with the whole path; NO_FOLDER (and on Windows, always) they take the
// path as it is.
inline constexpr int NO_FOLDER = -1;
struct OpenFolder {
  int descriptor;
};
using HeldFolder = std::shared_ptr<const OpenFolder>;  // closed when the last holder lets go
[[nodiscard]] inline int folder_descriptor(const HeldFolder& folder) {
  return folder != nullptr ? folder->descriptor : NO_FOLDER;
}

// Stands for "exists but is not a regular file" where an errno value would go.
inline constexpr int NOT_A_REGULAR_FILE = -1;
// An output that is a block device or a socket: neither replaced nor written.
inline constexpr int NOT_WRITTEN_KIND = -2;
// A file another process holds open without sharing it (Windows).
inline constexpr int IN_USE = -3;
// A file in a walked folder that is a link leading out of the folder.
inline constexpr int LEADS_OUT = -4;
// What a replace on Windows could not do, by ReplaceFileW's own codes; the
// last one, after it said it had done all.
inline constexpr int OLD_NOT_MOVED_ASIDE = -5;
inline constexpr int NEW_NOT_MOVED_IN = -6;
inline constexpr int NOT_IN_PLACE = -7;

// The directory part of a path as a file beside it is joined to it: up to its
// last separator, or on Windows a drive prefix alone ("C:p.txt" lies in "C:",
// the current folder of drive C:, and so do the files beside it).
struct DirectoryPart {
  std::string_view text;       // empty: the current directory
  bool joined_with_separator;  // false for a bare drive prefix
  // Where the name after it begins in the path.
  [[nodiscard]] std::size_t name_start() const {
    return text.size() + (joined_with_separator ? 1 : 0);
  }
};
[[nodiscard]] DirectoryPart directory_part(std::string_view path);

// `name` in `folder` as the host joins them: nothing between when the folder
// ends in a separator or is a bare drive prefix ("E:" + "pkg": "E:pkg", in the
// current folder of drive E:), else the host's separator.
[[nodiscard]] std::string path_in_folder(std::string_view folder, std::string_view name);

// Where a temporary beside `final_path` begins: its folder, "." and its name
// ("pkg/.update.txt."; on Windows "E:.update.txt." for "E:update.txt").
[[nodiscard]] std::string temporary_prefix(std::string_view final_path);

// Whether a file name from a manifest names an ordinary file beside it: on
// Windows a ":" would name a drive or an alternate data stream instead.
[[nodiscard]] bool is_plain_file_name(std::string_view name);

// What tells one version of a file from another: a file appended to, rewritten
// or replaced while it is read shows a different stamp after the read.
// On Windows a file's identity is the volume's serial number and the 128-bit
// file id (FileIdInfo: a 64-bit index is not unique on ReFS), or where a
// volume gives no such id, its 32-bit serial number and the 64-bit index: the
// two forms never meet on one volume.
struct FileStamp {
  std::uint64_t device;  // the volume's serial number on Windows
  std::uint64_t inode;   // the file id's lower half on Windows
  std::uint64_t size;
  std::int64_t modified;         // nanoseconds, or whatever finer unit the host keeps
  std::uint64_t inode_high = 0;  // the file id's upper half on Windows
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

[[nodiscard]] inline bool same_file(const FileStamp& a, const FileStamp& b) {
  return a.device == b.device && a.inode == b.inode && a.inode_high == b.inode_high;
}

struct OpenResult {
  std::FILE* file;          // binary stream, or null
  int error;                // errno value or NOT_A_REGULAR_FILE when `file` is null
  FileStamp stamp;          // the opened file's, from the status taken to open it
  std::uint64_t names = 1;  // its hard links, from the same status
};

// Within a folder, a file that is a symbolic link is not followed (ELOOP)
// unless `follow_link`.
[[nodiscard]] OpenResult open_regular_file(const char* path, int folder = NO_FOLDER,
                                           bool follow_link = true);

// What the standard streams are, asked once when a run begins, so that an
// output that is one of them is written through it rather than replaced. A
// process that points them elsewhere between runs (as tests do) asks again.
// Nothing on Windows, where an output is never taken for a stream.
void note_standard_streams();

// The regular file at `path` looked at without opening it: its stamp, for a
// digest that opens it later with open_to_read. 0, or errno (EISDIR,
// NOT_A_REGULAR_FILE, LEADS_OUT). Within `folder` a link is followed only
// while it stays beneath the folder: a tree is never read outside itself.
[[nodiscard]] int look_at_regular_file(const char* path, int folder, FileStamp& stamp);

// Opens the file at `path` (within `folder`, links followed beneath it only)
// for reading with no look at what it is: the caller looked before, and the
// stamp after the read tells whether it met the same file. Opening does not
// wait for a writer, should a FIFO have taken the file's place.
[[nodiscard]] OpenResult open_to_read(const char* path, int folder);

// Whether the file a walk listed at `path` is that name's own file, not one a
// link leads to: on Windows, where a folder's listing may not tell a link
// (Wine's tells none), the file opened there must lie in that folder under
// that exact name. Always on POSIX hosts, whose listings tell every link.
[[nodiscard]] bool reached_by_own_name(const std::string& path);

// The words for an errno value or one of the codes above.
[[nodiscard]] const char* error_text(int error);

// A link is any symbolic link on POSIX hosts; on Windows a file that is a
// symbolic link, and a folder that is a link or junction is a folder_link.
enum class EntryKind { folder, file, link, folder_link, other };

struct FolderEntry {
  std::string name;  // UTF-8 on Windows
  EntryKind kind;
  bool hidden = false;  // on Windows, the hidden attribute; POSIX hosts hide by a leading dot
};

// The entries of the folder at `path` (within `parent`, without following a
// link, where `parent` is given), but "." and "..", in no order; the folder's
// own identity (device and inode; volume and file index on Windows) in
// `identity`; and the folder held open in `held` (on Windows, nothing held).
// A symbolic link, to a folder or a file (on Windows any reparse point), is a
// `link`, so that a walk follows none. Returns 0 or errno (ENOENT, ENOTDIR,
// EACCES, ELOOP for a folder swapped for a link, ...).
[[nodiscard]] int list_folder(const std::string& path, int parent,
                              std::vector<FolderEntry>& entries, FileStamp& identity,
                              HeldFolder& held);

// False when the file cannot be inspected.
[[nodiscard]] bool stamp_of_open_file(std::FILE* stream, FileStamp& stamp);

// Closes `stream`, its stamp taken last, once nothing more is read: the stamp
// that says whether the file changed while it was read. False when the file
// could not be inspected (it is closed all the same).
[[nodiscard]] bool close_stamped(std::FILE* stream, FileStamp& stamp);

[[nodiscard]] bool stamp_of_path(const char* path, FileStamp& stamp, int folder = NO_FOLDER);

// The whole regular file at `path`, into `bytes`: 0, or errno (NOT_A_REGULAR_FILE).
[[nodiscard]] int read_whole_file(const char* path, std::string& bytes, int folder = NO_FOLDER);

// Whether the file at `path` holds exactly `bytes`. While `path` still names
// the file open as `held` (whose stamp is `held_stamp`), it is read there
// again from its start rather than opened anew; within a folder, a link at
// `path` is not followed.
[[nodiscard]] bool holds_bytes(const char* path, int folder, std::FILE* held,
                               const FileStamp& held_stamp, const std::string& bytes);

// Reads up to `size` bytes of the file open as `stream` straight into `buffer`,
// past the stream's own buffer, which must not have been read through: fewer
// only at the end of the file or on an error, whose errno value goes to `error`.
// Once `left` bytes are read (what the file held past the position when it was
// opened), a short read is taken for the end, without one more read to see
// it: a file that grew since shows a new stamp after the read.
inline constexpr std::uint64_t LEFT_NOT_KNOWN = UINT64_MAX;
[[nodiscard]] std::size_t read_file_bytes(std::FILE* stream, std::uint8_t* buffer, std::size_t size,
                                          int& error, std::uint64_t left = LEFT_NOT_KNOWN);

// The size of the regular file open as `stream`; 0 for anything else.
[[nodiscard]] std::uint64_t regular_file_size(std::FILE* stream);

// Keeps a second run from replacing the manifest open as `stream` until the
// stream is closed; false when another run holds it. The lock lives on the open
// file, so nothing is left beside the manifest.
[[nodiscard]] bool lock_for_replace(std::FILE* stream);

enum class OutputKind {
  missing,          // made through a temporary file
  regular,          // replaced through a temporary file
  directory,        // refused
  device,           // a character device or FIFO: written in place
  standard_output,  // the same file as the stream: written through it, after
  standard_error,   // the lines already there
  not_written,      // a block device or socket: refused
};

struct OutputProbe {
  int error;              // 0, errno, or NOT_WRITTEN_KIND
  std::string directory;  // set when the temporary file could not be made there
  bool sticky;            // EPERM: another user's file in a sticky directory
  OutputKind kind;
  FileStamp existing;      // of the regular file there, when `kind` is regular
  std::string final_path;  // what is written or replaced: a symlink's target
  int folder;              // where it lies, or NO_FOLDER
};

// Finds out, before any work is done, whether `path` can be written and how: the
// output is classified by what it is, links followed, never by its name; an
// existing output that the process may not write or rename over is refused as
// the open or the rename would refuse it; and whether a temporary can be made
// beside it is asked of the system, or where only a file tells (Windows), a
// temporary is made and removed again, but when `look_only`.
// Within a folder, the output is the file of that name there: a link there is
// replaced, not followed.
[[nodiscard]] OutputProbe probe_output(const char* path, int folder = NO_FOLDER,
                                       bool look_only = false);

// A stream's buffer of the tool's own: the C library would ask the system for
// the file's block size to size one.
inline constexpr std::size_t TEXT_BUFFER_SIZE = 16 * 1024;
using TextBuffer = std::unique_ptr<char[]>;
// Gives `stream` `buffer`, made on first use; it must outlive the stream.
void buffer_stream(std::FILE* stream, TextBuffer& buffer);

struct OutputFile {
  std::FILE* file = nullptr;
  TextBuffer buffer;
  std::string final_path;      // the file that is replaced: a symlink's target
  std::string temporary_path;  // empty when the output is written directly
  int folder = NO_FOLDER;      // where both lie
  // Set when a replace failed after the old file was gone: the temporary,
  // kept, holds the only copy of the new text.
  std::string kept_path;
  // Set when a replace failed halfway and the old file was moved back.
  bool original_put_back = false;
  // When the replaced file's metadata was copied: a change made to it later
  // (a chmod while the output waits for its replace) is copied again.
  std::int64_t metadata_time = 0;
};

// Opens the output as the probe found it, without looking again. A replacement carries the owner
// and group (each where the process may), extended attributes (POSIX ACLs among them) and
// permission bits of the file it replaces; what cannot be kept, and other names of the file that
// keep the old contents, are warned of in `transcript`. `replaced` is the file at the final path,
// held open, or null: it is not opened again. Returns 0 or errno.
[[nodiscard]] int open_output(const OutputProbe& probe, std::FILE* replaced, OutputFile& output,
                              Transcript& transcript);

// Flushes the data to disk (but for `synced` false, when a sync of the file
// system will do it for many). A temporary stays open until its replace; any
// other output is closed. Returns 0 or errno; on failure the temporary is
// removed.
[[nodiscard]] int finish_output(OutputFile& output, bool synced = true);

// Moves the finished temporary over the final path (nothing to do for an
// output written directly), with the metadata of the replaced file as it
// stands now. Returns 0 or errno; on failure the temporary is removed and the
// old file stays, unless the old file is gone: then the temporary is kept,
// its path in `kept_path`, for one whole manifest is always there. The rename is made durable too,
// unless `synced` is false. The output's descriptor may stay open for a sync of its file system:
// close it with close_output.
[[nodiscard]] int replace_with_output(OutputFile& output, bool synced, Transcript& transcript);

// Whether sync_file_system can stand for a sync of each file (not on Windows).
[[nodiscard]] bool syncs_file_system();

// Flushes every file of the file system that holds the open `output` to disk:
// one wait for a batch of outputs instead of one each. Returns 0 or errno.
[[nodiscard]] int sync_file_system(const OutputFile& output);

// How a replace can fail, made on purpose by tests. On Windows each stands
// for what ReplaceFileW leaves behind, and the rename tried after it
// refuses too unless the name says it works.
enum class ReplaceFault {
  none,
  fails,                     // nothing moved
  loses_the_original,        // the old file gone, the new one not in its place
  moves_the_original_aside,  // Windows: the old file left under the backup's name
  falls_back_to_a_rename,    // Windows: ReplaceFileW refuses, the rename works
  cannot_merge,              // Windows: ReplaceFileW cannot carry the old file's ACL over
  lands_elsewhere,           // Windows: ReplaceFileW succeeds, the name then finds no file
};

// For tests, the moments a temporary comes to be, on the thread that makes it
// (the probe's and the outputs'): as it is held for an interrupt to remove and
// once it exists, with the ending signals held there.
enum class TemporaryStep { held, created };
using TemporaryHook = void (*)(TemporaryStep step);

void close_output(OutputFile& output);
void discard_output(OutputFile& output);

// The seams of a build with them (platform/seams.hpp), set by tests.
namespace seams {
// Links within a folder followed step by step, as on a system that cannot
// resolve names beneath a folder itself.
inline bool resolve_beneath_by_steps = false;
// On Windows, files told apart as on a volume that gives no 128-bit file id.
inline bool identify_by_file_index = false;
// The next replace fails as a host's replace can.
inline ReplaceFault replace_fault = ReplaceFault::none;
// The next temporaries refused (EACCES) as Windows refuses a name it keeps
// for a file being deleted, which Wine cannot show.
inline int creates_to_refuse = 0;
inline TemporaryHook temporary_hook = nullptr;
}  // namespace seams

}  // namespace md5refresh
