// Process list from /proc: each numeric entry's comm file holds the short name; its status file
// holds the state letter ("State:") and the real, effective, saved and file-system uids ("Uid:").
#include "platform/Platform.h"

#include "Interrupt.h"
#include "ScopedHandles.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace orvanta::platform {
namespace {

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
template <size_t N>
ssize_t ReadEntry(int procFd, const char* pid, const char* file, char (&buffer)[N]) {
  char path[sizeof(dirent::d_name) + sizeof("/status")];
  std::snprintf(path, sizeof path, "%s/%s", pid, file);
  const sys::UniqueFd fd(openat(procFd, path, O_RDONLY | O_CLOEXEC));
  if (!fd)
    return -1;
  return sys::RetryOnInterrupt([&] { return read(fd.get(), buffer, sizeof buffer); });
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

// The value of one "Key:\t..." line of a status file; empty when the key is absent.
std::string_view StatusField(std::string_view status, std::string_view key) {
  for (size_t at = 0; at < status.size();) {
    const size_t end = std::min(status.find('\n', at), status.size());
    const std::string_view line = status.substr(at, end - at);
    if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 &&
        line[key.size()] == ':') {
      const size_t value = line.find_first_not_of(" \t", key.size() + 1);
      return value == std::string_view::npos ? std::string_view() : line.substr(value);
    }
    at = end + 1;
  }
  return {};
}

// Whether the process still runs and belongs to the caller: its state is neither Z (exited, not
// yet reaped) nor X (being torn down), and its real uid is the caller's. A set-uid program that
// this user started counts as the user's, as it would in the user's session; another user's
// process of the same name does not. False when the entry is gone or unreadable.
bool IsOwnRunningProcess(int procFd, const char* pid, uid_t owner, char (&buffer)[1024]) {
  const ssize_t length = ReadEntry(procFd, pid, "status", buffer);
  if (length <= 0)
    return false;
  const std::string_view status(buffer, static_cast<size_t>(length));
  const std::string_view state = StatusField(status, "State");
  if (state.empty() || state[0] == 'Z' || state[0] == 'X')
    return false;
  const std::string_view uids = StatusField(status, "Uid");
  uid_t realUid = 0;
  const auto [end, error] = std::from_chars(uids.data(), uids.data() + uids.size(), realUid);
  return error == std::errc() && end != uids.data() && realUid == owner;
}

} // namespace

bool AnyProcess(const std::function<bool(std::string_view name)>& matches) {
  const sys::UniqueDir proc(opendir("/proc"));
  if (!proc)
    return false;
  const int procFd = dirfd(proc.get());
  const uid_t owner = getuid();
  char nameBuffer[512];
  char statusBuffer[1024];
  while (const dirent* entry = readdir(proc.get())) {
    if (!IsPid(entry->d_name))
      continue;
    std::string_view name;
    if (!ReadName(procFd, entry->d_name, name, nameBuffer))
      continue;
    // Only a process whose name matches is asked whether it still runs, and whose it is.
    if (matches(name) && IsOwnRunningProcess(procFd, entry->d_name, owner, statusBuffer))
      return true;
  }
  return false;
}

} // namespace orvanta::platform
