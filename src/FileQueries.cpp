#include "OrvantaFile.h"
#include "TextConvert.h"
#include "Utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>

#include <string_view>

namespace fs = boost::filesystem;
using orvanta::text::UpToNul;
using orvanta::text::Utf8ToWide;
using orvanta::text::WideToUtf8;

namespace {

// The narrow path the system calls see. Only the text before a NUL is taken: the calls would stop
// there anyway, and a path that kept the rest would name one folder while Boost appended entries
// to another text (a walk would then descend into the same folder without end).
std::string Utf8Path(const std::wstring& path) {
  return WideToUtf8(UpToNul(path));
}

bool StartsWith(std::wstring_view text, std::wstring_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Boost's notion of existence: the status, following links, is neither an error nor "not found".
// Throws filesystem_error when the status cannot be read.
bool Exists(const std::string& path) {
  return fs::exists(fs::status(path));
}

// The first occurrence of parent in child that stands on whole path elements, or npos. An empty
// parent is found at the start.
std::size_t FindParent(const std::string& child, const std::string& parent) {
  if (parent.empty())
    return 0;
  for (std::size_t at = child.find(parent); at != std::string::npos;
       at = child.find(parent, at + 1)) {
    const std::size_t end = at + parent.size();
    const bool startsElement = at == 0 || parent.front() == '/' || child[at - 1] == '/';
    const bool endsElement = end == child.size() || parent.back() == '/' || child[end] == '/';
    if (startsElement && endsElement)
      return at;
  }
  return std::string::npos;
}

// Used when the paths cannot be made canonical (a folder on the way cannot be searched): finds
// the parent's text inside the child's and returns what follows it.
std::wstring SubDirectoryByText(const std::string& parent, const std::string& child) {
  const std::size_t at = FindParent(child, parent);
  if (at == std::string::npos)
    return std::wstring();
  std::string rest = child.substr(at + parent.size());
  if (!rest.empty() && rest.front() == '/')
    rest.erase(0, 1);
  return Utf8ToWide(NfdToNfc(rest));
}

} // namespace

std::wstring GetSubDirectory(fs::path parent, fs::path child) {
  std::wstring text;
  try {
    text = Utf8ToWide(NfdToNfc(fs::relative(child, parent).native()));
  } catch (const fs::filesystem_error&) {
    return SubDirectoryByText(parent.native(), child.native());
  }
  // Outside the parent.
  if (text == L".." || StartsWith(text, L"..\\") || StartsWith(text, L"../"))
    return std::wstring();
  if (text == L"." || StartsWith(text, L".\\") || StartsWith(text, L"./"))
    text.erase(0, 1);
  if (StartsWith(text, L"/"))
    text.erase(0, 1);
  return text;
}

bool GetFileTimes(std::string path, long* changeTime, long* modifyTime, long* accessTime) {
  return GetFileTimes(Utf8ToWide(UpToNul(path)), changeTime, modifyTime, accessTime);
}

bool GetFileTimes(std::wstring path, long* changeTime, long* modifyTime, long* accessTime) {
  const std::string utf8 = Utf8Path(path);
  try {
    if (!Exists(utf8))
      return false;
  } catch (const fs::filesystem_error&) {
    return false;
  }
  struct stat info;
  if (lstat(utf8.c_str(), &info) != 0)
    return false;
  if (changeTime != nullptr)
    *changeTime = static_cast<long>(info.st_ctime);
  if (modifyTime != nullptr)
    *modifyTime = static_cast<long>(info.st_mtime);
  if (accessTime != nullptr)
    *accessTime = static_cast<long>(info.st_atime);
  return true;
}

void GetFileCount(std::wstring path, int& count) {
  const std::string utf8 = Utf8Path(path);
  if (!Exists(utf8))
    return;
  // The walk learns each entry's type from the directory itself, so status() costs a system call
  // only for symbolic links. Linked folders are not entered and are not regular files.
  for (fs::recursive_directory_iterator it(utf8), end; it != end; ++it)
    if (it->status().type() == fs::regular_file)
      ++count;
}

bool IsReadable(std::wstring path) {
  const std::string utf8 = Utf8Path(path);
  fs::file_type type;
  try {
    type = fs::status(utf8).type();
    if (type == fs::directory_file) {
      // Reading the first entry proves the folder can be listed; the answer itself is irrelevant.
      static_cast<void>(fs::is_empty(utf8));
      return true;
    }
  } catch (const fs::filesystem_error&) {
    return false;
  }
  // Never wait on a FIFO or a terminal, and never become its controlling process.
  COrvantaFile file(utf8, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (!file.IsOpen())
    return false;
  // Only a regular file is read: a byte read from a pipe, socket or device would be taken from
  // whoever it was meant for.
  bool readable = true;
  if (type == fs::regular_file) {
    char byte;
    readable = file.Read(&byte, sizeof byte) != -1;
  }
  file.Close();
  return readable;
}

bool IsWritable(std::wstring path) {
  const std::string utf8 = Utf8Path(path);
  try {
    if (!fs::is_directory(fs::status(utf8)))
      return access(utf8.c_str(), W_OK) == 0;
    // A folder is writable when a new file can be made and written in it. The random name keeps
    // concurrent probes apart and away from existing files.
    const std::string probe = AppendPathToString(utf8, CreateUUIDString());
    COrvantaFile file(probe, O_WRONLY | O_CREAT);
    if (!file.IsOpen())
      return false;
    const bool written = file.Write(probe);
    file.Close();
    fs::remove(probe);
    return written;
  } catch (const fs::filesystem_error&) {
    return false;
  }
}
