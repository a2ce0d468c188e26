#include "OrvantaFile.h"

#include "Interrupt.h"
#include "TextConvert.h"
#include "Utf8Path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>

using orvanta::sys::RetryOnInterrupt;
using orvanta::text::UpToNul;
using orvanta::text::Utf8ToWide;
using orvanta::text::WideToUtf8;

namespace {

constexpr int32_t kClosed = -1;
// Files are created with every permission the umask allows.
constexpr mode_t kCreateMode = S_IRWXU | S_IRWXG | S_IRWXO;
constexpr size_t kReadChunk = 4096;
// One call moves at most this many bytes, so its count always fits the int result.
constexpr uint64_t kMaxTransfer = INT_MAX;

static_assert(kCreateMode == 0777, "files are created with mode 0777");

} // namespace

COrvantaFile::COrvantaFile() : m_fd(kClosed) {}

COrvantaFile::COrvantaFile(std::string path, int flags) : m_fd(kClosed) {
  if (!Open(std::move(path), flags))
    m_fd = kClosed;
}

COrvantaFile::COrvantaFile(std::wstring path, int flags) : m_fd(kClosed) {
  if (!Open(std::move(path), flags))
    m_fd = kClosed;
}

bool COrvantaFile::Open(std::string path, int flags) {
  // Reopening must not leak the descriptor held so far.
  if (IsOpen())
    Close();
  m_path = Utf8ToWide(UpToNul(path));
  m_fd = RetryOnInterrupt([&] { return ::open(path.c_str(), flags, kCreateMode); });
  return m_fd != kClosed;
}

bool COrvantaFile::Open(std::wstring path, int flags) {
  if (IsOpen())
    Close();
  m_path = std::move(path);
  const std::optional<std::string> bytes = orvanta::text::Utf8Path(m_path);
  if (!bytes) {
    // No file has this name: the conversion would drop the invalid elements and open another.
    errno = EILSEQ;
    return false;
  }
  m_fd = RetryOnInterrupt([&] { return ::open(bytes->c_str(), flags, kCreateMode); });
  return m_fd != kClosed;
}

bool COrvantaFile::IsOpen() {
  return m_fd != kClosed;
}

int64_t COrvantaFile::Seek(uint64_t offset, int origin) {
  if (!IsOpen())
    return -1;
  return ::lseek(m_fd, static_cast<off_t>(offset), origin);
}

bool COrvantaFile::Truncate(uint64_t size) {
  if (!IsOpen())
    return false;
  const off_t length = static_cast<off_t>(size);
  if (::lseek(m_fd, length, SEEK_SET) == -1)
    return false;
  return RetryOnInterrupt([&] { return ::ftruncate(m_fd, length); }) == 0;
}

int COrvantaFile::Read(void* buffer, uint64_t size) {
  if (!IsOpen() || buffer == nullptr)
    return -1;
  const size_t count = static_cast<size_t>(size < kMaxTransfer ? size : kMaxTransfer);
  return static_cast<int>(RetryOnInterrupt([&] { return ::read(m_fd, buffer, count); }));
}

std::string COrvantaFile::ReadToString() {
  std::string result;
  if (!IsOpen())
    return result;
  char buffer[kReadChunk];
  for (;;) {
    std::memset(buffer, 0, sizeof buffer);
    const ssize_t got = RetryOnInterrupt([&] { return ::read(m_fd, buffer, sizeof buffer); });
    if (got <= 0)
      break;
    result.append(buffer, static_cast<size_t>(got));
  }
  return result;
}

std::wstring COrvantaFile::ReadToWstring() {
  if (!IsOpen())
    return std::wstring();
  const std::string bytes = ReadToString();
  return Utf8ToWide(UpToNul(bytes));
}

int COrvantaFile::Write(const void* data, uint64_t size) {
  if (!IsOpen() || data == nullptr)
    return -1;
  if (size == 0)
    return 0;
  const size_t count = static_cast<size_t>(size < kMaxTransfer ? size : kMaxTransfer);
  return static_cast<int>(RetryOnInterrupt([&] { return ::write(m_fd, data, count); }));
}

bool COrvantaFile::Write(std::string text) {
  if (!IsOpen())
    return false;
  const char* next = text.data();
  size_t remaining = text.size();
  while (remaining > 0) {
    const int written = Write(next, remaining);
    // A write that moves nothing would otherwise repeat forever.
    if (written <= 0)
      return false;
    next += written;
    remaining -= static_cast<size_t>(written);
  }
  return true;
}

bool COrvantaFile::Write(std::wstring text) {
  if (!IsOpen())
    return false;
  if (text.empty())
    return true;
  return Write(WideToUtf8(UpToNul(text)));
}

bool COrvantaFile::Close() {
  if (!IsOpen())
    return false;
  // close is never retried: the descriptor is released even when close reports an error, and a
  // second close could hit a descriptor that another thread has opened meanwhile.
  const int result = ::close(m_fd);
  m_fd = kClosed;
  return result == 0;
}

std::wstring COrvantaFile::GetFilePath() {
  return m_path;
}
