// SPDX-License-Identifier: MIT
// Text as the host takes it in file names and on the console. Paths and names
// reach the tool as bytes (from a manifest or the command line); on Windows,
// bytes that are valid UTF-8 are UTF-8, and any others are in the ANSI code page,
// so that manifests written by older programs keep working.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace md5refresh {

// Whether two byte strings name the same text: byte for byte, or on Windows
// also when the two encodings give the same characters.
[[nodiscard]] bool same_text(std::string_view a, std::string_view b);

// Whether two names or paths name one file as the host's file systems compare
// names: byte for byte on POSIX hosts; on Windows the same text in either
// encoding, without regard to case.
[[nodiscard]] bool same_file_name(std::string_view a, std::string_view b);

// Where the name after the last separator of a manifest's path value ("/" or
// "\", on every host) begins. On Windows a value that is not UTF-8 is read by
// the characters of the ANSI code page, where the second byte of a double-byte
// character may be the byte of "\"; on POSIX hosts the value is bytes.
[[nodiscard]] std::size_t name_start(std::string_view path);

// A name from a manifest in the encoding of the folder paths it is joined to:
// on Windows a name in the ANSI code page becomes UTF-8 (in `storage`), so
// that a folder from the command line and a name from the manifest each keep
// their characters; elsewhere the name as it is.
[[nodiscard]] std::string_view name_for_joining(std::string_view name, std::string& storage);

#if defined(_WIN32)
[[nodiscard]] std::wstring wide_text(std::string_view text);
[[nodiscard]] std::string utf8_text(std::wstring_view text);
// The absolute form the system makes of `path` without a look at the disk;
// empty when it cannot.
[[nodiscard]] std::wstring full_path_of(const std::wstring& path);
// A path as the wide file calls take it. One whose absolute form reaches 260
// characters, or with a name ending in a dot or blank (which the system would
// drop), goes in the long form ("\\?\" and the absolute path, every name as
// written), so that it opens without the long-path setting and names the same
// file wherever it is used; device ("\\.\") and long forms stay as they are.
[[nodiscard]] std::wstring wide_path(std::string_view path);
#endif

}  // namespace md5refresh
