// SPDX-License-Identifier: MIT
// One conversion for every path and name, so that a file is found by the name
// it was created with, whichever way the name arrived.
#include <windows.h>

#include <algorithm>
#include <climits>

#include "platform/text.hpp"

namespace md5refresh {

namespace {

std::wstring converted(UINT code_page, DWORD flags, std::string_view text) {
  if (text.empty() || text.size() > INT_MAX) return {};
  const int length = static_cast<int>(text.size());
  const int wide_length = MultiByteToWideChar(code_page, flags, text.data(), length, nullptr, 0);
  if (wide_length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(wide_length), L'\0');
  MultiByteToWideChar(code_page, flags, text.data(), length, wide.data(), wide_length);
  return wide;
}

bool is_utf8(std::string_view text) {
  return text.size() <= INT_MAX &&
         MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                             static_cast<int>(text.size()), nullptr, 0) > 0;
}

}  // namespace

std::wstring full_path_of(const std::wstring& path) {
  const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (length == 0) return {};
  std::wstring full(length, L'\0');
  const DWORD written = GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
  if (written == 0 || written >= length) return {};
  full.resize(written);
  return full;
}

std::wstring wide_text(std::string_view text) {
  std::wstring wide = converted(CP_UTF8, MB_ERR_INVALID_CHARS, text);
  return wide.empty() ? converted(CP_ACP, 0, text) : wide;
}

namespace {

constexpr bool is_separator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

// Calls `take` with each name of `path` from `start` on, in order: the text
// between separators, empty where two stand together.
template <typename Take>
void for_each_name(std::wstring_view path, std::size_t start, Take take) {
  while (start <= path.size()) {
    std::size_t end = start;
    while (end < path.size() && !is_separator(path[end]))
      ++end;
    take(path.substr(start, end - start));
    start = end + 1;
  }
}

// A name the system would change before it looks it up: it drops a last dot or
// blank, so "pkg." would open "pkg".
bool has_trimmed_name(std::wstring_view path) {
  bool trimmed = false;
  for_each_name(path, 0, [&trimmed](std::wstring_view name) {
    trimmed |= !name.empty() && name != L"." && name != L".." &&
               (name.back() == L'.' || name.back() == L' ');
  });
  return trimmed;
}

// Where the names of "\\server\share\..." begin: past its two leading ones.
std::size_t past_share(std::wstring_view path) {
  std::size_t end = 2;
  for (int part = 0; part < 2 && end < path.size(); ++part) {
    while (end < path.size() && !is_separator(path[end]))
      ++end;
    if (end < path.size()) ++end;
  }
  return end;
}

// The length of the part of an absolute path that ".." never climbs above:
// "C:\" or "\\server\share\".
std::size_t root_length(std::wstring_view absolute) {
  if (!absolute.starts_with(L"\\\\")) return std::min<std::size_t>(3, absolute.size());
  return past_share(absolute);
}

// The absolute form of `path` with every name taken as it is written: only its
// start (a drive, a share, the current folder) is resolved by the system, and
// "." and ".." are taken away as the system takes them away.
std::wstring literal_absolute(std::wstring_view path) {
  std::size_t start = 0;
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    start = past_share(path);
  } else if (path.size() >= 2 && path[1] == L':') {
    start = path.size() >= 3 && is_separator(path[2]) ? 3 : 2;  // C:\ or C: (its current folder)
  } else if (!path.empty() && is_separator(path[0])) {
    start = 1;  // the current drive's root
  }
  std::wstring absolute =
      full_path_of(start == 0 ? std::wstring(L".") : std::wstring(path.substr(0, start)));
  if (absolute.empty()) return {};
  const std::size_t root = root_length(absolute);
  for_each_name(path, start, [&absolute, root](std::wstring_view name) {
    if (name.empty() || name == L".") return;
    if (absolute.size() > root && absolute.back() == L'\\') absolute.pop_back();
    if (name == L"..") {
      const std::size_t last = absolute.find_last_of(L'\\');
      absolute.resize(last == std::wstring::npos ? root : std::max(last + 1, root));
      return;
    }
    if (absolute.back() != L'\\') absolute += L'\\';
    absolute += name;
  });
  return absolute;
}

}  // namespace

std::wstring wide_path(std::string_view path) {
  std::wstring wide = wide_text(path);
  // Device ("\\.\") and long ("\\?\") forms are meant as they are written.
  if (wide.starts_with(L"\\\\.\\") || wide.starts_with(L"\\\\?\\")) return wide;
  // A short path keeps its own form: "NUL" and "CON" are devices only there.
  if (!has_trimmed_name(wide) && wide.size() < MAX_PATH) {
    // Only "C:\..." and "\\server\share\..." are as long as they look.
    const bool absolute = (wide.size() >= 3 && wide[1] == L':' && is_separator(wide[2])) ||
                          (wide.size() >= 2 && is_separator(wide[0]) && is_separator(wide[1]));
    if (absolute || full_path_of(wide).size() < MAX_PATH) return wide;
  }
  const std::wstring absolute = literal_absolute(wide);
  if (absolute.empty()) return wide;
  if (absolute.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + absolute.substr(2);  // \\server\share
  return L"\\\\?\\" + absolute;
}

std::string utf8_text(std::wstring_view text) {
  if (text.empty() || text.size() > INT_MAX) return {};
  const int length = static_cast<int>(text.size());
  const int utf8_length =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (utf8_length <= 0) return {};
  std::string utf8(static_cast<std::size_t>(utf8_length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), length, utf8.data(), utf8_length, nullptr, nullptr);
  return utf8;
}

// UTF-8 has no "\\" inside a character; the ANSI code page may.
std::size_t name_start(std::string_view path) {
  if (path.empty() || is_utf8(path)) return path.find_last_of("/\\") + 1;
  std::size_t start = 0;
  for (std::size_t at = 0; at < path.size(); ++at) {
    const char byte = path[at];
    if (byte == '/' || byte == '\\') {
      start = at + 1;
    } else if (IsDBCSLeadByte(static_cast<BYTE>(byte))) {
      ++at;  // its trail byte, whatever it is
    }
  }
  return start;
}

std::string_view name_for_joining(std::string_view name, std::string& storage) {
  if (name.empty() || is_utf8(name)) return name;
  storage = utf8_text(converted(CP_ACP, 0, name));
  return storage;
}

bool same_text(std::string_view a, std::string_view b) {
  return a == b || (!a.empty() && !b.empty() && wide_text(a) == wide_text(b));
}

// As NTFS compares names: ordinal, without regard to case.
bool same_file_name(std::string_view a, std::string_view b) {
  if (a == b) return true;
  const std::wstring wide_a = wide_text(a), wide_b = wide_text(b);
  if (wide_a.empty() || wide_b.empty() || wide_a.size() > INT_MAX || wide_b.size() > INT_MAX) {
    return false;
  }
  return CompareStringOrdinal(wide_a.data(), static_cast<int>(wide_a.size()), wide_b.data(),
                              static_cast<int>(wide_b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace md5refresh
