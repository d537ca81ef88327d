// SPDX-License-Identifier: MIT
// One conversion for every path and name, so that a file is found by the name
// it was created with, whichever way the name arrived.
#include <windows.h>

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

}  // namespace

std::wstring wide_text(std::string_view text) {
  std::wstring wide = converted(CP_UTF8, MB_ERR_INVALID_CHARS, text);
  return wide.empty() ? converted(CP_ACP, 0, text) : wide;
}

std::wstring wide_path(std::string_view path) {
  std::wstring wide = wide_text(path);
  if (wide.size() < MAX_PATH || wide.starts_with(L"\\\\?\\")) return wide;
  const DWORD length = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (length == 0) return wide;
  std::wstring full(length, L'\0');
  const DWORD written = GetFullPathNameW(wide.c_str(), length, full.data(), nullptr);
  if (written == 0 || written >= length) return wide;
  full.resize(written);
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share
  return L"\\\\?\\" + full;
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
