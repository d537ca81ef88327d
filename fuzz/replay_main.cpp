// SPDX-License-Identifier: MIT
// Runs a fuzz target over saved inputs (files, or every file in directories),
// so that an ordinary build can replay the corpus as a test. "--part K/N"
// first replays only every N-th input from the K-th in name order, so that a
// large corpus is several tests, each short under the sanitizers.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int replay(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t part = 0, parts = 1;
  int first = 1;
  if (argc > 2 && std::string_view(argv[1]) == "--part") {
    const std::string_view fraction = argv[2];
    part = std::strtoul(argv[2], nullptr, 10);
    parts = std::strtoul(fraction.substr(fraction.find('/') + 1).data(), nullptr, 10);
    if (parts == 0 || part >= parts) return 2;
    first = 3;
  }
  std::vector<std::filesystem::path> inputs;
  for (int i = first; i < argc; ++i) {
    const std::filesystem::path argument = argv[i];
    if (std::filesystem::is_directory(argument)) {
      for (const auto& entry : std::filesystem::directory_iterator(argument))
        inputs.push_back(entry.path());
    } else {
      inputs.push_back(argument);
    }
  }
  std::ranges::sort(inputs);
  int replayed = 0;
  for (std::size_t i = part; i < inputs.size(); i += parts)
    replayed += replay(inputs[i]);
  std::printf("replayed %d inputs\n", replayed);
  return replayed > 0 ? 0 : 1;
}
