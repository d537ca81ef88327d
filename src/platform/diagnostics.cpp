// SPDX-License-Identifier: MIT
// Errors and warnings share one shape, so scripts can grep for the program name.
#include "platform/diagnostics.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace md5refresh {

namespace {

int first_output_error = 0;

}  // namespace

void flush_output() {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return;
  if (first_output_error == 0) first_output_error = cause_of_failed_write(errno != 0 ? errno : EIO);
}

int output_error() {
  return first_output_error;
}

std::string escaped_text(std::string_view text) {
  static constexpr char DIGITS[] = "0123456789ABCDEF";
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7F) {
      shown += "\\x";
      shown += DIGITS[byte >> 4];
      shown += DIGITS[byte & 0xF];
    } else {
      shown += c;
    }
  }
  return shown;
}

namespace {

bool output_is_terminal() {
  static const bool terminal = stdout_is_terminal();
  return terminal;
}

}  // namespace

void put_output_text(std::string_view text) {
  if (output_is_terminal()) {
    const std::string shown = escaped_text(text);
    std::fwrite(shown.data(), 1, shown.size(), stdout);
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
}

namespace {

// The message, whole however long the paths in it: the reason comes last.
std::string formatted(const char* format, std::va_list arguments) {
  std::string message(256, '\0');
  std::va_list again;
  va_copy(again, arguments);
  int length = std::vsnprintf(message.data(), message.size(), format, arguments);
  if (length >= 0 && static_cast<std::size_t>(length) >= message.size()) {
    message.resize(static_cast<std::size_t>(length) + 1);
    length = std::vsnprintf(message.data(), message.size(), format, again);
  }
  va_end(again);
  if (length < 0) return {};
  message.resize(static_cast<std::size_t>(length));
  return message;
}

std::string message_line(std::string_view message) {
  return "md5refresh: " + escaped_text(message) + "\n";
}

void put_message(const std::string& line) {
  flush_output();
  std::fputs(line.c_str(), stderr);
}

// A line shows at once on a terminal; elsewhere a manifest's lines go out
// together when it is shown (a message flushes those before it), so that an
// interrupt loses none of a manifest already written.
void put_line(std::string_view text) {
  put_output_text(text);
  std::fputc('\n', stdout);
  if (output_is_terminal()) flush_output();
}

}  // namespace

void report(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  const std::string message = formatted(format, arguments);
  va_end(arguments);
  if (!message.empty()) put_message(message_line(message));
}

void say(Transcript& transcript, const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::string message = formatted(format, arguments);
  va_end(arguments);
  if (message.empty()) return;
  std::string line = message_line(message);
  transcript.last_said = std::move(message);
  if (transcript.held) {
    transcript.kept.emplace_back(true, std::move(line));
  } else {
    put_message(line);
  }
}

void print_line(Transcript& transcript, std::string_view text) {
  if (transcript.held) {
    transcript.kept.emplace_back(false, std::string(text));
  } else {
    put_line(text);
    if (transcript.line_by_line) flush_output();
  }
}

void show_transcript(Transcript& transcript) {
  for (const auto& [message, text] : transcript.kept) {
    if (message) {
      put_message(text);
    } else {
      put_line(text);
    }
  }
  flush_output();
  transcript.kept.clear();
  transcript.held = false;
}

}  // namespace md5refresh
