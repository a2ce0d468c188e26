#include "Interrupt.h"
#include "OrvantaFile.h"
#include "ScopedHandles.h"
#include "TextConvert.h"
#include "Utf8Path.h"
#include "Utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/system/error_code.hpp>

#include <cerrno>
#include <optional>
#include <string_view>
#include <vector>

namespace fs = boost::filesystem;
using orvanta::sys::RetryOnInterrupt;
using orvanta::sys::UniqueDir;
using orvanta::sys::UniqueFd;
using orvanta::text::UpToNul;
using orvanta::text::Utf8Path;
using orvanta::text::Utf8ToWide;

namespace {

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

// Throws the error a failed call left in errno, naming the call and the path.
[[noreturn]] void ThrowLastError(const char* call, const std::string& path) {
  throw fs::filesystem_error(call, fs::path(path),
                             boost::system::error_code(errno, boost::system::system_category()));
}

// Opens a folder for listing: the walk's root as given (a link to a folder is followed), a folder
// found inside it never through a link.
UniqueDir OpenFolder(int parentFd, const char* name, bool followLink, const std::string& path) {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
  UniqueFd fd(RetryOnInterrupt([&] { return openat(parentFd, name, flags); }));
  if (!fd)
    ThrowLastError("opendir", path);
  UniqueDir dir(fdopendir(fd.get()));
  if (!dir) {
    const int error = errno;
    fd.reset();
    errno = error;
    ThrowLastError("opendir", path);
  }
  // The listing owns the descriptor now.
  fd.release();
  return dir;
}

// The walk of a recursive_directory_iterator with default options: every entry once, folders
// entered, links to folders not. The listing's own entry type answers for all but links (and
// for file systems that do not report types), so most entries cost no status call at all.
// Throws filesystem_error when a folder cannot be listed or a status cannot be read; count keeps
// what was added until then.
void CountRegularFiles(const std::string& root, int& count) {
  std::vector<UniqueDir> folders;
  std::vector<std::size_t> pathLengths;
  std::string path = root;
  folders.push_back(OpenFolder(AT_FDCWD, root.c_str(), true, path));
  while (!folders.empty()) {
    DIR* dir = folders.back().get();
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      if (errno != 0)
        ThrowLastError("readdir", path);
      folders.pop_back();
      if (!pathLengths.empty()) {
        path.resize(pathLengths.back());
        pathLengths.pop_back();
      }
      continue;
    }
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
      continue;
    unsigned char type = entry->d_type;
    struct stat info;
    if (type == DT_UNKNOWN) {
      if (fstatat(dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) // gone since it was listed
          continue;
        ThrowLastError("lstat", path + "/" + name);
      }
      type = S_ISREG(info.st_mode)   ? DT_REG
             : S_ISDIR(info.st_mode) ? DT_DIR
             : S_ISLNK(info.st_mode) ? DT_LNK
                                     : DT_UNKNOWN;
    }
    if (type == DT_LNK) {
      if (fstatat(dirfd(dir), name, &info, 0) == 0) {
        if (S_ISREG(info.st_mode))
          ++count;
      } else if (errno != ENOENT && errno != ENOTDIR) { // a dangling link is simply not counted
        ThrowLastError("stat", path + "/" + name);
      }
    } else if (type == DT_REG) {
      ++count;
    } else if (type == DT_DIR) {
      pathLengths.push_back(path.size());
      path.append("/").append(name);
      folders.push_back(OpenFolder(dirfd(dir), name, false, path));
    }
  }
}

// The times of a narrow path, as GetFileTimes promises them.
bool TimesOf(const std::string& path, long* changeTime, long* modifyTime, long* accessTime) {
  try {
    if (!Exists(path))
      return false;
  } catch (const fs::filesystem_error&) {
    return false;
  }
  struct stat info;
  if (lstat(path.c_str(), &info) != 0)
    return false;
  if (changeTime != nullptr)
    *changeTime = static_cast<long>(info.st_ctime);
  if (modifyTime != nullptr)
    *modifyTime = static_cast<long>(info.st_mtime);
  if (accessTime != nullptr)
    *accessTime = static_cast<long>(info.st_atime);
  return true;
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
  // The bytes as given, like every other narrow path: a detour through the wide form would drop
  // bytes that are not UTF-8 and answer for another file.
  return TimesOf(std::string(UpToNul(path)), changeTime, modifyTime, accessTime);
}

bool GetFileTimes(std::wstring path, long* changeTime, long* modifyTime, long* accessTime) {
  const std::optional<std::string> utf8 = Utf8Path(path);
  return utf8 && TimesOf(*utf8, changeTime, modifyTime, accessTime);
}

void GetFileCount(std::wstring path, int& count) {
  const std::optional<std::string> utf8 = Utf8Path(path);
  if (!utf8 || !Exists(*utf8))
    return;
  CountRegularFiles(*utf8, count);
}

bool IsReadable(std::wstring path) {
  const std::optional<std::string> utf8 = Utf8Path(path);
  if (!utf8)
    return false;
  fs::file_type type;
  try {
    type = fs::status(*utf8).type();
    if (type == fs::directory_file) {
      // Reading the first entry proves the folder can be listed; the answer itself is irrelevant.
      static_cast<void>(fs::is_empty(*utf8));
      return true;
    }
  } catch (const fs::filesystem_error&) {
    return false;
  }
  // Never wait on a FIFO or a terminal, and never become its controlling process. The probes'
  // descriptors are closed on exec, so that no program another thread starts inherits them.
  COrvantaFile file(*utf8, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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
  const std::optional<std::string> maybeUtf8 = Utf8Path(path);
  if (!maybeUtf8)
    return false;
  const std::string& utf8 = *maybeUtf8;
  try {
    if (!fs::is_directory(fs::status(utf8)))
      return access(utf8.c_str(), W_OK) == 0;
    // A folder is writable when a new file can be made and written in it. The random name keeps
    // concurrent probes apart and away from existing files.
    const std::string probe = AppendPathToString(utf8, CreateUUIDString());
    COrvantaFile file(probe, O_WRONLY | O_CREAT | O_CLOEXEC);
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
