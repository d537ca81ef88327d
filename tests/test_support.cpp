// SPDX-License-Identifier: MIT
// Test helpers: temporary directories, files, streams and runs of the built tool.
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "fuzz_support.hpp"

#if MD5REFRESH_HAVE_LIBCRYPTO
#include <openssl/evp.h>
#else
#include <bit>
#include <cmath>
#endif

#if defined(_WIN32)
#include <windows.h>

#include "platform/text.hpp"
#else
#include <sys/stat.h>
#include <sys/wait.h>

#endif

using namespace md5refresh;

namespace fs = std::filesystem;

namespace test {

TempDir::TempDir() {
  std::random_device seed;
  path_ = fs::temp_directory_path() / ("md5refresh-test-" + std::to_string(seed()));
  fs::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
#if defined(_WIN32)
  // In the long form, so that names ending in a dot or blank go too.
  fs::remove_all(L"\\\\?\\" + fs::absolute(path_).wstring(), ignored);
#else
  fs::remove_all(path_, ignored);
#endif
}

bool ansi_and_utf8_meet() {
#if defined(_WIN32)
  return GetACP() == 1252;
#else
  return false;
#endif
}

unsigned ansi_code_page() {
#if defined(_WIN32)
  return GetACP();
#else
  return 0;
#endif
}

fs::path TempDir::operator/(std::string_view name) const {
  return host_path(path_, name);
}

fs::path host_path(const fs::path& directory, std::string_view name) {
#if defined(_WIN32)
  // A name ending in a dot or blank is kept only in the long form.
  bool trimmed = false;
  for (std::size_t start = 0; start <= name.size();) {
    const std::size_t end = std::min(name.find_first_of("/\\", start), name.size());
    const std::string_view part = name.substr(start, end - start);
    trimmed |= part != "." && part != ".." && (part.ends_with('.') || part.ends_with(' '));
    start = end + 1;
  }
  if (trimmed) {
    std::wstring path = L"\\\\?\\" + fs::absolute(directory).wstring() + L"\\" + wide_text(name);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
  }
  return directory / fs::path(wide_text(name));
#else
  return directory / name;
#endif
}

std::string hex(std::span<const std::uint8_t> bytes) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t byte : bytes) {
    text += DIGITS[byte >> 4];
    text += DIGITS[byte & 15];
  }
  return text;
}

#if MD5REFRESH_HAVE_LIBCRYPTO
std::string reference_md5(std::span<const std::uint8_t> bytes) {
  std::array<std::uint8_t, 16> digest{};
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_md5(), nullptr);
  return hex(digest);
}

std::string reference_sha256(std::span<const std::uint8_t> bytes) {
  std::array<std::uint8_t, 32> digest{};
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
  return hex(digest);
}
#else
std::string reference_sha256(std::span<const std::uint8_t>) {
  return {};
}

// Written from RFC 1321's description, sharing nothing with the engine: the
// constants come from sin() here, the message is padded in a copy.
std::string reference_md5(std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> message(bytes.begin(), bytes.end());
  const std::uint64_t bits = static_cast<std::uint64_t>(bytes.size()) * 8;
  message.push_back(0x80);
  while (message.size() % 64 != 56)
    message.push_back(0);
  for (int i = 0; i < 8; ++i)
    message.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));

  static const int SHIFTS[4][4] = {
      {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
  std::uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  for (std::size_t block = 0; block < message.size(); block += 64) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) {
      x[i] = 0;
      for (int b = 3; b >= 0; --b)
        x[i] = x[i] << 8 |
               message[block + 4 * static_cast<std::size_t>(i) + static_cast<std::size_t>(b)];
    }
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
    for (int i = 0; i < 64; ++i) {
      std::uint32_t f;
      int g;
      if (i < 16) {
        f = (b & c) | (~b & d), g = i;
      } else if (i < 32) {
        f = (b & d) | (c & ~d), g = (5 * i + 1) % 16;
      } else if (i < 48) {
        f = b ^ c ^ d, g = (3 * i + 5) % 16;
      } else {
        f = c ^ (b | ~d), g = (7 * i) % 16;
      }
      const auto t =
          static_cast<std::uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
      const std::uint32_t rotated = std::rotl(a + f + t + x[g], SHIFTS[i / 16][i % 4]);
      a = d;
      d = c;
      c = b;
      b += rotated;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d;
  }
  std::array<std::uint8_t, 16> digest{};
  for (int i = 0; i < 16; ++i)
    digest[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(h[i / 4] >> (8 * (i % 4)));
  return hex(digest);
}
#endif

bool make_fifo(const fs::path& path) {
#if defined(_WIN32)
  (void)path;
  return false;
#else
  return ::mkfifo(path.c_str(), 0600) == 0;
#endif
}

void write_file(const fs::path& path, std::string_view bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

std::FILE* temporary_stream() {
  return fuzz::temporary_stream();
}

std::FILE* stream_with(std::string_view bytes) {
  std::FILE* stream = temporary_stream();
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
  std::rewind(stream);
  return stream;
}

std::string stream_contents(std::FILE* stream) {
  std::rewind(stream);
  std::string contents;
  for (int c; (c = std::fgetc(stream)) != EOF;)
    contents += static_cast<char>(c);
  return contents;
}

namespace {

#if defined(_WIN32)
// The build hands over the binary's path as the build host sees it; under Wine a
// Unix path is reached through drive Z:.
std::string tool_path(const char* binary) {
  std::string path = binary;
  if (path.front() == '/') path = "Z:" + path;
  for (char& c : path)
    c = c == '/' ? '\\' : c;
  return path;
}

// An argument as a user's shell hands it over, converted as the tool converts
// names; a surrogate in UTF-8's form ("\xED\xA0\x80") stays a lone surrogate,
// which a Windows command line may hold.
std::wstring wide_argument(std::string_view argument) {
  std::wstring wide;
  std::size_t start = 0;
  for (std::size_t at = 0; at + 2 < argument.size(); ++at) {
    const auto byte = [&argument](std::size_t i) {
      return static_cast<unsigned char>(argument[i]);
    };
    if (byte(at) != 0xED || (byte(at + 1) & 0xE0) != 0xA0) continue;
    wide += wide_text(argument.substr(start, at - start));
    wide += static_cast<wchar_t>(0xD000 | (byte(at + 1) & 0x3F) << 6 | (byte(at + 2) & 0x3F));
    start = at + 3;
    at += 2;
  }
  return wide + wide_text(argument.substr(start));
}

std::wstring shell_quoted(std::wstring_view text) {
  return L"\"" + std::wstring(text) + L"\"";
}

// The command line goes to the tool in UTF-16, each argument converted as the
// tool converts names, as a user's shell would hand it over.
int run_shell(const fs::path& directory, const std::vector<std::string>& arguments,
              std::string_view, const char* binary, const fs::path& out, const fs::path& err) {
  std::wstring command = L"cd /d " + shell_quoted(directory.wstring()) + L" && " +
                         shell_quoted(wide_text(tool_path(binary)));
  for (const std::string& argument : arguments)
    command += L" " + shell_quoted(wide_argument(argument));
  command += L" >" + shell_quoted(out.wstring()) + L" 2>" + shell_quoted(err.wstring()) + L" <NUL";
  // Wine's cmd now and then fails to find a program it has started many times
  // ("Can't recognize ... as an internal or external command", 9009): the
  // tool never ran, so it is started again. The tool never exits with 9009.
  constexpr int NOT_STARTED = 9009;
  int status = NOT_STARTED;
  for (int attempt = 0; attempt < 3 && status == NOT_STARTED; ++attempt)
    status = _wsystem(shell_quoted(command).c_str());  // cmd /c drops the outer quotes
  return status;
}

// The tool's standard streams are text streams: every line ends in CR LF.
std::string lf_line_ends(const std::string& text) {
  std::string lines;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    EXPECT_TRUE(text[i] != '\n' || (i > 0 && text[i - 1] == '\r')) << "LF without CR: " << text;
    lines += text[i];
  }
  return lines;
}
#else
std::string shell_quoted(std::string_view text) {
  std::string result = "'";
  for (char c : text)
    result += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return result + "'";
}

int run_shell(const fs::path& directory, const std::vector<std::string>& arguments,
              std::string_view shell_setup, const char* binary, const fs::path& out,
              const fs::path& err) {
  std::string command = "cd " + shell_quoted(directory.string()) + " && ";
  command += shell_setup;
  command += " timeout 20 " + shell_quoted(binary);
  for (const std::string& argument : arguments)
    command += " " + shell_quoted(argument);
  command += " >" + shell_quoted(out.string()) + " 2>" + shell_quoted(err.string()) + " </dev/null";
  const int raw = std::system(("sh -c " + shell_quoted(command)).c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

std::string lf_line_ends(const std::string& text) {
  return text;
}
#endif

}  // namespace

ToolRun run_tool(const fs::path& directory, const std::vector<std::string>& arguments,
                 std::string_view shell_setup, const char* binary) {
  // Captured beside the directory, so that tests can list the directory itself.
  const fs::path out = directory.string() + ".stdout", err = directory.string() + ".stderr";
  const int status = run_shell(directory, arguments, shell_setup, binary, out, err);
  ToolRun run{status, lf_line_ends(read_file(out)), lf_line_ends(read_file(err))};
  fs::remove(out);
  fs::remove(err);
  return run;
}

}  // namespace test
