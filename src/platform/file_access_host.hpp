// SPDX-License-Identifier: MIT
// The primitives each host supplies to the shared file code: one definition in
// file_access_posix.cpp, one in file_access_windows.cpp. Nothing outside the
// platform folder includes this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "platform/file_access.hpp"
#include "platform/seams.hpp"

namespace md5refresh {

// The directory a path lies in, as a message names it and as fsync opens it.
[[nodiscard]] std::string directory_of(const std::string& path);

// Whether `path` begins with a drive letter and ":" (never on POSIX hosts).
[[nodiscard]] bool has_drive_prefix(std::string_view path);

// Bytes read, 0 at the end, or -1 with errno set; an interrupted read is
// taken up again.
[[nodiscard]] long long read_some(int descriptor, std::uint8_t* buffer, std::size_t size);

// The path finally replaced: on POSIX hosts, where a chain of symlinks ends.
[[nodiscard]] std::string final_path_of(const char* path);

// The last component of `path` within `folder`, or `path` itself for NO_FOLDER.
[[nodiscard]] const char* name_within(const char* path, int folder);

// The stamp of what `path` names; within a folder, of a link there, not of
// what it leads to.
[[nodiscard]] bool stamp_of_name(const char* path, FileStamp& stamp, int folder);

// What is at `path`; the stamp of a regular file goes to `existing`.
[[nodiscard]] OutputKind output_kind_of(const char* path, FileStamp& existing, int folder);

// 0, or -1 with errno set when the file at `path` could not be replaced;
// `sticky` tells the sticky-directory rule from a plain refusal.
[[nodiscard]] int check_replaceable(const std::string& path, bool& sticky, int folder);

// Whether the system tells, without a file made, that a new file can be made
// beside `path`: then 0 or errno goes to `error`. POSIX hosts ask the access
// check with the effective IDs, which sees the permission bits, ACLs, a
// read-only mount and an immutable folder; Windows answers only with a file.
[[nodiscard]] bool folder_access_known(const std::string& path, int folder, int& error);

// Whether an output's temporary may take `path`: on Windows, not while the
// name its replace gives the old file meanwhile is taken (a folder left there).
[[nodiscard]] bool backup_name_free(const std::string& temporary_path);

// A new file that must not exist yet: its descriptor, or -1 with errno set.
[[nodiscard]] int open_exclusive(const std::string& path, int folder);
[[nodiscard]] std::FILE* stream_for_writing(int descriptor);
void close_descriptor(int descriptor);
[[nodiscard]] std::FILE* open_in_place(const std::string& path);
[[nodiscard]] int process_id();

// Gives the new file at `descriptor` what the host keeps of `original` besides
// its bytes, warning of what it cannot; `held` is `original` already open, or
// NO_DESCRIPTOR. Returns when `original`'s metadata last changed, for
// metadata_time.
inline constexpr int NO_DESCRIPTOR = -1;
std::int64_t copy_metadata(int descriptor, int held, const std::string& original, int folder,
                           Transcript& transcript);

// When the metadata of the file at `path` last changed (0 where the host's
// replace carries the metadata over itself).
[[nodiscard]] std::int64_t metadata_time(const std::string& path, int folder);

// Closes the output before its replace where the host replaces no open file.
void release_before_replace(OutputFile& output);

// 0, or -1 with errno set.
[[nodiscard]] int sync_to_disk(std::FILE* stream);
[[nodiscard]] int descriptor_of(std::FILE* stream);
void remove_file(const std::string& path, int folder);

// 0 or errno; the replace is durable when it returns 0 and `synced`. What it
// could not keep is warned of in `transcript`; `put_back` is set when it failed
// halfway and moved the old file back.
[[nodiscard]] int replace_file(const std::string& temporary_path, const std::string& final_path,
                               bool synced, int folder, Transcript& transcript, bool& put_back);

// A test's fault for the next replace (seams::replace_fault) is taken where
// the replace begins, once.

}  // namespace md5refresh
