#include "Interrupt.h"
#include "ScopedHandles.h"
#include "Utf8Path.h"
#include "Utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

using orvanta::sys::RetryOnInterrupt;
using orvanta::sys::UniqueFd;

namespace {

// Reads the first Size bytes of a regular file (following links) into a zeroed buffer. Bytes a
// short file does not supply, or a failed read leaves unread, stay zero. False for a missing
// path, anything but a regular file, or a file that does not open.
//
// The status comes first, so that nothing but a regular file is ever opened: opening a device can
// act on it (a watchdog arms itself on open) and opening a FIFO shows its writer a reader. A path
// can still be swapped between the status and the open, so the open never waits and never takes
// over a terminal (without O_NONBLOCK a FIFO with no writer would block it forever, without
// O_NOCTTY a terminal could become the caller's controlling terminal), and the opened descriptor
// is judged once more before anything is read from it.
template <std::size_t Size> bool ReadHead(const char* path, std::array<unsigned char, Size>& head) {
  struct stat info;
  if (::stat(path, &info) != 0 || !S_ISREG(info.st_mode))
    return false;
  const UniqueFd fd(
      RetryOnInterrupt([&] { return ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); }));
  if (!fd)
    return false;
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
    return false;
  head.fill(0);
  // One read, as much as it gives: O_NONBLOCK does not shorten reads of a regular file.
  static_cast<void>(RetryOnInterrupt([&] { return ::read(fd.get(), head.data(), head.size()); }));
  return true;
}

// One recognised head: the bytes at the start of the file, of which those whose bit is set in
// ignored are not compared (the JPEG segment length).
struct ImageHead {
  std::string_view bytes;
  unsigned ignored;
};

constexpr unsigned kSegmentLength = (1u << 4) | (1u << 5);

using namespace std::string_view_literals;
constexpr ImageHead kImageHeads[] = {
    {"BM"sv, 0},                                     // BMP
    {"GIF87a"sv, 0},                                 // GIF
    {"GIF89a"sv, 0},                                 //
    {"II*"sv, 0},                                    // TIFF, little-endian
    {"II+\0"sv, 0},                                  // BigTIFF, little-endian
    {"MM*"sv, 0},                                    // TIFF, big-endian
    {"MM\0*"sv, 0},                                  //
    {"MM\0+"sv, 0},                                  // BigTIFF, big-endian
    {"\x89PNG\r\n\x1A\n"sv, 0},                      // PNG
    {"\xFF\xD8\xFF\xE0..JFIF"sv, kSegmentLength},    // JPEG, JFIF segment
    {"\xFF\xD8\xFF\xE1..Exif"sv, kSegmentLength},    // JPEG, Exif segment
    {"\xFF\xD8\xFF\xE8..SPIFF\0"sv, kSegmentLength}, // JPEG, SPIFF segment
    {"\xFF\xD8\xFF\xFE\0"sv, 0},                     // JPEG, comment shorter than 256 bytes
};

// The two lower-case hexadecimal digits of every byte value, so that each byte of a signature is
// one copy.
constexpr std::array<std::array<wchar_t, 2>, 256> MakeHexPairs() {
  constexpr char kDigits[] = "0123456789abcdef";
  std::array<std::array<wchar_t, 2>, 256> pairs{};
  for (std::size_t value = 0; value < pairs.size(); ++value) {
    pairs[value][0] = static_cast<wchar_t>(kDigits[value >> 4]);
    pairs[value][1] = static_cast<wchar_t>(kDigits[value & 0x0F]);
  }
  return pairs;
}
constexpr std::array<std::array<wchar_t, 2>, 256> kHexPairs = MakeHexPairs();

constexpr std::size_t kImageHeadSize = 12;
constexpr std::size_t kSignatureSize = 576;
constexpr std::string_view kPdfHead = "%PDF-";

bool Matches(const std::array<unsigned char, kImageHeadSize>& head, const ImageHead& pattern) {
  for (std::size_t i = 0; i < pattern.bytes.size(); ++i) {
    if ((pattern.ignored >> i) & 1u)
      continue;
    if (head[i] != static_cast<unsigned char>(pattern.bytes[i]))
      return false;
  }
  return true;
}

} // namespace

std::wstring GetFileSignature(std::wstring path) {
  const std::optional<std::string> utf8 = orvanta::text::Utf8Path(path);
  std::array<unsigned char, kSignatureSize> head;
  if (!utf8 || !ReadHead(utf8->c_str(), head))
    return std::wstring();
  std::wstring signature(2 * kSignatureSize, L'0');
  wchar_t* out = signature.data();
  for (const unsigned char byte : head) {
    std::memcpy(out, kHexPairs[byte].data(), sizeof kHexPairs[byte]);
    out += 2;
  }
  return signature;
}

bool IsImageFile(std::string path) {
  std::array<unsigned char, kImageHeadSize> head;
  if (!ReadHead(path.c_str(), head))
    return false;
  // The patterns differ in their first bytes (and JPEG's in the fourth), so at most one applies
  // and the order of the table does not matter.
  for (const ImageHead& pattern : kImageHeads)
    if (Matches(head, pattern))
      return true;
  return false;
}

bool IsImageFile(std::wstring path) {
  std::optional<std::string> utf8 = orvanta::text::Utf8Path(path);
  return utf8 && IsImageFile(std::move(*utf8));
}

bool IsPdf(std::string path) {
  std::array<unsigned char, kPdfHead.size()> head;
  if (!ReadHead(path.c_str(), head))
    return false;
  return std::string_view(reinterpret_cast<const char*>(head.data()), head.size()) == kPdfHead;
}

bool IsPdf(std::wstring path) {
  std::optional<std::string> utf8 = orvanta::text::Utf8Path(path);
  return utf8 && IsPdf(std::move(*utf8));
}
