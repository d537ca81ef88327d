// Each section's file: where its "file_path" leads, digesting it, and storing
// the digest in the section's "md5" entry.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "digest/file_digest.hpp"
#include "manifest/manifest.hpp"
#include "platform/file_access.hpp"

inline constexpr std::size_t TARGET_PATH_CAPACITY = 260;  // 259 bytes and the NUL
using TargetPath = std::array<char, TARGET_PATH_CAPACITY>;

// The part of a "file_path" value after its last "/" or "\", or the whole value.
[[nodiscard]] std::string_view file_name_of(std::string_view file_path);

// The file a section describes lies in the manifest's own directory (the input
// path up to its last separator, or the current directory when it has none),
// under the file name of the "file_path" value. False when the
// joined path does not fit.
[[nodiscard]] bool build_target_path(std::string_view input_path, std::string_view file_path,
                                     TargetPath& target);

enum class SectionFile { no_file_path, digested, not_digested };

// Finds and digests the file that `section`'s "file_path" leads to, printing the
// report line when `report_line`. `target` receives the path opened (or that
// would have been), `hex` the digest; a file not digested gets a warning.
[[nodiscard]] SectionFile digest_section_file(Section& section, const char* input_path,
                                              bool report_line, TargetPath& target, HexDigest& hex);

// Sections without "file_path" are passed over; a file that cannot be opened or
// read whole gets a warning and keeps its recorded "md5".
void refresh_digests(Manifest& manifest, const char* input_path);
