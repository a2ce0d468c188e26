#include "platform/Platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace orvanta::platform {

int FlushFileSystem(const std::string& path) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0)
    return errno;
  // One flush of the whole file system: far cheaper than an fsync per file of a large tree,
  // each of which waits for its own journal commit.
  const int failed = ::syncfs(fd) == 0 ? 0 : errno;
  ::close(fd);
  return failed;
}

} // namespace orvanta::platform
