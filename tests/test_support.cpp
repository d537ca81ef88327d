// Test helpers: temporary directories, files, streams and runs of the built tool.
#include "test_support.hpp"

#include <openssl/evp.h>
#include <sys/wait.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

namespace test {

TempDir::TempDir() {
  std::random_device seed;
  path_ = fs::temp_directory_path() / ("md5refresh-test-" + std::to_string(seed()));
  fs::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
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

std::string reference_md5(std::span<const std::uint8_t> bytes) {
  std::array<std::uint8_t, 16> digest{};
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_md5(), nullptr);
  return hex(digest);
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

std::FILE* stream_with(std::string_view bytes) {
  std::FILE* stream = std::tmpfile();
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

std::string shell_quote(std::string_view text) {
  std::string quoted = "'";
  for (char c : text)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

ToolRun run_tool(const fs::path& directory, const std::vector<std::string>& arguments,
                 std::string_view shell_setup) {
  // Captured beside the directory, so that tests can list the directory itself.
  const fs::path out = directory.string() + ".stdout", err = directory.string() + ".stderr";
  std::string command = "cd " + shell_quote(directory.string()) + " && ";
  command += shell_setup;
  command += " timeout 20 " + shell_quote(MD5REFRESH_BINARY);
  for (const std::string& argument : arguments)
    command += " " + shell_quote(argument);
  command += " >" + shell_quote(out.string()) + " 2>" + shell_quote(err.string()) + " </dev/null";
  const int raw = std::system(("sh -c " + shell_quote(command)).c_str());
  ToolRun run{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(out), read_file(err)};
  fs::remove(out);
  fs::remove(err);
  return run;
}

}  // namespace test
