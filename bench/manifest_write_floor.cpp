// SPDX-License-Identifier: MIT
// What a file system asks for writing many small manifests, with nothing of
// md5refresh around it: for each folder of a tree made by compare_trees.sh,
// its update.txt read, a temporary created beside it, written and renamed
// over it, one syncfs per 16 outputs (a tree refresh's batch). "probe" also
// creates and removes a temporary first, as the tool does before digesting.
// A refresh of the tree cannot take less than this. Linux only.
// Usage: manifest_write_floor TREE [RUNS]   (modes alternate; medians)
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

enum class Mode { read_only, rename, probe_and_rename };
constexpr std::array MODE_NAMES{"read only", "create, write, rename",
                                "probe, create, write, rename"};
constexpr int OUTPUTS_PER_SYNC = 16;

std::vector<std::string> package_folders(const std::string& tree) {
  std::vector<std::string> folders;
  DIR* listing = ::opendir(tree.c_str());
  if (listing == nullptr) return folders;
  while (const dirent* entry = ::readdir(listing)) {
    if (std::string(entry->d_name).starts_with("pkg"))
      folders.push_back(tree + "/" + entry->d_name);
  }
  ::closedir(listing);
  return folders;
}

bool write_all(int descriptor, const char* bytes, std::size_t size) {
  return ::write(descriptor, bytes, size) == static_cast<ssize_t>(size);
}

// Seconds for one pass over every folder; negative when a call failed.
double one_pass(const std::vector<std::string>& folders, Mode mode) {
  std::array<char, 64 * 1024> text{};
  int written = 0;
  const auto start = std::chrono::steady_clock::now();
  for (const std::string& folder : folders) {
    const std::string manifest = folder + "/update.txt";
    const std::string temporary = folder + "/.update.txt.floor.tmp";
    const int input = ::open(manifest.c_str(), O_RDONLY | O_CLOEXEC);
    if (input < 0) return -1;
    const ssize_t size = ::read(input, text.data(), text.size());
    ::close(input);
    if (size < 0) return -1;
    if (mode == Mode::read_only) continue;
    if (mode == Mode::probe_and_rename) {
      const int probe = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (probe < 0) return -1;
      ::close(probe);
      ::unlink(temporary.c_str());
    }
    const int output = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (output < 0 || !write_all(output, text.data(), static_cast<std::size_t>(size))) return -1;
    if (++written % OUTPUTS_PER_SYNC == 0) ::syncfs(output);
    ::close(output);
    if (::rename(temporary.c_str(), manifest.c_str()) != 0) return -1;
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: manifest_write_floor TREE [RUNS]\n");
    return 2;
  }
  const std::vector<std::string> folders = package_folders(argv[1]);
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
  std::array<std::vector<double>, MODE_NAMES.size()> times;
  for (int run = 0; run < runs; ++run) {
    for (std::size_t mode = 0; mode < MODE_NAMES.size(); ++mode) {
      const double seconds = one_pass(folders, static_cast<Mode>(mode));
      if (seconds < 0) {
        std::perror(argv[1]);
        return 1;
      }
      times[mode].push_back(seconds);
    }
  }
  std::printf("%zu manifests in %s, medians of %d:\n", folders.size(), argv[1], runs);
  for (std::size_t mode = 0; mode < MODE_NAMES.size(); ++mode) {
    std::vector<double>& t = times[mode];
    std::nth_element(t.begin(), t.begin() + static_cast<long>(t.size() / 2), t.end());
    std::printf("  %-30s %.3f s\n", MODE_NAMES[mode], t[t.size() / 2]);
  }
  return 0;
}
