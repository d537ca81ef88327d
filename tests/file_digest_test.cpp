// SPDX-License-Identifier: MIT
// The file digest: independent of how reads split the stream, and handed back
// only when the whole stream was read.
#include "digest/file_digest.hpp"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "digest/file_set_digest.hpp"
#include "digest/read_ring.hpp"
#include "fuzz_support.hpp"
#include "platform/file_access.hpp"
#include "sha256/sha256.hpp"
#include "test_support.hpp"

using namespace md5refresh;
namespace fs = std::filesystem;

namespace {

TEST(FileDigest, HandsBackTheDigits) {
  std::FILE* stream = test::stream_with("abc");
  HexDigest hex{};
  const DigestResult result = digest_file(stream, hex);
  EXPECT_EQ(result.status, DigestStatus::ok);
  EXPECT_STREQ(hex.data(), "900150983cd24fb0d6963f7d28e17f72");
  std::fclose(stream);
}

TEST(FileDigest, ReadErrorGivesNoDigest) {
  if (!test::POSIX_HOST) GTEST_SKIP() << "only POSIX hosts open a directory as a file";
  std::FILE* directory = std::fopen(".", "rb");  // opens on Linux; every read fails
  ASSERT_NE(directory, nullptr);
  HexDigest hex{};
  const DigestResult result = digest_file(directory, hex);
  EXPECT_EQ(result.status, DigestStatus::read_error);
  EXPECT_EQ(result.error, EISDIR);
  EXPECT_EQ(hex, HexDigest{});
  std::fclose(directory);
}

struct FileSetCase {
  const char* name;
  std::vector<std::size_t> sizes;
};

// The scheduler with every kernel the CPU has, on one to three workers, given
// every file at once or fed a few at a time (with pauses in the feed), against
// an independent MD5: streams that end at different times and leave their
// group, more streams than a kernel takes, one long file beside short ones.
// Two files in three want their SHA-256 too, from the same reads.
TEST(FileSetDigest, EveryFileGetsItsOwnDigestInOrder) {
  const std::size_t mib = 1 << 20, read = STREAM_READ_SIZE;
  // clang-format off
  const FileSetCase cases[] = {
      {"short and unequal", {0, 1, 55, 56, 63, 64, 65, 127, 128, 4096 + 3}},
      {"ending at different times", {3 * mib + 5, 64, read, read + 64, 2 * read - 1}},
      {"more files than lanes", {9000, 70000, 1, 300000, 64 * 1024, 5, 2 * mib, 128, 77, 1000, 640, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25}},
      {"one long file and short ones", {mib / 2 + 17, 10, 20}},
      {"one file, read ahead", {READ_AHEAD_SIZE + 1}},
      {"two files, read ahead on three workers", {READ_AHEAD_SIZE * 2 + 65, 70000}},
      {"files of like size", {70000, 70001, 70064, 69999, 70063, 70100, 70005, 70128, 70003, 70010}},
      {"like sizes around a read", {read - 1, read, read + 1, read + 63, read + 64, read + 65, read - 64, read + 127, read + 3}},
  };
  struct Choice {
    const char* name;
    KernelPaces paces;
    LaneEngine engine;
  };
  const Choice choices[] = {
      {"measured", machine_paces(), LaneEngine::scalar},
      {"interleaved", fuzz::paces_preferring({3, 0}, LaneEngine::scalar), LaneEngine::scalar},
      {"scalar lanes", fuzz::paces_preferring({0, 8}, LaneEngine::scalar), LaneEngine::scalar},
      {"avx2 x8", fuzz::paces_preferring({0, 8}, LaneEngine::avx2), LaneEngine::avx2},
      {"avx2 x16", fuzz::paces_preferring({0, 16}, LaneEngine::avx2), LaneEngine::avx2},
      {"avx512 x8", fuzz::paces_preferring({0, 8}, LaneEngine::avx512), LaneEngine::avx512},
      {"avx512 x16", fuzz::paces_preferring({0, 16}, LaneEngine::avx512), LaneEngine::avx512},
      {"avx512 x32", fuzz::paces_preferring({0, 32}, LaneEngine::avx512), LaneEngine::avx512},
  };
  // clang-format on
  std::mt19937 random(13);
  // Files of this process's own: a host's temporary streams may be named by a
  // counter that another test process shares.
  const test::TempDir dir;
  for (const FileSetCase& c : cases) {
    std::vector<std::string> contents, paths;
    for (std::size_t size : c.sizes) {
      paths.push_back((dir / ("f" + std::to_string(contents.size()))).string());
      std::string bytes(size, '\0');
      for (char& byte : bytes)
        byte = static_cast<char>(random());
      test::write_file(dir / ("f" + std::to_string(contents.size())), bytes);
      contents.push_back(bytes);
    }
    std::vector<std::string> expected, expected_sha256;  // once: slow where the reference is ours
    for (const std::string& bytes : contents) {
      const std::span message(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      expected.push_back(test::reference_md5(message));
      const std::string sha256 = test::reference_sha256(message);
      expected_sha256.push_back(sha256.empty() ? test::hex(sha256_of(message)) : sha256);
    }
    for (const Choice& choice : choices) {
      if (!lane_engine_available(choice.engine)) continue;
      if (test::UNDER_THREAD_SANITIZER && &choice != &choices[0] && &choice != &choices[2])
        continue;
      // Workers 0: no thread at all, the calling thread digests (as when none can start).
      for (const auto& [workers, window] :
           {std::pair{1u, 0u}, {2u, 0u}, {3u, 0u}, {1u, 1u}, {2u, 3u}, {0u, 2u}}) {
        SCOPED_TRACE(std::string(c.name) + ", " + choice.name + ", " + std::to_string(workers) +
                     " workers, window " + std::to_string(window));
        // Every other file given by its path, for the worker that takes it to open.
        std::vector<FileJob> jobs;
        for (std::size_t i = 0; i < contents.size(); ++i) {
          const std::string& path = paths[i];
          if (i % 2 == 1) {
            jobs.push_back({nullptr, contents[i].size(), {}, {}, path.c_str()});
            continue;
          }
          const OpenResult file = open_regular_file(path.c_str());
          ASSERT_NE(file.file, nullptr);
          jobs.push_back({file.file, contents[i].size(), {}, {}});
        }
        for (std::size_t i = 0; i < jobs.size(); ++i)
          jobs[i].wanted.sha256 = i % 3 != 1;
        std::vector<std::size_t> order;
        std::vector<std::uint64_t> closed_sizes(jobs.size(), UINT64_MAX);
        // Window 0: every file at once, its count known, the streams left open.
        DigestOptions settings{window == 0 ? jobs.size() : window};
        settings.paces = &choice.paces;
        settings.workers = workers;
        settings.threads = workers != 0;
        if (window == 0) {
          settings.expected = jobs.size();
          settings.close_streams = false;
        }
        std::size_t fed = 0, asked = 0;
        digest_files(
            [&](FileJob*& job) {
              if (fed == jobs.size()) return false;
              job = window != 0 && ++asked % 3 == 0 ? nullptr : &jobs[fed++];
              return true;
            },
            [&](FileJob& job, const ClosedStamps* closed) {
              order.push_back(static_cast<std::size_t>(&job - jobs.data()));
              if (closed != nullptr) closed_sizes[order.back()] = closed->closed.size;
            },
            settings);
        ASSERT_EQ(order.size(), jobs.size());
        for (std::size_t i = 0; i < jobs.size(); ++i) {
          EXPECT_EQ(jobs[i].stream == nullptr, window != 0);  // a fed run closed it
          if (jobs[i].stream != nullptr) std::fclose(jobs[i].stream);
          EXPECT_EQ(jobs[i].result.status, DigestStatus::ok);
          EXPECT_EQ(jobs[i].digests.md5.data(), expected[i]) << "file " << i;
          EXPECT_EQ(jobs[i].digests.sha256 ? jobs[i].digests.sha256->data() : "",
                    i % 3 != 1 ? expected_sha256[i] : "")
              << "file " << i;
          EXPECT_EQ(order[i], i);
          // A run that closes the files hands back each one's stamp as it closed it.
          EXPECT_EQ(closed_sizes[i], window == 0 ? UINT64_MAX : contents[i].size());
        }
      }
    }
  }
}

// A file that cannot be opened or read gets no digest, and the files around
// it theirs, in order.
TEST(FileSetDigest, AFileNotOpenedOrNotReadGetsNoDigest) {
  struct Case {
    const char* name;
    const char* path;  // given by path, between two files given by path
    DigestStatus status;
    int error;
  };
  const Case cases[] = {
      {"gone since it was looked at", "gone.bin", DigestStatus::open_error, ENOENT},
      {"a folder in its place", ".", test::POSIX_HOST ? DigestStatus::read_error : DigestStatus::ok,
       test::POSIX_HOST ? EISDIR : 0},
  };
  const test::TempDir dir;
  test::write_file(dir / "a.bin", "abc");
  const std::string a = (dir / "a.bin").string(), missing = (dir / "gone.bin").string();
  for (const Case& c : cases) {
    if (!test::POSIX_HOST && c.status == DigestStatus::ok) continue;
    SCOPED_TRACE(c.name);
    const std::string middle = c.path == std::string(".") ? dir.path().string() : missing;
    std::vector<FileJob> jobs{{nullptr, 3, {}, {}, a.c_str()},
                              {nullptr, 0, {}, {}, middle.c_str()},
                              {nullptr, 3, {}, {}, a.c_str()}};
    std::vector<bool> closed;
    fuzz::digest_jobs(
        jobs, [&](FileJob&, const ClosedStamps* stamps) { closed.push_back(stamps->closed_taken); },
        {.window = 2, .workers = 2});
    // Only a file that opened was closed, and looked at as it was.
    const bool opened = c.status != DigestStatus::open_error;
    EXPECT_EQ(closed, (std::vector<bool>{true, opened, true}));
    EXPECT_EQ(jobs[1].result.status, c.status);
    EXPECT_EQ(jobs[1].result.error, c.error);
    EXPECT_EQ(jobs[1].digests.md5, HexDigest{});
    for (std::size_t i : {0u, 2u}) {
      EXPECT_EQ(jobs[i].result.status, DigestStatus::ok);
      EXPECT_STREQ(jobs[i].digests.md5.data(), "900150983cd24fb0d6963f7d28e17f72");
    }
  }
}

// Files given by their paths wait to be opened while as many as allowed are
// open, though a kernel would take them all at once.
std::size_t most_open = 0;

void count_open_descriptors(const char*) {
  std::size_t open = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd"))
    ++open;
  most_open = std::max(most_open, open);
}

TEST(FileSetDigest, NoMoreFilesOpenThanAllowed) {
  if (!test::POSIX_HOST || !fs::exists("/proc/self/fd")) GTEST_SKIP() << "needs /proc/self/fd";
  const test::TempDir dir;
  std::vector<std::string> paths;
  for (int i = 0; i < 8; ++i) {
    paths.push_back((dir / ("f" + std::to_string(i))).string());
    test::write_file(paths.back(), std::string(1000 + 64 * static_cast<std::size_t>(i), 'x'));
  }
  const KernelPaces paces = fuzz::paces_preferring({0, 8}, LaneEngine::scalar);
  for (const std::size_t allowed : {1u, 3u}) {
    SCOPED_TRACE(std::to_string(allowed) + " open at once");
    std::vector<FileJob> jobs;
    for (const std::string& path : paths)
      jobs.push_back({nullptr, fs::file_size(path), {}, {}, path.c_str()});
    most_open = 0;
    count_open_descriptors(nullptr);
    const std::size_t before = most_open;
    seams::after_file_read_hook = count_open_descriptors;
    fuzz::digest_jobs(
        jobs, [](FileJob&, const ClosedStamps*) {},
        {.window = jobs.size(), .open_files = allowed, .paces = &paces, .workers = 1});
    seams::after_file_read_hook = nullptr;
    // The directory listing itself holds one more while it counts.
    EXPECT_LE(most_open, before + allowed);
    for (const FileJob& job : jobs)
      EXPECT_EQ(job.result.status, DigestStatus::ok);
  }
}

#if !defined(_WIN32)
// Within a walked folder a link is followed only while it stays beneath the
// folder, the same whether the system resolves the name or the tool takes
// each step itself (a kernel or container without openat2).
TEST(FileSetDigest, ALinkIsFollowedOnlyBeneathItsFolder) {
  struct Case {
    const char* name;  // in pkg/
    int error;         // of the look and of the open
    const char* contents;
  };
  const Case cases[] = {
      {"plain.bin", 0, "abc"},      {"lib.so", 0, "abc"},  // -> lib.so.1
      {"sub.bin", 0, "hello"},                             // -> d/s.bin
      {"back.bin", 0, "abc"},                              // -> d/../lib.so.1
      {"chain.bin", 0, "hello"},                           // -> sub.bin -> d/s.bin
      {"into.bin", 0, "abc"},                              // -> d/up.bin -> ../lib.so.1
      {"abs.bin", LEADS_OUT, ""},    // -> an absolute path to pkg/lib.so.1 itself
      {"up.bin", LEADS_OUT, ""},     // -> ../secret.bin
      {"out.bin", LEADS_OUT, ""},    // -> d/../../secret.bin
      {"gone.bin", ENOENT, ""},      // -> nothing.bin
      {"loop.bin", ELOOP, ""},       // -> loop.bin
      {"folder.bin", EISDIR, ""},    // -> d
      {"through.bin", ENOTDIR, ""},  // -> lib.so.1/x
      {"dot.bin", EISDIR, ""},       // -> d/.
  };
  const test::TempDir dir;
  fs::create_directories(dir / "pkg/d");
  test::write_file(dir / "pkg/plain.bin", "abc");
  test::write_file(dir / "pkg/lib.so.1", "abc");
  test::write_file(dir / "pkg/d/s.bin", "hello");
  test::write_file(dir / "secret.bin", "secret");
  const std::pair<const char*, std::string> links[] = {{"lib.so", "lib.so.1"},
                                                       {"sub.bin", "d/s.bin"},
                                                       {"back.bin", "d/../lib.so.1"},
                                                       {"chain.bin", "sub.bin"},
                                                       {"d/up.bin", "../lib.so.1"},
                                                       {"into.bin", "d/up.bin"},
                                                       {"abs.bin", (dir / "pkg/lib.so.1").string()},
                                                       {"up.bin", "../secret.bin"},
                                                       {"out.bin", "d/../../secret.bin"},
                                                       {"gone.bin", "nothing.bin"},
                                                       {"loop.bin", "loop.bin"},
                                                       {"folder.bin", "d"},
                                                       {"through.bin", "lib.so.1/x"},
                                                       {"dot.bin", "d/."}};
  for (const auto& [from, to] : links)
    fs::create_symlink(to, dir / "pkg" / from);
  const int folder = ::open((dir / "pkg").string().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // The folders held on the way down are let go, whatever the answer.
  auto open_descriptors = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{});
  };
  const auto open_before = open_descriptors();
  ASSERT_GE(folder, 0);
  for (const bool by_steps : {false, true}) {
    seams::resolve_beneath_by_steps = by_steps;
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (by_steps ? ", step by step" : ", by the system"));
      const std::string path = (dir / "pkg" / c.name).string();
      FileStamp stamp{};
      EXPECT_EQ(look_at_regular_file(path.c_str(), folder, stamp), c.error);
      const OpenResult opened = open_to_read(path.c_str(), folder);
      if (c.error == 0 || c.error == EISDIR) {
        ASSERT_NE(opened.file, nullptr);
        std::string contents(64, '\0');
        contents.resize(std::fread(contents.data(), 1, contents.size(), opened.file));
        std::fclose(opened.file);
        if (c.error == 0) {
          EXPECT_EQ(contents, c.contents);
        }
      } else {
        EXPECT_EQ(opened.file, nullptr);
        EXPECT_EQ(opened.error, c.error);
      }
    }
  }
  seams::resolve_beneath_by_steps = false;
  EXPECT_EQ(open_descriptors(), open_before);
  ::close(folder);
}
#endif

}  // namespace
