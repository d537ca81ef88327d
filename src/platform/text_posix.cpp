// SPDX-License-Identifier: MIT
// A POSIX host takes names as bytes: the same text is the same bytes.
#include "platform/text.hpp"

namespace md5refresh {

bool same_text(std::string_view a, std::string_view b) {
  return a == b;
}

bool same_file_name(std::string_view a, std::string_view b) {
  return a == b;
}

std::size_t name_start(std::string_view path) {
  return path.find_last_of("/\\") + 1;
}

std::string_view name_for_joining(std::string_view name, std::string&) {
  return name;
}

}  // namespace md5refresh
