#include "OrvantaFile.h"
#include "TestSupport.h"
#include "TextConvert.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using orvanta::test::ReadFile;
using orvanta::test::ScratchDir;
using orvanta::test::WriteFile;

namespace {

std::wstring Wide(const std::string& path) {
  return orvanta::text::Utf8ToWide(path);
}

const std::string kBinary = std::string("head\0middle\0tail", 16);

class OrvantaFileTest : public ::testing::Test {
protected:
  ScratchDir dir{"orvanta-file"};
};

// Every operation of a closed object fails at once, without touching errno (no system call).
TEST_F(OrvantaFileTest, ClosedObjectFailsEveryOperationWithoutSystemCall) {
  COrvantaFile neverOpened;
  COrvantaFile closedAgain(dir / "f", O_WRONLY | O_CREAT);
  ASSERT_TRUE(closedAgain.IsOpen());
  ASSERT_TRUE(closedAgain.Close());

  char buffer[8];
  struct Case {
    const char* name;
    std::function<bool(COrvantaFile&)> fails;
  } cases[] = {
      {"IsOpen", [](COrvantaFile& f) { return !f.IsOpen(); }},
      {"Read", [&](COrvantaFile& f) { return f.Read(buffer, sizeof buffer) == -1; }},
      {"Write(data)", [](COrvantaFile& f) { return f.Write("x", 1) == -1; }},
      {"Write(empty data)", [](COrvantaFile& f) { return f.Write("", 0) == -1; }},
      {"Seek", [](COrvantaFile& f) { return f.Seek(0, SEEK_SET) == -1; }},
      {"Truncate", [](COrvantaFile& f) { return !f.Truncate(0); }},
      {"Write(string)", [](COrvantaFile& f) { return !f.Write(std::string("x")); }},
      {"Write(empty string)", [](COrvantaFile& f) { return !f.Write(std::string()); }},
      {"Write(wstring)", [](COrvantaFile& f) { return !f.Write(std::wstring(L"x")); }},
      {"Write(empty wstring)", [](COrvantaFile& f) { return !f.Write(std::wstring()); }},
      {"ReadToString", [](COrvantaFile& f) { return f.ReadToString().empty(); }},
      {"ReadToWstring", [](COrvantaFile& f) { return f.ReadToWstring().empty(); }},
      {"Close", [](COrvantaFile& f) { return !f.Close(); }},
  };
  for (COrvantaFile* file : {&neverOpened, &closedAgain}) {
    for (const Case& c : cases) {
      errno = 0;
      EXPECT_TRUE(c.fails(*file)) << c.name;
      EXPECT_EQ(errno, 0) << c.name;
    }
  }
  EXPECT_EQ(neverOpened.GetFilePath(), L"");
  EXPECT_EQ(closedAgain.GetFilePath(), Wide(dir / "f"));
}

// A failed open leaves the object closed but remembers the path tried, in both path forms.
TEST_F(OrvantaFileTest, FailedOpenKeepsPathAndErrno) {
  const std::string missing = dir / "caf\xC3\xA9-missing";
  COrvantaFile narrow(missing, O_RDONLY);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(narrow.IsOpen());
  const std::wstring wideMissing = Wide(dir.path()) + L"/caf\u00E9-missing";
  EXPECT_EQ(narrow.GetFilePath(), wideMissing);

  COrvantaFile wide(wideMissing, O_RDONLY);
  EXPECT_FALSE(wide.IsOpen());
  EXPECT_EQ(wide.GetFilePath(), wideMissing);
}

// The flags reach open unchanged and a created file gets mode 0777 less the umask.
TEST_F(OrvantaFileTest, CreatesWithMode0777LessUmask) {
  const mode_t saved = umask(022);
  COrvantaFile file(dir / "created", O_WRONLY | O_CREAT);
  umask(saved);
  ASSERT_TRUE(file.IsOpen());
  struct stat info {};
  ASSERT_EQ(stat((dir / "created").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
  // Opened write-only: reading fails in the system call.
  char byte;
  EXPECT_EQ(file.Read(&byte, 1), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_TRUE(file.Close());

  COrvantaFile exclusive(dir / "created", O_WRONLY | O_CREAT | O_EXCL);
  EXPECT_FALSE(exclusive.IsOpen());
  EXPECT_EQ(errno, EEXIST);
}

// Opening an object again releases the descriptor it held.
TEST_F(OrvantaFileTest, ReopenClosesPreviousDescriptor) {
  WriteFile(dir / "a", "first");
  WriteFile(dir / "b", "second");
  const int lowest = dup(0);
  ASSERT_NE(lowest, -1);
  close(lowest);

  COrvantaFile file(dir / "a", O_RDONLY);
  ASSERT_TRUE(file.IsOpen());
  ASSERT_TRUE(file.Open(Wide(dir / "b"), O_RDONLY));
  EXPECT_EQ(file.ReadToString(), "second");
  ASSERT_TRUE(file.Close());
  errno = 0;
  EXPECT_EQ(fcntl(lowest, F_GETFD), -1) << "descriptor of the first open leaked";
  EXPECT_EQ(errno, EBADF);
}

// A failed close still leaves the object closed, so it never closes a reused descriptor later.
TEST_F(OrvantaFileTest, FailedCloseLeavesObjectClosed) {
  WriteFile(dir / "c", "data");
  const int lowest = dup(0);
  ASSERT_NE(lowest, -1);
  close(lowest);
  COrvantaFile file(dir / "c", O_RDONLY);
  ASSERT_TRUE(file.IsOpen());
  ASSERT_EQ(close(lowest), 0); // the object's descriptor, closed behind its back

  EXPECT_FALSE(file.Close());
  EXPECT_EQ(errno, EBADF);
  EXPECT_FALSE(file.IsOpen());
  const int reused = dup(0);
  ASSERT_EQ(reused, lowest);
  EXPECT_FALSE(file.Close());
  EXPECT_NE(fcntl(reused, F_GETFD), -1) << "the stale object closed a descriptor it does not own";
  close(reused);
}

// Reads move the position: a Read, then the whole rest, then nothing more.
TEST_F(OrvantaFileTest, ReadsFollowThePosition) {
  std::string content;
  for (int i = 0; i < 10000; ++i)
    content += static_cast<char>(i % 251); // zero bytes inside, longer than one 4096-byte chunk
  WriteFile(dir / "data", content);

  COrvantaFile file(dir / "data", O_RDONLY);
  ASSERT_TRUE(file.IsOpen());
  char head[10];
  ASSERT_EQ(file.Read(head, sizeof head), 10);
  EXPECT_EQ(std::string(head, 10), content.substr(0, 10));
  EXPECT_EQ(file.ReadToString(), content.substr(10));
  EXPECT_EQ(file.Seek(0, SEEK_CUR), static_cast<int64_t>(content.size()));
  EXPECT_EQ(file.Read(head, sizeof head), 0);
  EXPECT_EQ(file.ReadToString(), "");
  EXPECT_EQ(file.Read(nullptr, 1), -1);

  // A negative offset travels in two's complement.
  EXPECT_EQ(file.Seek(static_cast<uint64_t>(-3), SEEK_END),
            static_cast<int64_t>(content.size() - 3));
  EXPECT_EQ(file.ReadToString(), content.substr(content.size() - 3));
  EXPECT_TRUE(file.Close());
}

// ReadToString keeps zero bytes; ReadToWstring stops at the first one and keeps a BOM.
TEST_F(OrvantaFileTest, WholeFileReads) {
  WriteFile(dir / "binary", kBinary);
  COrvantaFile binary(dir / "binary", O_RDONLY);
  EXPECT_EQ(binary.ReadToString(), kBinary);
  EXPECT_EQ(binary.Seek(0, SEEK_SET), 0);
  EXPECT_EQ(binary.ReadToWstring(), L"head");
  binary.Close();

  WriteFile(dir / "bom", "\xEF\xBB\xBF"
                         "caf\xC3\xA9");
  COrvantaFile bom(dir / "bom", O_RDONLY);
  EXPECT_EQ(bom.ReadToWstring(), L"\uFEFFcaf\u00E9");
  bom.Close();
}

// Truncate sets the exact length and leaves the position at the new end.
TEST_F(OrvantaFileTest, TruncateSetsLengthAndPosition) {
  WriteFile(dir / "t", "0123456789");
  COrvantaFile file(dir / "t", O_RDWR);
  ASSERT_TRUE(file.IsOpen());
  EXPECT_TRUE(file.Truncate(4));
  EXPECT_EQ(file.Seek(0, SEEK_CUR), 4);
  EXPECT_EQ(ReadFile(dir / "t"), "0123");

  EXPECT_TRUE(file.Truncate(6));
  EXPECT_EQ(ReadFile(dir / "t"), std::string("0123\0\0", 6));
  EXPECT_TRUE(file.Write(std::string("x")));
  EXPECT_EQ(ReadFile(dir / "t"), std::string("0123\0\0x", 7));

  EXPECT_TRUE(file.Truncate(0));
  EXPECT_EQ(file.Seek(0, SEEK_CUR), 0);
  EXPECT_EQ(ReadFile(dir / "t"), "");
  EXPECT_TRUE(file.Close());

  COrvantaFile readOnly(dir / "t", O_RDONLY);
  EXPECT_FALSE(readOnly.Truncate(3));
  readOnly.Close();
}

// Narrow text is written whole; wide text as UTF-8 up to its first NUL, without a BOM.
TEST_F(OrvantaFileTest, WritesText) {
  COrvantaFile file(dir / "w", O_WRONLY | O_CREAT);
  ASSERT_TRUE(file.IsOpen());
  EXPECT_TRUE(file.Write(std::string()));
  EXPECT_TRUE(file.Write(std::wstring()));
  EXPECT_EQ(file.Write("abc", 0), 0);
  EXPECT_EQ(file.Write(nullptr, 3), -1);
  EXPECT_EQ(ReadFile(dir / "w"), "");

  EXPECT_TRUE(file.Write(kBinary));
  EXPECT_TRUE(file.Write(std::wstring(L"\u00E9\u4E2D\U0001F600\0ignored", 12)));
  EXPECT_EQ(file.Write("!?", 2), 2);
  EXPECT_TRUE(file.Close());
  EXPECT_FALSE(file.Close());
  EXPECT_EQ(ReadFile(dir / "w"), kBinary + "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80!?");

  // A descriptor opened for reading refuses writes in the system call.
  COrvantaFile readOnly(dir / "w", O_RDONLY);
  EXPECT_EQ(readOnly.Write("x", 1), -1);
  EXPECT_FALSE(readOnly.Write(std::string("x")));
  EXPECT_FALSE(readOnly.Write(std::wstring(L"x")));
  readOnly.Close();
}

} // namespace
