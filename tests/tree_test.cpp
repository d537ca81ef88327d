// SPDX-License-Identifier: MIT
// Whole runs over folders of manifests ("-r"): the walk's order, each
// manifest's lines under its own messages, one refused among good ones, files
// shared between manifests, links to folders, folders that cannot be read, the
// summary and the exit status of a refresh and of a check.
#include "refresh/tree.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "digest/file_set_digest.hpp"
#include "refresh/refresh.hpp"
#include "refresh/section_file.hpp"
#include "refresh/tree.hpp"
#include "test_support.hpp"

namespace fs = std::filesystem;
using md5refresh::FileStamp;
using md5refresh::stamp_of_path;

namespace {

using test::ABC_MD5;
constexpr const char* HELLO_MD5 = "5d41402abc4b2a76b9719d911017c592";

using Files = std::map<std::string, std::string>;  // "/"-separated names

// A path below the run's folder as the tool prints it on this host.
std::string shown(const std::vector<std::string>& parts) {
  std::string path = parts.front();
  for (std::size_t i = 1; i < parts.size(); ++i)
    path = test::joined(path, parts[i]);
  return path;
}

std::string section(const std::string& name, const std::string& file, const char* md5 = nullptr,
                    const char* sha256 = nullptr) {
  // A refresh adds md5 at the end, after a sha256 there already.
  return name + "={\n        file_path=" + file + "\n" +
         (sha256 != nullptr ? std::string("        sha256=") + sha256 + "\n" : "") +
         (md5 != nullptr ? std::string("        md5=") + md5 + "\n" : "") + "}\n\n";
}

constexpr const char* ABC_SHA256 =
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

std::string report(const char* md5, const std::vector<std::string>& parts) {
  return std::string(md5) + "\t" + shown(parts) + "\n";
}

// Every regular file beneath `folder` and its stamp: its identity, size and
// time. Only the rows that ask look: others hold paths past what the walk
// of the standard library takes on every host.
std::map<std::string, FileStamp> stamps_beneath(const fs::path& folder, bool asked) {
  std::map<std::string, FileStamp> stamps;
  std::error_code error;
  for (auto entry = fs::recursive_directory_iterator(folder, error);
       asked && !error && entry != fs::recursive_directory_iterator(); entry.increment(error)) {
    FileStamp stamp{};
    if (entry->is_regular_file() && stamp_of_path(entry->path().string().c_str(), stamp))
      stamps[entry->path().string()] = stamp;
  }
  return stamps;
}

struct TreeCase {
  const char* name;
  Files files;
  std::vector<std::string> arguments;
  std::string out;
  std::string err;
  int status;
  Files afterwards;
  std::string shell_setup = "";  // POSIX hosts only, as are the links
  // {from, to}: a hard link; "../x" a link to a folder, "->x" to a file; "" an empty folder
  std::vector<std::pair<std::string, std::string>> links = {};
  bool writes_nothing = false;           // every file beneath the run's folder as it was
  std::vector<std::string> untouched{};  // these files the same, with the same time
};

// As end_to_end_test: permission bits bind only a user who is not root.
const std::string AS_UNPRIVILEGED =
    "chmod -R a+rwX . && chmod 000 rel/b && as_user() { if [ \"$(id -u)\" = 0 ]; then setpriv "
    "--reuid=65534 --regid=65534 --clear-groups \"$@\"; else \"$@\"; fi; }; as_user";

std::vector<TreeCase> tree_cases() {
  const Files two = {{"rel/a/update.txt", section("x", "/p/x.bin")},
                     {"rel/a/x.bin", "abc"},
                     {"rel/b/c/update.txt", section("y", "y.bin") + section("x", "x.bin")},
                     {"rel/b/c/y.bin", "hello"},
                     {"rel/b/c/x.bin", "abc"},
                     {"rel/update.txt", section("z", "y.bin")},
                     {"rel/y.bin", "hello"}};
  const std::string nested_out =
      report(ABC_MD5, {"rel", "a", "x.bin"}) + report(HELLO_MD5, {"rel", "b", "c", "y.bin"}) +
      report(ABC_MD5, {"rel", "b", "c", "x.bin"}) + report(HELLO_MD5, {"rel", "y.bin"});
  const Files good = {{"rel/a/update.txt", section("x", "x.bin", ABC_MD5)}, {"rel/a/x.bin", "abc"}};
  const std::string ok_line = shown({"rel", "a", "x.bin"}) + ": OK\n";
  const std::string in_place =
      ": every update.txt beneath the folder is read and written in place\n";
  const std::string deep_a(120, 'd'), deep_b(120, 'e'), beyond_ascii = "caf\xC3\xA9";
  // Folders 200 bytes long, 21 deep: a path of 4224 bytes, past what a path
  // the system takes may be; made one folder at a time.
  const std::string level(200, 'L');
  std::string too_deep = "rel";
  for (int depth = 0; depth < 21; ++depth)
    too_deep += "/" + level;
  std::string ten_levels = level;
  for (int depth = 1; depth < 10; ++depth)
    ten_levels += "/" + level;
  // The deepest folder unreadable: its message names all of it, then the reason.
  const std::string make_too_deep = "(mkdir -p rel/" + ten_levels + " && cd rel/" + ten_levels +
                                    " && mkdir -p " + ten_levels + "/" + level +
                                    ") && chmod -R a+rwX . && (cd rel/" + ten_levels +
                                    " && chmod 000 " + ten_levels + "/" + level + ") && " +
                                    AS_UNPRIVILEGED.substr(AS_UNPRIVILEGED.find("as_user()"));
  // On Windows "-r C:" walks the current folder of drive C:, the run's own
  // here, not the drive's root.
  const std::string drive = test::POSIX_HOST ? "" : fs::temp_directory_path().string().substr(0, 2);
  // Links in a package's folder: within it, through a subfolder, back up
  // into it, to an absolute path, up out of it, and to nothing.
  const std::vector<std::pair<std::string, std::string>> linked_links = {
      {"->lib.so.1", "rel/pkg/lib.so"},     {"->d/s.bin", "rel/pkg/s.bin"},
      {"->d/../lib.so.1", "rel/pkg/w.bin"}, {"->/nonexistent/secret", "rel/pkg/a.bin"},
      {"->../secret.bin", "rel/pkg/u.bin"}, {"->gone.bin", "rel/pkg/g.bin"}};
  const Files linked = {{"rel/pkg/update.txt",
                         "lib={\nfile_path=lib.so\n}\nsub={\nfile_path=s.bin\n}\n"
                         "within={\nfile_path=w.bin\n}\nabs={\nfile_path=a.bin\nmd5=1\n}\n"
                         "up={\nfile_path=u.bin\nmd5=2\n}\ngone={\nfile_path=g.bin\nmd5=3\n}\n"},
                        {"rel/pkg/lib.so.1", "abc"},
                        {"rel/pkg/d/s.bin", "hello"},
                        {"rel/secret.bin", "hello"}};
  const Files linked_checked = {
      {"rel/pkg/update.txt",
       section("lib", "lib.so", ABC_MD5) + section("sub", "s.bin", HELLO_MD5) +
           section("within", "w.bin", ABC_MD5) + section("abs", "a.bin", ABC_MD5) +
           section("up", "u.bin", HELLO_MD5) + section("gone", "g.bin", ABC_MD5)},
      {"rel/pkg/lib.so.1", "abc"},
      {"rel/pkg/d/s.bin", "hello"},
      {"rel/secret.bin", "hello"}};
  const std::string commented =
      "# before\nx={\nfile_path=x.bin\n}\n; between\n\n  # before y, left "
      "out\ny={\nfile_path=y.bin\n}\n"
      "# after";
  // Two hundred packages, more than a tight descriptor limit would let the
  // run hold at once.
  Files flat, flat_after;
  std::string flat_out;
  for (int p = 0; p < 200; ++p) {
    const std::string folder = "p" + std::to_string(1000 + p);
    flat["rel/" + folder + "/update.txt"] = section("x", "x.bin");
    flat["rel/" + folder + "/x.bin"] = flat_after["rel/" + folder + "/x.bin"] = "abc";
    flat_after["rel/" + folder + "/update.txt"] = section("x", "x.bin", ABC_MD5);
    flat_out += report(ABC_MD5, {"rel", folder, "x.bin"});
  }
  // clang-format off
  std::vector<TreeCase> cases = {
      {"deep folders, names beyond ASCII (long paths on Windows)",
       {{"rel/" + deep_a + "/" + deep_b + "/" + beyond_ascii + "/update.txt", section("x", "x.bin")},
        {"rel/" + deep_a + "/" + deep_b + "/" + beyond_ascii + "/x.bin", "abc"}},
       {"-r", "rel"}, report(ABC_MD5, {"rel", deep_a, deep_b, beyond_ascii, "x.bin"}),
       "md5refresh: 1 manifest, 1 file: 1 written, 0 unchanged, 0 refused\n", 0,
       {{"rel/" + deep_a + "/" + deep_b + "/" + beyond_ascii + "/update.txt", section("x", "x.bin", ABC_MD5)}}},
      {"nested folders, depth first in byte order", two, {"-r", "rel"}, nested_out,
       "md5refresh: 3 manifests, 4 files: 3 written, 0 unchanged, 0 refused\n", 0,
       {{"rel/a/update.txt", section("x", "/p/x.bin", ABC_MD5)},
        {"rel/b/c/update.txt", section("y", "y.bin", HELLO_MD5) + section("x", "x.bin", ABC_MD5)},
        {"rel/update.txt", section("z", "y.bin", HELLO_MD5)}}},
      {"one refused among good ones, its messages in its place",
       {{"rel/a/update.txt", "bad\n"}, {"rel/b/update.txt", section("y", "y.bin")}, {"rel/b/y.bin", "hello"},
        {"rel/c/update.txt", section("m", "gone.bin")}},
       {"-r", "rel"}, report(HELLO_MD5, {"rel", "b", "y.bin"}),
       "md5refresh: " + shown({"rel", "a", "update.txt"}) + ":1: text outside any section would be lost\n"
       "md5refresh: cannot open " + shown({"rel", "c", "gone.bin"}) + ": No such file or directory\n"
       "md5refresh: 1 of 1 files not digested; their recorded digests were kept\n"
       "md5refresh: 3 manifests, 1 file: 1 written, 0 unchanged, 1 incomplete, 1 refused\n", 1,
       {{"rel/a/update.txt", "bad\n"}, {"rel/b/update.txt", section("y", "y.bin", HELLO_MD5)},
        {"rel/c/update.txt", section("m", "gone.bin")}}},
      {"-x in every manifest, a name matching none warned once", two, {"-r", "rel", "-x", "x", "q"}, nested_out,
       "md5refresh: -x \"q\": no section of that name in any manifest\n"
       "md5refresh: 3 manifests, 4 files: 3 written, 0 unchanged, 0 refused\n", 0,
       {{"rel/a/update.txt", ""}, {"rel/b/c/update.txt", section("y", "y.bin", HELLO_MD5)}}},
      {"two folders, a manifest in both taken once", good, {"-r", "rel", "-c", "-r", "rel/a"}, ok_line,
       "md5refresh: 1 manifest, 1 file: 1 OK, 0 not OK\n", 0, good},
      {"a check, one changed", {{"rel/a/update.txt", section("x", "x.bin", HELLO_MD5)}, {"rel/a/x.bin", "abc"}},
       {"--check", "--quiet", "-r", "rel"}, shown({"rel", "a", "x.bin"}) + ": CHANGED\n",
       "md5refresh: 1 manifest, 1 file: 0 OK, 1 not OK\n", 1, {}},
      {"--status: the status alone", {{"rel/a/update.txt", section("x", "x.bin", HELLO_MD5)}, {"rel/a/x.bin", "abc"}},
       {"-c", "--status", "-r", "rel"}, "", "", 1, {}},
      {"a check of a manifest that names no file", {{"rel/update.txt", "a={\n}\n"}}, {"-c", "-r", "rel"}, "",
       "md5refresh: " + shown({"rel", "update.txt"}) + ": no section names a file to check\n"
       "md5refresh: 1 manifest, 0 files: 0 OK, 0 not OK, 1 not checked\n", 2, {}},
      {"--ignore-missing: a file that does not exist counts for nothing, a folder still does",
       {{"rel/a/update.txt", section("x", "x.bin") + section("y", "gone.bin")}, {"rel/a/x.bin", "abc"},
        {"rel/b/update.txt", section("d", "d") + section("y", "gone.bin")}, {"rel/b/d/f", ""}},
       {"-r", "rel", "--ignore-missing"}, report(ABC_MD5, {"rel", "a", "x.bin"}),
       "md5refresh: cannot open " + shown({"rel", "b", "d"}) + ": Is a directory\n"
       "md5refresh: 1 of 1 files not digested; their recorded digests were kept\n"
       "md5refresh: 2 manifests, 1 file: 1 written, 0 unchanged, 1 incomplete, 0 refused\n", 1,
       {{"rel/a/update.txt", section("x", "x.bin", ABC_MD5) + section("y", "gone.bin")},
        {"rel/b/update.txt", section("d", "d") + section("y", "gone.bin")}}},
      {"--ignore-missing in a check: nothing left to check",
       {{"rel/a/update.txt", section("y", "gone.bin", ABC_MD5)}}, {"-c", "-r", "rel", "--ignore-missing"}, "",
       "md5refresh: " + shown({"rel", "a", "update.txt"}) + ": nothing left to check; every file it names is missing\n"
       "md5refresh: 1 manifest, 0 files: 0 OK, 0 not OK, 1 not checked\n", 2, {}},
      {"a folder missing", {}, {"-r", "none"}, "",
       "md5refresh: cannot read folder none: No such file or directory\nmd5refresh: 0 manifests, 0 files: 0 written, 0 unchanged, 0 refused\n", 1, {}},
      {"a folder without a manifest", {{"rel/a.txt", ""}}, {"-c", "-r", "rel"}, "",
       "md5refresh: no update.txt in rel or beneath it\nmd5refresh: 0 manifests, 0 files: 0 OK, 0 not OK\n", 2, {}},
      {"comments outside sections kept where they stand, a left-out section's too",
       {{"rel/a/update.txt", commented}, {"rel/a/x.bin", "abc"}, {"rel/a/y.bin", "hello"}}, {"-r", "rel", "-x", "y"},
       report(ABC_MD5, {"rel", "a", "x.bin"}) + report(HELLO_MD5, {"rel", "a", "y.bin"}),
       "md5refresh: 1 manifest, 2 files: 1 written, 0 unchanged, 0 refused\n", 0,
       {{"rel/a/update.txt", "# before\n" + section("x", "x.bin", ABC_MD5) + "; between\n# before y, left out\n# after\n"}}},
      {"comments kept in a manifest written elsewhere",
       {{"rel/update.txt", commented}, {"rel/x.bin", "abc"}, {"rel/y.bin", "hello"}}, {"rel/update.txt", "-o", "rel/o.txt"},
       report(ABC_MD5, {"rel", "x.bin"}) + report(HELLO_MD5, {"rel", "y.bin"}), "", 0,
       {{"rel/o.txt", "# before\n" + section("x", "x.bin", ABC_MD5) + "; between\n# before y, left out\n" +
                      section("y", "y.bin", HELLO_MD5) + "# after\n"}, {"rel/update.txt", commented}}},
      {"a manifest whose digests are current is left as it is",
       {{"rel/a/update.txt", "# kept\n" + section("x", "x.bin", ABC_MD5)}, {"rel/a/x.bin", "abc"},
        {"rel/b/update.txt", section("y", "y.bin")}, {"rel/b/y.bin", "hello"}},
       {"-r", "rel"}, report(ABC_MD5, {"rel", "a", "x.bin"}) + report(HELLO_MD5, {"rel", "b", "y.bin"}),
       "md5refresh: 2 manifests, 2 files: 1 written, 1 unchanged, 0 refused\n", 0,
       {{"rel/b/update.txt", section("y", "y.bin", HELLO_MD5)}}, "", {}, false, {"rel/a/update.txt"}},
      {"an output other than the input is written, its text the same",
       {{"rel/update.txt", section("x", "x.bin", ABC_MD5)}, {"rel/x.bin", "abc"}}, {"rel/update.txt", "-o", "rel/o.txt"},
       report(ABC_MD5, {"rel", "x.bin"}), "", 0, {{"rel/o.txt", section("x", "x.bin", ABC_MD5)}}, "", {}, false, {"rel/update.txt"}},
      {"a dry run writes nothing and takes no lock", two, {"-n", "-r", "rel"}, nested_out,
       "md5refresh: would write " + shown({"rel", "a", "update.txt"}) + "\nmd5refresh: would write " +
       shown({"rel", "b", "c", "update.txt"}) + "\nmd5refresh: would write " + shown({"rel", "update.txt"}) +
       "\nmd5refresh: 3 manifests, 4 files: 3 would write, 0 unchanged, 0 refused\n", 0,
       two, "flock rel/update.txt", {}, true},
      {"a dry run: one unchanged, one with a file missing",
       {{"rel/a/update.txt", section("x", "x.bin", ABC_MD5)}, {"rel/a/x.bin", "abc"}, {"rel/b/update.txt", "y={\nfile_path=gone.bin\n}\n"}},
       {"--dry-run", "-r", "rel"}, report(ABC_MD5, {"rel", "a", "x.bin"}),
       "md5refresh: cannot open " + shown({"rel", "b", "gone.bin"}) + ": No such file or directory\n"
       "md5refresh: 1 of 1 files not digested; their recorded digests were kept\n"
       "md5refresh: would write " + shown({"rel", "b", "update.txt"}) + "\n"
       "md5refresh: 2 manifests, 1 file: 0 would write, 1 unchanged, 1 incomplete, 0 refused\n", 1,
       {}, "", {}, true},
      {"-o with -r", good, {"-r", "rel", "-o", "o.txt"}, "", "md5refresh: -r does not go with \"-o\"" + in_place, 1, good},
      {"a manifest named with -r", good, {"rel/a/update.txt", "-r", "rel"}, "",
       "md5refresh: -r does not go with \"rel/a/update.txt\"" + in_place, 1, good},
      {"a check's bare word with -r", good, {"-c", "-r", "rel", "m.txt"}, "",
       "md5refresh: -r does not go with \"m.txt\"" + in_place, 2, good},
      {"-r without a folder", good, {"-r"}, "", "md5refresh: option \"-r\" needs a folder; see md5refresh --help\n", 1, good},
      {"a file shared by hard links, and a link to a folder not followed",
       {{"rel/a/update.txt", section("x", "x.bin")}, {"rel/a/x.bin", "abc"}, {"rel/b/update.txt", section("x", "x.bin")},
        {"other/update.txt", section("x", "x.bin")}, {"other/x.bin", "abc"}},
       {"-r", "rel"}, report(ABC_MD5, {"rel", "a", "x.bin"}) + report(ABC_MD5, {"rel", "b", "x.bin"}),
       "md5refresh: 2 manifests, 2 files: 2 written, 0 unchanged, 0 refused\n", 0,
       {{"rel/b/update.txt", section("x", "x.bin", ABC_MD5)}, {"other/update.txt", section("x", "x.bin")}},
       "", {{"rel/a/x.bin", "rel/b/x.bin"}, {"../other", "rel/c"}}},
      {"an empty folder with a long name, named whole", {{"rel/" + deep_a + "/a.txt", ""}}, {"-r", "rel/" + deep_a}, "",
       "md5refresh: no update.txt in rel/" + deep_a + " or beneath it\nmd5refresh: 0 manifests, 0 files: 0 written, 0 unchanged, 0 refused\n", 1, {}},
      {"a folder deeper than a path the system takes is walked, its message whole", {{"rel/a.txt", ""}}, {"-r", "rel"}, "",
       "md5refresh: cannot read folder " + too_deep + ": Permission denied\n"
       "md5refresh: no update.txt in rel or beneath it\nmd5refresh: 0 manifests, 0 files: 0 written, 0 unchanged, 0 refused\n", 1, {}, make_too_deep},
      {"overlapping folders take each manifest once", good, {"-c", "-r", "rel", "-r", "./rel", "-r", "rel/a"}, ok_line,
       "md5refresh: 1 manifest, 1 file: 1 OK, 0 not OK\n", 0, good},
      {"a folder twice: its manifests once, whatever the first pass replaced", two, {"-r", "rel", "-r", "rel"}, nested_out,
       "md5refresh: 3 manifests, 4 files: 3 written, 0 unchanged, 0 refused\n", 0, {{"rel/update.txt", section("z", "y.bin", HELLO_MD5)}}},
      {"a manifest that is a symbolic link is not followed",
       {{"rel/a/x.bin", "abc"}, {"rel/b/update.txt", section("x", "x.bin")}, {"rel/b/x.bin", "hello"}},
       {"-r", "rel"}, report(HELLO_MD5, {"rel", "b", "x.bin"}),
       "md5refresh: rel/a/update.txt is a symbolic link; not followed\nmd5refresh: 2 manifests, 1 file: 1 written, 0 unchanged, 1 refused\n", 1,
       {{"rel/b/update.txt", section("x", "x.bin", HELLO_MD5)}}, "", {{"->../b/update.txt", "rel/a/update.txt"}}},
      {"a check passes over a linked manifest",
       {{"rel/a/x.bin", "abc"}, {"rel/b/update.txt", section("x", "x.bin", HELLO_MD5)}, {"rel/b/x.bin", "hello"}},
       {"-c", "-r", "rel"}, "rel/b/x.bin: OK\n",
       "md5refresh: rel/a/update.txt is a symbolic link; not followed\nmd5refresh: 2 manifests, 1 file: 1 OK, 0 not OK, 1 not checked\n", 2,
       {}, "", {{"->../b/update.txt", "rel/a/update.txt"}}},
      {"a manifest with two names is refreshed in no folder",
       {{"rel/a/update.txt", section("x", "x.bin")}, {"rel/a/x.bin", "abc"}, {"rel/b/x.bin", "hello"}}, {"-r", "rel"}, "",
       "md5refresh: " + shown({"rel", "a", "update.txt"}) + " has 2 names; not refreshed in a tree, name it alone\n"
       "md5refresh: " + shown({"rel", "b", "update.txt"}) + " has 2 names; not refreshed in a tree, name it alone\n"
       "md5refresh: 2 manifests, 0 files: 0 written, 0 unchanged, 2 refused\n", 1,
       {{"rel/a/update.txt", section("x", "x.bin")}}, "", {{"rel/a/update.txt", "rel/b/update.txt"}}},
      {"a manifest with two names named alone: refreshed, the other name warned of",
       {{"m/update.txt", section("x", "x.bin")}, {"m/x.bin", "abc"}}, {shown({"m", "update.txt"})},
       report(ABC_MD5, {"m", "x.bin"}),
       "md5refresh: " + shown({"m", "update.txt"}) + " has 2 names; the others keep the old contents\n", 0,
       {{"m/update.txt", section("x", "x.bin", ABC_MD5)}, {"m/other.txt", section("x", "x.bin")}}, "",
       {{"m/update.txt", "m/other.txt"}}},
      {"a check of a manifest with two names, each against its own folder",
       {{"rel/a/update.txt", section("x", "x.bin", ABC_MD5)}, {"rel/a/x.bin", "abc"}, {"rel/b/x.bin", "hello"}},
       {"-c", "-r", "rel"}, shown({"rel", "a", "x.bin"}) + ": OK\n" + shown({"rel", "b", "x.bin"}) + ": CHANGED\n",
       "md5refresh: 2 manifests, 2 files: 1 OK, 1 not OK\n", 1,
       {}, "", {{"rel/a/update.txt", "rel/b/update.txt"}}},
      {"links beneath the manifest's folder followed, links leading out of it not read",
       linked, {"-r", "rel"},
       report(ABC_MD5, {"rel", "pkg", "lib.so"}) + report(HELLO_MD5, {"rel", "pkg", "s.bin"}) + report(ABC_MD5, {"rel", "pkg", "w.bin"}),
       "md5refresh: " + shown({"rel", "pkg", "a.bin"}) + " is a link leading out of " + shown({"rel", "pkg"}) + "; not read\n"
       "md5refresh: " + shown({"rel", "pkg", "u.bin"}) + " is a link leading out of " + shown({"rel", "pkg"}) + "; not read\n"
       "md5refresh: cannot open " + shown({"rel", "pkg", "g.bin"}) + ": No such file or directory\n"
       "md5refresh: 3 of 6 files not digested; their recorded digests were kept\n"
       "md5refresh: 1 manifest, 3 files: 0 written, 0 unchanged, 1 incomplete, 0 refused\n", 1,
       {{"rel/pkg/update.txt", section("lib", "lib.so", ABC_MD5) + section("sub", "s.bin", HELLO_MD5) +
         section("within", "w.bin", ABC_MD5) + section("abs", "a.bin", "1") + section("up", "u.bin", "2") + section("gone", "g.bin", "3")}},
       "", linked_links},
      {"a check: a link leading out is MISSING, a dangling one passed over with --ignore-missing",
       linked_checked, {"-c", "-r", "rel", "--ignore-missing"},
       shown({"rel", "pkg", "lib.so"}) + ": OK\n" + shown({"rel", "pkg", "s.bin"}) + ": OK\n" + shown({"rel", "pkg", "w.bin"}) + ": OK\n" +
       shown({"rel", "pkg", "a.bin"}) + ": MISSING\n" + shown({"rel", "pkg", "u.bin"}) + ": MISSING\n",
       "md5refresh: " + shown({"rel", "pkg", "a.bin"}) + " is a link leading out of " + shown({"rel", "pkg"}) + "; not read\n"
       "md5refresh: " + shown({"rel", "pkg", "u.bin"}) + " is a link leading out of " + shown({"rel", "pkg"}) + "; not read\n"
       "md5refresh: 1 manifest, 3 files: 0 OK, 1 not OK\n", 1, {}, "", linked_links},
      {"a manifest named alone follows its links wherever they lead",
       linked, {shown({"rel", "pkg", "update.txt"})},
       report(ABC_MD5, {"rel", "pkg", "lib.so"}) + report(HELLO_MD5, {"rel", "pkg", "s.bin"}) + report(ABC_MD5, {"rel", "pkg", "w.bin"}) +
       report(HELLO_MD5, {"rel", "pkg", "u.bin"}),
       "md5refresh: cannot open " + shown({"rel", "pkg", "a.bin"}) + ": No such file or directory\n"
       "md5refresh: cannot open " + shown({"rel", "pkg", "g.bin"}) + ": No such file or directory\n"
       "md5refresh: 2 of 6 files not digested; their recorded digests were kept\n", 1,
       {{"rel/pkg/update.txt", section("lib", "lib.so", ABC_MD5) + section("sub", "s.bin", HELLO_MD5) +
         section("within", "w.bin", ABC_MD5) + section("abs", "a.bin", "1") + section("up", "u.bin", HELLO_MD5) + section("gone", "g.bin", "3")}},
       "", linked_links},
      {"a name with a line end cannot forge a line; one with only a backslash is as it is",
       {{"rel/x\nrel/good/a.bin: OK\n\\y/update.txt", section("x", "x.bin", HELLO_MD5)}, {"rel/x\nrel/good/a.bin: OK\n\\y/x.bin", "abc"},
        {"rel/z\\w/update.txt", section("x", "x.bin", ABC_MD5)}, {"rel/z\\w/x.bin", "abc"}},
       {"-c", "-r", "rel"}, "\\rel/x\\nrel/good/a.bin: OK\\n\\\\y/x.bin: CHANGED\nrel/z\\w/x.bin: OK\n",
       "md5refresh: 2 manifests, 2 files: 1 OK, 1 not OK\n", 1, {}, "true &&"},
      {"a report line's name escaped the same way",
       {{"rel/a\rb/update.txt", section("x", "x.bin")}, {"rel/a\rb/x.bin", "abc"}},
       {"-r", "rel"}, "\\" + std::string(ABC_MD5) + "\trel/a\\rb/x.bin\n",
       "md5refresh: 1 manifest, 1 file: 1 written, 0 unchanged, 0 refused\n", 0,
       {{"rel/a\rb/update.txt", section("x", "x.bin", ABC_MD5)}}, "true &&"},
      {"a limit of 64 descriptors: the run fits itself to it", flat, {"-r", "rel"}, flat_out,
       "md5refresh: 200 manifests, 200 files: 200 written, 0 unchanged, 0 refused\n", 0, flat_after, "ulimit -n 64 &&"},
      {"a soft limit of 40 raised; --quiet says nothing when all is OK", flat_after, {"-c", "--quiet", "-r", "rel"}, "",
       "", 0, flat_after, "ulimit -S -n 40 &&"},
      {"a linked manifest reached through overlapping folders is named once",
       {{"rel/a/x.bin", "abc"}, {"rel/b/update.txt", section("x", "x.bin")}, {"rel/b/x.bin", "hello"}},
       {"-r", "rel", "-r", "./rel", "-r", "rel/a"}, report(HELLO_MD5, {"rel", "b", "x.bin"}),
       "md5refresh: rel/a/update.txt is a symbolic link; not followed\nmd5refresh: 2 manifests, 1 file: 1 written, 0 unchanged, 1 refused\n", 1,
       {{"rel/b/update.txt", section("x", "x.bin", HELLO_MD5)}}, "", {{"->../b/update.txt", "rel/a/update.txt"}}},
      {"an update.txt that is a FIFO is named, in a refresh", {{"rel/p1/x.bin", "abc"}}, {"-r", "rel/p1"}, "",
       "md5refresh: rel/p1/update.txt is not a regular file\nmd5refresh: 1 manifest, 0 files: 0 written, 0 unchanged, 1 refused\n", 1,
       {}, "mkfifo rel/p1/update.txt &&"},
      {"an update.txt that is a FIFO is named, in a check", {{"rel/p1/x.bin", "abc"}}, {"-c", "-r", "rel"}, "",
       "md5refresh: rel/p1/update.txt is not a regular file\nmd5refresh: 1 manifest, 0 files: 0 OK, 0 not OK, 1 not checked\n", 2,
       {}, "mkfifo rel/p1/update.txt &&"},
      {"--ignore-missing passes over no file that exists but cannot be read",
       {{"rel/a/update.txt", section("x", "x.bin", ABC_MD5) + section("y", "gone.bin", ABC_MD5)}, {"rel/a/x.bin", "abc"}},
       {"-c", "-r", "rel", "--ignore-missing"}, shown({"rel", "a", "x.bin"}) + ": MISSING\n",
       "md5refresh: cannot open " + shown({"rel", "a", "x.bin"}) + ": Permission denied\n"
       "md5refresh: 1 manifest, 0 files: 0 OK, 1 not OK\n", 1, {},
       "chmod -R a+rwX . && chmod 000 rel/a/x.bin && " + AS_UNPRIVILEGED.substr(AS_UNPRIVILEGED.find("as_user()"))},
      {"a folder that cannot be read", good, {"-c", "-r", "rel"}, ok_line,
       "md5refresh: cannot read folder " + shown({"rel", "b"}) + ": Permission denied\n"
       "md5refresh: 1 manifest, 1 file: 1 OK, 0 not OK\n", 2, {}, AS_UNPRIVILEGED, {{"", "rel/b"}}},
  };
  if (!test::POSIX_HOST) {
    cases.push_back({"a manifest named in capitals, as Windows compares names",
                     {{"rel/a/UPDATE.TXT", section("x", "x.bin", ABC_MD5)}, {"rel/a/x.bin", "abc"}},
                     {"-c", "-r", "rel"}, ok_line, "md5refresh: 1 manifest, 1 file: 1 OK, 0 not OK\n", 0, {}});
    cases.push_back({"folders whose names end in a dot or blank, each its own",
                     {{"rel/pkg/update.txt", section("x", "x.bin")}, {"rel/pkg/x.bin", "hello"},
                      {"rel/pkg /update.txt", section("x", "x.bin")}, {"rel/pkg /x.bin", "abc"},
                      {"rel/pkg./update.txt", section("x", "x.bin")}, {"rel/pkg./x.bin", "abc"}},
                     {"-r", "rel"}, report(HELLO_MD5, {"rel", "pkg", "x.bin"}) + report(ABC_MD5, {"rel", "pkg ", "x.bin"}) +
                     report(ABC_MD5, {"rel", "pkg.", "x.bin"}), "md5refresh: 3 manifests, 3 files: 3 written, 0 unchanged, 0 refused\n", 0,
                     {{"rel/pkg/update.txt", section("x", "x.bin", HELLO_MD5)}, {"rel/pkg /update.txt", section("x", "x.bin", ABC_MD5)},
                      {"rel/pkg./update.txt", section("x", "x.bin", ABC_MD5)}}});
    cases.push_back({"a manifest named in a folder ending in a dot is read there, its files looked up there",
                     {{"rel/pkg/update.txt", section("x", "x.bin", HELLO_MD5)}, {"rel/pkg/x.bin", "abc"},
                      {"rel/pkg./update.txt", section("x", "x.bin", ABC_MD5)}, {"rel/pkg./x.bin", "abc"}},
                     {"-c", shown({"rel", "pkg.", "update.txt"})}, shown({"rel", "pkg.", "x.bin"}) + ": OK\n", "", 0, {}});
    cases.push_back({"a drive's current folder", good, {"-c", "-r", drive}, shown({drive + "rel", "a", "x.bin"}) + ": OK\n",
                     "md5refresh: 1 manifest, 1 file: 1 OK, 0 not OK\n", 0, good});
  }
  // clang-format on
  return cases;
}

#if defined(MD5REFRESH_LINKED_TREE)
// Windows: a folder that is a link or junction is named and not followed.
TEST(Trees, AFolderLinkIsNamedNotFollowed) {
  const test::ToolRun run = test::run_tool(MD5REFRESH_LINKED_TREE, {"-c", "-r", "rel"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, shown({"rel", "a", "x.bin"}) + ": OK\n");
  EXPECT_EQ(run.err, "md5refresh: " + shown({"rel", "linked"}) +
                         " is a link to a folder; not followed\n" +
                         "md5refresh: 1 manifest, 1 file: 1 OK, 0 not OK\n");
}

// Windows, where Wine shows a link to a file as the file itself and a folder
// may hold names that differ only by case (both made by the build): a
// manifest is replaced where it lies and under its name as it is on disk,
// whatever the command line named; a linked one in a tree is named; each of
// two names is its own manifest, and its own file to digest.
TEST(Trees, AManifestIsReplacedWhereItLiesUnderItsOwnName) {
  const std::string manifest = section("a", "a.bin"), refreshed = section("a", "a.bin", ABC_MD5);
  constexpr const char* UPPER_MD5 = "902fbdd2b1df0c4f70b4a5d23525e932";  // "ABC"
  const std::string renamed =
      " is replaced by a rename, without the old file's permissions: "
      "another file's name differs from it only by case\n";
  struct SpellingCase {
    const char* name;
    const char* folder;  // in the build's linked tree; empty: a fresh one
    Files files;         // written first; through a link, into the file it leads to
    std::vector<std::string> arguments;
    std::string out, err;
    Files afterwards;
    std::string subject;              // "<short>" in the arguments is its short name
    std::vector<std::string> listed;  // what its folder holds afterwards
  };
  // clang-format off
  const SpellingCase cases[] = {
      {"a manifest named through a link is replaced where the link leads", "named",
       {{"shared/update.txt", manifest}, {"pkg/a.bin", "abc"}}, {shown({"pkg", "update.txt"})},
       report(ABC_MD5, {"pkg", "a.bin"}), "", {{"shared/update.txt", refreshed}, {"pkg/update.txt", refreshed}},
       "shared/update.txt", {"update.txt"}},
      {"a linked manifest in a tree is named, not followed", "walked",
       {{"real/update.txt", manifest}, {"real/a.bin", "abc"}, {"other/a.bin", "abc"}}, {"-r", "."},
       report(ABC_MD5, {".", "real", "a.bin"}),
       "md5refresh: " + shown({".", "other", "update.txt"}) + " is a symbolic link; not followed\n"
       "md5refresh: 2 manifests, 1 file: 1 written, 0 unchanged, 1 refused\n",
       {{"real/update.txt", refreshed}}, "real/update.txt", {"a.bin", "update.txt"}},
      {"names that differ by case are two manifests and two files", "cases",
       {{"update.txt", section("U", "A.BIN") + section("L", "a.bin")}, {"UPDATE.TXT", manifest}, {"a.bin", "abc"}, {"A.BIN", "ABC"}},
       {"-r", "."},
       report(ABC_MD5, {".", "a.bin"}) + report(UPPER_MD5, {".", "A.BIN"}) + report(ABC_MD5, {".", "a.bin"}),
       "md5refresh: " + shown({".", "UPDATE.TXT"}) + renamed + "md5refresh: " + shown({".", "update.txt"}) + renamed +
       "md5refresh: 2 manifests, 3 files: 2 written, 0 unchanged, 0 refused\n",
       {{"UPDATE.TXT", refreshed}, {"update.txt", section("U", "A.BIN", UPPER_MD5) + section("L", "a.bin", ABC_MD5)}},
       "update.txt", {"A.BIN", "UPDATE.TXT", "a.bin", "update.txt"}},
      {"a manifest named in other case keeps its name", "",
       {{"pkg/update.txt", manifest}, {"pkg/a.bin", "abc"}}, {shown({"PKG", "UPDATE.TXT"})},
       report(ABC_MD5, {"PKG", "a.bin"}), "", {{"pkg/update.txt", refreshed}}, "pkg/update.txt", {"a.bin", "update.txt"}},
      {"a manifest named by its short name keeps its long one", "",
       {{"manifest-for-the-release.txt", manifest}, {"a.bin", "abc"}}, {"<short>"},
       report(ABC_MD5, {"a.bin"}), "", {{"manifest-for-the-release.txt", refreshed}},
       "manifest-for-the-release.txt", {"a.bin", "manifest-for-the-release.txt"}},
  };
  // clang-format on
  for (const SpellingCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir fresh;
    const fs::path dir =
        *c.folder != '\0' ? fs::path(MD5REFRESH_LINKED_TREE) / c.folder : fresh.path();
    for (const auto& [name, contents] : c.files) {
      fs::create_directories(test::host_path(dir, name).parent_path());
      test::write_file(test::host_path(dir, name), contents);
    }
    std::vector<std::string> arguments = c.arguments;
    if (arguments.front() == "<short>") {
      wchar_t short_path[MAX_PATH];
      const std::wstring long_path = test::host_path(dir, c.subject).wstring();
      ASSERT_GT(GetShortPathNameW(long_path.c_str(), short_path, MAX_PATH), 0u);
      arguments.front() = fs::path(short_path).filename().string();
      ASSERT_NE(arguments.front(), c.subject);
    }
    const test::ToolRun run = test::run_tool(dir, arguments);
    EXPECT_EQ(run.status, c.err.find("refused\n") != std::string::npos &&
                                  c.err.find(" 0 refused") == std::string::npos
                              ? 1
                              : 0);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    for (const auto& [name, contents] : c.afterwards)
      EXPECT_EQ(test::read_file(test::host_path(dir, name)), contents) << name;
    std::vector<std::string> listed;
    for (const auto& entry : fs::directory_iterator(test::host_path(dir, c.subject).parent_path()))
      listed.push_back(entry.path().filename().string());
    std::ranges::sort(listed);
    EXPECT_EQ(listed, c.listed);
  }
}
#endif

TEST(Trees, EveryManifestBeneathTheFolders) {
  for (const TreeCase& c : tree_cases()) {
    // Hard links are made on every host; symbolic links and permissions only on POSIX.
    const bool posix_only =
        !c.shell_setup.empty() || std::ranges::any_of(c.links, [](const auto& link) {
          return link.first.empty() || link.first.starts_with("..") || link.first.starts_with("->");
        });
    if (posix_only && !test::POSIX_HOST) continue;
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    for (const auto& [name, contents] : c.files) {
      fs::create_directories((dir / name).parent_path());
      test::write_file(dir / name, contents);
    }
    for (const auto& [from, to] : c.links) {
      if (from.empty()) {
        fs::create_directories(dir / to);  // an empty folder
      } else if (from.starts_with("..")) {
        fs::create_directory_symlink(from, dir / to);
      } else if (from.starts_with("->")) {
        fs::create_symlink(from.substr(2), dir / to);
      } else {
        fs::create_hard_link(dir / from, dir / to);
      }
    }
    const bool looked_at = c.writes_nothing || !c.untouched.empty();
    const std::map<std::string, FileStamp> before = stamps_beneath(dir.path(), looked_at);
    const test::ToolRun run = test::run_tool(dir.path(), c.arguments, c.shell_setup);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    for (const auto& [name, contents] : c.afterwards)
      EXPECT_EQ(test::read_file(dir / name), contents) << name;
    const std::map<std::string, FileStamp> after = stamps_beneath(dir.path(), looked_at);
    if (c.writes_nothing) {
      EXPECT_TRUE(after == before) << "a file made, changed or replaced";
    }
    for (const std::string& name : c.untouched) {
      const std::string path = (dir / name).make_preferred().string();
      EXPECT_TRUE(after.contains(path) && after.at(path) == before.at(path)) << name;
    }
    for (const auto& [from, to] : c.links) {
      if (from.empty()) fs::permissions(dir / to, fs::perms::owner_all, fs::perm_options::add);
    }
  }
}

}  // namespace

namespace {

fs::path edited_manifest;

// One manifest of a tree edited between its write and its replace: that one
// keeps the edit and fails, the others are written.
TEST(Trees, AnEditMeanwhileFailsOnlyItsManifest) {
  test::TempDir dir;
  for (const char* package : {"a", "b"}) {
    fs::create_directories(dir / "rel" / package);
    test::write_file(dir / "rel" / package / "update.txt", section("x", "x.bin"));
    test::write_file(dir / "rel" / package / "x.bin", "abc");
  }
  edited_manifest = dir / "rel" / "a" / "update.txt";
  md5refresh::seams::before_replace_hook = [] {
    if (!edited_manifest.empty()) test::write_file(edited_manifest, "edited={\n}\n");
    edited_manifest.clear();
  };
  const std::string root = (dir / "rel").string();
  const std::array<const char*, 1> folders{root.c_str()};
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int status =
      md5refresh::run_trees({folders, {}, false, md5refresh::CheckOutput::every_line});
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  md5refresh::seams::before_replace_hook = nullptr;
  EXPECT_EQ(status, 1);
  const std::string a = test::joined(test::joined(root, "a"), "update.txt");
  EXPECT_EQ(err, "md5refresh: " + a +
                     " changed while the files were digested; not replaced\n"
                     "md5refresh: 2 manifests, 2 files: 1 written, 0 unchanged, 1 refused\n");
  EXPECT_EQ(test::read_file(dir / "rel" / "a" / "update.txt"), "edited={\n}\n");
  EXPECT_EQ(test::read_file(dir / "rel" / "b" / "update.txt"), section("x", "x.bin", ABC_MD5));
  EXPECT_EQ(out, report(ABC_MD5, {root, "a", "x.bin"}) + report(ABC_MD5, {root, "b", "x.bin"}));
}

}  // namespace

namespace {

// What the run holds at once and how it meets a failure, through the test
// build's seams: packages p1 to p5, each an update.txt naming x.bin, all five
// x.bin one file (hard links) or five files.
struct SeamCase {
  const char* name;
  bool one_file;
  md5refresh::TreeLimits limits;
  int failed_sync;                      // the first batch's sync fails with it
  md5refresh::FileReadHook after_read;  // between reading a file and its check
  std::size_t files_read;
  std::vector<int> written;         // the packages whose manifests are written
  std::string err;                  // "%" stands for the folder's path
  int sha256_from = 6;              // the packages from this one on record a SHA-256
  bool p3_manifest_is_p1s = false;  // a hard link: both refused, and their files never read
};

void grow_p2(const char* path) {
  const std::string_view name = path;
  if (name.ends_with(test::joined("p2", "x.bin"))) test::write_file(path, "abc and more");
}

TEST(Trees, WindowsBatchesAndSharedFilesKeepTheirPromises) {
  const std::string all = "md5refresh: 5 manifests, 5 files: 5 written, 0 unchanged, 0 refused\n";
  // clang-format off
  const SeamCase cases[] = {
      {"a file named five times is read once while in flight", true, {}, 0, nullptr, 1, {1, 2, 3, 4, 5}, all},
      {"a digest already made is reused by a later manifest", true, {128, 1, 64}, 0, nullptr, 1, {1, 2, 3, 4, 5}, all},
      {"every manifest past the window is finished", false, {1, 2, 64}, 0, nullptr, 5, {1, 2, 3, 4, 5}, all},
      {"a full batch is committed", false, {128, 64, 2}, 0, nullptr, 5, {1, 2, 3, 4, 5}, all},
      {"a failed sync fails its batch alone", false, {128, 64, 2}, EIO, nullptr, 5, {3, 4, 5},
       "md5refresh: cannot write %/p1/update.txt: Input/output error\n"
       "md5refresh: cannot write %/p2/update.txt: Input/output error\n"
       "md5refresh: 5 manifests, 5 files: 3 written, 0 unchanged, 2 refused\n"},
      {"a file changed while it was read is not stored", false, {}, 0, grow_p2, 5, {1, 3, 4, 5},
       "md5refresh: %/p2/x.bin changed while it was read\n"
       "md5refresh: 1 of 1 files not digested; their recorded digests were kept\n"
       "md5refresh: 5 manifests, 4 files: 4 written, 0 unchanged, 1 incomplete, 0 refused\n"},
      // A read or a digest without the SHA-256 serves no manifest that records one.
      {"a read in flight without the SHA-256 is not shared", true, {}, 0, nullptr, 2, {1, 2, 3, 4, 5}, all, 3},
      {"a digest made without the SHA-256 is not reused", true, {128, 1, 64}, 0, nullptr, 2, {1, 2, 3, 4, 5}, all, 3},
      {"the files of a refused manifest are not read", false, {}, 0, nullptr, 3, {2, 4, 5},
       "md5refresh: %/p1/update.txt has 2 names; not refreshed in a tree, name it alone\n"
       "md5refresh: %/p3/update.txt has 2 names; not refreshed in a tree, name it alone\n"
       "md5refresh: 5 manifests, 3 files: 3 written, 0 unchanged, 2 refused\n", 6, true},
  };
  // clang-format on
  for (const SeamCase& c : cases) {
    if (c.failed_sync != 0 && !test::POSIX_HOST) continue;  // Windows syncs each file alone
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    for (int p = 1; p <= 5; ++p) {
      const fs::path folder = dir / "rel" / ("p" + std::to_string(p));
      fs::create_directories(folder);
      if (c.p3_manifest_is_p1s && p == 3) {
        fs::create_hard_link(dir / "rel" / "p1" / "update.txt", folder / "update.txt");
      } else {
        test::write_file(folder / "update.txt",
                         section("x", "x.bin", nullptr, p >= c.sha256_from ? "0" : nullptr));
      }
      if (c.one_file && p > 1) {
        fs::create_hard_link(dir / "rel" / "p1" / "x.bin", folder / "x.bin");
      } else {
        test::write_file(folder / "x.bin", "abc");
      }
    }
    const std::string root = (dir / "rel").string();
    const std::array<const char*, 1> folders{root.c_str()};
    std::size_t files_read = 0;
    md5refresh::seams::after_file_read_hook = c.after_read;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = md5refresh::run_trees({folders,
                                              {},
                                              false,
                                              md5refresh::CheckOutput::every_line,
                                              c.limits,
                                              &files_read,
                                              c.failed_sync});
    (void)testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    md5refresh::seams::after_file_read_hook = nullptr;
    // Windows bars writers from a file while it is read: the edit is refused.
    const bool barred = c.after_read == grow_p2 && !test::POSIX_HOST;
    if (barred) {
      EXPECT_EQ(test::read_file(dir / "rel" / "p2" / "x.bin"), "abc");
    }
    std::string expected_err = barred ? all : c.err;
    for (std::size_t at; (at = expected_err.find('%')) != std::string::npos;)
      expected_err.replace(at, 1, root);
    if (!test::POSIX_HOST) std::replace(expected_err.begin(), expected_err.end(), '/', '\\');
    EXPECT_EQ(err, expected_err);
    // A manifest refused, or written with a digest it could not take, fails the tree.
    const bool whole = expected_err.find(" 0 refused") != std::string::npos &&
                       expected_err.find("incomplete") == std::string::npos;
    EXPECT_EQ(status, whole ? 0 : 1);
    EXPECT_EQ(files_read, c.files_read);
    for (int p = 1; p <= 5; ++p) {
      const bool written = barred || std::ranges::find(c.written, p) != c.written.end();
      const char* sha256 = p < c.sha256_from ? nullptr : written ? ABC_SHA256 : "0";
      EXPECT_EQ(test::read_file(dir / "rel" / ("p" + std::to_string(p)) / "update.txt"),
                section("x", "x.bin", written ? ABC_MD5 : nullptr, sha256))
          << p;
    }
  }
}

}  // namespace

namespace {

// What a swap or a move made during the run does: it never sends a read or a
// write outside the tree, and fails no manifest but its own.
struct SwapCase {
  const char* name;
  md5refresh::WalkHook during_walk;
  md5refresh::RunHook before_replace;
  std::string err;                   // "%" stands for the folder's path
  std::vector<std::string> written;  // the manifests refreshed afterwards
};

fs::path swap_root;
bool swapped = false;

void swap_once(const char* path, const char* entry, void (*swap)()) {
  if (!swapped && std::string_view(path).ends_with(entry)) {
    swapped = true;
    swap();
  }
}

TEST(Trees, ASwapOrMoveDuringTheRunNeverLeadsOutside) {
  if (!test::POSIX_HOST) GTEST_SKIP() << "symbolic links, and renames of folders with open files";
  const std::string all_but_a =
      "md5refresh: 2 manifests, 2 files: 1 written, 0 unchanged, 1 refused\n";
  // clang-format off
  const SwapCase cases[] = {
      {"a folder swapped for a link to another folder", [](const char* path) {
         swap_once(path, "/a", [] {
           fs::rename(swap_root / "rel" / "a", swap_root / "a.old");
           fs::create_directory_symlink("../other", swap_root / "rel" / "a");
         });
       }, nullptr, "md5refresh: cannot read folder %/a: Not a directory\n"
                   "md5refresh: 1 manifest, 1 file: 1 written, 0 unchanged, 0 refused\n", {"rel/b"}},
      {"a manifest swapped for a link to another", [](const char* path) {
         swap_once(path, "/a/update.txt", [] {
           fs::remove(swap_root / "rel" / "a" / "update.txt");
           fs::create_symlink("../../other/update.txt", swap_root / "rel" / "a" / "update.txt");
         });
       }, nullptr, "md5refresh: cannot open %/a/update.txt: Too many levels of symbolic links\n"
                   "md5refresh: 2 manifests, 1 file: 1 written, 0 unchanged, 1 refused\n", {"rel/b"}},
      {"a folder moved before its manifest is replaced", nullptr, [] {
         swap_once("a", "a", [] { fs::rename(swap_root / "rel" / "a", swap_root / "rel" / "moved"); });
       }, "md5refresh: 2 manifests, 2 files: 2 written, 0 unchanged, 0 refused\n", {"rel/moved", "rel/b"}},
      {"a manifest removed before it is replaced", nullptr, [] {
         swap_once("a", "a", [] { fs::remove(swap_root / "rel" / "a" / "update.txt"); });
       }, "md5refresh: %/a/update.txt changed while the files were digested; not replaced\n" + all_but_a, {"rel/b"}},
  };
  // clang-format on
  for (const SwapCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    swap_root = dir.path();
    swapped = false;
    for (const char* folder : {"rel/a", "rel/b", "other"}) {
      fs::create_directories(dir / folder);
      test::write_file(dir / folder / "update.txt", section("x", "x.bin"));
      test::write_file(dir / folder / "x.bin", "abc");
    }
    const std::string root = (dir / "rel").string();
    const std::array<const char*, 1> folders{root.c_str()};
    md5refresh::seams::walk_hook = c.during_walk;
    md5refresh::seams::before_replace_hook = c.before_replace;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status =
        md5refresh::run_trees({folders, {}, false, md5refresh::CheckOutput::every_line});
    (void)testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    md5refresh::seams::walk_hook = nullptr;
    md5refresh::seams::before_replace_hook = nullptr;
    std::string expected_err = c.err;
    for (std::size_t at; (at = expected_err.find('%')) != std::string::npos;)
      expected_err.replace(at, 1, root);
    EXPECT_EQ(err, expected_err);
    EXPECT_EQ(status, c.written.size() == 2 ? 0 : 1);
    EXPECT_EQ(test::read_file(dir / "other" / "update.txt"), section("x", "x.bin"));
    for (const std::string& folder : c.written)
      EXPECT_EQ(test::read_file(dir / folder / "update.txt"), section("x", "x.bin", ABC_MD5))
          << folder;
    for (const auto& entry : fs::recursive_directory_iterator(dir.path()))
      EXPECT_FALSE(entry.path().extension() == ".tmp") << entry.path();
  }
}

}  // namespace

namespace {

// A tree is its manifests' own runs: standard output byte for byte what the
// runs of each manifest print in the walk's order, and every manifest left as
// its own run leaves it, warnings, refusals and shared files among them.
TEST(Trees, ATreeIsItsManifestsOwnRuns) {
  const Files files = {{"rel/a/update.txt", section("x", "x.bin") + section("y", "gone.bin")},
                       {"rel/a/x.bin", "abc"},
                       {"rel/b/update.txt", "bad\n"},
                       {"rel/c/d/update.txt", section("x", "x.bin") + section("X", "x.bin") +
                                                  "z={\n        File_Path=q\n}\n\n"},
                       {"rel/c/d/x.bin", "hello"},
                       {"rel/c/update.txt", section("n", "/")}};
  const std::vector<std::string> manifests = {"rel/a/update.txt", "rel/b/update.txt",
                                              "rel/c/d/update.txt", "rel/c/update.txt"};
  for (const bool check : {false, true}) {
    SCOPED_TRACE(check ? "a check" : "a refresh");
    test::TempDir tree, single;
    for (const test::TempDir* dir : {&tree, &single}) {
      for (const auto& [name, contents] : files) {
        fs::create_directories((*dir / name).parent_path());
        test::write_file(*dir / name, contents);
      }
    }
    std::vector<std::string> tree_arguments = {"-r", "rel"};
    if (check) tree_arguments.insert(tree_arguments.begin(), "-c");
    const test::ToolRun whole = test::run_tool(tree.path(), tree_arguments);
    std::string out;
    for (const std::string& manifest : manifests) {
      std::vector<std::string> parts;  // named as the walk names it on this host
      for (std::size_t at = 0, slash; at <= manifest.size(); at = slash + 1) {
        slash = std::min(manifest.find('/', at), manifest.size());
        parts.push_back(manifest.substr(at, slash - at));
      }
      std::vector<std::string> arguments = {shown(parts)};
      if (check) arguments.push_back("-c");
      out += test::run_tool(single.path(), arguments).out;
    }
    EXPECT_EQ(whole.out, out);
    for (const auto& [name, contents] : files)
      EXPECT_EQ(test::read_file(tree / name), test::read_file(single / name)) << name;
  }
}

}  // namespace
