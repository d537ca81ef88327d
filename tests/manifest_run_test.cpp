// SPDX-License-Identifier: MIT
// One manifest's run in the test's own process: what each section's end
// stores, says and counts (a file that several sections name counted once),
// the stages a run may pass through, and the replace refused when the
// manifest no longer holds the text that was read.
#include "refresh/manifest_run.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "test_support.hpp"

using namespace md5refresh;

namespace {

using test::ABC_MD5;
// The SHA-256 of "abc" (FIPS 180-2, B.1).
constexpr const char* ABC_SHA256 =
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

template <typename Hex>
Hex hex_of(const char* digits) {
  Hex hex{};
  for (std::size_t i = 0; digits[i] != '\0' && i + 1 < hex.size(); ++i)
    hex[i] = digits[i];
  return hex;
}

FileOutcome read_whole(bool with_sha256 = false) {
  FileOutcome outcome{0, {DigestStatus::ok, 0}, true, {hex_of<HexDigest>(ABC_MD5), {}}};
  if (with_sha256) outcome.digests.sha256 = hex_of<Sha256Hex>(ABC_SHA256);
  return outcome;
}

FileOutcome not_opened() {
  return {ENOENT, {DigestStatus::open_error, ENOENT}, false, {}};
}

FileOutcome changed_while_read() {
  FileOutcome outcome = read_whole();
  outcome.unchanged = false;
  return outcome;
}

// The messages the run kept, without the tool's name, the line end and the
// test folder's path.
std::vector<std::string> messages_of(const Transcript& transcript, const test::TempDir& dir) {
  const std::string prefix = "md5refresh: ", folder = (dir / "").string();
  std::vector<std::string> messages;
  for (auto [message, text] : transcript.kept) {
    if (!message) continue;
    if (text.starts_with(prefix)) text.erase(0, prefix.size());
    if (text.ends_with('\n')) text.pop_back();
    for (std::size_t at; (at = text.find(folder)) != std::string::npos;)
      text.erase(at, folder.size());
    messages.push_back(text);
  }
  return messages;
}

// A refresh of `m.txt` prepared in `dir`, held, with `excludes`.
struct PreparedRun {
  ExcludeList excludes{};
  RunSettings settings;
  ManifestRun run;
  PreparedRun(const test::TempDir& dir, const std::string& manifest, const char* excluded,
              bool add_sha256, bool dry_run = false)
      : settings{RunKind::refresh, excludes, CheckOutput::every_line, false, false,
                 add_sha256,       dry_run} {
    if (excluded != nullptr) excludes = {{excluded}, 1};
    test::write_file(dir / "m.txt", manifest);
    run.input_path = run.output_path = (dir / "m.txt").string();
    run.transcript.held = true;
    prepare_manifest(run, settings);
  }
};

void commit_alone(ManifestRun& run) {
  ManifestRun* runs[] = {&run};
  commit_outputs(runs, false);
}

std::string section(const std::string& name, const std::string& entries) {
  return name + "={\n" + entries + "}\n";
}

struct SectionEndCase {
  const char* name;
  std::string manifest;
  std::vector<FileOutcome> outcomes;  // one per section
  std::string written;
  int files_named;
  int files_not_digested;
  bool complete;
  std::vector<std::string> said;
  const char* excluded = nullptr;
  bool add_sha256 = false;
};

TEST(ManifestRun, EachSectionsEndStoresSaysAndCountsItsFile) {
  const std::string abc = ABC_MD5, sha = ABC_SHA256, pad = "        ";
  std::string eight_more, nine_more;  // keys that fill a section to its ten entries
  for (int k = 0; k < 9; ++k) {
    (k < 8 ? eight_more : nine_more) += "k" + std::to_string(k) + "=v\n";
    if (k < 8) nine_more += "k" + std::to_string(k) + "=v\n";
  }
  auto laid_out = [&](const std::string& text) {  // each entry indented, as the writer does
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t end = text.find('\n', start);
      out += pad + text.substr(start, end - start + 1);
      start = end + 1;
    }
    return out;
  };
  const std::string not_kept = "1 of 1 files not digested; their recorded digests were kept";
  // clang-format off
  const SectionEndCase cases[] = {
      {"both digests stored where recorded",
       section("a", "file_path=a.bin\nmd5=0\nsha256=0\n"), {read_whole(true)},
       section("a", pad + "file_path=a.bin\n" + pad + "md5=" + abc + "\n" + pad + "sha256=" + sha + "\n") + "\n",
       1, 0, true, {}},
      {"two sections, one file: counted once",
       section("a", "file_path=a.bin\n") + section("b", "file_path=/x/a.bin\n"), {read_whole(), read_whole()},
       section("a", pad + "file_path=a.bin\n" + pad + "md5=" + abc + "\n") + "\n" +
           section("b", pad + "file_path=/x/a.bin\n" + pad + "md5=" + abc + "\n") + "\n",
       1, 0, true, {"sections \"a\" and \"b\" both lead to a.bin"}},
      {"not opened for two sections: the old digests kept, the file counted once",
       section("a", "file_path=a.bin\nmd5=old\n") + section("b", "file_path=a.bin\nmd5=old\n"), {not_opened(), not_opened()},
       section("a", pad + "file_path=a.bin\n" + pad + "md5=old\n") + "\n" + section("b", pad + "file_path=a.bin\n" + pad + "md5=old\n") + "\n",
       1, 1, false, {"sections \"a\" and \"b\" both lead to a.bin", "cannot open a.bin: No such file or directory",
                     "cannot open a.bin: No such file or directory", not_kept}},
      {"changed while read: not stored",
       section("a", "file_path=a.bin\nmd5=old\n"), {changed_while_read()},
       section("a", pad + "file_path=a.bin\n" + pad + "md5=old\n") + "\n",
       1, 1, false, {"a.bin changed while it was read", not_kept}},
      {"no md5 entry and no room for one",
       section("a", "file_path=a.bin\n" + nine_more), {read_whole()},
       section("a", pad + "file_path=a.bin\n" + laid_out(nine_more)) + "\n",
       1, 1, false, {"section \"a\" has no md5 entry and no room for one; digest of a.bin not stored", not_kept}},
      {"the MD5 stored, the SHA-256 asked for and no room for it",
       section("a", "file_path=a.bin\nmd5=0\n" + eight_more), {read_whole(true)},
       section("a", pad + "file_path=a.bin\n" + pad + "md5=" + abc + "\n" + laid_out(eight_more)) + "\n",
       1, 0, false, {"section \"a\" has no sha256 entry and no room for one; SHA-256 of a.bin not stored"}, nullptr, true},
      {"left out by -x: digested and reported, neither written nor counted",
       section("a", "file_path=x.bin\n") + section("b", "file_path=a.bin\n"), {not_opened(), read_whole()},
       section("b", pad + "file_path=a.bin\n" + pad + "md5=" + abc + "\n") + "\n",
       1, 0, true, {"cannot open x.bin: No such file or directory"}, "a"},
  };
  // clang-format on
  for (const SectionEndCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    PreparedRun prepared(dir, c.manifest, c.excluded, c.add_sha256);
    ManifestRun& run = prepared.run;
    ASSERT_EQ(run.stage, Stage::ready);
    for (const FileOutcome& outcome : c.outcomes)
      finish_section(run, outcome, prepared.settings);
    end_refresh_of(run, prepared.settings);
    commit_alone(run);
    EXPECT_EQ(run.stage, Stage::written);
    EXPECT_EQ(test::read_file(dir / "m.txt"), c.written);
    EXPECT_EQ(run.files_named, c.files_named);
    EXPECT_EQ(run.files_not_digested, c.files_not_digested);
    EXPECT_EQ(complete(run), c.complete);
    EXPECT_EQ(messages_of(run.transcript, dir), c.said);
  }
}

struct ChangedCase {
  const char* name;
  std::string manifest;
  std::function<void(const std::filesystem::path&)> change;
  Stage stage;
  const char* said_last = nullptr;  // the last message, from its start
  bool dry_run = false;
};

int temporaries_made = 0;
void count_temporaries(TemporaryStep step) {
  if (step == TemporaryStep::created) ++temporaries_made;
}

// Only the text read counts: a touch that keeps the bytes is no change, a
// rewrite of the same size within the clock's granularity is one. A manifest
// whose new text is the text read is left as it is, the same file with the
// same time, once found still to hold it; a dry run writes nothing. A
// temporary is made for a new text only, and where only a file tells
// whether one can be made (Windows), for the probe of a run that may write.
TEST(ManifestRun, ReplacesTheManifestOnlyWhileItHoldsTheTextRead) {
  const std::string stale = section("a", "file_path=a.bin\n"),
                    fresh = section("a", "        file_path=a.bin\n        md5=" +
                                             std::string(ABC_MD5) + "\n") +
                            "\n";
  const auto untouched = [](const std::filesystem::path&) {};
  const auto rewritten = [](const std::filesystem::path& m) {
    std::string text = test::read_file(m);
    text[0] = 'b';
    test::write_file(m, text);
  };
  const char* changed = "m.txt changed while the files were digested; not replaced";
  // clang-format off
  const ChangedCase cases[] = {
      {"untouched", stale, untouched, Stage::written},
      {"the same bytes written again", stale, [&](const std::filesystem::path& m) { test::write_file(m, stale); },
       Stage::written},
      {"rewritten, same size", stale, rewritten, Stage::not_written, changed},
      {"the new text is the text read", fresh, untouched, Stage::unchanged},
      {"the new text is the text read, rewritten meanwhile", fresh, rewritten, Stage::not_written, changed},
      {"a dry run, the new text differs", stale, untouched, Stage::would_write, "would write m.txt", true},
      {"a dry run, the new text is the text read", fresh, untouched, Stage::unchanged, nullptr, true},
      {"a dry run, rewritten meanwhile", fresh, rewritten, Stage::not_written, changed, true},
  };
  // clang-format on
  for (const ChangedCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    temporaries_made = 0;
    seams::temporary_hook = count_temporaries;
    PreparedRun prepared(dir, c.manifest, nullptr, false, c.dry_run);
    ManifestRun& run = prepared.run;
    ASSERT_EQ(run.stage, Stage::ready);
    c.change(dir / "m.txt");
    const std::string path = (dir / "m.txt").string(), before_commit = test::read_file(path);
    FileStamp before{}, after{};
    ASSERT_TRUE(stamp_of_path(path.c_str(), before));
    finish_section(run, read_whole(), prepared.settings);
    end_refresh_of(run, prepared.settings);
    if (!c.dry_run) commit_alone(run);
    seams::temporary_hook = nullptr;
    EXPECT_EQ(run.stage, c.stage);
    const bool new_text = c.manifest != fresh;
    EXPECT_EQ(temporaries_made,
              (new_text && !c.dry_run ? 1 : 0) + (!test::POSIX_HOST && !c.dry_run ? 1 : 0));
    const std::vector<std::string> said = messages_of(run.transcript, dir);
    EXPECT_EQ(said.empty() ? "" : said.back(), c.said_last != nullptr ? c.said_last : "");
    ASSERT_TRUE(stamp_of_path(path.c_str(), after));
    if (c.stage == Stage::written) {
      EXPECT_EQ(test::read_file(path), fresh);
      EXPECT_FALSE(same_file(after, before)) << "not replaced";
    } else {
      EXPECT_EQ(test::read_file(path), before_commit) << "an edit made meanwhile was lost";
      EXPECT_EQ(after, before) << "the manifest was touched";
    }
  }
}

#if !defined(_WIN32)
// A stage the list in manifest_run.hpp does not lead to ends the process: a
// run never writes a manifest it refused, nor writes one twice.
TEST(ManifestRunDeathTest, TakesOnlyTheChangesOfStageListed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const Stage listed[][2] = {{Stage::found, Stage::ready},     {Stage::found, Stage::said_only},
                             {Stage::ready, Stage::staged},    {Stage::ready, Stage::not_written},
                             {Stage::ready, Stage::unchanged}, {Stage::ready, Stage::would_write},
                             {Stage::staged, Stage::written}};
  for (const auto& [from, to] : listed) {
    ManifestRun run;
    run.stage = from;
    advance(run, to);
    EXPECT_EQ(run.stage, to);
  }
  const Stage unlisted[][2] = {{Stage::refused, Stage::staged},
                               {Stage::written, Stage::staged},
                               {Stage::unchanged, Stage::staged},
                               {Stage::would_write, Stage::written},
                               {Stage::found, Stage::written}};
  for (const auto& [from, to] : unlisted) {
    ManifestRun run;
    run.stage = from;
    EXPECT_DEATH(advance(run, to), "");
  }
}
#endif

}  // namespace
