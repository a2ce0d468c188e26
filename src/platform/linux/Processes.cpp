// Process list from /proc: each numeric entry's stat line carries the short name (comm) between
// the first "(" and the last ")", followed by the state letter.
#include "platform/Platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace orvanta::platform {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

bool IsPid(const char* name) {
  if (*name == '\0')
    return false;
  for (; *name != '\0'; ++name)
    if (*name < '0' || *name > '9')
      return false;
  return true;
}

// Reads the name and state of one process; false when the entry is gone or unreadable.
bool ReadNameAndState(int procFd, const char* pid, std::string_view& name, char& state,
                      char (&buffer)[512]) {
  char statPath[sizeof(dirent::d_name) + sizeof("/stat")];
  std::snprintf(statPath, sizeof statPath, "%s/stat", pid);
  const int fd = openat(procFd, statPath, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  ssize_t length;
  do {
    length = read(fd, buffer, sizeof buffer);
  } while (length < 0 && errno == EINTR);
  close(fd);
  if (length <= 0)
    return false;
  const char* open = static_cast<const char*>(std::memchr(buffer, '(', length));
  const char* close = static_cast<const char*>(memrchr(buffer, ')', length));
  if (open == nullptr || close == nullptr || close < open || close + 2 >= buffer + length)
    return false;
  name = std::string_view(open + 1, static_cast<size_t>(close - open - 1));
  state = close[2];
  return true;
}

} // namespace

bool AnyProcess(const std::function<bool(std::string_view name)>& matches) {
  std::unique_ptr<DIR, DirCloser> proc(opendir("/proc"));
  if (!proc)
    return false;
  const int procFd = dirfd(proc.get());
  char buffer[512];
  while (const dirent* entry = readdir(proc.get())) {
    if (!IsPid(entry->d_name))
      continue;
    std::string_view name;
    char state = 0;
    if (!ReadNameAndState(procFd, entry->d_name, name, state, buffer))
      continue;
    // An exited process waiting to be reaped (Z) or being torn down (X) no longer runs.
    if (state == 'Z' || state == 'X')
      continue;
    if (matches(name))
      return true;
  }
  return false;
}

} // namespace orvanta::platform
