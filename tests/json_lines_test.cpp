// SPDX-License-Identifier: MIT
// What a CI reads: every line "--json" prints, parsed by a JSON parser the
// tool does not use, and compared object by object, keys in order; the files
// "--unlisted" finds beside a manifest; the writer's escaping of any bytes.
#if defined(_WIN32)
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "refresh/json_lines.hpp"
#include "test_support.hpp"

namespace fs = std::filesystem;

namespace {

// Keys compared in their order too.
using Json = nlohmann::ordered_json;
using test::ABC_MD5;
using Files = std::map<std::string, std::string>;  // "/"-separated names

constexpr const char* ABC_SHA256 =
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string ZEROS_32(32, '0'), ZEROS_64(64, '0');

// A path below the run's folder as the tool prints it on this host.
std::string shown(const std::vector<std::string>& parts) {
  std::string path = parts.front();
  for (std::size_t i = 1; i < parts.size(); ++i)
    path = test::joined(path, parts[i]);
  return path;
}

// The object of a section's file, its keys in the order the tool writes them.
struct FileObject {
  std::string manifest;
  std::optional<std::string> section, file, md5, sha256;
  std::string status;
  std::vector<std::string> changed = {};
  std::optional<std::string> reason = {};
};

Json object_of(const FileObject& expected) {
  Json object = {{"manifest", expected.manifest}};
  if (expected.section) object["section"] = *expected.section;
  if (expected.file) object["file"] = *expected.file;
  if (expected.md5) object["md5"] = *expected.md5;
  if (expected.sha256) object["sha256"] = *expected.sha256;
  object["status"] = expected.status;
  if (!expected.changed.empty()) object["changed"] = expected.changed;
  if (expected.reason) object["reason"] = *expected.reason;
  return object;
}

Json with(Json object, const char* key, Json value) {
  object[key] = std::move(value);
  return object;
}

Json outcome(const std::string& manifest, const char* what) {
  return {{"manifest", manifest}, {"outcome", what}};
}

Json refresh_summary(const char* run, int manifests, int files, int not_digested,
                     std::array<int, 5> outcomes, int status) {
  return {{"run", run},
          {"manifests", manifests},
          {"files", files},
          {"files_not_digested", not_digested},
          {"written", outcomes[0]},
          {"would_write", outcomes[1]},
          {"unchanged", outcomes[2]},
          {"incomplete", outcomes[3]},
          {"refused", outcomes[4]},
          {"exit_status", status}};
}

// Manifests OK, not OK, not checked; sections by verdict; changes of one kind
// alone; files no section names.
Json check_summary(int manifests, int files, std::array<int, 3> statuses,
                   std::array<int, 7> verdicts, std::array<int, 3> others, int status) {
  const Json sections = {{"OK", verdicts[0]},
                         {"CHANGED", verdicts[1]},
                         {"MISSING", verdicts[2]},
                         {"no file named", verdicts[3]},
                         {"no digest recorded", verdicts[4]},
                         {"recorded digest is not 32 hex digits", verdicts[5]},
                         {"recorded sha256 is not 64 hex digits", verdicts[6]}};
  return {{"run", "check"},
          {"manifests", manifests},
          {"files", files},
          {"manifests_ok", statuses[0]},
          {"manifests_not_ok", statuses[1]},
          {"manifests_not_checked", statuses[2]},
          {"sections", sections},
          {"md5_only_changed", others[0]},
          {"sha256_only_changed", others[1]},
          {"unlisted", others[2]},
          {"exit_status", status}};
}

std::string section(const std::string& name, const std::string& body) {
  return name + "={\n" + body + "}\n";
}

struct JsonCase {
  const char* name;
  Files files;
  std::vector<std::string> arguments;
  int status;
  std::vector<Json> objects;
  bool posix_only = false;       // names only POSIX hosts can make, or links
  bool refreshed_first = false;  // the same run without "--json" before
};

// Runs the tool as an unprivileged user where the tests run as root, whom no
// permission bit stops.
constexpr const char* AS_UNPRIVILEGED =
    "as_user() { if [ \"$(id -u)\" = 0 ]; then setpriv --reuid=65534 --regid=65534 "
    "--clear-groups \"$@\"; else \"$@\"; fi; }; as_user";

std::vector<JsonCase> json_cases() {
  const std::string m = shown({"pkg", "update.txt"});
  const auto in_pkg = [](const char* name) { return shown({"pkg", name}); };
  const std::string abc = ABC_MD5;
  const Files kinds = {
      {"pkg/update.txt",
       section("ok", "file_path=a.bin\nmd5=" + abc + "\n") +
           section("md5", "file_path=b.bin\nmd5=" + ZEROS_32 + "\nsha256=" + ABC_SHA256 + "\n") +
           section("sha", "file_path=c.bin\nmd5=" + abc + "\nsha256=" + ZEROS_64 + "\n") +
           section("twice", "file_path=d.bin\nmd5=" + abc + "\nmd5=" + ZEROS_32 + "\n") +
           section("both", "file_path=e.bin\nmd5=" + ZEROS_32 + "\nsha256=" + ZEROS_64 + "\n") +
           section("gone", "file_path=none.bin\nmd5=" + ZEROS_32 + "\n") +
           section("nofile", "md5=1\n")},
      {"pkg/a.bin", "abc"},
      {"pkg/b.bin", "abc"},
      {"pkg/c.bin", "abc"},
      {"pkg/d.bin", "abc"},
      {"pkg/e.bin", "abc"}};
  const std::string missing = "cannot open " + in_pkg("none.bin") + ": No such file or directory";
  // clang-format off
  const std::vector<Json> checked = {
      object_of({m, "ok", in_pkg("a.bin"), abc, {}, "OK"}),
      object_of({m, "md5", in_pkg("b.bin"), abc, ABC_SHA256, "CHANGED", {"md5"}}),
      object_of({m, "sha", in_pkg("c.bin"), abc, ABC_SHA256, "CHANGED", {"sha256"}}),
      object_of({m, "twice", in_pkg("d.bin"), abc, {}, "CHANGED", {"md5"}}),
      object_of({m, "both", in_pkg("e.bin"), abc, ABC_SHA256, "CHANGED", {"md5", "sha256"}}),
      object_of({m, "gone", in_pkg("none.bin"), {}, {}, "MISSING", {}, missing}),
      object_of({m, "nofile", {}, {}, {}, "no file named"}),
  };
  // clang-format on
  const Files fresh = {{"pkg/update.txt", section("tool", "file_path=a.bin\n") +
                                              section("gone", "file_path=none.bin\nmd5=1\n")},
                       {"pkg/a.bin", "abc"}};
  const Json tool = object_of({m, "tool", in_pkg("a.bin"), abc, {}, "digested"});
  const Json gone = object_of({m, "gone", in_pkg("none.bin"), {}, {}, "not digested", {}, missing});
  const Files current = {{"pkg/update.txt", section("tool", "file_path=a.bin\n")},
                         {"pkg/a.bin", "abc"},
                         {"pkg/new.bin", "x"}};

  // Names no line may take as they are: a line feed, quotes, backslashes,
  // bytes that are not UTF-8 (shown as U+FFFD, and given as bytes).
  const std::string odd_folder = "we\"ird\\\n\xFF";
  const std::string odd_manifest = odd_folder + "/update.txt";
  const Files odd = {{odd_manifest, section("q\"b\\s", "file_path=\xFE.bin\nmd5=" + abc + "\n")},
                     {odd_folder + "/\xFE.bin", "abc"},
                     {odd_folder + "/n\"ew\\.bin", "x"}};
  const std::string odd_shown = "we\"ird\\\n\xEF\xBF\xBD";
  const std::string odd_hex = "7765226972645c0aff2f";
  const Json odd_manifest_name = {{"manifest", odd_shown + "/update.txt"},
                                  {"manifest_bytes", odd_hex + "7570646174652e747874"}};
  auto odd_object = [&](Json object) {
    Json named = odd_manifest_name;
    for (const auto& [key, value] : object.items())
      named[key] = value;
    return named;
  };
  const Json odd_digested = odd_object({{"section", "q\"b\\s"},
                                        {"file", odd_shown + "/\xEF\xBF\xBD.bin"},
                                        {"file_bytes", odd_hex + "fe2e62696e"},
                                        {"md5", abc},
                                        {"status", "OK"}});

  const Files tree = {{"rel/a/update.txt", section("x", "file_path=x.bin\nmd5=" + abc + "\n")},
                      {"rel/a/x.bin", "abc"},
                      {"rel/a/stray.bin", "x"},
                      {"rel/b/update.txt", section("y", "file_path=y.bin\nmd5=1\n")},
                      {"rel/b/y.bin", "abc"},
                      {"rel/c/target.txt", section("z", "file_path=z.bin\n")}};
  const std::string a = shown({"rel", "a", "update.txt"}), b = shown({"rel", "b", "update.txt"});
  const std::string c = shown({"rel", "c", "update.txt"});

  // clang-format off
  return {
      {"a check: which kinds changed, a missing file, a section with none", kinds, {"-c", "--json", m}, 1,
       {checked[0], checked[1], checked[2], checked[3], checked[4], checked[5], checked[6], outcome(m, "not OK"),
        check_summary(1, 5, {0, 1, 0}, {1, 4, 1, 1, 0, 0, 0}, {2, 1, 0}, 1)}},
      {"a refresh: digested and not, incomplete", fresh, {"--json", m}, 1,
       {tool, gone, outcome(m, "incomplete"), refresh_summary("refresh", 1, 1, 1, {0, 0, 0, 1, 0}, 1)}},
      {"a refresh written whole", current, {m, "--json"}, 0,
       {tool, outcome(m, "written"), refresh_summary("refresh", 1, 1, 0, {1, 0, 0, 0, 0}, 0)}},
      {"a refresh that changes nothing", current, {m, "--json"}, 0,
       {tool, outcome(m, "unchanged"), refresh_summary("refresh", 1, 1, 0, {0, 0, 1, 0, 0}, 0)}, false, true},
      {"a dry run", current, {"--json", "-n", m}, 0,
       {tool, outcome(m, "would write"), refresh_summary("dry run", 1, 1, 0, {0, 1, 0, 0, 0}, 0)}},
      {"a manifest refused, and why", {{"bad.txt", "a={\nk=v w\n}\n"}}, {"--json", "bad.txt"}, 1,
       {with(outcome("bad.txt", "refused"), "why", "bad.txt:2: text after the value would be lost (a value ends at its first blank)"),
        refresh_summary("refresh", 1, 0, 0, {0, 0, 0, 0, 1}, 1)}},
      {"a check that checked nothing, and why", {{"m.txt", "a={\nmd5=1\n}\n"}}, {"-c", "--json", "m.txt"}, 2,
       {object_of({"m.txt", "a", {}, {}, {}, "no file named"}),
        with(outcome("m.txt", "not checked"), "why", "m.txt: no section names a file to check"),
        check_summary(1, 0, {0, 0, 1}, {0, 0, 0, 1, 0, 0, 0}, {0, 0, 0}, 2)}},
      {"refused before any manifest is read: the last object still", current, {"--json", "-r", "pkg", m}, 1,
       {refresh_summary("refresh", 0, 0, 0, {0, 0, 0, 0, 0}, 1)}},
      {"a check of a tree: files unlisted, a manifest that is a link", tree, {"-c", "--unlisted", "--json", "-r", "rel"}, 2,
       {object_of({a, "x", shown({"rel", "a", "x.bin"}), abc, {}, "OK"}),
        object_of({a, {}, shown({"rel", "a", "stray.bin"}), {}, {}, "UNLISTED"}), outcome(a, "not OK"),
        object_of({b, "y", shown({"rel", "b", "y.bin"}), abc, {}, "recorded digest is not 32 hex digits"}),
        outcome(b, "not OK"), with(outcome(c, "not checked"), "why", c + " is a symbolic link; not followed"),
        check_summary(3, 2, {0, 2, 1}, {1, 0, 0, 0, 0, 1, 0}, {0, 0, 1}, 2)}, true},
      {"odd names, readable and as bytes", odd, {"-c", "--unlisted", "--json", odd_manifest}, 1,
       {odd_digested, odd_object({{"file", odd_shown + "/n\"ew\\.bin"}, {"file_bytes", odd_hex + "6e226577" "5c2e62696e"}, {"status", "UNLISTED"}}),
        odd_object({{"outcome", "not OK"}}), check_summary(1, 1, {0, 1, 0}, {1, 0, 0, 0, 0, 0, 0}, {0, 0, 1}, 1)}, true},
  };
  // clang-format on
}

TEST(JsonLines, EveryObjectParsesAndTellsWhatTheTextTells) {
  for (const JsonCase& c : json_cases()) {
    SCOPED_TRACE(c.name);
    if (c.posix_only && !test::POSIX_HOST) continue;
    test::TempDir dir;
    for (const auto& [name, bytes] : c.files) {
      fs::create_directories((dir / name).parent_path());
      test::write_file(dir / name, bytes);
    }
    if (c.files.contains("rel/c/target.txt")) {
      fs::create_symlink("target.txt", dir.path() / "rel" / "c" / "update.txt");
    }
    if (c.refreshed_first) {
      std::vector<std::string> text = c.arguments;
      std::erase(text, "--json");
      ASSERT_EQ(test::run_tool(dir.path(), text).status, 0);
    }
    const test::ToolRun run = test::run_tool(dir.path(), c.arguments);
    EXPECT_EQ(run.status, c.status) << run.err;
    std::vector<Json> objects;
    std::size_t start = 0;
    for (std::size_t end; (end = run.out.find('\n', start)) != std::string::npos; start = end + 1) {
      objects.push_back(Json::parse(run.out.substr(start, end - start), nullptr, false));
      EXPECT_FALSE(objects.back().is_discarded()) << run.out.substr(start, end - start);
    }
    EXPECT_EQ(start, run.out.size()) << "the last line ends with a line end";
    ASSERT_EQ(objects.size(), c.objects.size()) << run.out;
    for (std::size_t i = 0; i < objects.size(); ++i)
      EXPECT_EQ(objects[i], c.objects[i]) << "line " << i + 1;
    EXPECT_EQ(objects.back()["exit_status"], run.status);
  }
}

const std::string FFFD = "\xEF\xBF\xBD";

struct StringCase {
  const char* name;
  std::string bytes;
  std::string read;  // what a parser reads back
};

TEST(JsonLines, AnyBytesMakeAStringAParserReadsBack) {
  const std::string controls = std::string("\n\r\t\b\f\x01\x1F\x7F", 8) + std::string(1, '\0');
  const std::string every_length = "a\xC3\xA9\xE2\x82\xAC\xF0\x90\x8D\x88\xF4\x8F\xBF\xBF";
  // clang-format off
  const StringCase cases[] = {
      {"quotes and backslashes", "a\"b\\c\"", "a\"b\\c\""},
      {"control characters and NUL", controls, controls},
      {"UTF-8 of every length, to U+10FFFF", every_length, every_length},
      {"a lone continuation byte", "a\x80z", "a" + FFFD + "z"},
      {"bytes that begin nothing", "\xC0\xC1\xF5\xFF", FFFD + FFFD + FFFD + FFFD},
      {"an overlong form", "\xE0\x80\xAF", FFFD + FFFD + FFFD},
      {"a surrogate", "\xED\xA0\x80", FFFD + FFFD + FFFD},
      {"past U+10FFFF", "\xF4\x90\x80\x80", FFFD + FFFD + FFFD + FFFD},
      {"a character cut short at the end", "a\xE2\x82", "a" + FFFD + FFFD},
      {"a character cut short by another", "\xE2\x82" "a\xF0\x90\x8D", FFFD + FFFD + "a" + FFFD + FFFD + FFFD},
  };
  // clang-format on
  for (const StringCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string written = md5refresh::json_string(c.bytes);
    const Json parsed = Json::parse(written, nullptr, false);
    ASSERT_FALSE(parsed.is_discarded()) << written;
    EXPECT_EQ(parsed.get<std::string>(), c.read);
    EXPECT_EQ(md5refresh::is_utf8(c.bytes), c.read == c.bytes);
    for (const char byte : written)
      EXPECT_FALSE(static_cast<unsigned char>(byte) < 0x20 || byte == 0x7F) << "a raw control byte";
  }
}

// Random strings of the bytes at the edges of UTF-8's ranges: the tool's test
// of UTF-8 agrees with the parser's, and every string it writes is read back.
TEST(JsonLines, TellsUtf8AsAParserDoes) {
  constexpr std::array<std::uint8_t, 18> EDGES = {'a',  0x7F, 0x80, 0x8F, 0x90, 0x9F,
                                                  0xA0, 0xBF, 0xC0, 0xC2, 0xDF, 0xE0,
                                                  0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  std::mt19937 random(41);
  for (int round = 0; round < 20000; ++round) {
    std::string bytes(random() % 8, '\0');
    for (char& byte : bytes)
      byte = static_cast<char>(EDGES[random() % EDGES.size()]);
    const bool parsed = !Json::parse('"' + bytes + '"', nullptr, false).is_discarded();
    ASSERT_EQ(md5refresh::is_utf8(bytes), parsed)
        << test::hex({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
    const Json read = Json::parse(md5refresh::json_string(bytes), nullptr, false);
    ASSERT_FALSE(read.is_discarded());
    if (parsed) {
      ASSERT_EQ(read.get<std::string>(), bytes);
    }
  }
}

struct UnlistedCase {
  const char* name;
  Files files;
  std::vector<std::string> arguments;
  int status;
  std::string out;
  std::string err;
  std::string shell_setup = "";  // POSIX hosts only
  const char* hidden = nullptr;  // Windows only: a file given the hidden attribute
};

TEST(Unlisted, ListsThePlainFilesBesideAManifestThatNoSectionNames) {
  const std::string m = shown({"pkg", "update.txt"});
  const std::string manifest = section("a", "file_path=a.bin\nmd5=" + std::string(ABC_MD5) + "\n") +
                               section("b", "file_path=sub/b.bin\n");
  const Files named = {{"pkg/update.txt", manifest}, {"pkg/a.bin", "abc"}, {"pkg/b.bin", "x"}};
  Files added = named;
  added["pkg/new.bin"] = "x";
  added["pkg/zz.bin"] = "x";
  Files passed_over = named;
  for (const char* name :
       {"pkg/.hidden", "pkg/.update.txt.123-0.tmp", "pkg/sub/c.bin", "update.txt"})
    passed_over[name] = "x";
  const Files in_case = {
      {"pkg/update.txt", section("a", "file_path=a.bin\nmd5=" + std::string(ABC_MD5) + "\n")},
      {"pkg/A.BIN", "abc"}};
  const std::string ok = shown({"pkg", "a.bin"}) + ": OK\n";
  const std::string unlisted =
      shown({"pkg", "new.bin"}) + ": UNLISTED\n" + shown({"pkg", "zz.bin"}) + ": UNLISTED\n";
  const std::string said = "md5refresh: " + m + ": 2 files beside it that no section names\n";
  // clang-format off
  const UnlistedCase cases[] = {
      {"two files added", added, {"-c", "--unlisted", m, "-x", "b"}, 1, ok + unlisted, said},
      {"a section left out by -x still names its file", named, {"-c", "--unlisted", m, "-x", "b"}, 0, ok, ""},
      {"the manifest, hidden files, temporaries, subfolders and what lies above passed over", passed_over, {"-c", "--unlisted", m, "-x", "b"}, 0, ok, ""},
      {"quiet: only what is not OK", added, {"-c", "--quiet", "--unlisted", m, "-x", "b"}, 1, unlisted, said},
      {"status only", added, {"-c", "--status", "--unlisted", m, "-x", "b"}, 1, "", ""},
      {"names compared as the host compares them", in_case, {"-c", "--unlisted", m}, test::POSIX_HOST ? 1 : 0,
       test::POSIX_HOST ? shown({"pkg", "a.bin"}) + ": MISSING\n" + shown({"pkg", "A.BIN"}) + ": UNLISTED\n" : ok,
       test::POSIX_HOST ? "md5refresh: cannot open " + shown({"pkg", "a.bin"}) + ": No such file or directory\nmd5refresh: 1 of 1 sections not OK: 1 missing\nmd5refresh: " + m + ": 1 file beside it that no section names\n" : ""},
      {"a refresh refuses it", added, {"--unlisted", m}, 1, "", "md5refresh: option \"--unlisted\" is for a check (-c); see md5refresh --help\n"},
      {"a folder that cannot be listed: not checked", named, {"-c", "--unlisted", "pkg/update.txt", "-x", "b"}, 2, "pkg/a.bin: OK\n",
       "md5refresh: cannot list folder pkg: Permission denied\n",
       "chmod -R a+rwX . && chmod a-r pkg && " + std::string(AS_UNPRIVILEGED)},
      {"a file with the hidden attribute passed over", added, {"-c", "--unlisted", m, "-x", "b"}, 1, ok + shown({"pkg", "zz.bin"}) + ": UNLISTED\n",
       "md5refresh: " + m + ": 1 file beside it that no section names\n", "", "pkg/new.bin"},
  };
  // clang-format on
  for (const UnlistedCase& c : cases) {
    SCOPED_TRACE(c.name);
    if ((!c.shell_setup.empty() && !test::POSIX_HOST) || (c.hidden && test::POSIX_HOST)) continue;
    test::TempDir dir;
    for (const auto& [name, bytes] : c.files) {
      fs::create_directories((dir / name).parent_path());
      test::write_file(dir / name, bytes);
    }
#if defined(_WIN32)
    if (c.hidden != nullptr) {
      ASSERT_TRUE(SetFileAttributesW((dir / c.hidden).c_str(), FILE_ATTRIBUTE_HIDDEN));
    }
#endif
    const test::ToolRun run = test::run_tool(dir.path(), c.arguments, c.shell_setup);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(test::read_file(dir / "pkg/update.txt"), c.files.at("pkg/update.txt"));
  }
}

}  // namespace
