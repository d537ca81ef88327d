// SPDX-License-Identifier: MIT
// Helpers for tests that work on real files and run the built tool.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace test {

// What differs between the hosts the tests run on, stated once.
#if defined(_WIN32)
inline constexpr bool POSIX_HOST = false;
inline constexpr char SEPARATOR = '\\';  // the tool joins a file name to its directory with it
inline constexpr const char* NULL_DEVICE = "NUL";
#else
inline constexpr bool POSIX_HOST = true;
inline constexpr char SEPARATOR = '/';
inline constexpr const char* NULL_DEVICE = "/dev/null";
#endif

// ThreadSanitizer runs the threads' code many times slower: the heaviest
// tables take a few of their rows there, enough for the threads' races.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool UNDER_THREAD_SANITIZER = true;
#else
inline constexpr bool UNDER_THREAD_SANITIZER = false;
#endif

// Whether a name in the ANSI code page (0xE9) and the same name in UTF-8 reach one
// file and one section: on Windows under code page 1252; never on POSIX hosts,
// where names are bytes.
bool ansi_and_utf8_meet();

// The ANSI code page on Windows; 0 on POSIX hosts.
unsigned ansi_code_page();

// The digest of "abc" (RFC 1321's test suite), the contents most tests use.
inline constexpr const char* ABC_MD5 = "900150983cd24fb0d6963f7d28e17f72";

// `directory` and `name` as the tool joins them on this host.
inline std::string joined(std::string_view directory, std::string_view name) {
  return std::string(directory) + SEPARATOR + std::string(name);
}

// A fresh directory under the system's temporary directory, removed afterwards.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // `name` as the tool finds it here: see host_path.
  std::filesystem::path operator/(std::string_view name) const;

 private:
  std::filesystem::path path_;
};

// `name` (bytes, as a manifest or command line gives them) under `directory`,
// as the tool finds it: on Windows UTF-8 if valid, else in the ANSI code page.
std::filesystem::path host_path(const std::filesystem::path& directory, std::string_view name);

// Lowercase hex, two digits a byte.
std::string hex(std::span<const std::uint8_t> bytes);

// MD5 by an implementation independent of the engine: OpenSSL's libcrypto, or,
// on a host without it, a plain one after RFC 1321's description.
std::string reference_md5(std::span<const std::uint8_t> bytes);

// SHA-256 by OpenSSL's libcrypto, where the host has it; empty elsewhere.
std::string reference_sha256(std::span<const std::uint8_t> bytes);

// Makes a FIFO at `path`; false on a host without them.
bool make_fifo(const std::filesystem::path& path);

void write_file(const std::filesystem::path& path, std::string_view bytes);
std::string read_file(const std::filesystem::path& path);

// An empty temporary stream, read and written in binary.
std::FILE* temporary_stream();

// A temporary stream holding `bytes`, positioned at its start.
std::FILE* stream_with(std::string_view bytes);
std::string stream_contents(std::FILE* stream);

struct ToolRun {
  int status;       // exit status, or -1 when the tool did not exit normally
  std::string out;  // line ends as LF: on Windows, where the tool writes its
  std::string err;  // standard streams in text mode, they are checked to be CR LF
};

// Runs the built md5refresh (or `binary`) in `directory` with `arguments`;
// `shell_setup` is POSIX shell text run first in the same shell (limits, traps,
// the environment).
ToolRun run_tool(const std::filesystem::path& directory, const std::vector<std::string>& arguments,
                 std::string_view shell_setup = "", const char* binary = MD5REFRESH_BINARY);

}  // namespace test
