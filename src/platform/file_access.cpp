// SPDX-License-Identifier: MIT
// What the tool does with the host's file calls, written once: the checks
// before any work, the temporary file beside the output, the commit sequence of
// flush, sync and replace. Each host supplies the primitives beneath it
// (file_access_posix.cpp, file_access_windows.cpp).
#include "platform/file_access.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "platform/file_access_host.hpp"
#include "platform/process.hpp"

namespace md5refresh {

// The directory a path lies in, as a message names it and as fsync opens it.
std::string directory_of(const std::string& path) {
  const DirectoryPart part = directory_part(path);
  if (!part.text.empty()) return std::string(part.text);
  return part.joined_with_separator ? path.substr(0, 1) : ".";  // the root, or here
}

namespace {

bool refused_for_a_test() {
  if constexpr (WITH_SEAMS) {
    if (seams::creates_to_refuse > 0) return --seams::creates_to_refuse, true;
  }
  return false;
}

void temporary_step(TemporaryStep step) {
  if constexpr (WITH_SEAMS) {
    if (seams::temporary_hook != nullptr) seams::temporary_hook(step);
  }
}

// The output's temporary, and the probe's: a name the one took is never the
// other's, for a name just removed may not be free again at once (Windows
// keeps it while a scanner still holds the file).
constexpr std::string_view OUTPUT_SUFFIX = ".tmp", PROBE_SUFFIX = ".probe";

// A new hidden file beside `final_path`; its descriptor, or -1 with errno set.
// It is removed if a signal ends the process at any moment while it exists.
// A name that is taken, by a file or a folder, or refused (a name Windows
// still keeps for a file being deleted, a folder there) gives way to the next;
// refusals, three names in all.
int create_temporary(const std::string& final_path, std::string& temporary_path, int folder,
                     std::string_view suffix = OUTPUT_SUFFIX) {
  const std::string prefix = temporary_prefix(final_path) + std::to_string(process_id());
  constexpr int ATTEMPTS = 100, REFUSALS = 3;
  int refusals = 0;
  for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
    temporary_path = prefix + "-" + std::to_string(attempt);
    temporary_path += suffix;
    if (suffix == OUTPUT_SUFFIX && !backup_name_free(temporary_path)) continue;
    if (!begin_temporary(temporary_path.c_str(), folder)) {
      errno = EINTR;  // the run is being ended
      return -1;
    }
    temporary_step(TemporaryStep::held);
    int descriptor = -1;
    if (refused_for_a_test()) {
      errno = EACCES;
    } else {
      descriptor = open_exclusive(temporary_path, folder);
    }
    const int error = errno;
    if (descriptor >= 0) {
      temporary_step(TemporaryStep::created);
    } else {
      forget_on_interrupt(temporary_path.c_str(), folder);
    }
    end_temporary();
    if (descriptor >= 0) return descriptor;
    const bool refused = error == EACCES || error == EISDIR;
    if ((error != EEXIST && !refused) || (refused && ++refusals == REFUSALS)) {
      errno = error;
      return -1;
    }
  }
  return -1;
}

void remove_temporary(std::string& temporary_path, int folder) {
  remove_file(temporary_path, folder);
  forget_on_interrupt(temporary_path.c_str(), folder);
  temporary_path.clear();
}

}  // namespace

std::string path_in_folder(std::string_view folder, std::string_view name) {
  const bool joined = folder.empty() ||
                      PATH_SEPARATORS.find(folder.back()) != std::string_view::npos ||
                      (folder.size() == 2 && has_drive_prefix(folder));
  std::string path(folder);
  if (!joined) path += HOST_SEPARATOR;
  return path += name;
}

// The temporary lies in the output's own folder on every path form: after the
// last separator, or after a bare drive prefix ("E:update.txt" lies in the
// current folder of drive E:, which may be another file system).
std::string temporary_prefix(std::string_view final_path) {
  const DirectoryPart part = directory_part(final_path);
  return std::string(final_path.substr(0, part.name_start())) + "." +
         std::string(final_path.substr(part.name_start())) + ".";
}

DirectoryPart directory_part(std::string_view path) {
  const std::size_t separator = path.find_last_of(PATH_SEPARATORS);
  if (separator == std::string_view::npos && has_drive_prefix(path))
    return {path.substr(0, 2), false};
  if (separator == std::string_view::npos) return {{}, false};
  return {path.substr(0, separator), true};
}

bool close_stamped(std::FILE* stream, FileStamp& stamp) {
  const bool stamped = stamp_of_open_file(stream, stamp);
  std::fclose(stream);
  return stamped;
}

std::size_t read_file_bytes(std::FILE* stream, std::uint8_t* buffer, std::size_t size, int& error,
                            std::uint64_t left) {
  const int descriptor = fileno(stream);
  if (descriptor < 0) {  // a stream in memory: nothing but the C library reads it
    const std::size_t got = std::fread(buffer, 1, size, stream);
    if (got < size && std::ferror(stream)) error = errno != 0 ? errno : EIO;
    return got;
  }
  std::size_t done = 0;
  while (done < size) {
    const long long got = read_some(descriptor, buffer + done, size - done);
    if (got < 0) {
      error = errno != 0 ? errno : EIO;
      break;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
    if (done >= left) break;
  }
  return done;
}

void buffer_stream(std::FILE* stream, TextBuffer& buffer) {
  if (buffer == nullptr) buffer.reset(new (std::nothrow) char[TEXT_BUFFER_SIZE]);
  // Without one, the C library's own does: only slower.
  if (buffer != nullptr) (void)std::setvbuf(stream, buffer.get(), _IOFBF, TEXT_BUFFER_SIZE);
}

const char* error_text(int error) {
  if (error == NOT_WRITTEN_KIND) return "a block device or socket is not written";
  if (error == IN_USE) return "in use by another process";
  if (error == LEADS_OUT) return "a link leading out of its folder";
  if (error == OLD_NOT_MOVED_ASIDE) return "the old file could not be moved aside";
  if (error == NEW_NOT_MOVED_IN) return "the new file could not take the old one's name";
  if (error == NOT_IN_PLACE) return "the new file is not in place; the old one is kept beside it";
  return error == NOT_A_REGULAR_FILE ? "not a regular file" : std::strerror(error);
}

OutputProbe probe_output(const char* path, int folder, bool look_only) {
  OutputProbe probe{
      0,     {}, false, OutputKind::missing, {}, folder == NO_FOLDER ? final_path_of(path) : path,
      folder};
  if (*path == '\0') {  // names no file: refused before any work, as an open would be
    probe.error = ENOENT;
    return probe;
  }
  const std::string& final_path = probe.final_path;
  probe.kind = output_kind_of(path, probe.existing, folder);
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
      if (check_replaceable(final_path, probe.sticky, folder) != 0) {
        probe.error = errno;
        return probe;
      }
      break;
    case OutputKind::missing:
      break;
  }
  if (int error = 0; folder_access_known(final_path, folder, error)) {
    if (error != 0) {
      probe.error = error;
      probe.directory = directory_of(final_path);
    }
    return probe;
  }
  if (look_only) return probe;
  std::string temporary_path;
  const int descriptor = create_temporary(final_path, temporary_path, folder, PROBE_SUFFIX);
  if (descriptor < 0) {
    probe.error = errno;
    probe.directory = directory_of(final_path);
    return probe;
  }
  close_descriptor(descriptor);
  remove_temporary(temporary_path, folder);
  return probe;
}

int open_output(const OutputProbe& probe, std::FILE* replaced, OutputFile& output,
                Transcript& transcript) {
  output.final_path = probe.final_path;
  output.folder = probe.folder;
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
  const int descriptor = create_temporary(output.final_path, output.temporary_path, output.folder);
  if (descriptor < 0) {
    const int create_error = errno;
    output.temporary_path.clear();
    return create_error;
  }
  if (probe.kind == OutputKind::regular) {
    const int held = replaced != nullptr ? descriptor_of(replaced) : NO_DESCRIPTOR;
    output.metadata_time =
        copy_metadata(descriptor, held, output.final_path, output.folder, transcript);
  }
  output.file = stream_for_writing(descriptor);
  if (output.file == nullptr) {
    const int stream_error = errno;
    close_descriptor(descriptor);
    remove_temporary(output.temporary_path, output.folder);
    return stream_error;
  }
  buffer_stream(output.file, output.buffer);
  return 0;
}

int finish_output(OutputFile& output, bool synced) {
  int error = 0;
  if (std::fflush(output.file) != 0 || std::ferror(output.file)) error = errno != 0 ? errno : EIO;
  if (error == 0 && synced && !output.temporary_path.empty() && sync_to_disk(output.file) != 0) {
    error = errno;
  }
  if (error != 0) {
    discard_output(output);
    return error;
  }
  const bool standard_stream = output.file == stdout || output.file == stderr;
  if (!standard_stream && output.temporary_path.empty() && std::fclose(output.file) != 0) {
    error = errno;
  }
  if (output.temporary_path.empty()) output.file = nullptr;
  return error;
}

int replace_with_output(OutputFile& output, bool synced, Transcript& transcript) {
  if (output.temporary_path.empty()) return 0;
  // A chmod or chown made since the copy wins over the copy.
  if (output.metadata_time != 0 && output.file != nullptr &&
      metadata_time(output.final_path, output.folder) != output.metadata_time) {
    output.metadata_time = copy_metadata(descriptor_of(output.file), NO_DESCRIPTOR,
                                         output.final_path, output.folder, transcript);
    if (synced && sync_to_disk(output.file) != 0) {
      const int error = errno;
      discard_output(output);
      return error;
    }
  }
  release_before_replace(output);
  const int error = replace_file(output.temporary_path, output.final_path, synced, output.folder,
                                 transcript, output.original_put_back);
  FileStamp original{};
  if (error != 0 && !stamp_of_path(output.final_path.c_str(), original, output.folder)) {
    // The old manifest is gone: the temporary holds the only copy of its text.
    close_output(output);
    forget_on_interrupt(output.temporary_path.c_str(), output.folder);
    output.kept_path = std::move(output.temporary_path);
    output.temporary_path.clear();
  } else if (error != 0) {
    discard_output(output);
  } else {
    forget_on_interrupt(output.temporary_path.c_str(), output.folder);
    output.temporary_path.clear();
  }
  return error;
}

void close_output(OutputFile& output) {
  if (output.file != nullptr && output.file != stdout && output.file != stderr) {
    std::fclose(output.file);
  }
  output.file = nullptr;
}

namespace {

// From the stream's position to its end: 0, or errno.
int read_rest(std::FILE* stream, std::string& bytes) {
  constexpr std::size_t CHUNK = 64 * 1024;
  int error = 0;
  bytes.clear();
  for (;;) {
    const std::size_t had = bytes.size();
    bytes.resize(had + CHUNK);
    const std::size_t got =
        read_file_bytes(stream, reinterpret_cast<std::uint8_t*>(bytes.data() + had), CHUNK, error);
    bytes.resize(had + got);
    if (got < CHUNK) break;
  }
  return error;
}

}  // namespace

int read_whole_file(const char* path, std::string& bytes, int folder) {
  const OpenResult opened = open_regular_file(path, folder, folder == NO_FOLDER);
  if (opened.file == nullptr) return opened.error;
  const int error = read_rest(opened.file, bytes);
  std::fclose(opened.file);
  return error;
}

bool holds_bytes(const char* path, int folder, std::FILE* held, const FileStamp& held_stamp,
                 const std::string& bytes) {
  std::string now;
  FileStamp at_path{};
  if (held != nullptr && stamp_of_name(path, at_path, folder) && same_file(at_path, held_stamp)) {
    return std::fseek(held, 0, SEEK_SET) == 0 && read_rest(held, now) == 0 && now == bytes;
  }
  // Another file there now, saved by a rename: it must hold the same text.
  return read_whole_file(path, now, folder) == 0 && now == bytes;
}

void discard_output(OutputFile& output) {
  if (output.file != nullptr && output.file != stdout && output.file != stderr) {
    std::fclose(output.file);
  }
  output.file = nullptr;
  if (!output.temporary_path.empty()) remove_temporary(output.temporary_path, output.folder);
}

}  // namespace md5refresh
