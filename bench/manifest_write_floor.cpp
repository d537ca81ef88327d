// SPDX-License-Identifier: MIT
// What a file system asks for replacing many small manifests, with nothing of
// md5refresh around it, over the package folders of a tree made by
// compare_trees.sh (each holds an update.txt). The modes:
//   read       each manifest opened and read: what any run does
//   replace    the way any careful writer must: a temporary beside each,
//              written, renamed over it, one syncfs for the run
//   batches    as a tree refresh commits: 16 temporaries written, one
//              syncfs, their renames, one more syncfs
//   probe      a temporary created and removed beside each: what a probe
//              that makes a file costs (Windows still makes one)
//   access     the write access of each folder asked of the system: what
//              the probe costs where the system answers without a file
// A refresh that writes every manifest cannot take less than "replace".
// Linux only.
// Usage: manifest_write_floor TREE [RUNS [MODE]]   (modes alternate; medians;
// with MODE, that mode alone, RUNS passes, the last one's seconds printed)
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

enum class Mode { read, replace, batches, probe, access };
constexpr std::array<std::string_view, 5> MODE_NAMES{"read", "replace", "batches", "probe",
                                                     "access"};
constexpr std::size_t OUTPUTS_PER_SYNC = 16;

std::vector<std::string> package_folders(const std::string& tree) {
  std::vector<std::string> folders;
  DIR* listing = ::opendir(tree.c_str());
  if (listing == nullptr) return folders;
  while (const dirent* entry = ::readdir(listing)) {
    if (std::string(entry->d_name).starts_with("pkg"))
      folders.push_back(tree + "/" + entry->d_name);
  }
  ::closedir(listing);
  std::ranges::sort(folders);
  return folders;
}

std::string manifest_of(const std::string& folder) {
  return folder + "/update.txt";
}

std::string temporary_of(const std::string& folder) {
  return folder + "/.update.txt.floor.tmp";
}

bool read_whole(const std::string& path, std::string& text) {
  const int input = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (input < 0) return false;
  std::array<char, 64 * 1024> buffer{};
  const ssize_t size = ::read(input, buffer.data(), buffer.size());
  ::close(input);
  if (size < 0) return false;
  text.assign(buffer.data(), static_cast<std::size_t>(size));
  return true;
}

// The temporary beside the manifest holding `text`, closed; its folder's
// descriptor is no part of the floor.
bool write_temporary(const std::string& folder, const std::string& text, int& last_output) {
  const int output =
      ::open(temporary_of(folder).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (output < 0) return false;
  const bool written =
      ::write(output, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (last_output >= 0) ::close(last_output);
  last_output = output;
  return written;
}

bool rename_over(const std::string& folder) {
  return ::rename(temporary_of(folder).c_str(), manifest_of(folder).c_str()) == 0;
}

// Groups of `group` folders: each group's temporaries written, a sync, their
// renames, a sync (the last group's second sync stands for the run's one).
bool replace_in_groups(const std::vector<std::string>& folders, std::size_t group,
                       bool sync_each_group) {
  std::string text;
  int last_output = -1;
  bool ok = true;
  for (std::size_t first = 0; ok && first < folders.size(); first += group) {
    const std::size_t end = std::min(folders.size(), first + group);
    for (std::size_t f = first; ok && f < end; ++f)
      ok = read_whole(manifest_of(folders[f]), text) &&
           write_temporary(folders[f], text, last_output);
    if (ok && sync_each_group) ::syncfs(last_output);
    for (std::size_t f = first; ok && f < end; ++f)
      ok = rename_over(folders[f]);
    if (ok && sync_each_group) ::syncfs(last_output);
  }
  if (ok && !sync_each_group && last_output >= 0) ::syncfs(last_output);
  if (last_output >= 0) ::close(last_output);
  return ok;
}

// Seconds for one pass over every folder; negative when a call failed.
double one_pass(const std::vector<std::string>& folders, Mode mode) {
  std::string text;
  bool ok = true;
  const auto start = std::chrono::steady_clock::now();
  switch (mode) {
    case Mode::read:
      for (const std::string& folder : folders)
        ok = ok && read_whole(manifest_of(folder), text);
      break;
    case Mode::replace:
      ok = replace_in_groups(folders, folders.size(), false);
      break;
    case Mode::batches:
      ok = replace_in_groups(folders, OUTPUTS_PER_SYNC, true);
      break;
    case Mode::probe:
      for (const std::string& folder : folders) {
        const int probe =
            ::open(temporary_of(folder).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        ok = ok && probe >= 0;
        if (probe >= 0) ::close(probe);
        ::unlink(temporary_of(folder).c_str());
      }
      break;
    case Mode::access:
      for (const std::string& folder : folders)
        ok = ok && ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
      break;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return ok ? seconds : -1;
}

double median(std::vector<double> times) {
  std::nth_element(times.begin(), times.begin() + static_cast<long>(times.size() / 2), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: manifest_write_floor TREE [RUNS [MODE]]\n");
    return 2;
  }
  const std::vector<std::string> folders = package_folders(argv[1]);
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 9;
  std::vector<Mode> modes;
  for (std::size_t m = 0; m < MODE_NAMES.size(); ++m) {
    if (argc <= 3 || MODE_NAMES[m] == argv[3]) modes.push_back(static_cast<Mode>(m));
  }
  if (modes.empty()) {
    std::fprintf(stderr, "manifest_write_floor: no mode \"%s\"\n", argv[3]);
    return 2;
  }
  std::array<std::vector<double>, MODE_NAMES.size()> times;
  for (int run = 0; run < runs; ++run) {
    for (const Mode mode : modes) {
      const double seconds = one_pass(folders, mode);
      if (seconds < 0) {
        std::perror(argv[1]);
        return 1;
      }
      times[static_cast<std::size_t>(mode)].push_back(seconds);
    }
  }
  if (argc > 3) {
    std::printf("%.6f\n", times[static_cast<std::size_t>(modes.front())].back());
    return 0;
  }
  std::printf("%zu manifests in %s, medians of %d:\n", folders.size(), argv[1], runs);
  for (const Mode mode : modes) {
    const auto m = static_cast<std::size_t>(mode);
    std::printf("  %-8s %.4f s\n", MODE_NAMES[m].data(), median(times[m]));
  }
  return 0;
}
