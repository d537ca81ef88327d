// SPDX-License-Identifier: MIT
// Fuzz target: the scheduler and every kernel the CPU has agree with the
// scalar engine on any set of messages. The first byte chooses the kernel and
// the number of messages; each message's length is two bytes, then the bytes
// follow, repeated to reach lengths beyond the input. The last byte chooses
// the window, whether every other message is a file the worker opens by its
// path, whether two messages in three want their SHA-256 too (which must be
// the value engine's), how few files may be open at once, and whether a
// file given by its path is a link to it within a folder held open, as in a
// tree.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "digest/file_set_digest.hpp"
#include "digest/hashers.hpp"
#include "fuzz_support.hpp"
#include "md5/md5.hpp"
#include "md5/md5_process.hpp"
#include "platform/file_access.hpp"
#include "sha256/sha256.hpp"

using namespace md5refresh;

namespace {

HexDigest scalar_md5(const std::string& message) {
  std::vector<std::uint8_t> buffer(message.begin(), message.end());
  buffer.resize(message.size() + MD5_PADDING_ROOM);
  const std::size_t whole = message.size() / 64 * 64;
  Md5Context* context = nullptr;
  if (whole > 0) {
    context = md5_process(buffer.data(), static_cast<std::uint32_t>(whole), nullptr, nullptr);
  }
  Md5Digest digest{};
  (void)md5_process(buffer.data() + whole, static_cast<std::uint32_t>(message.size() - whole),
                    &digest, context);
  return hex_digest(digest);
}

// The folder held open, as a walk holds it (nothing on Windows).
HeldFolder held_folder(const std::string& path) {
  std::vector<FolderEntry> entries;
  FileStamp identity{};
  HeldFolder held;
  if (path.empty() || list_folder(path, NO_FOLDER, entries, identity, held) != 0) return nullptr;
  return held;
}

// The message written to `target`, and `path` a link to it beside it where
// `linked` and the host makes links; false when nothing could be written.
bool write_message(const std::string& path, const std::string& target, bool linked,
                   const std::string& message) {
  std::FILE* file = std::fopen((linked ? target : path).c_str(), "wb");
  if (file == nullptr) return false;
  std::fwrite(message.data(), 1, message.size(), file);
  std::fclose(file);
  if (!linked) return true;
  std::error_code error;
  std::filesystem::remove(path, error);
  std::filesystem::create_symlink(std::filesystem::path(target).filename(), path, error);
  return !error || std::filesystem::copy_file(target, path, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  struct Choice {
    Kernel kernel;
    LaneEngine engine;
  };
  const Choice choices[] = {{{3, 0}, LaneEngine::scalar},  {{0, 8}, LaneEngine::avx2},
                            {{0, 16}, LaneEngine::avx2},   {{0, 8}, LaneEngine::avx512},
                            {{0, 16}, LaneEngine::avx512}, {{0, 32}, LaneEngine::avx512}};
  const Choice& choice = choices[data[0] % 6];
  if (!lane_engine_available(choice.engine)) return 0;
  const std::size_t count = 2 + (data[0] >> 2) % 11;
  const std::uint8_t* bytes = data + 1;
  std::size_t left = size - 1;

  std::vector<std::string> messages;
  for (std::size_t i = 0; i < count && left >= 2; ++i) {
    // Lengths up to 1 MiB: past a lane's read size, so lanes refill and end apart.
    const std::size_t length = (std::size_t{bytes[0]} << 8 | bytes[1]) * 16 + bytes[1] % 16;
    bytes += 2;
    left -= 2;
    std::string message(length, '\0');
    for (std::size_t j = 0; j < length; ++j)
      message[j] = static_cast<char>(left == 0 ? j : bytes[j % left] + j / left);
    messages.push_back(message);
  }
  const KernelPaces paces = fuzz::paces_preferring(choice.kernel, choice.engine);
  const std::uint8_t last = data[size - 1];
  const bool by_path = (last & 4) != 0;
  static const fuzz::ScratchFolder scratch;
  static const HeldFolder held = held_folder(scratch.path);
  const std::string& folder = scratch.path;
  const bool linked = (last & 16) != 0;
  std::vector<std::string> paths(messages.size()), targets(messages.size());
  std::vector<FileJob> jobs;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    if (by_path && i % 2 == 1 && !folder.empty()) {
      paths[i] = folder + "/m" + std::to_string(i);
      if (linked) targets[i] = folder + "/r" + std::to_string(i);
      if (!write_message(paths[i], targets[i], linked, messages[i])) return 0;
      jobs.push_back({nullptr,
                      messages[i].size(),
                      {},
                      {},
                      paths[i].c_str(),
                      linked ? folder_descriptor(held) : NO_FOLDER});
    } else {
      jobs.push_back({fuzz::stream_of(messages[i]), messages[i].size(), {}, {}});
    }
  }
  const bool sha256 = (last & 8) != 0;
  for (std::size_t i = 0; i < jobs.size(); ++i)
    jobs[i].wanted.sha256 = sha256 && i % 3 != 1;
  const unsigned workers = 1 + (data[0] >> 6) % 2;
  // The last input byte's low bits: every job at once, or fed through a window.
  const std::size_t window = last % 4;
  DigestOptions settings{window == 0 ? jobs.size() : window, std::size_t{last} >> 6};
  settings.paces = &paces;
  settings.workers = workers;
  if (window == 0) {
    settings.expected = jobs.size();
    settings.close_streams = false;
  }
  fuzz::digest_jobs(
      jobs, [](FileJob&, const ClosedStamps*) {}, settings);
  for (const std::vector<std::string>* names : {&paths, &targets}) {
    for (const std::string& path : *names) {
      if (!path.empty()) std::remove(path.c_str());  // libFuzzer may end without destructors
    }
  }
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    if (jobs[i].stream != nullptr) std::fclose(jobs[i].stream);  // a fed run closed it
    if (jobs[i].result.status != DigestStatus::ok) std::abort();
    if (std::strcmp(jobs[i].digests.md5.data(), scalar_md5(messages[i]).data()) != 0) std::abort();
    const std::span message(reinterpret_cast<const std::uint8_t*>(messages[i].data()),
                            messages[i].size());
    const std::optional<Sha256Hex> expected =
        jobs[i].wanted.sha256 ? std::optional(sha256_hex(sha256_of(message))) : std::nullopt;
    if (jobs[i].digests.sha256 != expected) std::abort();
  }
  return 0;
}
