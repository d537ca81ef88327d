// The manifest format as it is read:
//
//   name={              a line ending in "{" opens a section; its name is the
//       key=value       text before the first "="; inside a section every other
//   }                   non-empty line is an entry; a line beginning with "}"
//                       closes the section; lines outside sections are dropped.
//
// The input is read in binary and translated as a text-mode read would be on
// every host: CR LF reads as LF, a lone CR stays, and a 0x1A byte ends the input.
// Lines are taken in pieces of at most 1022 characters, each piece a line of its
// own. Leading blanks (space, tab) are dropped; trailing blanks are cut only when
// no line feed follows them. The value is the first whitespace-free run after the
// "=". The table stops growing when a count reaches ten; the rest of the input is
// still classified, and anything more that would have been stored is refused
// instead of dropped.
#include "manifest/manifest_reader.hpp"

#include <array>
#include <cerrno>
#include <string_view>

namespace {

constexpr int CTRL_Z = 0x1A;
constexpr std::size_t PIECE_LIMIT = 1022;
constexpr std::string_view BLANKS = " \t";
constexpr std::string_view WHITESPACE = " \t\n\r\v\f";

struct TextInput {
  std::FILE* file;
  bool ended = false;
  int error = 0;
};

int next_text_char(TextInput& input) {
  if (input.ended) return EOF;
  int c = std::getc(input.file);
  if (c == '\r') {
    int next = std::getc(input.file);
    if (next == '\n') return '\n';
    if (next != EOF) std::ungetc(next, input.file);
    return '\r';
  }
  if (c == EOF || c == CTRL_Z) {
    if (c == EOF && std::ferror(input.file)) input.error = errno;
    input.ended = true;
  }
  return c == CTRL_Z ? EOF : c;
}

// Like fgets with a 1023-byte limit: up to 1022 characters, ending after a line feed.
std::string_view read_piece(TextInput& input, std::array<char, 1024>& buffer) {
  std::size_t length = 0;
  while (length < PIECE_LIMIT) {
    int c = next_text_char(input);
    if (c == EOF) break;
    buffer[length++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  return {buffer.data(), length};
}

std::string_view trim(std::string_view piece) {
  std::size_t first = piece.find_first_not_of(BLANKS);
  if (first == std::string_view::npos) return piece;  // only blanks: left as read
  piece.remove_prefix(first);
  piece = piece.substr(0, piece.find_last_not_of(BLANKS) + 1);
  if (piece.back() == '\n') piece.remove_suffix(1);
  return piece;
}

// What "%[^=]=%s" leaves in the value: the first whitespace-free run after the "=".
std::string_view entry_value(std::string_view line, std::size_t equals) {
  if (equals == 0 || equals == std::string_view::npos) return {};
  std::string_view rest = line.substr(equals + 1);
  std::size_t start = rest.find_first_not_of(WHITESPACE);
  if (start == std::string_view::npos) return {};
  rest.remove_prefix(start);
  return rest.substr(0, rest.find_first_of(WHITESPACE));
}

}  // namespace

ReadResult read_manifest(std::FILE* input, Manifest& manifest) {
  TextInput text{input};
  std::array<char, 1024> buffer{};
  Section* open_section = nullptr;
  bool full = false;
  long line_number = 1;

  for (;;) {
    std::string_view piece = read_piece(text, buffer);
    if (piece.empty()) break;
    const long piece_line = line_number;
    if (piece.back() == '\n') ++line_number;
    auto fail = [piece_line](ReadStatus status) { return ReadResult{status, piece_line, 0}; };

    if (piece.find('\0') != std::string_view::npos) return fail(ReadStatus::nul_byte);
    std::string_view line = trim(piece);

    if (line.empty()) continue;
    if (line.front() == '}') {
      open_section = nullptr;
    } else if (line.back() == '{') {
      if (full) return fail(ReadStatus::does_not_fit);
      Section& section = manifest.sections[static_cast<std::size_t>(manifest.section_count)];
      if (!set_field(section.name, line.substr(0, line.find('=')))) {
        return fail(ReadStatus::name_too_long);
      }
      open_section = &section;
      full = ++manifest.section_count == MAX_SECTIONS;
    } else if (open_section != nullptr) {
      if (full) return fail(ReadStatus::does_not_fit);
      Entry& entry = open_section->entries[static_cast<std::size_t>(open_section->entry_count)];
      std::size_t equals = line.find('=');
      if (equals != 0 && !set_field(entry.key, line.substr(0, equals))) {
        return fail(ReadStatus::key_too_long);
      }
      if (!set_field(entry.value, entry_value(line, equals))) {
        return fail(ReadStatus::value_too_long);
      }
      full = ++open_section->entry_count == MAX_ENTRIES;
    }
  }
  if (text.error != 0) return {ReadStatus::read_error, line_number, text.error};
  return {ReadStatus::ok, line_number, 0};
}

const char* read_status_text(ReadStatus status) {
  switch (status) {
    case ReadStatus::ok:
      return "ok";
    case ReadStatus::does_not_fit:
      return "manifest does not fit: at most 10 sections of 10 entries each";
    case ReadStatus::name_too_long:
      return "section name longer than 127 bytes";
    case ReadStatus::key_too_long:
      return "key longer than 127 bytes";
    case ReadStatus::value_too_long:
      return "value longer than 127 bytes";
    case ReadStatus::nul_byte:
      return "NUL byte in the manifest";
    case ReadStatus::read_error:
      return "read error";
  }
  return "unknown error";
}
