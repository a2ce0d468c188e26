#include "OrvantaFile.h"
#include "TextConvert.h"
#include "Utils.h"

#include <fcntl.h>

#include <boost/filesystem/operations.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

// Reads the first Size bytes of a regular file (following links) into a zeroed buffer. Bytes a
// short file does not supply, or a failed read leaves unread, stay zero. False for a missing
// path, anything but a regular file, a file that does not open, or an unreadable status.
template <std::size_t Size, class Path>
bool ReadHead(const std::string& utf8Path, const Path& openPath,
              std::array<unsigned char, Size>& head) {
  try {
    if (!boost::filesystem::is_regular_file(boost::filesystem::status(utf8Path)))
      return false;
  } catch (const boost::filesystem::filesystem_error&) {
    return false;
  }
  COrvantaFile file(openPath, O_RDONLY);
  if (!file.IsOpen())
    return false;
  head.fill(0);
  file.Read(head.data(), head.size());
  file.Close();
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
  std::array<unsigned char, kSignatureSize> head;
  if (!ReadHead(orvanta::text::WideToUtf8(path), path, head))
    return std::wstring();
  static constexpr char kDigits[] = "0123456789abcdef";
  std::wstring signature(2 * kSignatureSize, L'0');
  for (std::size_t i = 0; i < kSignatureSize; ++i) {
    signature[2 * i] = static_cast<wchar_t>(kDigits[head[i] >> 4]);
    signature[2 * i + 1] = static_cast<wchar_t>(kDigits[head[i] & 0x0F]);
  }
  return signature;
}

bool IsImageFile(std::string path) {
  std::array<unsigned char, kImageHeadSize> head;
  if (!ReadHead(path, path, head))
    return false;
  // The patterns differ in their first bytes (and JPEG's in the fourth), so at most one applies
  // and the order of the table does not matter.
  for (const ImageHead& pattern : kImageHeads)
    if (Matches(head, pattern))
      return true;
  return false;
}

bool IsImageFile(std::wstring path) {
  return IsImageFile(orvanta::text::WideToUtf8(path));
}

bool IsPdf(std::string path) {
  std::array<unsigned char, kPdfHead.size()> head;
  if (!ReadHead(path, path, head))
    return false;
  return std::string_view(reinterpret_cast<const char*>(head.data()), head.size()) == kPdfHead;
}

bool IsPdf(std::wstring path) {
  return IsPdf(orvanta::text::WideToUtf8(path));
}
