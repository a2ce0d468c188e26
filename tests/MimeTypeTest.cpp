#include "Utils.h"

#include <boost/filesystem/path.hpp>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char kUnknown[] = "application/octet-stream";

TEST(GetMimeType, LooksUpTheLastExtensionOfTheFileName) {
  struct Case {
    const char* path;
    const char* expected;
  } cases[] = {
      {"report.pdf", "application/pdf"},
      {"/Users/u/Documents/2024/report.pdf", "application/pdf"},
      {"relative/dir/report.pdf", "application/pdf"},
      {"REPORT.PDF", "application/pdf"}, // ordinary globs ignore case
      {"photo.JPG", "image/jpeg"},
      {"archive.tar", "application/x-tar"},
      // Only the last extension counts, not the database's "*.tar.gz" glob.
      {"photo.tar.gz", "application/gzip"},
      {"/tmp/dir.pdf/notes.txt", "text/plain"},
      {"old.bak", "application/x-trash"}, // a real "*.bak" pattern
      // "cs" patterns match only their own letters; the others match in any case.
      {"main.c", "text/x-csrc"},
      {"main.C", "text/x-c++src"},
      {"Notes.TXT", "text/plain"},
      {"ls.1", "application/x-troff-man"}, // "*.[1-9]" is a set of extensions
      {"x.anim7", "video/x-anim"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(GetMimeType(std::string(c.path)), c.expected) << c.path;
}

TEST(GetMimeType, AnswersOctetStreamWhenThereIsNothingToLookUp) {
  const char* paths[] = {
      "",              // no file name
      "/tmp/dir/",     // file name "."
      "/tmp/dir.pdf/", // the extension of a folder is not looked at
      // No extension.
      ".", "..", "/tmp/..", "README", "/usr/bin/env",
      "/Users/u/.profile",   // hidden names are not looked up,
      ".hidden.pdf",         // even with an extension
      "photo.",              // an empty extension
      "file.zzqqxunknown",   // unknown to the database
      "/tmp/dir.pdf/README", // a dot in a folder is no extension
      "a.txt~",              // only "*.EXT" patterns name an extension, not "*~"
      "notes.txt%",          // nor "*%"
  };
  for (const char* path : paths)
    EXPECT_EQ(GetMimeType(std::string(path)), kUnknown) << '"' << path << '"';
}

// The file name and its extension follow Boost.Filesystem's version 3 rules, "//name" roots and
// trailing separators included: every path of up to six characters over "/", ".", "c", "C" and
// NUL is answered as the extension that Boost finds in it ("c" and "C" are different types).
TEST(GetMimeType, FindsTheExtensionByBoostFilesystemRules) {
  const char alphabet[] = {'/', '.', 'c', 'C', '\0'};
  std::vector<std::string> paths{""};
  for (std::size_t from = 0; paths[from].size() < 6; ++from)
    for (const char c : alphabet)
      paths.push_back(paths[from] + c);
  for (const std::string& path : paths) {
    const boost::filesystem::path name = boost::filesystem::path(path).filename();
    const std::string& text = name.native();
    const bool hidden = !text.empty() && text != "." && text != ".." && text.front() == '.';
    const std::string extension = name.extension().native();
    const std::string expected =
        hidden || extension.empty() ? std::string(kUnknown) : GetMimeType("name" + extension);
    ASSERT_EQ(GetMimeType(path), expected) << '"' << path << '"';
  }
}

TEST(GetMimeType, WideGivesTheNarrowResult) {
  struct Case {
    const wchar_t* wide;
    const char* narrow;
  } cases[] = {
      {L"/Users/u/Caf\u00E9/r\u00E9sum\u00E9.pdf", "/Users/u/Caf\xC3\xA9/r\xC3\xA9sum\xC3\xA9.pdf"},
      {L"\u4E2D\u6587.png", "\xE4\xB8\xAD\xE6\x96\x87.png"},
      {L"photo.tar.gz", "photo.tar.gz"},
      {L".profile", ".profile"},
      {L"", ""},
      {L"x.zzqqxunknown", "x.zzqqxunknown"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(GetMimeType(std::wstring(c.wide)), GetMimeType(std::string(c.narrow))) << c.narrow;
  EXPECT_EQ(GetMimeType(std::wstring(L"\u4E2D\u6587.png")), "image/png");
}

} // namespace
