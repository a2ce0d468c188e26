// Process list from /proc: each numeric entry's comm file holds the short name; its stat line
// carries the state letter after the name, which is put between the first "(" and the last ")".
#include "platform/Platform.h"

#include "Interrupt.h"

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

// Reads one small file of a process into buffer; its length, or -1 when the entry is gone or
// unreadable.
ssize_t ReadEntry(int procFd, const char* pid, const char* file, char (&buffer)[512]) {
  char path[sizeof(dirent::d_name) + sizeof("/stat")];
  std::snprintf(path, sizeof path, "%s/%s", pid, file);
  const int fd = openat(procFd, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return -1;
  const ssize_t length = sys::RetryOnInterrupt([&] { return read(fd, buffer, sizeof buffer); });
  close(fd);
  return length;
}

// The short name of one process, from its comm file ("name\n"), which the kernel renders far
// more cheaply than the stat line; false when the entry is gone or unreadable.
bool ReadName(int procFd, const char* pid, std::string_view& name, char (&buffer)[512]) {
  const ssize_t length = ReadEntry(procFd, pid, "comm", buffer);
  if (length <= 0 || buffer[length - 1] != '\n')
    return false;
  name = std::string_view(buffer, static_cast<size_t>(length - 1));
  return true;
}

// Whether the process still runs: its state, the letter after the name in the stat line, is
// neither Z (exited, not yet reaped) nor X (being torn down). False when the entry is gone.
bool IsRunning(int procFd, const char* pid, char (&buffer)[512]) {
  const ssize_t length = ReadEntry(procFd, pid, "stat", buffer);
  if (length <= 0)
    return false;
  const char* open = static_cast<const char*>(std::memchr(buffer, '(', length));
  const char* close = static_cast<const char*>(memrchr(buffer, ')', length));
  if (open == nullptr || close == nullptr || close < open || close + 2 >= buffer + length)
    return false;
  const char state = close[2];
  return state != 'Z' && state != 'X';
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
    if (!ReadName(procFd, entry->d_name, name, buffer))
      continue;
    // Only a process whose name matches is asked whether it still runs.
    if (matches(name) && IsRunning(procFd, entry->d_name, buffer))
      return true;
  }
  return false;
}

} // namespace orvanta::platform
