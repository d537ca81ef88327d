// SPDX-License-Identifier: MIT
// A digest is reported only when it covers the whole stream: a read error part
// way through must never pass for the digest of the file.
#include "digest/file_digest.hpp"

#include <cerrno>
#include <string_view>

#include "digest/progress.hpp"
#include "platform/diagnostics.hpp"

bool finish_digest(std::uint8_t* data, std::uint32_t length, Md5Digest& digest,
                   Md5Context* context) {
  if (context != nullptr) {
    (void)md5_process(data, length, &digest, context);
    return true;
  }
  // The call must create its own context, and a failure shows only as a digest
  // left untouched. Two different fillings tell it apart from a digest that
  // happens to equal one of them; the message bytes are not changed by a call.
  for (std::uint8_t filling : {std::uint8_t{0x00}, std::uint8_t{0xff}}) {
    Md5Digest untouched;
    untouched.fill(filling);
    digest = untouched;
    (void)md5_process(data, length, &digest, nullptr);
    if (digest != untouched) return true;
  }
  return false;
}

DigestResult compute_file_digest(std::FILE* stream, const char* display_name, HexDigest& hex) {
  int read_error = 0;
  Progress progress = begin_progress(stream, display_name);
  Md5Digest digest;
  const DigestStatus status = digest_stream(
      [stream, &read_error, &progress](std::uint8_t* window, std::size_t size) {
        const std::size_t delivered = std::fread(window, 1, size, stream);
        if (delivered < size && std::ferror(stream)) read_error = errno != 0 ? errno : EIO;
        advance_progress(progress, delivered);
        return delivered;
      },
      digest);
  end_progress(progress);
  if (status != DigestStatus::ok) return {status, ENOMEM};
  if (read_error != 0) return {DigestStatus::read_error, read_error};

  hex = hex_digest(digest);
  return {DigestStatus::ok, 0};
}

HexDigest hex_digest(const Md5Digest& digest) {
  static constexpr std::string_view DIGITS = "0123456789abcdef";
  HexDigest hex{};
  for (std::size_t i = 0; i < digest.size(); ++i) {
    hex[2 * i] = DIGITS[digest[i] >> 4];
    hex[2 * i + 1] = DIGITS[digest[i] & 0xf];
  }
  return hex;
}

void print_report_line(const HexDigest& hex, const char* display_name) {
  std::fputs(hex.data(), stdout);
  if (display_name != nullptr) {
    std::fputc('\t', stdout);
    put_output_text(display_name);
  }
  std::fputc('\n', stdout);
  flush_output();
}

DigestResult digest_file(std::FILE* stream, const char* display_name, HexDigest* hex) {
  HexDigest digits;
  const DigestResult result = compute_file_digest(stream, display_name, digits);
  if (result.status != DigestStatus::ok) return result;
  print_report_line(digits, display_name);
  if (hex != nullptr) *hex = digits;
  return result;
}
