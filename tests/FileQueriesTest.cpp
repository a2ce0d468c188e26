#include "RunAsUser.h"
#include "TestSupport.h"
#include "TextConvert.h"
#include "Utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace std::string_literals;
using orvanta::test::MakeDirs;
using orvanta::test::NobodyUid;
using orvanta::test::ReadFile;
using orvanta::test::RunAsUser;
using orvanta::test::ScratchDir;
using orvanta::test::Snapshot;
using orvanta::test::WriteFile;
using orvanta::text::Utf8ToWide;
using orvanta::text::WideToUtf8;

namespace {

// Makes a folder below a scratch folder that the unprivileged account owns and can reach.
std::string NobodyFolder(const ScratchDir& scratch, const std::string& name) {
  EXPECT_EQ(chmod(scratch.path().c_str(), 0755), 0);
  const std::string folder = scratch / name;
  MakeDirs(folder);
  EXPECT_EQ(chown(folder.c_str(), NobodyUid(), static_cast<gid_t>(-1)), 0);
  return folder;
}

void Own(const std::string& path, mode_t mode) {
  ASSERT_EQ(lchown(path.c_str(), NobodyUid(), static_cast<gid_t>(-1)), 0) << path;
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

// One entry of a permission table: a file or folder that nobody owns with the given mode, and
// whether the probe must say yes for it.
struct PermissionCase {
  const char* name;
  bool folder;
  mode_t mode;
  bool yes;
};

// Lays the cases out in folder; each folder gets one entry inside when withEntry is set.
void LayOut(const std::string& folder, const std::vector<PermissionCase>& cases, bool withEntry) {
  for (const PermissionCase& c : cases) {
    const std::string path = folder + "/" + c.name;
    if (c.folder)
      MakeDirs(withEntry ? path + "/entry" : path);
    else
      WriteFile(path, "content");
    Own(path, c.mode);
  }
}

// Asks the probe about every case as the unprivileged account and checks each answer.
void ExpectAnswersAsNobody(const std::string& folder, const std::vector<PermissionCase>& cases,
                           bool (*probe)(std::wstring)) {
  const auto answers = RunAsUser(NobodyUid(), [&] {
    std::string text;
    for (const PermissionCase& c : cases)
      text += probe(Utf8ToWide(folder + "/" + c.name)) ? 'y' : '-';
    return text;
  });
  ORVANTA_ASSERT_RAN(answers);
  std::string expected;
  for (const PermissionCase& c : cases)
    expected += c.yes ? 'y' : '-';
  EXPECT_EQ(*answers, expected);
}

// --- GetSubDirectory ---------------------------------------------------------------------------

TEST(GetSubDirectory, GivesTheChildBelowTheParentOrNothing) {
  ScratchDir scratch;
  const std::string parent = scratch / "a/b";
  MakeDirs(scratch / "a/b/c/d");
  struct Case {
    std::string child;
    const wchar_t* expected;
  } cases[] = {
      {scratch / "a/b/c/d", L"c/d"},
      {scratch / "a/b/c", L"c"},
      {scratch / "a/b/not/yet/made", L"not/yet/made"},
      {scratch / "a/b/c/../c/./d", L"c/d"},
      {scratch / "a/b", L""},            // the parent itself
      {scratch / "a/b/", L""},           //
      {scratch / "a", L""},              // above: ".."
      {scratch / "a/c", L""},            // beside: "../c"
      {scratch / "a/bc/d", L""},         // "../bc/d"
      {scratch / "a/b/..foo", L"..foo"}, // only ".." as a whole element is outside
      {scratch / "a/b/.hidden", L".hidden"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(GetSubDirectory(parent, c.child), c.expected) << c.child;
}

TEST(GetSubDirectory, ResolvesLinksAndRelativePaths) {
  ScratchDir scratch;
  MakeDirs(scratch / "real/sub");
  ASSERT_EQ(symlink("real", (scratch / "alias").c_str()), 0);
  EXPECT_EQ(GetSubDirectory(scratch / "alias", scratch / "real/sub"), L"sub");
  EXPECT_EQ(GetSubDirectory(scratch / "real", scratch / "alias/sub/x"), L"sub/x");

  const std::string saved = boost::filesystem::current_path().string();
  boost::filesystem::current_path(scratch.path());
  EXPECT_EQ(GetSubDirectory("real", scratch / "real/sub"), L"sub");
  EXPECT_EQ(GetSubDirectory(scratch.path(), "real/sub"), L"real/sub");
  boost::filesystem::current_path(saved);
}

TEST(GetSubDirectory, ComposesDecomposedNames) {
  ScratchDir scratch;
  const std::string decomposed = "Cafe\xCC\x81/A\xCC\x8Angstro\xCC\x88m";
  MakeDirs(scratch / decomposed);
  EXPECT_EQ(GetSubDirectory(scratch.path(), scratch / decomposed), L"Caf\u00E9/\u00C5ngstr\u00F6m");
}

// When a folder on the way cannot be searched, the paths cannot be made canonical and the
// parent's text is looked for in the child's, by whole path elements.
TEST(GetSubDirectory, FallsBackToTheTextsWhenTheFoldersCannotBeSearched) {
  ScratchDir scratch;
  ASSERT_EQ(chmod(scratch.path().c_str(), 0755), 0);
  const std::string sealed = scratch / "sealed";
  MakeDirs(sealed + "/a/b/c");
  ASSERT_EQ(chmod(sealed.c_str(), 0700), 0);

  struct Case {
    std::string parent, child;
    const wchar_t* expected;
  } cases[] = {
      {sealed + "/a/b", sealed + "/a/b/c/d", L"c/d"},
      {sealed + "/a/b/", sealed + "/a/b/c", L"c"},
      {sealed + "/a/b", sealed + "/a/b", L""},
      {sealed + "/a/b", sealed + "/a/bc/d", L""}, // "b" and "bc" are different folders
      {sealed + "/a/b", sealed + "/a", L""},
      {sealed + "/a/b", sealed + "/a/x/../b/c", L""}, // no longer resolved
      {"a/b", sealed + "/a/b/c", L"c"},               // found anywhere, not only at the start
      {"a/b", sealed + "/xa/b/c", L""},
      {sealed + "/a/b", sealed + "/a/b/Cafe\xCC\x81", L"Caf\u00E9"},
  };
  const auto answers = RunAsUser(NobodyUid(), [&] {
    std::string text;
    for (const Case& c : cases)
      text += WideToUtf8(GetSubDirectory(c.parent, c.child)) + "\n";
    return text;
  });
  ORVANTA_ASSERT_RAN(answers);
  std::string expected;
  for (const Case& c : cases)
    expected += WideToUtf8(c.expected) + "\n";
  EXPECT_EQ(*answers, expected);
}

// --- GetFileTimes ------------------------------------------------------------------------------

void SetTimes(const std::string& path, time_t access, time_t modify, int flags = 0) {
  const timespec times[2] = {{access, 0}, {modify, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, flags), 0) << path;
}

long ChangeTime(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(lstat(path.c_str(), &info), 0);
  return static_cast<long>(info.st_ctime);
}

TEST(GetFileTimes, ReadsThePathsOwnTimes) {
  ScratchDir scratch;
  const std::string file = scratch / "Caf\xC3\xA9.txt";
  WriteFile(file, "x");
  SetTimes(file, 1000000000, 1200000000);
  const std::string old = scratch / "old";
  WriteFile(old, "x");
  SetTimes(old, -86400, -1); // before 1970
  const std::string link = scratch / "link";
  ASSERT_EQ(symlink("old", link.c_str()), 0);
  SetTimes(link, 1500000000, 1600000000, AT_SYMLINK_NOFOLLOW);

  // Following the link to learn whether its target exists reads the link and so renews its
  // access time: only the other two are fixed for it.
  struct Case {
    std::string path;
    std::optional<long> access;
    long modify;
  } cases[] = {
      {file, 1000000000, 1200000000},
      {old, -86400, -1},
      {link, std::nullopt, 1600000000}, // the link's own times, not its target's
  };
  for (const Case& c : cases) {
    long change = 0, modify = 0, access = 0;
    EXPECT_TRUE(GetFileTimes(c.path, &change, &modify, &access)) << c.path;
    if (c.access) {
      EXPECT_EQ(access, *c.access) << c.path;
    }
    EXPECT_EQ(modify, c.modify) << c.path;
    EXPECT_EQ(change, ChangeTime(c.path)) << c.path;

    long wide[3] = {0, 0, 0};
    EXPECT_TRUE(GetFileTimes(Utf8ToWide(c.path), &wide[0], &wide[1], &wide[2]));
    EXPECT_EQ(wide[0], change);
    EXPECT_EQ(wide[1], modify);
    if (c.access) {
      EXPECT_EQ(wide[2], access);
    }
  }

  // Any output may be left out.
  long modify = 0;
  EXPECT_TRUE(GetFileTimes(file, nullptr, nullptr, nullptr));
  EXPECT_TRUE(GetFileTimes(file, nullptr, &modify, nullptr));
  EXPECT_EQ(modify, 1200000000);
  EXPECT_TRUE(GetFileTimes(scratch.path(), nullptr, nullptr, nullptr));
}

TEST(GetFileTimes, WritesNothingForWhatDoesNotExist) {
  ScratchDir scratch;
  ASSERT_EQ(symlink("missing", (scratch / "dangling").c_str()), 0);
  ASSERT_EQ(chmod(scratch.path().c_str(), 0755), 0);
  MakeDirs(scratch / "sealed");
  WriteFile(scratch / "sealed/file", "x");
  ASSERT_EQ(chmod((scratch / "sealed").c_str(), 0700), 0);

  for (const std::string& path : {scratch / "missing", scratch / "dangling", ""s}) {
    long change = -7, modify = -7, access = -7;
    EXPECT_FALSE(GetFileTimes(path, &change, &modify, &access)) << path;
    EXPECT_FALSE(GetFileTimes(Utf8ToWide(path), &change, &modify, &access)) << path;
    EXPECT_EQ(change, -7);
    EXPECT_EQ(modify, -7);
    EXPECT_EQ(access, -7);
  }
  const auto answer = RunAsUser(NobodyUid(), [&] {
    long modify = -7;
    const bool read = GetFileTimes(scratch / "sealed/file", nullptr, &modify, nullptr);
    return std::to_string(read) + " " + std::to_string(modify);
  });
  ORVANTA_ASSERT_RAN(answer);
  EXPECT_EQ(*answer, "0 -7");
}

// A narrow name that is not UTF-8 is the name of its own file, as for every other narrow path:
// converting it would drop the byte 0xFF and answer for "b.txt".
TEST(GetFileTimes, NarrowBytesThatAreNotUtf8NameTheirOwnFile) {
  ScratchDir scratch;
  WriteFile(scratch / "b.txt", "x");
  SetTimes(scratch / "b.txt", 1000000000, 1000000000);
  long modify = -7;
  EXPECT_FALSE(GetFileTimes(scratch / "b\xFF.txt", nullptr, &modify, nullptr));
  EXPECT_EQ(modify, -7);
  WriteFile(scratch / "b\xFF.txt", "x");
  SetTimes(scratch / "b\xFF.txt", 1500000000, 1500000000);
  EXPECT_TRUE(GetFileTimes(scratch / "b\xFF.txt", nullptr, &modify, nullptr));
  EXPECT_EQ(modify, 1500000000);
}

// --- GetFileCount ------------------------------------------------------------------------------

// Files at several depths, links to a file, a folder and nothing, a FIFO and an empty folder.
void MakeTree(const std::string& root) {
  MakeDirs(root + "/sub/deeper");
  MakeDirs(root + "/empty");
  WriteFile(root + "/a.txt", "a");
  WriteFile(root + "/sub/b.txt", "b");
  WriteFile(root + "/sub/deeper/c.txt", "c");
  WriteFile(root + "/sub/deeper/.hidden", "");
  ASSERT_EQ(symlink("a.txt", (root + "/file-link").c_str()), 0);
  ASSERT_EQ(symlink("sub", (root + "/folder-link").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (root + "/dangling").c_str()), 0);
  ASSERT_EQ(mkfifo((root + "/fifo").c_str(), 0644), 0);
}

TEST(GetFileCount, AddsTheRegularFilesOfAllDepths) {
  ScratchDir scratch;
  const std::string root = scratch / "tree";
  MakeTree(root);

  // Four regular files and the link to one; the linked folder is not entered.
  int count = 10;
  GetFileCount(Utf8ToWide(root), count);
  EXPECT_EQ(count, 15);
  GetFileCount(Utf8ToWide(root), count);
  EXPECT_EQ(count, 20);

  count = 0;
  GetFileCount(Utf8ToWide(root + "/folder-link"), count); // a link as the starting point
  EXPECT_EQ(count, 3);
  count = 0;
  GetFileCount(Utf8ToWide(root + "/empty"), count);
  EXPECT_EQ(count, 0);
  count = 3;
  GetFileCount(Utf8ToWide(root + "/missing"), count);
  GetFileCount(Utf8ToWide(root + "/dangling"), count);
  EXPECT_EQ(count, 3);

  // The path ends at a NUL, as the system sees it.
  count = 0;
  GetFileCount(Utf8ToWide(root) + L'\0' + L"/sub", count);
  EXPECT_EQ(count, 5);
}

TEST(GetFileCount, LetsTheWalksErrorsThrough) {
  ScratchDir scratch;
  WriteFile(scratch / "file", "x");
  int count = 4;
  EXPECT_THROW(GetFileCount(Utf8ToWide(scratch / "file"), count),
               boost::filesystem::filesystem_error);
  EXPECT_EQ(count, 4);

  // An unreadable folder stops the walk; what was counted before stays counted.
  ORVANTA_REQUIRE_RUN_AS(NobodyUid());
  const std::string root = NobodyFolder(scratch, "tree");
  WriteFile(root + "/one", "1");
  WriteFile(root + "/two", "2");
  MakeDirs(root + "/locked");
  WriteFile(root + "/locked/three", "3");
  Own(root + "/locked", 0);
  const auto answer = RunAsUser(NobodyUid(), [&] {
    int counted = 100;
    try {
      GetFileCount(Utf8ToWide(root), counted);
    } catch (const boost::filesystem::filesystem_error&) {
      return "threw " + std::to_string(counted);
    }
    return "returned " + std::to_string(counted);
  });
  ORVANTA_ASSERT_RAN(answer);
  EXPECT_TRUE(*answer == "threw 100" || *answer == "threw 101" || *answer == "threw 102")
      << *answer;
}

// --- IsReadable and IsWritable -----------------------------------------------------------------

TEST(IsReadable, OpensFilesAndListsFolders) {
  ScratchDir scratch;
  WriteFile(scratch / "empty", "");
  WriteFile(scratch / "Caf\xC3\xA9", "text");
  ASSERT_EQ(symlink("empty", (scratch / "link").c_str()), 0);
  ASSERT_EQ(symlink("missing", (scratch / "dangling").c_str()), 0);
  EXPECT_TRUE(IsReadable(Utf8ToWide(scratch / "empty")));
  EXPECT_TRUE(IsReadable(Utf8ToWide(scratch / "Caf\xC3\xA9")));
  EXPECT_TRUE(IsReadable(Utf8ToWide(scratch / "link")));
  EXPECT_TRUE(IsReadable(Utf8ToWide(scratch.path())));
  EXPECT_FALSE(IsReadable(Utf8ToWide(scratch / "missing")));
  EXPECT_FALSE(IsReadable(Utf8ToWide(scratch / "dangling")));
  EXPECT_FALSE(IsReadable(L""));
}

// A FIFO must neither block the query (no writer) nor lose a byte to it (a writer waiting).
TEST(IsReadable, LeavesPipesAlone) {
  ScratchDir scratch;
  const std::string fifo = scratch / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_TRUE(IsReadable(Utf8ToWide(fifo)));

  const int end = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(end, 0);
  ASSERT_EQ(write(end, "xy", 2), 2);
  EXPECT_TRUE(IsReadable(Utf8ToWide(fifo)));
  char back[3] = {};
  EXPECT_EQ(read(end, back, sizeof back), 2);
  EXPECT_STREQ(back, "xy");
  close(end);
}

TEST(IsReadable, FollowsThePermissions) {
  ORVANTA_REQUIRE_RUN_AS(NobodyUid());
  ScratchDir scratch;
  const std::string folder = NobodyFolder(scratch, "mine");
  const std::vector<PermissionCase> cases = {
      {"readable-file", false, 0400, true},
      {"write-only-file", false, 0200, false},
      {"listable-folder", true, 0500, true},
      {"search-only-folder", true, 0300, false},
  };
  LayOut(folder, cases, true);
  ExpectAnswersAsNobody(folder, cases, IsReadable);
}

TEST(IsWritable, ProbesFoldersWithoutLeavingAnything) {
  ScratchDir scratch;
  const std::string folder = scratch / "Caf\xC3\xA9";
  MakeDirs(folder + "/sub");
  WriteFile(folder + "/kept.txt", "unchanged");
  ASSERT_EQ(symlink("sub", (folder + "/sub-link").c_str()), 0);
  const auto before = Snapshot(scratch.path());

  EXPECT_TRUE(IsWritable(Utf8ToWide(folder)));
  EXPECT_TRUE(IsWritable(Utf8ToWide(folder + "/sub-link")));
  EXPECT_TRUE(IsWritable(Utf8ToWide(folder + "/kept.txt"))); // a file is asked, never opened
  EXPECT_FALSE(IsWritable(Utf8ToWide(folder + "/missing")));
  EXPECT_FALSE(IsWritable(L""));
  EXPECT_EQ(Snapshot(scratch.path()), before);
}

TEST(IsWritable, FollowsThePermissions) {
  ORVANTA_REQUIRE_RUN_AS(NobodyUid());
  ScratchDir scratch;
  const std::string folder = NobodyFolder(scratch, "mine");
  const std::vector<PermissionCase> cases = {
      {"writable-file", false, 0600, true},
      {"read-only-file", false, 0400, false},
      {"writable-folder", true, 0700, true},
      {"read-only-folder", true, 0500, false},
  };
  LayOut(folder, cases, false);
  const auto before = Snapshot(folder);
  ExpectAnswersAsNobody(folder, cases, IsWritable);
  EXPECT_EQ(Snapshot(folder), before);
}

} // namespace
