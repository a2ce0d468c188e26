// Wide paths handed to the file system: an element that is no Unicode scalar value names no file.
// The desktop set-up (an application for text/plain that does nothing) is in place before GIO is
// first used, since GIO reads it once per process.
#include "OrvantaFile.h"
#include "TestSupport.h"
#include "Utils.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>

namespace {

using orvanta::test::MakeDirs;
using orvanta::test::ScopedEnv;
using orvanta::test::ScratchDir;
using orvanta::test::WriteFile;

std::wstring Wide(const std::string& ascii) {
  return std::wstring(ascii.begin(), ascii.end());
}

// The text conversion would drop each of these elements, and so turn the path into the one
// without it: the surrogates' two ends and the first value above U+10FFFF.
const wchar_t kNoScalarValues[] = {static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0xDFFF),
                                   static_cast<wchar_t>(0x110000)};

// Every wide overload that touches the file system, each beside the file it answers positively
// for: the same path with a bad element before the extension must get the negative answer.
TEST(WidePaths, AnElementThatIsNoScalarValueNamesNoFile) {
  ScratchDir scratch;
  MakeDirs(scratch / "data/applications");
  MakeDirs(scratch / "config");
  WriteFile(scratch / "data/applications/orvanta-nothing.desktop",
            "[Desktop Entry]\nType=Application\nName=Nothing\nExec=/bin/true %U\n"
            "MimeType=text/plain;\n");
  WriteFile(scratch / "config/mimeapps.list",
            "[Default Applications]\ntext/plain=orvanta-nothing.desktop\n");
  const ScopedEnv dataHome("XDG_DATA_HOME", scratch / "data");
  const ScopedEnv configHome("XDG_CONFIG_HOME", scratch / "config");
  WriteFile(scratch / "a.pdf", "%PDF-1.4\n");
  WriteFile(scratch / "a.bmp", "BM");
  WriteFile(scratch / "a.txt", "text\n");
  MakeDirs(scratch / "d");
  WriteFile(scratch / "d/file", "x");

  using Answer = std::function<bool(const std::wstring&)>;
  const struct {
    const char* function;
    const char* stem;
    const char* extension;
    Answer positive;
  } rows[] = {
      {"COrvantaFile(path, flags)", "a", ".pdf",
       [](const std::wstring& path) {
         COrvantaFile file(path, O_RDONLY);
         const bool open = file.IsOpen();
         file.Close();
         return open;
       }},
      {"COrvantaFile::Open", "a", ".pdf",
       [](const std::wstring& path) {
         COrvantaFile file;
         const bool open = file.Open(path, O_RDONLY);
         file.Close();
         return open;
       }},
      {"IsPdf", "a", ".pdf", [](const std::wstring& path) { return IsPdf(path); }},
      {"IsImageFile", "a", ".bmp", [](const std::wstring& path) { return IsImageFile(path); }},
      {"GetFileSignature", "a", ".pdf",
       [](const std::wstring& path) { return !GetFileSignature(path).empty(); }},
      {"GetFileTimes", "a", ".pdf",
       [](const std::wstring& path) {
         long modified = 0;
         return GetFileTimes(path, nullptr, &modified, nullptr);
       }},
      {"GetFileCount", "d", "",
       [](const std::wstring& path) {
         int count = 0;
         GetFileCount(path, count);
         return count > 0;
       }},
      {"IsReadable", "a", ".pdf", [](const std::wstring& path) { return IsReadable(path); }},
      {"IsWritable", "a", ".pdf", [](const std::wstring& path) { return IsWritable(path); }},
      {"GetExecuteCommand", "a", ".txt",
       [](const std::wstring& path) { return !GetExecuteCommand(path).empty(); }},
      {"ExecuteFile", "a", ".txt",
       [](const std::wstring& path) { return ExecuteFile(path, false); }},
  };
  const std::wstring folder = Wide(scratch.path()) + L"/";
  for (const auto& row : rows) {
    SCOPED_TRACE(row.function);
    const std::wstring stem = folder + Wide(row.stem), extension = Wide(row.extension);
    ASSERT_TRUE(row.positive(stem + extension)) << "the fixture's own file";
    for (const wchar_t bad : kNoScalarValues) {
      EXPECT_FALSE(row.positive(stem + bad + extension)) << "element " << std::hex << bad;
      // Only the text before the first NUL is a path; what follows it is never looked at.
      EXPECT_TRUE(row.positive(stem + extension + L'\0' + bad)) << "element " << std::hex << bad;
    }
  }

  // The file object keeps the path it was given, and says why nothing was opened.
  const std::wstring refused = folder + L"a" + kNoScalarValues[0] + L".pdf";
  COrvantaFile file;
  errno = 0;
  EXPECT_FALSE(file.Open(refused, O_RDONLY));
  EXPECT_EQ(errno, EILSEQ);
  EXPECT_EQ(file.GetFilePath(), refused);

  // Text functions that touch no file keep the conversion's dropping rule.
  EXPECT_EQ(AppendPathToString(std::wstring(L"dir"), refused.substr(folder.size())), "dir/a.pdf");
  EXPECT_EQ(GetMimeType(refused), GetMimeType(std::string("a.pdf")));
}

} // namespace
