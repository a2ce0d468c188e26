#include "RunAsUser.h"
#include "TestSupport.h"
#include "TextConvert.h"
#include "Utils.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::string_literals;
using orvanta::test::NobodyUid;
using orvanta::test::RunAsUser;
using orvanta::test::ScratchDir;
using orvanta::test::WriteFile;
using orvanta::text::Utf8ToWide;

namespace {

const std::wstring kZeroSignature(1152, L'0');

// Every row of the image table with a twin that misses by one byte; bytes a short file lacks
// count as zero.
TEST(IsImageFile, KnowsTheImageHeads) {
  struct Case {
    const char* name;
    std::string head;
    bool image;
  } cases[] = {
      {"bmp", "BM"s, true},
      {"bmp-not", "BN\0\0\0\0\0\0\0\0"s, false},
      {"b-only", "B"s, false},
      {"gif87", "GIF87a\x01\x00"s, true},
      {"gif89", "GIF89a"s, true},
      {"gif-not", "GIF88a"s, false},
      {"gif-short", "GIF8"s, false},
      {"tiff-le", "II*"s, true}, // the fourth byte is not required
      {"tiff-le-full", "II*\0\x08\0\0\0"s, true},
      {"bigtiff-le", "II+\0\x08\0"s, true},
      {"bigtiff-le-short", "II+"s, true}, // the missing fourth byte reads as zero
      {"bigtiff-le-not", "II+\x01"s, false},
      {"tiff-le-not", "IJ*\0"s, false},
      {"tiff-be", "MM*"s, true},
      {"tiff-be-zero", "MM\0*"s, true},
      {"bigtiff-be", "MM\0+\0\x08"s, true},
      {"tiff-be-not", "MM\0-"s, false},
      {"tiff-be-plus-not", "MM+\0"s, false},
      {"mm-only", "MM"s, false},
      {"png", "\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR"s, true},
      {"png-not", "\x89PNG\n\n\x1A\n"s, false},
      {"jfif", "\xFF\xD8\xFF\xE0\x00\x10JFIF\0\x01"s, true},
      {"jfif-any-length", "\xFF\xD8\xFF\xE0\xAB\xCDJFIF"s, true}, // segment length not read
      {"jfif-not", "\xFF\xD8\xFF\xE0\x00\x10JFIX"s, false},
      {"exif",
       "\xFF\xD8\xFF\xE1\x12\x34"
       "Exif\0\0"s,
       true},
      {"exif-not",
       "\xFF\xD8\xFF\xE1\x12\x34"
       "exif"s,
       false},
      {"spiff", "\xFF\xD8\xFF\xE8\x00\x1ESPIFF\0"s, true},
      {"spiff-not", "\xFF\xD8\xFF\xE8\x00\x1ESPIFF!"s, false},
      {"comment", "\xFF\xD8\xFF\xFE\x00\x20hello"s, true},
      {"comment-long", "\xFF\xD8\xFF\xFE\x01\x00hello"s, false}, // length 256 or more
      {"jpeg-other-marker", "\xFF\xD8\xFF\xDB\x00\x43\0\0\0\0\0\0"s, false},
      {"jpeg-not", "\xFF\xD8\xFE\xE0\x00\x10JFIF"s, false},
      {"jfif-misplaced", "\xFF\xD8\xFF\xE1\x00\x10JFIF"s, false}, // rows are not mixed
      {"pdf", "%PDF-1.7\n"s, false},
      {"empty", ""s, false},
  };
  ScratchDir scratch;
  for (const Case& c : cases) {
    const std::string path = scratch / c.name;
    WriteFile(path, c.head);
    EXPECT_EQ(IsImageFile(path), c.image) << c.name;
    EXPECT_EQ(IsImageFile(Utf8ToWide(path)), c.image) << c.name;
  }
}

TEST(IsPdf, WantsExactlyTheFiveHeadBytes) {
  struct Case {
    const char* name;
    std::string head;
    bool pdf;
  } cases[] = {
      {"full", "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n"s, true},
      {"dash-only", "%PDF-"s, true}, // neither version nor end marker is looked at
      {"no-dash", "%PDF"s, false},
      {"lower", "%pdf-1.4"s, false},
      {"offset", " %PDF-1.4"s, false},
      {"empty", ""s, false},
  };
  ScratchDir scratch;
  for (const Case& c : cases) {
    const std::string path = scratch / c.name;
    WriteFile(path, c.head);
    EXPECT_EQ(IsPdf(path), c.pdf) << c.name;
    EXPECT_EQ(IsPdf(Utf8ToWide(path)), c.pdf) << c.name;
  }
}

TEST(GetFileSignature, RendersThe576HeadBytesAsHex) {
  ScratchDir scratch;
  // Every byte value, in order, longer than the head.
  std::string bytes;
  for (int i = 0; i < 700; ++i)
    bytes.push_back(static_cast<char>(i & 0xFF));
  WriteFile(scratch / "long", bytes);
  std::wstring expected;
  for (int i = 0; i < 576; ++i) {
    static const wchar_t digits[] = L"0123456789abcdef";
    expected += digits[(i & 0xFF) >> 4];
    expected += digits[i & 0x0F];
  }
  EXPECT_EQ(GetFileSignature(Utf8ToWide(scratch / "long")), expected);

  // A short file is padded with zero bytes; an empty one is all zeros.
  WriteFile(scratch / "short.png", "\x89PNG\xFF"s);
  EXPECT_EQ(GetFileSignature(Utf8ToWide(scratch / "short.png")),
            L"89504e47ff" + std::wstring(1142, L'0'));
  WriteFile(scratch / "empty", "");
  EXPECT_EQ(GetFileSignature(Utf8ToWide(scratch / "empty")), kZeroSignature);

  // A name beyond ASCII.
  WriteFile(scratch / "Caf\xC3\xA9.bin", "\x01\x02"s);
  EXPECT_EQ(GetFileSignature(Utf8ToWide(scratch / "Caf\xC3\xA9.bin")),
            L"0102" + std::wstring(1148, L'0'));
}

// Every detection function, narrow and wide, says no for the path.
void ExpectNoAnswer(const std::string& path) {
  EXPECT_FALSE(IsImageFile(path)) << path;
  EXPECT_FALSE(IsImageFile(Utf8ToWide(path))) << path;
  EXPECT_FALSE(IsPdf(path)) << path;
  EXPECT_FALSE(IsPdf(Utf8ToWide(path))) << path;
  EXPECT_EQ(GetFileSignature(Utf8ToWide(path)), L"") << path;
}

// Only regular files, reached through links, are opened; everything else is a quiet no.
TEST(FileTypeDetection, AnswersOnlyForRegularFiles) {
  ScratchDir scratch;
  const std::string png = "\x89PNG\r\n\x1A\n"s;
  WriteFile(scratch / "image.png", png);
  WriteFile(scratch / "doc.pdf", "%PDF-1.4"s);
  ASSERT_EQ(symlink("image.png", (scratch / "link.png").c_str()), 0);
  ASSERT_EQ(symlink("doc.pdf", (scratch / "link.pdf").c_str()), 0);
  ASSERT_EQ(symlink("missing.png", (scratch / "dangling.png").c_str()), 0);
  ASSERT_EQ(mkdir((scratch / "x.png").c_str(), 0755), 0);
  // A FIFO without a writer would block an open for reading: it must not be opened at all.
  ASSERT_EQ(mkfifo((scratch / "fifo.png").c_str(), 0644), 0);

  EXPECT_TRUE(IsImageFile(scratch / "link.png"));
  EXPECT_TRUE(IsPdf(scratch / "link.pdf"));
  EXPECT_EQ(GetFileSignature(Utf8ToWide(scratch / "link.png")).substr(0, 16), L"89504e470d0a1a0a");

  for (const char* name : {"x.png", "missing.png", "dangling.png", "fifo.png"})
    ExpectNoAnswer(scratch / name);

  // A FIFO swapped in for the file between any two steps of a call: every call answers at once,
  // either for the image or with a no. Should a call ever wait on the FIFO, the watchdog opens the
  // FIFO's writing end to set it free, and the test fails instead of hanging.
  const std::string swapped = scratch / "swapped.png", fifo = scratch / "swapped-fifo.png";
  WriteFile(swapped, png);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  std::mutex mutex;
  std::condition_variable finished;
  std::atomic<bool> done{false};
  std::atomic<int> rescues{0};
  std::thread swapper([&] {
    while (!done)
      renameat2(AT_FDCWD, swapped.c_str(), AT_FDCWD, fifo.c_str(), RENAME_EXCHANGE);
  });
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(mutex);
    if (finished.wait_for(lock, std::chrono::seconds(60), [&] { return done.load(); }))
      return;
    lock.unlock();
    while (!done) {
      for (const std::string& path : {swapped, fifo}) {
        const int writer = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (writer >= 0) {
          ++rescues;
          close(writer);
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  int wrong = 0;
  for (int i = 0; i < 3000; ++i) {
    static_cast<void>(IsImageFile(swapped)); // true or false, depending on what it met
    wrong += IsPdf(swapped);
    const std::wstring signature = GetFileSignature(Utf8ToWide(swapped));
    wrong += !signature.empty() && signature.compare(0, 16, L"89504e470d0a1a0a") != 0;
  }
  {
    const std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  finished.notify_all();
  swapper.join();
  watchdog.join();
  EXPECT_EQ(rescues, 0) << "a call waited on a FIFO";
  EXPECT_EQ(wrong, 0);
}

// The status decides before anything is opened: a FIFO, a device node and a folder (each also
// behind a link) are never opened at all, so a FIFO's writer never sees a reader come and go and
// a device's driver never sees an open. inotify reports every open in the folder; the image
// opened last proves that it would have reported the others.
TEST(FileTypeDetection, OpensNothingButRegularFiles) {
  ScratchDir scratch;
  WriteFile(scratch / "image.png", "\x89PNG\r\n\x1A\n"s);
  ASSERT_EQ(mkfifo((scratch / "fifo.png").c_str(), 0644), 0);
  ASSERT_EQ(mkdir((scratch / "folder.png").c_str(), 0755), 0);
  std::vector<std::string> names = {"fifo.png", "folder.png", "fifo-link.png"};
  ASSERT_EQ(symlink("fifo.png", (scratch / "fifo-link.png").c_str()), 0);
  // The null device's numbers: harmless should it be opened all the same. A machine that lets
  // nobody make device nodes skips that row, after the others have run.
  std::string refusal;
  if (mknod((scratch / "null.png").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0)
    names.push_back("null.png");
  else
    refusal = std::string("mknod: ") + std::strerror(errno);

  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, scratch.path().c_str(), IN_OPEN), 0);
  for (const std::string& name : names)
    ExpectNoAnswer(scratch / name);
  EXPECT_TRUE(IsImageFile(scratch / "image.png"));

  std::string opened;
  alignas(inotify_event) char events[16 * 1024];
  for (ssize_t got; (got = read(watch, events, sizeof events)) > 0;) {
    for (char* at = events; at < events + got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      opened += std::string(event->len > 0 ? event->name : "(the folder)") + " ";
      at += sizeof(inotify_event) + event->len;
    }
  }
  close(watch);
  EXPECT_EQ(opened, "image.png ");
  if (!refusal.empty())
    GTEST_SKIP() << "the device row did not run: " << refusal;
}

// A file the caller may not open, and a path whose status cannot be read, both give no.
TEST(FileTypeDetection, RefusalsAreQuietNegatives) {
  ScratchDir scratch;
  ASSERT_EQ(chmod(scratch.path().c_str(), 0755), 0);
  WriteFile(scratch / "closed.png", "\x89PNG\r\n\x1A\n"s, 0000);
  WriteFile(scratch / "open.png", "\x89PNG\r\n\x1A\n"s, 0644);
  ASSERT_EQ(mkdir((scratch / "sealed").c_str(), 0700), 0);
  WriteFile(scratch / "sealed/inside.pdf", "%PDF-1.4"s, 0644);

  const auto answers = RunAsUser(NobodyUid(), [&] {
    std::string text;
    for (const char* name : {"open.png", "closed.png", "sealed/inside.pdf"}) {
      const std::string path = scratch / name;
      text += IsImageFile(path) ? 'I' : '-';
      text += IsPdf(path) ? 'P' : '-';
      text += GetFileSignature(Utf8ToWide(path)).empty() ? '-' : 'S';
      text += ' ';
    }
    return text;
  });
  ORVANTA_ASSERT_RAN(answers);
  EXPECT_EQ(*answers, "I-S --- --- ");
}

} // namespace
