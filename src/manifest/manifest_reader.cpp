// SPDX-License-Identifier: MIT
// The manifest format as it is read:
//
//   name={              a line ending in "{" opens a section; its name is the
//       key=value       text before the first "="; inside a section every other
//   }                   non-empty line is an entry; a line beginning with "}"
//                       closes the section. Outside sections only blank lines,
//                       closing lines and comments ("#" or ";") may stand;
//                       comments are kept, before the next section.
//
// The input is read in binary and translated as a text-mode read would be on
// every host: CR LF reads as LF and a 0x1A byte ends the text (only padding
// may follow it); a UTF-8 byte order mark is set aside. A line longer than
// 1022 characters is always one line: only a blank one or a comment outside
// sections may be that long, since nothing longer fits the table (a comment
// is kept whole, however long). Leading blanks (space, tab) are dropped;
// trailing blanks are cut only when no line feed follows them. The value is
// the first whitespace-free run after the "=". Whatever the table or the
// rewrite could not carry is refused with its line, never dropped: the tool
// must not destroy text it was handed by mistake.
#include "manifest/manifest_reader.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <initializer_list>
#include <string_view>

namespace md5refresh {

namespace {

constexpr int CTRL_Z = 0x1A;
constexpr std::size_t LINE_LIMIT = 1022;
constexpr std::string_view BLANKS = " \t";
constexpr std::string_view WHITESPACE = " \t\n\r\v\f";

struct TextInput {
  std::FILE* file;
  std::string* copy;  // every byte taken from the file, or null
  bool ended = false;
  int error = 0;
  std::array<int, 4> held{};  // bytes read ahead and given back, the last one first out
  std::size_t held_count = 0;
  long line_feeds = 0;   // handed out so far
  long ctrl_z_line = 0;  // where a 0x1A ended the text, or 0
};

int next_byte(TextInput& input) {
  if (input.held_count > 0) return input.held[--input.held_count];
  const int byte = std::getc(input.file);
  if (byte != EOF && input.copy != nullptr) input.copy->push_back(static_cast<char>(byte));
  return byte;
}

void give_back(TextInput& input, int byte) {
  if (byte != EOF) input.held[input.held_count++] = byte;
}

int next_text_char(TextInput& input) {
  if (input.ended) return EOF;
  int c = next_byte(input);
  if (c == '\r') {
    int next = next_byte(input);
    if (next == '\n') {
      ++input.line_feeds;
      return '\n';
    }
    give_back(input, next);
    return '\r';
  }
  if (c == '\n') ++input.line_feeds;
  if (c == EOF || c == CTRL_Z) {
    if (c == EOF && std::ferror(input.file)) input.error = errno;
    if (c == CTRL_Z) input.ctrl_z_line = input.line_feeds + 1;
    input.ended = true;
  }
  return c == CTRL_Z ? EOF : c;
}

enum class ByteOrderMark { none, utf8, wide };

// Editors put a byte order mark first. UTF-8's is no part of the first line;
// UTF-16 and UTF-32 text would read as NUL bytes and garbage.
ByteOrderMark take_byte_order_mark(TextInput& input) {
  std::array<int, 4> first{};
  std::size_t count = 0;
  while (count < first.size() && (first[count] = next_byte(input)) != EOF)
    ++count;
  auto starts_with = [&](std::initializer_list<int> mark) {
    return count >= mark.size() && std::equal(mark.begin(), mark.end(), first.begin());
  };
  ByteOrderMark found = ByteOrderMark::none;
  std::size_t used = 0;
  if (starts_with({0xEF, 0xBB, 0xBF})) {
    found = ByteOrderMark::utf8;
    used = 3;
  } else if (starts_with({0xFF, 0xFE}) || starts_with({0xFE, 0xFF}) ||
             starts_with({0x00, 0x00, 0xFE, 0xFF})) {
    found = ByteOrderMark::wide;
  }
  while (count > used)
    give_back(input, first[--count]);
  return found;
}

struct Line {
  std::string_view text;  // up to LINE_LIMIT characters and the line feed
  std::string_view rest;  // the characters past them, of a line too long
  bool too_long;          // more characters followed, up to the line's end
  bool has_nul;
  bool has_carriage_return;  // one that is not part of a CR LF pair
  bool blank;                // only whitespace, the whole line through
  char last_visible;         // the last character that is not whitespace, or 0
};

bool is_whitespace(int c) {
  return WHITESPACE.find(static_cast<char>(c)) != std::string_view::npos;
}

// One whole line, however long; what lies past the first LINE_LIMIT characters
// goes to `rest`, for a comment that keeps it.
Line read_line(TextInput& input, std::array<char, LINE_LIMIT + 2>& buffer, std::string& rest) {
  Line line{{}, {}, false, false, false, true, 0};
  std::size_t kept = 0;
  rest.clear();
  for (int c; (c = next_text_char(input)) != EOF;) {
    if (c == '\n') {
      buffer[kept++] = '\n';
      break;
    }
    if (kept < LINE_LIMIT) {
      buffer[kept++] = static_cast<char>(c);
    } else {
      line.too_long = true;
      rest.push_back(static_cast<char>(c));
    }
    line.has_nul = line.has_nul || c == '\0';
    line.has_carriage_return = line.has_carriage_return || c == '\r';
    if (!is_whitespace(c)) {
      line.blank = false;
      line.last_visible = static_cast<char>(c);
    }
  }
  line.text = {buffer.data(), kept};
  line.rest = rest;
  return line;
}

// A line too long for the table may still stand between sections, as a blank
// line or a comment; it may not be a header.
bool is_long_comment(const Line& line, bool inside_section) {
  const std::size_t first = line.text.find_first_not_of(WHITESPACE);
  return !inside_section && line.last_visible != '{' &&
         (line.text[first] == '#' || line.text[first] == ';');
}

// Any section may be the first one written (those before it may be left out),
// and a byte order mark's bytes at the start of the file read back as one.
bool begins_like_byte_order_mark(std::string_view name) {
  return name.starts_with("\xEF\xBB\xBF") || name.starts_with("\xFE\xFF") ||
         name.starts_with("\xFF\xFE");
}

std::string_view trim(std::string_view text) {
  std::size_t first = text.find_first_not_of(BLANKS);
  if (first == std::string_view::npos) return text;  // only blanks: left as read
  text.remove_prefix(first);
  text = text.substr(0, text.find_last_not_of(BLANKS) + 1);
  if (text.back() == '\n') text.remove_suffix(1);
  return text;
}

// What an entry line holds beyond its key and value: the rest of the line after
// the value, or after the "=" of a line that begins with one (it keeps nothing).
std::string_view dropped_text(std::string_view line, std::size_t equals, std::string_view value) {
  if (!value.empty()) return line.substr(static_cast<std::size_t>(value.end() - line.begin()));
  return equals == 0 ? line.substr(1) : std::string_view{};
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

bool ends_in_brace(std::string_view line) {
  const std::size_t last = line.find_last_not_of(WHITESPACE);
  return last != std::string_view::npos && line[last] == '{';
}

bool is_comment(std::string_view line) {
  return line.front() == '#' || line.front() == ';';
}

// A comment outside sections, as the rewrite gives it back: its bytes after
// the leading blanks, ended by LF.
void keep_comment(const Line& read, std::string& comments) {
  std::string_view text = read.text.substr(read.text.find_first_not_of(BLANKS));
  if (text.ends_with('\n')) text.remove_suffix(1);
  comments.append(text).append(read.rest).push_back('\n');
}

// A header line ("name={") opens the next section of the table.
ReadStatus open_section_at(std::string_view line, Manifest& manifest) {
  if (manifest.section_count == MAX_SECTIONS) return ReadStatus::does_not_fit;
  Section& section = manifest.sections[static_cast<std::size_t>(manifest.section_count)];
  const std::size_t equals = line.find('=');
  if (!set_field(section.name, line.substr(0, equals))) return ReadStatus::name_too_long;
  if (begins_like_byte_order_mark(field_text(section.name))) {
    return ReadStatus::name_like_byte_order_mark;
  }
  // "f() {" or a lone "{" of source code handed by mistake: the rewrite would
  // make it a section.
  if (equals == std::string_view::npos) return ReadStatus::header_without_equals;
  if (equals != std::string_view::npos &&
      !only_whitespace(line.substr(equals + 1, line.size() - equals - 2))) {
    return ReadStatus::text_in_header;
  }
  ++manifest.section_count;
  return ReadStatus::ok;
}

ReadStatus add_entry(std::string_view line, Section& section) {
  if (section.entry_count == MAX_ENTRIES) return ReadStatus::does_not_fit;
  Entry& entry = section.entries[static_cast<std::size_t>(section.entry_count)];
  const std::size_t equals = line.find('=');
  if (equals == 0 && !only_whitespace(line.substr(1))) return ReadStatus::no_key;
  const std::string_view key = equals == 0 ? std::string_view{} : line.substr(0, equals);
  if (!set_field(entry.key, key)) return ReadStatus::key_too_long;
  const std::string_view value = entry_value(line, equals);
  if (!set_field(entry.value, value)) return ReadStatus::value_too_long;
  if (!only_whitespace(dropped_text(line, equals, value))) return ReadStatus::text_after_value;
  ++section.entry_count;
  return ReadStatus::ok;
}

}  // namespace

namespace {

ReadResult read_table(TextInput& text, Manifest& manifest);

// What follows a Ctrl-Z is no text, but it is part of the file. Old editors
// padded files with more of them, blanks and line ends; anything else there is
// text the rewrite would lose.
ReadResult check_rest(TextInput& text, ReadResult result) {
  if (result.status != ReadStatus::ok || text.ctrl_z_line == 0) return result;
  constexpr std::string_view PADDING = "\x1A \t\r\n";
  auto padding = [&](int byte) {
    return PADDING.find(static_cast<char>(byte)) != std::string_view::npos;
  };
  bool only_padding = true;
  while (text.held_count > 0)  // taken from the file, and copied, already
    only_padding = padding(text.held[--text.held_count]) && only_padding;
  for (int byte = std::getc(text.file); byte != EOF; byte = std::getc(text.file)) {
    if (text.copy != nullptr) text.copy->push_back(static_cast<char>(byte));
    only_padding = only_padding && padding(byte);
  }
  if (std::ferror(text.file)) return {ReadStatus::read_error, 0, errno != 0 ? errno : EIO};
  if (!only_padding) return {ReadStatus::text_after_ctrl_z, text.ctrl_z_line, 0};
  return result;
}

}  // namespace

ReadResult read_manifest(std::FILE* input, Manifest& manifest, std::string* bytes) {
  TextInput text{input, bytes};
  if (bytes != nullptr) bytes->clear();
  return check_rest(text, read_table(text, manifest));
}

namespace {

ReadResult read_table(TextInput& text, Manifest& manifest) {
  std::array<char, LINE_LIMIT + 2> buffer{};
  std::string rest;
  Section* open_section = nullptr;
  long line_number = 1;
  ReadResult result{ReadStatus::ok, 0, 0};

  switch (take_byte_order_mark(text)) {
    case ByteOrderMark::wide:
      return {ReadStatus::wide_encoding, 1, 0};
    case ByteOrderMark::utf8:
      manifest.utf8_byte_order_mark = true;
      break;
    case ByteOrderMark::none:
      break;
  }
  for (;;) {
    const Line read = read_line(text, buffer, rest);
    if (read.text.empty()) break;
    const long this_line = line_number++;
    auto fail = [this_line](ReadStatus status) { return ReadResult{status, this_line, 0}; };

    if (read.has_nul) return fail(ReadStatus::nul_byte);
    if (read.has_carriage_return) return fail(ReadStatus::lone_carriage_return);
    const auto comments_here = static_cast<std::size_t>(manifest.section_count);
    if (read.too_long && read.blank) continue;
    if (read.too_long) {
      if (!is_long_comment(read, open_section != nullptr)) return fail(ReadStatus::line_too_long);
      keep_comment(read, manifest.comments[comments_here]);
      continue;
    }
    std::string_view line = trim(read.text);

    if (line.empty()) continue;
    if (line.front() == '}') {
      if (!only_whitespace(line.substr(1))) return fail(ReadStatus::text_after_brace);
      open_section = nullptr;
    } else if (line.back() == '{') {
      const ReadStatus opened = open_section_at(line, manifest);
      if (opened != ReadStatus::ok) return fail(opened);
      open_section = &manifest.sections[static_cast<std::size_t>(manifest.section_count - 1)];
    } else if (ends_in_brace(line)) {
      // Read as an entry, it would come back as a header on the next run.
      return fail(ReadStatus::blank_after_brace);
    } else if (open_section != nullptr) {
      const ReadStatus added = add_entry(line, *open_section);
      if (added != ReadStatus::ok) return fail(added);
      if (line.find('=') == std::string_view::npos) {
        const auto kept = static_cast<std::size_t>(result.keyless_count++);
        if (kept < KEYLESS_LINES_KEPT)
          result.keyless[kept] = {this_line, manifest.section_count - 1};
      }
    } else if (is_comment(line)) {
      keep_comment(read, manifest.comments[comments_here]);
    } else if (!only_whitespace(line)) {
      return fail(ReadStatus::text_outside_section);
    }
  }
  if (text.error != 0) return {ReadStatus::read_error, line_number, text.error};
  result.line = line_number;
  return result;
}

}  // namespace

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
      return "CR without LF (line ends must be LF or CR LF)";
    case ReadStatus::blank_after_brace:
      return "blank after \"{\"";
    case ReadStatus::text_outside_section:
      return "text outside any section would be lost";
    case ReadStatus::wide_encoding:
      return "UTF-16 text is not supported; save the manifest as UTF-8";
    case ReadStatus::text_after_value:
      return "text after the value would be lost (a value ends at its first blank)";
    case ReadStatus::no_key:
      return "an entry with no key before its \"=\"";
    case ReadStatus::text_in_header:
      return "text between \"=\" and \"{\" in a section header would be lost";
    case ReadStatus::text_after_brace:
      return "text after \"}\" would be lost";
    case ReadStatus::line_too_long:
      return "line longer than 1022 characters";
    case ReadStatus::name_like_byte_order_mark:
      return "section name begins with the bytes of a byte order mark";
    case ReadStatus::header_without_equals:
      return "a section header is name={";
    case ReadStatus::text_after_ctrl_z:
      return "text after the 0x1A byte would be lost";
    case ReadStatus::read_error:
      return "read error";
  }
  return "unknown error";
}

}  // namespace md5refresh
