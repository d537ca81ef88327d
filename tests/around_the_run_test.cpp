// SPDX-License-Identifier: MIT
// What happens around a run rather than inside the manifest: an edit or a
// second run between the read and the replace, a closed pipe, a signal during
// the write, outputs that are not plain files, and what the replaced file keeps.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#else
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform/diagnostics.hpp"
#endif

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "digest/file_set_digest.hpp"
#include "platform/interrupt_slots.hpp"
#include "platform/process.hpp"
#include "refresh/manifest_run.hpp"
#include "refresh/refresh.hpp"
#include "refresh/section_file.hpp"
#include "test_support.hpp"

using namespace md5refresh;

namespace fs = std::filesystem;

namespace {

using test::ABC_MD5;
const std::string MANIFEST = "a={\nfile_path=a.bin\n}\n";
const std::string REFRESHED =
    "a={\n        file_path=a.bin\n        md5=" + std::string(ABC_MD5) + "\n}\n\n";

std::set<std::string> listing(const fs::path& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory))
    names.insert(entry.path().filename().string());
  return names;
}

// An interrupt handled on one thread while another makes a temporary waits
// until the file exists, then removes it; once it has begun, nothing more
// is made. Each in its own folder: two folders hold temporaries of one name;
// forgetting a name held nowhere leaves every other held.
TEST(AroundTheRun, AnInterruptWaitsForATemporaryBeingMade) {
  auto slots = std::make_unique<InterruptSlots<char, 64, 4>>();
  ASSERT_TRUE(slots->begin_creating());
  ASSERT_TRUE(slots->hold(3, ".t.tmp"));
  ASSERT_TRUE(slots->hold(4, ".t.tmp"));
  ASSERT_TRUE(slots->hold(5, ".u.tmp"));
  slots->forget(4, ".t.tmp");
  slots->forget(5, ".t.tmp");
  std::atomic<bool> created = false;
  std::vector<std::pair<int, bool>> removed;  // folder, and whether it was created by then
  std::thread handler([&] {
    slots->remove_all(
        [&](int folder, const char*) { removed.emplace_back(folder, created.load()); });
  });
  while (!slots->ending()) {
  }
  EXPECT_FALSE(slots->begin_creating());
  created = true;
  slots->end_creating();
  handler.join();
  EXPECT_EQ(removed, (std::vector<std::pair<int, bool>>{{3, true}, {5, true}}));
}

// What the hooks below act on: the manifest of the run under test.
fs::path race_manifest;
bool second_run_written = true;

struct RaceCase {
  const char* name;
  RunHook during;                          // between the finished write and the replace
  std::string contents;                    // the manifest afterwards
  std::string err;                         // after the manifest's path
  bool refreshed;                          // status 0: written, every digest taken
  bool posix_only = false;                 // Windows renames nothing over a file that is open
  RunHook after_read = nullptr;            // between the read and the look at the output
  unsigned mode = 0;                       // the permission bits afterwards, where not 0
  FileReadHook after_file_read = nullptr;  // between a file's last read and its check
  bool other_output = false;               // written to o.txt with -o; `contents` are its
};

const std::string OTHER_OUTPUT = "other={\n}\n";

void grow_file(const char* path) {
  test::write_file(path, "abc and more");
}

void save_as_new_file(const std::string& text) {
  test::write_file(race_manifest.string() + ".new", text);
  fs::rename(race_manifest.string() + ".new", race_manifest);
}

// `text` in place, the modification time as it was: an edit within a
// timestamp's granularity (1 s on ext3, 2 s on FAT).
void edit_in_the_same_tick(const std::string& text) {
  const auto modified = fs::last_write_time(race_manifest);
  test::write_file(race_manifest, text);
  fs::last_write_time(race_manifest, modified);
}

TEST(AroundTheRun, AnEditOrASecondRunMeanwhileIsNeverLost) {
  // clang-format off
  const RaceCase cases[] = {
      {"nothing meanwhile", [] {}, REFRESHED, "", true},
      {"an edit in place", [] { test::write_file(race_manifest, MANIFEST + "b={\n}\n"); }, MANIFEST + "b={\n}\n", "m.txt changed while the files were digested; not replaced\n", false},
      {"a new file saved over it", [] { save_as_new_file("edited={\n}\n"); },
       "edited={\n}\n", "m.txt changed while the files were digested; not replaced\n", false, true},
      {"a new file saved over it before the output is looked at", [] {}, "edited={\n}\n",
       "m.txt changed while the files were digested; not replaced\n", false, true, [] { save_as_new_file("edited={\n}\n"); }},
      {"the same text saved again: nothing to lose", [] { save_as_new_file(MANIFEST); }, REFRESHED, "", true, true},
      {"an edit of the same size in the same tick", [] { edit_in_the_same_tick("b={\nfile_path=a.bin\n}\n"); },
       "b={\nfile_path=a.bin\n}\n", "m.txt changed while the files were digested; not replaced\n", false},
      {"a touch: the same text, a new time", [] {
         fs::last_write_time(race_manifest, fs::last_write_time(race_manifest) + std::chrono::seconds(5));
       }, REFRESHED, "", true},
      {"a file that grows while it is read keeps the digest it had", [] {}, "a={\n        file_path=a.bin\n}\n\n",
       "a.bin changed while it was read\nmd5refresh: 1 of 1 files not digested; their recorded digests were kept\n",
       false, true, nullptr, 0, grow_file},
      {"a chmod meanwhile is kept", [] { fs::permissions(race_manifest, fs::perms::owner_read | fs::perms::owner_write); },
       REFRESHED, "", true, true, nullptr, 0600},
      {"an -o output edited between the probe and the replace", [] {
         test::write_file(race_manifest.parent_path() / "o.txt", "edited meanwhile={\n}\n");
       }, "edited meanwhile={\n}\n", "o.txt changed while the files were digested; not replaced\n", false, false,
       nullptr, 0, nullptr, true},
      {"an -o output as it was found", [] {}, REFRESHED, "", true, false, nullptr, 0, nullptr, true},
      {"a second run", [] {
         second_run_written = refresh_manifest(race_manifest.string().c_str(), race_manifest.string().c_str(), {}, false) == 0;
       }, REFRESHED, "m.txt is being refreshed by another run; not replaced\n", true},
  };
  // clang-format on
  for (const RaceCase& c : cases) {
    if (c.posix_only && !test::POSIX_HOST) continue;
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    race_manifest = dir / "m.txt";
    test::write_file(race_manifest, MANIFEST);
    test::write_file(dir / "a.bin", "abc");
    const fs::path output = c.other_output ? dir / "o.txt" : race_manifest;
    if (c.other_output) test::write_file(output, OTHER_OUTPUT);
    second_run_written = true;
    if (test::POSIX_HOST) fs::permissions(race_manifest, fs::perms(0644));
    seams::before_replace_hook = c.during;
    seams::after_read_hook = c.after_read;
    seams::after_file_read_hook = c.after_file_read;
    const std::string path = race_manifest.string(), output_path = output.string();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool written =
        refresh_manifest(path.c_str(), output_path.c_str(), {}, c.other_output) == 0;
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    seams::before_replace_hook = nullptr;
    seams::after_read_hook = nullptr;
    seams::after_file_read_hook = nullptr;
    EXPECT_EQ(written, c.refreshed);
    if (c.mode != 0) {
      EXPECT_EQ(static_cast<unsigned>(fs::status(race_manifest).permissions()), c.mode);
    }
    EXPECT_EQ(err, c.err.empty() ? "" : "md5refresh: " + test::joined(dir.path().string(), c.err));
    EXPECT_EQ(test::read_file(output), c.contents);
    if (c.other_output) {
      EXPECT_EQ(test::read_file(race_manifest), MANIFEST);
    }
    std::set<std::string> names{"m.txt", "a.bin"};
    if (c.other_output) names.insert("o.txt");
    EXPECT_EQ(listing(dir.path()), names);
    EXPECT_EQ(second_run_written, std::string_view(c.name) != "a second run");
  }
}

// A replace that fails never loses both manifests: with the old one still
// there (or put back) the temporary goes; with the old one gone the temporary,
// the only copy of the new text, stays and is named. Where Windows's replace
// fails but a rename can stand in, the new manifest is in place and the loss of
// the old one's permissions is told.
TEST(AroundTheRun, AFailedReplaceLeavesOneWholeManifest) {
  enum class After { old_kept, new_kept_aside, new_in_place, old_kept_beside };
  struct FaultCase {
    const char* name;
    ReplaceFault fault;
    After after;
    std::string before_path, after_path;  // the message, around the manifest's path
    const char* windows_reason;           // what ReplaceFileW's code means; elsewhere EIO's words
    bool windows_only = false;
  };
  const std::string write = "cannot write ", failed = ": %R";
  const char* aside = "the old file could not be moved aside";
  const char* not_in = "the new file could not take the old one's name";
  // clang-format off
  const FaultCase cases[] = {
      {"nothing moved", ReplaceFault::fails, After::old_kept, write, failed + "\n", aside},
      {"the old manifest gone", ReplaceFault::loses_the_original, After::new_kept_aside, write, failed + "; the new manifest is kept in ", not_in},
      {"the old manifest moved aside, then put back", ReplaceFault::moves_the_original_aside, After::old_kept, write, failed + "; the old manifest was put back\n", not_in, true},
      {"a rename in place of the replace", ReplaceFault::falls_back_to_a_rename, After::new_in_place, "", " is replaced by a rename, without the old file's permissions" + failed + "\n", aside, true},
      {"permissions that cannot be carried over", ReplaceFault::cannot_merge, After::new_in_place, "", " is replaced without the old file's permissions or attributes: Permission denied\n", "", true},
      {"a replace whose name then finds no file", ReplaceFault::lands_elsewhere, After::old_kept_beside, write, failed + "\n", "the new file is not in place; the old one is kept beside it", true},
  };
  // clang-format on
  for (const FaultCase& c : cases) {
    if (c.windows_only && test::POSIX_HOST) continue;
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string path = (dir / "m.txt").string();
    test::write_file(path, MANIFEST);
    test::write_file(dir / "a.bin", "abc");
    seams::replace_fault = c.fault;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(refresh_manifest(path.c_str(), path.c_str(), {}, false) == 0,
              c.after == After::new_in_place);
    (void)testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    seams::replace_fault = ReplaceFault::none;
    std::string after_path = c.after_path;
    if (const std::size_t at = after_path.find("%R"); at != std::string::npos)
      after_path.replace(at, 2, test::POSIX_HOST ? "Input/output error" : c.windows_reason);
    const std::string said = "md5refresh: " + c.before_path + path + after_path;
    const std::set<std::string> names = listing(dir.path());
    if (c.after == After::old_kept_beside) {
      EXPECT_EQ(err, said);
      EXPECT_EQ(test::read_file(path), REFRESHED);
      ASSERT_EQ(names.size(), 3u);
      const std::string kept = *names.begin();  // ".m.txt.PID-0.old" sorts first
      EXPECT_TRUE(kept.starts_with(".m.txt.") && kept.ends_with(".old")) << kept;
      EXPECT_EQ(test::read_file(dir / kept), MANIFEST);
      continue;
    }
    if (c.after != After::new_kept_aside) {
      EXPECT_EQ(err, said);
      EXPECT_EQ(test::read_file(path), c.after == After::old_kept ? MANIFEST : REFRESHED);
      EXPECT_EQ(names, (std::set<std::string>{"m.txt", "a.bin"}));
      continue;
    }
    ASSERT_EQ(names.size(), 2u);
    const std::string kept = *names.begin();  // ".m.txt.PID-0.tmp" sorts first
    EXPECT_TRUE(kept.starts_with(".m.txt.") && kept.ends_with(".tmp")) << kept;
    EXPECT_EQ(err, said + test::joined(dir.path().string(), kept) + "\n");
    EXPECT_EQ(test::read_file(dir / kept), REFRESHED);
  }
}

// What the folder of the run below holds besides its files, each time a
// temporary comes to be.
fs::path watched_folder;
std::vector<std::set<std::string>> temporaries_seen;

void note_temporaries(TemporaryStep step) {
  if (step != TemporaryStep::created) return;
  std::set<std::string> names = listing(watched_folder);
  names.erase("m.txt");
  names.erase("a.bin");
  temporaries_seen.push_back(std::move(names));
}

// A name a temporary would take, held by a folder, or refused (as Windows
// refuses a name it keeps for a file being deleted), gives way to the next;
// so does a temporary whose old file's name (Windows: the replace's backup) is
// taken. The probe's file never takes an output's name. Three names refused
// end the run with the reason.
TEST(AroundTheRun, ANameTakenOrRefusedGivesWayToTheNext) {
  struct TakenCase {
    const char* name;
    std::vector<std::string> taken;  // "#" stands for the process's id
    int refused = 0;                 // the first temporaries' creates refused
  };
  // clang-format off
  const TakenCase cases[] = {
      {"the first temporary's name", {".m.txt.#-0.tmp"}},
      {"the name of the first temporary's old file", {".m.txt.#-0.old"}},
      {"the probe's first name", {".m.txt.#-0.probe"}},
      {"the temporary's and the probe's", {".m.txt.#-0.tmp", ".m.txt.#-0.probe", ".m.txt.#-1.probe"}},
      {"many names", {".m.txt.#-0.tmp", ".m.txt.#-1.tmp", ".m.txt.#-2.tmp", ".m.txt.#-3.tmp"}},
      {"two names refused", {}, 2},
      {"three names refused", {}, 3},
  };
  // clang-format on
#if defined(_WIN32)
  const std::string pid = std::to_string(_getpid());
#else
  const std::string pid = std::to_string(::getpid());
#endif
  for (const TakenCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string path = (dir / "m.txt").string();
    test::write_file(path, MANIFEST);
    test::write_file(dir / "a.bin", "abc");
    std::set<std::string> names{"m.txt", "a.bin"};
    for (std::string taken : c.taken) {
      taken.replace(taken.find('#'), 1, pid);
      fs::create_directory(dir / taken);
      test::write_file(dir / taken / "kept", "kept");
      names.insert(taken);
    }
    seams::creates_to_refuse = c.refused;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = refresh_manifest(path.c_str(), path.c_str(), {}, false);
    (void)testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    seams::creates_to_refuse = 0;
    const bool refused = c.refused == 3;
    EXPECT_EQ(status, refused ? 1 : 0);
    // Where the system tells without a file that one can be made, the
    // output's own temporary is the first made.
    const std::string refusal = test::POSIX_HOST
                                    ? "md5refresh: cannot write " + path + ": Permission denied\n"
                                    : "md5refresh: cannot create a temporary file in " +
                                          dir.path().string() + ": Permission denied\n";
    EXPECT_EQ(err, refused ? refusal : "");
    EXPECT_EQ(test::read_file(path), refused ? MANIFEST : REFRESHED);
    EXPECT_EQ(listing(dir.path()), names);
  }
  test::TempDir dir;
  test::write_file(dir / "m.txt", MANIFEST);
  test::write_file(dir / "a.bin", "abc");
  watched_folder = dir.path();
  temporaries_seen.clear();
  seams::temporary_hook = note_temporaries;
  testing::internal::CaptureStdout();
  const std::string path = (dir / "m.txt").string();
  EXPECT_EQ(refresh_manifest(path.c_str(), path.c_str(), {}, false), 0);
  (void)testing::internal::GetCapturedStdout();
  seams::temporary_hook = nullptr;
  const std::string prefix = ".m.txt." + pid + "-0";
  EXPECT_EQ(temporaries_seen,
            test::POSIX_HOST
                ? (std::vector<std::set<std::string>>{{prefix + ".tmp"}})
                : (std::vector<std::set<std::string>>{{prefix + ".probe"}, {prefix + ".tmp"}}));
}

#if !defined(_WIN32)
// Standard output sent to a file is known as that file in every run, however
// often the process sends it elsewhere between runs: an output that names it
// is written through it, after the report line, never replaced.
TEST(AroundTheRun, StandardOutputIsKnownAnewInEveryRun) {
  const test::TempDir dir;
  test::write_file(dir / "m.txt", MANIFEST);
  test::write_file(dir / "a.bin", "abc");
  const std::string manifest = (dir / "m.txt").string();
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  ASSERT_GE(saved, 0);
  for (const char* name : {"first.txt", "second.txt"}) {
    SCOPED_TRACE(name);
    const std::string output = (dir / name).string();
    const int file = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(file, 0);
    ::dup2(file, STDOUT_FILENO);
    ::close(file);
    const int status = refresh_manifest(manifest.c_str(), output.c_str(), {}, true);
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    EXPECT_EQ(status, 0);
    const std::string text = test::read_file(output);
    EXPECT_TRUE(text.starts_with(std::string(ABC_MD5) + "\t")) << text;
    EXPECT_TRUE(text.ends_with(REFRESHED)) << text;
  }
  ::close(saved);
}

struct SignalCase {
  const char* name;
  int signal_number;
  std::vector<std::string> folders;  // each with m.txt (or update.txt, for -r) and a.bin
  std::vector<std::string> arguments;
  const char* manifest = "m.txt";
  const char* at = "replace";  // or as the temporary is "held", or once "created"
  int nth = 1;                 // the time that step is reached
  bool moved = false;          // "rel" renamed "moved" first
};

// Every file beneath `directory` whose name says it is a temporary.
std::vector<std::string> temporaries_beneath(const fs::path& directory) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    if (entry.path().extension() == ".tmp") found.push_back(entry.path().string());
  }
  return found;
}

// The signal is sent to the process as each output's temporary comes to be
// (no probe makes one here) or once the outputs are written: whatever
// thread takes it, after a move of the tree too, every temporary goes, and
// each manifest is whole, old or new.
TEST(AroundTheRun, ASignalDuringTheWriteLeavesNoTemporary) {
  const std::vector<std::string> here{"."}, tree{"rel/a", "rel/b", "rel/c"};
  // clang-format off
  const SignalCase cases[] = {
      {"interrupt", SIGINT, here, {"m.txt"}},
      {"termination", SIGTERM, here, {"m.txt"}},
      {"hang-up", SIGHUP, here, {"m.txt"}},
      {"as the output's temporary is held", SIGINT, here, {"m.txt"}, "m.txt", "held"},
      {"once the output's temporary is created", SIGINT, here, {"m.txt"}, "m.txt", "created"},
      {"termination of a tree", SIGTERM, tree, {"-r", "rel"}, "update.txt"},
      {"a tree, the batch's first output held", SIGTERM, tree, {"-r", "rel"}, "update.txt", "held"},
      {"a tree, the batch's second output created", SIGTERM, tree, {"-r", "rel"}, "update.txt", "created", 2},
      {"a tree, the batch's last output held", SIGINT, tree, {"-r", "rel"}, "update.txt", "held", 3},
      {"a tree moved, the batch written", SIGTERM, tree, {"-r", "rel"}, "update.txt", "replace", 1, true},
      {"a tree moved, an output created", SIGHUP, tree, {"-r", "rel"}, "update.txt", "created", 2, true},
  };
  // clang-format on
  for (const SignalCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    for (const std::string& folder : c.folders) {
      fs::create_directories(dir / folder);
      test::write_file(dir / folder / c.manifest, MANIFEST);
      test::write_file(dir / folder / "a.bin", "abc");
    }
    const std::string hooks = "MD5REFRESH_TEST_SIGNAL=" + std::to_string(c.signal_number) +
                              " MD5REFRESH_TEST_AT=" + c.at +
                              " MD5REFRESH_TEST_NTH=" + std::to_string(c.nth) +
                              (c.moved ? " MD5REFRESH_TEST_MOVE=rel:moved " : " ");
    const test::ToolRun run =
        test::run_tool(dir.path(), c.arguments, hooks, MD5REFRESH_HOOKED_BINARY);
    EXPECT_EQ(run.status, 128 + c.signal_number) << "ended as the signal would end it";
    EXPECT_EQ(temporaries_beneath(dir.path()), std::vector<std::string>{});
    for (std::string folder : c.folders) {
      if (c.moved) folder.replace(0, 3, "moved");
      const std::string manifest = test::read_file(dir / folder / c.manifest);
      EXPECT_TRUE(manifest == MANIFEST || manifest == REFRESHED) << manifest;
      EXPECT_EQ(listing(dir / folder), (std::set<std::string>{c.manifest, "a.bin"}));
    }
  }
}

// The tool started in `directory` with standard output on the pipe `ends`
// (its end for reading closed in the child, its end for writing here) and
// standard error into `err`; `hold`, when given, is MD5REFRESH_TEST_HOLD.
pid_t start_tool(const char* binary, const fs::path& directory,
                 const std::vector<std::string>& arguments, const int (&ends)[2],
                 const fs::path& err, const std::string& hold = "") {
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(ends[0]);
    ::dup2(ends[1], STDOUT_FILENO);
    const int err_file = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(err_file, STDERR_FILENO);
    if (::chdir(directory.c_str()) != 0) ::_exit(126);
    if (!hold.empty()) ::setenv("MD5REFRESH_TEST_HOLD", hold.c_str(), 1);
    std::vector<char*> argv{const_cast<char*>(binary)};
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execv(binary, argv.data());
    ::_exit(127);
  }
  ::close(ends[1]);
  return child;
}

struct PipeCase {
  const char* name;
  std::vector<std::string> arguments;
  std::string manifest;  // before the run
  int status;
  std::string afterwards;
};

// Standard output is a pipe whose reader is gone before the tool starts.
TEST(AroundTheRun, AClosedPipeIsAFailedWriteNotADeath) {
  const std::string lost = "md5refresh: cannot write standard output: Broken pipe\n";
  // clang-format off
  const PipeCase cases[] = {
      {"refresh", {"m.txt"}, MANIFEST, 1, REFRESHED},
      {"check", {"m.txt", "-c"}, REFRESHED, 2, REFRESHED},
  };
  // clang-format on
  for (const PipeCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    test::write_file(dir / "m.txt", c.manifest);
    test::write_file(dir / "a.bin", "abc");
    const fs::path err = dir.path().string() + ".stderr";
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[0]);
    const pid_t child = start_tool(MD5REFRESH_BINARY, dir.path(), c.arguments, ends, err);
    ASSERT_GE(child, 0);
    int raw = 0;
    ASSERT_EQ(::waitpid(child, &raw, 0), child);
    ASSERT_TRUE(WIFEXITED(raw)) << "ended by signal " << WTERMSIG(raw);
    EXPECT_EQ(WEXITSTATUS(raw), c.status);
    EXPECT_EQ(test::read_file(err), lost);
    fs::remove(err);
    EXPECT_EQ(test::read_file(dir / "m.txt"), c.afterwards);
  }
}

// The lock that keeps a second run from replacing the manifest holds until the
// new manifest is in place, not only until the write.
std::string locked_manifest;
int lock_tried = 0;

TEST(AroundTheRun, TheManifestStaysLockedUntilItIsReplaced) {
  test::TempDir dir;
  test::write_file(dir / "m.txt", MANIFEST);
  test::write_file(dir / "a.bin", "abc");
  locked_manifest = (dir / "m.txt").string();
  lock_tried = 0;
  seams::before_rename_hook = [] {
    const int descriptor = ::open(locked_manifest.c_str(), O_RDONLY | O_CLOEXEC);
    lock_tried = ::flock(descriptor, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
    ::close(descriptor);
  };
  testing::internal::CaptureStdout();
  const int status = refresh_manifest(locked_manifest.c_str(), locked_manifest.c_str(), {}, false);
  (void)testing::internal::GetCapturedStdout();
  seams::before_rename_hook = nullptr;
  EXPECT_EQ(status, 0);
  EXPECT_EQ(lock_tried, EWOULDBLOCK);
  EXPECT_EQ(test::read_file(dir / "m.txt"), REFRESHED);
}

// A low soft limit on descriptors is raised toward the hard one before a tree
// sizes what it holds at once.
TEST(AroundTheRun, ALowDescriptorLimitIsRaised) {
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
  if (before.rlim_max != RLIM_INFINITY && before.rlim_max <= 40)
    GTEST_SKIP() << "hard limit too low";
  rlimit low = before;
  low.rlim_cur = 40;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  const std::size_t allowed = descriptors_allowed();
  rlimit now{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &now), 0);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &before), 0);
  EXPECT_GT(allowed, 40u);
  EXPECT_EQ(allowed, now.rlim_cur);
}

// A manifest named alone shows each file's line as soon as it and the files
// before it are done, on a pipe too: the second file is held once read until
// the test has the first line, then the reader goes, and the second line
// meets a broken pipe, which fails the run.
TEST(AroundTheRun, ASingleRunShowsEachLineWhenItsFileIsDone) {
  const std::string both = "a={\nfile_path=a.bin\n}\nb={\nfile_path=b.bin\n}\n";
  const std::string b_md5 = test::reference_md5(std::vector<std::uint8_t>(1 << 20, 'b'));
  const std::string both_refreshed =
      "a={\n        file_path=a.bin\n        md5=" + std::string(ABC_MD5) +
      "\n}\n\nb={\n        file_path=b.bin\n        md5=" + b_md5 + "\n}\n\n";
  // clang-format off
  const PipeCase cases[] = {
      {"refresh", {"m.txt"}, both, 1, both_refreshed},
      {"check", {"m.txt", "-c"}, both_refreshed, 2, both_refreshed},
  };
  // clang-format on
  for (const PipeCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    test::write_file(dir / "m.txt", c.manifest);
    test::write_file(dir / "a.bin", "abc");
    test::write_file(dir / "b.bin", std::string(1 << 20, 'b'));
    const fs::path err = dir.path().string() + ".stderr", fifo = dir.path().string() + ".go";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const pid_t child = start_tool(MD5REFRESH_HOOKED_BINARY, dir.path(), c.arguments, ends, err,
                                   "b.bin:" + fifo.string());
    ASSERT_GE(child, 0);
    // The first line, while the second file is held: a line kept back fails
    // here after the poll's limit, and the run is let go all the same.
    std::string first;
    pollfd readable{ends[0], POLLIN, 0};
    char byte = 0;
    while (::poll(&readable, 1, 10000) == 1 && ::read(ends[0], &byte, 1) == 1 && byte != '\n')
      first += byte;
    const std::string line =
        c.arguments.size() == 1 ? std::string(ABC_MD5) + "\ta.bin" : "a.bin: OK";
    EXPECT_EQ(first, line);
    ::close(ends[0]);
    const int release = ::open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(release, 0);
    EXPECT_EQ(::write(release, "x", 1), 1);
    ::close(release);
    int raw = 0;
    ASSERT_EQ(::waitpid(child, &raw, 0), child);
    ASSERT_TRUE(WIFEXITED(raw)) << "ended by signal " << WTERMSIG(raw);
    EXPECT_EQ(WEXITSTATUS(raw), c.status);
    EXPECT_EQ(test::read_file(err), "md5refresh: cannot write standard output: Broken pipe\n");
    EXPECT_EQ(test::read_file(dir / "m.txt"), c.afterwards);
    fs::remove(err);
    fs::remove(fifo);
  }
}

struct OutputCase {
  const char* name;
  std::string output;  // "socket" is made as one in the directory
  const char* shell_setup;
  int status;
  std::string err;
  std::string contents;  // of the output afterwards
};

// Where the output lies says nothing of what it is: a file under /dev is a
// file, and is replaced whole or not at all.
TEST(AroundTheRun, OutputsAreTakenForWhatTheyAre) {
  const std::string shm = "/dev/shm/md5refresh-test-" + std::to_string(::getpid()) + ".txt";
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm here";
  std::string large = "a={\nfile_path=a.bin\n";
  for (int i = 0; i < 8; ++i)
    large += "k" + std::to_string(i) + "=" + std::string(100, 'v') + "\n";
  large += "}\n";
  // clang-format off
  const OutputCase cases[] = {
      {"a file under /dev", shm, "", 0, "", REFRESHED},
      {"a file under /dev, the write failing", shm, "ulimit -f 1;", 1, "md5refresh: cannot write " + shm + ": File too large\n", "old"},
      {"a socket", "socket", "", 1, "md5refresh: cannot write socket: a block device or socket is not written\n", ""},
  };
  // clang-format on
  for (const OutputCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    test::write_file(dir / "m.txt", c.shell_setup[0] == '\0' ? MANIFEST : large);
    test::write_file(dir / "a.bin", "abc");
    int socket_descriptor = -1;
    if (c.output == "socket") {
      socket_descriptor = ::socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      const std::string path = (dir / "socket").string();
      ASSERT_LT(path.size(), sizeof address.sun_path);
      std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
      ASSERT_EQ(::bind(socket_descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address),
                0);
    } else {
      test::write_file(c.output, "old");
    }
    const test::ToolRun run = test::run_tool(dir.path(), {"m.txt", "-o", c.output}, c.shell_setup);
    if (socket_descriptor >= 0) ::close(socket_descriptor);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.out, c.output == "socket" ? "" : std::string(ABC_MD5) + "\ta.bin\n");
    if (c.output != "socket") {
      EXPECT_EQ(test::read_file(c.output), c.contents);
      EXPECT_TRUE(fs::is_regular_file(c.output));
      fs::remove(c.output);
      for (const auto& entry : fs::directory_iterator("/dev/shm"))
        EXPECT_EQ(entry.path().string().find("md5refresh-test-"), std::string::npos)
            << entry.path();
    }
  }
}

std::string attribute(const fs::path& path, const char* name) {
  std::string value(256, '\0');
  const ssize_t size = ::getxattr(path.c_str(), name, value.data(), value.size());
  return size < 0 ? "(none)" : value.substr(0, static_cast<std::size_t>(size));
}

// An access ACL as the kernel stores it: owner rw, user 65534 rw, group r,
// mask rw, others r.
std::string access_acl() {
  std::string acl;
  auto put = [&acl](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
      acl += static_cast<char>(value >> (8 * i) & 0xFF);
  };
  put(2, 4);
  for (const auto [tag, permissions, id] : {std::array<std::uint32_t, 3>{0x01, 6, 0xFFFFFFFF},
                                            {0x02, 6, 65534},
                                            {0x04, 4, 0xFFFFFFFF},
                                            {0x10, 6, 0xFFFFFFFF},
                                            {0x20, 4, 0xFFFFFFFF}}) {
    put(tag, 2);
    put(permissions, 2);
    put(id, 4);
  }
  return acl;
}

TEST(AroundTheRun, TheReplacedManifestKeepsWhatItHad) {
  test::TempDir dir;
  const fs::path manifest = dir / "m.txt";
  test::write_file(manifest, MANIFEST);
  test::write_file(dir / "a.bin", "abc");
  const std::string acl = access_acl();
  if (::setxattr(manifest.c_str(), "user.origin", "release", 7, 0) != 0 ||
      ::setxattr(manifest.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0) {
    GTEST_SKIP() << "no extended attributes or ACLs here: " << std::strerror(errno);
  }
  fs::create_hard_link(manifest, dir / "other-name.txt");
  const test::ToolRun run = test::run_tool(dir.path(), {"m.txt"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "md5refresh: m.txt has 2 names; the others keep the old contents\n");
  EXPECT_EQ(test::read_file(manifest), REFRESHED);
  EXPECT_EQ(test::read_file(dir / "other-name.txt"), MANIFEST);
  EXPECT_EQ(attribute(manifest, "user.origin"), "release");
  EXPECT_EQ(attribute(manifest, "system.posix_acl_access"), acl);
}

// Root makes a manifest that a user may write but not give away: its group,
// one of the user's, stays; its owner cannot, and a warning says so.
TEST(AroundTheRun, TheGroupStaysWhereTheOwnerCannot) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the manifest to another owner";
  test::TempDir dir;
  test::write_file(dir / "m.txt", MANIFEST);
  test::write_file(dir / "a.bin", "abc");
  ASSERT_EQ(::chown((dir / "m.txt").c_str(), 1234, 4321), 0);
  ASSERT_EQ(::chmod((dir / "m.txt").c_str(), 0666), 0);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  const test::ToolRun run =
      test::run_tool(dir.path(), {"m.txt"}, "setpriv --reuid=65534 --regid=65534 --groups=4321 ");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "md5refresh: cannot keep the owner of m.txt: Operation not permitted\n");
  struct stat status {};
  ASSERT_EQ(::stat((dir / "m.txt").c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, 65534u);
  EXPECT_EQ(status.st_gid, 4321u);
  EXPECT_EQ(status.st_mode & 07777, 0666u);
  EXPECT_EQ(test::read_file(dir / "m.txt"), REFRESHED);
}
#else
// Ctrl-C on Windows: the console's handler runs on a thread of its own and
// removes every temporary the run holds, a tree's full batch among them.
TEST(AroundTheRun, ACtrlCDuringTheWriteLeavesNoTemporary) {
  struct InterruptCase {
    const char* name;
    int folders;  // 0: m.txt named alone
  };
  const InterruptCase cases[] = {{"one manifest", 0},
                                 {"a tree's full batch", static_cast<int>(TreeLimits{}.batch) + 2}};
  ASSERT_TRUE(SetEnvironmentVariableW(L"MD5REFRESH_TEST_SIGNAL", L"2"));
  for (const InterruptCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    std::vector<fs::path> folders{dir.path()};
    if (c.folders > 0) folders.clear();
    for (int i = 0; i < c.folders; ++i)
      folders.push_back(dir / ("rel/p" + std::to_string(100 + i)));
    const std::string manifest = c.folders == 0 ? "m.txt" : "update.txt";
    for (const fs::path& folder : folders) {
      fs::create_directories(folder);
      test::write_file(folder / manifest, MANIFEST);
      test::write_file(folder / "a.bin", "abc");
    }
    const std::vector<std::string> arguments =
        c.folders == 0 ? std::vector<std::string>{"m.txt"} : std::vector<std::string>{"-r", "rel"};
    const test::ToolRun run = test::run_tool(dir.path(), arguments, "", MD5REFRESH_HOOKED_BINARY);
    EXPECT_EQ(static_cast<DWORD>(run.status), static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
    for (const fs::path& folder : folders) {
      EXPECT_EQ(test::read_file(folder / manifest), MANIFEST);
      EXPECT_EQ(listing(folder), (std::set<std::string>{manifest, "a.bin"})) << folder;
    }
  }
  SetEnvironmentVariableW(L"MD5REFRESH_TEST_SIGNAL", nullptr);
}

// A file another process holds open without sharing it is named as such: the
// input, a file to digest, and a manifest whose replace is refused after the
// retries. A file to digest is also in use while another process may write it.
TEST(AroundTheRun, AFileHeldByAnotherProcessIsSaidToBeInUse) {
  struct HeldCase {
    const char* name;
    const char* held;
    DWORD shared;
    int status;
    std::string err;
    std::string afterwards;
    DWORD access = GENERIC_READ;
  };
  const std::string in_use = ": in use by another process\n";
  // clang-format off
  const HeldCase cases[] = {
      {"the manifest", "m.txt", 0, 1, "md5refresh: cannot open m.txt" + in_use, MANIFEST},
      {"a file to digest", "a.bin", 0, 1, "md5refresh: cannot open a.bin" + in_use + "md5refresh: 1 of 1 files not digested; their recorded digests were kept\n", "a={\n        file_path=a.bin\n}\n\n"},
      {"the manifest, shared for reading only", "m.txt", FILE_SHARE_READ, 1, "md5refresh: cannot write m.txt" + in_use, MANIFEST},
      {"a file to digest, open for writing", "a.bin", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 1, "md5refresh: cannot open a.bin" + in_use + "md5refresh: 1 of 1 files not digested; their recorded digests were kept\n", "a={\n        file_path=a.bin\n}\n\n", GENERIC_WRITE},
      {"the manifest, open for writing", "m.txt", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0, "", REFRESHED, GENERIC_WRITE},
  };
  // clang-format on
  for (const HeldCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    test::write_file(dir / "m.txt", MANIFEST);
    test::write_file(dir / "a.bin", "abc");
    HANDLE held = CreateFileW((dir / c.held).wstring().c_str(), c.access, c.shared, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const test::ToolRun run = test::run_tool(dir.path(), {"m.txt"});
    CloseHandle(held);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(test::read_file(dir / "m.txt"), c.afterwards);
    EXPECT_EQ(listing(dir.path()), (std::set<std::string>{"m.txt", "a.bin"}));
  }
}

// A pipe whose reader is gone: the C library says EINVAL, the tool "Broken
// pipe", even once the system's last error has been cleared since the write
// failed (as a refresh's later calls clear it): the C library keeps the cause.
TEST(AroundTheRun, AClosedPipeIsABrokenPipe) {
  {
    int ends[2];
    ASSERT_EQ(_pipe(ends, 4096, _O_BINARY), 0);
    _close(ends[0]);
    std::fflush(stdout);
    const int saved = _dup(_fileno(stdout));
    ASSERT_EQ(_dup2(ends[1], _fileno(stdout)), 0);
    _close(ends[1]);
    std::fputs("lost\n", stdout);
    (void)std::fflush(stdout);
    SetLastError(ERROR_SUCCESS);
    flush_output();
    std::clearerr(stdout);
    _dup2(saved, _fileno(stdout));
    _close(saved);
    EXPECT_EQ(output_error(), EPIPE);
  }
}
#endif

}  // namespace
