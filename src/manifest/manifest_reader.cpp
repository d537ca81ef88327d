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

// What an entry line holds beyond its key and value: the rest of the line after
// the value, or after the "=" of a line that begins with one (it keeps nothing).
std::string_view dropped_text(std::string_view line, std::size_t equals, std::string_view value) {
  if (!value.empty()) return line.substr(static_cast<std::size_t>(value.end() - line.begin()));
  return equals == 0 ? line.substr(1) : std::string_view{};
}

// A CR followed by text is a line end of the old CR-only kind: read as text it
// would fold several lines into one, and the rewrite would lose them. (A CR kept
// in a name or key is refused too: written back, it would be followed by text.)
bool has_lone_carriage_return(std::string_view piece) {
  for (std::size_t at = piece.find('\r'); at != std::string_view::npos;
       at = piece.find('\r', at + 1)) {
    if (at + 1 < piece.size() && piece[at + 1] != '\r' && piece[at + 1] != '\n') return true;
  }
  return false;
}

bool only_whitespace(std::string_view text) {
  return text.find_first_not_of(WHITESPACE) == std::string_view::npos;
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
    if (has_lone_carriage_return(piece)) return fail(ReadStatus::lone_carriage_return);
    std::string_view line = trim(piece);

    if (line.empty()) continue;
    if (line.front() == '}') {
      open_section = nullptr;
    } else if (line.back() == '{') {
      if (full) return fail(ReadStatus::does_not_fit);
      Section& section = manifest.sections[static_cast<std::size_t>(manifest.section_count)];
      const std::size_t equals = line.find('=');
      const std::string_view name = line.substr(0, equals);
      if (!set_field(section.name, name)) return fail(ReadStatus::name_too_long);
      if (name.find('\r') != std::string_view::npos) return fail(ReadStatus::lone_carriage_return);
      if (equals != std::string_view::npos &&
          !only_whitespace(line.substr(equals + 1, line.size() - equals - 2))) {
        return fail(ReadStatus::text_in_header);
      }
      open_section = &section;
      full = ++manifest.section_count == MAX_SECTIONS;
    } else if (open_section != nullptr) {
      if (full) return fail(ReadStatus::does_not_fit);
      Entry& entry = open_section->entries[static_cast<std::size_t>(open_section->entry_count)];
      std::size_t equals = line.find('=');
      const std::string_view key = equals == 0 ? std::string_view{} : line.substr(0, equals);
      if (!set_field(entry.key, key)) return fail(ReadStatus::key_too_long);
      if (key.find('\r') != std::string_view::npos) return fail(ReadStatus::lone_carriage_return);
      const std::string_view value = entry_value(line, equals);
      if (!set_field(entry.value, value)) return fail(ReadStatus::value_too_long);
      if (!only_whitespace(dropped_text(line, equals, value))) {
        return fail(ReadStatus::text_after_value);
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
    case ReadStatus::lone_carriage_return:
      return "CR without LF inside a line (line ends must be LF or CR LF)";
    case ReadStatus::text_after_value:
      return "text after the value would be lost (a value ends at its first blank)";
    case ReadStatus::text_in_header:
      return "text between \"=\" and \"{\" in a section header would be lost";
    case ReadStatus::read_error:
      return "read error";
  }
  return "unknown error";
}
