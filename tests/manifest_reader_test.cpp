// SPDX-License-Identifier: MIT
// The manifest reader and writer on in-memory text: what each input reads as,
// what is refused and where, and the round trip of canonical manifests.
#include "manifest/manifest_reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "manifest/manifest_writer.hpp"
#include "refresh/section_plan.hpp"
#include "test_support.hpp"

using namespace md5refresh;

namespace {

struct Reading {
  ReadResult result;
  std::unique_ptr<Manifest> manifest;
};

Reading read_text(std::string_view text) {
  auto manifest = std::make_unique<Manifest>();
  std::FILE* stream = test::stream_with(text);
  ReadResult result = read_manifest(stream, *manifest);
  std::fclose(stream);
  return {result, std::move(manifest)};
}

std::string write_text(const Manifest& manifest, const std::bitset<MAX_SECTIONS>& left_out = {}) {
  return manifest_text(manifest, left_out);
}

// Canonical text of `count` sections with `entries_each` entries: 3 + entries_each lines each.
std::string sections(int count, int entries_each = 0) {
  std::string text;
  for (int s = 0; s < count; ++s) {
    text += "s" + std::to_string(s) + "={\n";
    for (int e = 0; e < entries_each; ++e)
      text += "        k" + std::to_string(e) + "=v\n";
    text += "}\n\n";
  }
  return text;
}

struct TextCase {
  const char* name;
  std::string input;
  std::string written;
  std::vector<long> keyless = {};  // lines inside a section without "=", as reported
  int keyless_past_kept = 0;       // counted but not kept
};

TEST(ManifestReader, ReadsTextAsTheCanonicalLayout) {
  const std::string pad(1021, ' ');
  // clang-format off
  const TextCase cases[] = {
      {"empty input", "", ""},
      {"canonical", "a={\n        k=v\n}\n\n", "a={\n        k=v\n}\n\n"},
      {"comments outside sections kept where they stand, blanks dropped", "# c\n ; c \n\t\na={\nk=v\n}\n  # d\nb={\n}\n \t \n#e", "# c\n; c \na={\n        k=v\n}\n\n# d\nb={\n}\n\n#e\n"},
      {"comments only", "# a\r\n\n\t; b\t\n", "# a\n; b\t\n"},
      {"a comment after the byte order mark", "\xEF\xBB\xBF# c\na={\n", "\xEF\xBB\xBF# c\na={\n}\n\n"},
      {"a comment after an unclosed section's header is a key", "a={\n# c\nb={\n", "a={\n        # c=\n}\n\nb={\n}\n\n", {2}},
      {"header inside section", "a={\nk=v\nb={\nl=w\n", "a={\n        k=v\n}\n\nb={\n        l=w\n}\n\n"},
      {"brace line with blanks closes", "a={\n}  \t\n", "a={\n}\n\n"},
      {"comment becomes entry", "a={\n# a note\n}\n", "a={\n        # a note=\n}\n\n", {2}},
      {"nine lines without equals, the first eight kept", "a={\n1\n2\n3\n4\n5\nk=v\n6\n7\n8\n9\n", "a={\n        1=\n        2=\n        3=\n        4=\n        5=\n        k=v\n        6=\n        7=\n        8=\n        9=\n}\n\n",
       {2, 3, 4, 5, 6, 8, 9, 10}, 1},
      {"blanks around equals", "a={\n  key = value\n}\n", "a={\n        key =value\n}\n\n"},
      {"second equals stays in the value", "a={\nk=x=y \n}\n", "a={\n        k=x=y\n}\n\n"},
      {"whitespace before value skipped", "a={\nk=\t\v\f v\n}\n", "a={\n        k=v\n}\n\n"},
      {"only whitespace after equals", "a={\nk=  \n}\n", "a={\n        k=\n}\n\n"},
      {"line begins with equals", "a={\n= \n}\n", "a={\n        =\n}\n\n"},
      {"header begins with equals", "={\n}\n", "={\n}\n\n"},
      {"blank after brace on last line is a header", "a={\nb={ ", "a={\n}\n\nb={\n}\n\n"},
      {"trailing blanks kept before line feed", "a={\nk \n}\n", "a={\n        k =\n}\n\n", {2}},
      {"trailing blanks cut on last line", "a={\nk \t", "a={\n        k=\n}\n\n", {2}},
      {"last line of blanks is a key", "a={\n \t ", "a={\n         \t =\n}\n\n", {2}},
      {"tabs and spaces indent", "\t a={\n\t\t k=v\n", "a={\n        k=v\n}\n\n"},
      {"CR LF reads as LF", "a={\r\nk=v\r\n}\r\n", "a={\n        k=v\n}\n\n"},
      {"CTRL-Z ends the input", "a={\nk=v\n\x1a", "a={\n        k=v\n}\n\n"},
      {"CTRL-Z padding after the text", "a={\nk=v\x1a\x1a \t\r\n\x1a\n", "a={\n        k=v\n}\n\n"},
      {"an entry line of exactly 1022 characters", "a={\n" + std::string(1019, ' ') + "k=v\n", "a={\n        k=v\n}\n\n"},
      {"long blank line dropped", "a={\n" + pad + pad + "\nk=v\n", "a={\n        k=v\n}\n\n"},
      {"long comment between sections kept whole", "a={\n}\n  # " + pad + "x=y\nb={\n", "a={\n}\n\n# " + pad + "x=y\nb={\n}\n\n"},
      {"long comment last, without a line feed", "a={\n}\n;" + pad + pad, "a={\n}\n\n;" + pad + pad + "\n"},
      {"byte order mark bytes inside a name", "a\xFE\xFF={\n}\n", "a\xFE\xFF={\n}\n\n"},
      {"blanks between equals and brace", "a = \t{\n}\n", "a ={\n}\n\n"},
      {"ten headers, nothing after", sections(9) + "last={\n\n}\n", sections(9) + "last={\n}\n\n"},
      {"ten entries, then brace and blanks", sections(1, 10) + "\n  \n", sections(1, 10)},
      {"tenth section takes entries", sections(9) + "last={\nk=v\n", sections(9) + "last={\n        k=v\n}\n\n"},
      {"section after a full one", sections(1, 10) + "b={\nk=v\n", sections(1, 10) + "b={\n        k=v\n}\n\n"},
      {"UTF-8 byte order mark kept apart", "\xEF\xBB\xBF" "a={\n}\n", "\xEF\xBB\xBF" "a={\n}\n\n"},
      {"byte order mark alone", "\xEF\xBB\xBF", "\xEF\xBB\xBF"},
      {"duplicates stay", "a={\nk=1\nk=2\n}\na={\n}\n", "a={\n        k=1\n        k=2\n}\n\na={\n}\n\n"},
  };
  // clang-format on
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.name);
    Reading reading = read_text(c.input);
    ASSERT_EQ(reading.result.status, ReadStatus::ok) << read_status_text(reading.result.status);
    EXPECT_EQ(write_text(*reading.manifest), c.written);
    std::vector<long> keyless;
    const auto kept =
        std::min(static_cast<std::size_t>(reading.result.keyless_count), KEYLESS_LINES_KEPT);
    for (const KeylessLine& line : std::span(reading.result.keyless).first(kept))
      keyless.push_back(line.line);
    EXPECT_EQ(keyless, c.keyless);
    EXPECT_EQ(reading.result.keyless_count,
              static_cast<int>(c.keyless.size()) + c.keyless_past_kept);
  }
}

struct RefusalCase {
  const char* name;
  std::string input;
  ReadStatus status;
  long line;
};

TEST(ManifestReader, RefusesWhatDoesNotFitAndSaysWhere) {
  const std::string long_field(128, 'n');
  const std::string longest_field(127, 'n');
  // clang-format off
  const RefusalCase cases[] = {
      {"eleventh header", sections(10) + "s10={\n", ReadStatus::does_not_fit, 31},
      {"eleventh entry", sections(1, 11), ReadStatus::does_not_fit, 12},
      {"eleventh entry after ten sections", sections(9) + sections(1, 11), ReadStatus::does_not_fit, 39},
      {"name of 128 bytes", long_field + "={\n", ReadStatus::name_too_long, 1},
      {"key of 128 bytes", "a={\n" + long_field + "=v\n", ReadStatus::key_too_long, 2},
      {"key without equals of 128 bytes", "a={\n" + long_field + "\n", ReadStatus::key_too_long, 2},
      {"value of 128 bytes", "a={\n\nk=" + long_field + "\n", ReadStatus::value_too_long, 3},
      {"NUL in a dropped line", std::string("a={\n}\nx\0y\n", 10), ReadStatus::nul_byte, 3},
      {"NUL after reading stopped", sections(10) + std::string("\0", 1), ReadStatus::nul_byte, 31},
      {"value with a blank", "a={\nfile_path=my file.bin\n", ReadStatus::text_after_value, 2},
      {"an entry with no key", "a={\n\n=v\n", ReadStatus::no_key, 3},
      {"text between equals and brace", "a=b{\n", ReadStatus::text_in_header, 1},
      {"CR-only line ends", "a={\rk=v\r}\r", ReadStatus::lone_carriage_return, 1},
      {"doubled line ends", "a={\r\r\nk=v\r\r\n", ReadStatus::lone_carriage_return, 1},
      {"CR at the very end", "a={\nk=v\r", ReadStatus::lone_carriage_return, 2},
      {"blank after brace inside a section", "a={\nk=v\nb={ \nl=w\n", ReadStatus::blank_after_brace, 3},
      {"tab after brace before the first section", "a={\t\nk=v\n}\n", ReadStatus::blank_after_brace, 1},
      {"value ending in brace", "a={\nk=v{ \n", ReadStatus::blank_after_brace, 2},
      {"text before the first section", "x\na={\n}\n", ReadStatus::text_outside_section, 1},
      {"entry after a closing brace", "a={\n}\nk=v\n", ReadStatus::text_outside_section, 3},
      {"a shell script", "#!/bin/sh\nset -e\nmake all\n", ReadStatus::text_outside_section, 2},
      {"UTF-16 little-endian", std::string("\xFF\xFE" "a\0", 4), ReadStatus::wide_encoding, 1},
      {"UTF-16 big-endian", std::string("\xFE\xFF\0a", 4), ReadStatus::wide_encoding, 1},
      {"UTF-32 big-endian", std::string("\0\0\xFE\xFF", 4), ReadStatus::wide_encoding, 1},
      {"CR kept at the end of a key", "={\n\xd4\n\xa1\n\r", ReadStatus::lone_carriage_return, 4},
      {"CR before CR LF in a key", "a={\nk\r\r\n", ReadStatus::lone_carriage_return, 2},
      {"lone CR inside a line", "a={\nk\r=v\n}\n", ReadStatus::lone_carriage_return, 2},
      {"text after a closing brace", "a={\n} trailing\n", ReadStatus::text_after_brace, 2},
      {"brace after a closing brace", "a={\n}{\n", ReadStatus::text_after_brace, 2},
      {"comment after a closing brace", "a={\n}\n} # end\n", ReadStatus::text_after_brace, 3},
      {"long entry line", "a={\n" + std::string(1021, ' ') + "kv\n", ReadStatus::line_too_long, 2},
      {"long comment inside a section", "a={\n# keep this " + std::string(1100, 'x') + "\n}\n", ReadStatus::line_too_long, 2},
      {"long comment ending in a brace", "# " + std::string(1100, 'x') + "={\n", ReadStatus::line_too_long, 1},
      {"long line with NUL past its limit", "# " + std::string(1100, 'x') + std::string("\0\n", 2), ReadStatus::nul_byte, 1},
      {"name beginning like UTF-16", " \xFE\xFF{\n}\n", ReadStatus::name_like_byte_order_mark, 1},
      {"name beginning like UTF-16 LE", "a={\n}\n\xFF\xFE" "b={\n", ReadStatus::name_like_byte_order_mark, 3},
      {"name beginning like UTF-8's mark", "\t\xEF\xBB\xBF" "a={\n", ReadStatus::name_like_byte_order_mark, 1},
      {"header without equals", "a={\n}\nf() {\n", ReadStatus::header_without_equals, 3},
      {"a lone brace", "{\n", ReadStatus::header_without_equals, 1},
      {"a section after CTRL-Z", "a={\nk=v\n}\n\x1a" "b={\n", ReadStatus::text_after_ctrl_z, 4},
      {"CTRL-Z inside a line, text after", "a={\nk=v\x1a\nx", ReadStatus::text_after_ctrl_z, 2},
      {"CTRL-Z first, text held back by the mark's look", "\x1a" "ab", ReadStatus::text_after_ctrl_z, 1},
      {"line count follows CR LF", "a={\r\n\r\nk=" + long_field + "\r\n", ReadStatus::value_too_long, 3},
  };
  // clang-format on
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    Reading reading = read_text(c.input);
    EXPECT_EQ(reading.result.status, c.status) << read_status_text(reading.result.status);
    EXPECT_EQ(reading.result.line, c.line);
  }
  SCOPED_TRACE("127 bytes fit everywhere");
  Reading reading = read_text(longest_field + "={\n" + longest_field + "=" + longest_field + "\n");
  EXPECT_EQ(reading.result.status, ReadStatus::ok);
  EXPECT_EQ(field_text(reading.manifest->sections[0].entries[0].value), longest_field);
}

// "-x a c" leaves out every section of those names, the plan deciding which.
// The comments before a section left out stay.
TEST(ManifestWriter, LeavesOutExcludedSections) {
  Reading reading = read_text("a={\nk=v\n}\nb={\n}\n# c\nc={\n}\na={\n}\n# end\n");
  const ManifestPlan plan =
      plan_sections(*reading.manifest, "m.txt", ExcludeList{{"a", "c"}, 2}, RunKind::refresh);
  EXPECT_EQ(write_text(*reading.manifest, plan.left_out), "b={\n}\n\n# c\n# end\n");
}

// A manifest the writer produced, within the limits and without the one known
// exception (a key made only of blanks), reads back as
// the same table and so is written back byte for byte.
TEST(ManifestRoundTrip, CanonicalManifestIsAFixedPoint) {
  std::mt19937 random(20261208);
  const std::string alphabet = "abcXYZ019_-./:{} \t=#";
  auto random_text = [&](std::size_t max_length, std::string_view excluded) {
    std::string text;
    std::size_t length = random() % (max_length + 1);
    while (text.size() < length) {
      char c = alphabet[random() % alphabet.size()];
      if (excluded.find(c) == std::string_view::npos) text += c;
    }
    return text;
  };
  for (int round = 0; round < 300; ++round) {
    std::string canonical;
    const int section_count = static_cast<int>(random() % 10);
    for (int s = 0; s < section_count + 1; ++s) {
      if (random() % 3 == 0) canonical += "#" + random_text(2000, "{") + "\n";
      if (s == section_count) break;
      canonical += "n" + random_text(126, "=") + "={\n";
      const int entry_count = static_cast<int>(random() % 10);
      for (int e = 0; e < entry_count; ++e) {
        std::string key = "k" + random_text(126, "=");
        std::string value = random_text(126, " \t");
        if (!value.empty() && value.back() == '{') value.back() = 'x';
        canonical += "        " + key + "=" + value + "\n";
      }
      canonical += "}\n\n";
    }
    Reading reading = read_text(canonical);
    ASSERT_EQ(reading.result.status, ReadStatus::ok);
    ASSERT_EQ(write_text(*reading.manifest), canonical) << "round " << round;
  }
}

}  // namespace
