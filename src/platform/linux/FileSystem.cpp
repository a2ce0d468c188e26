#include "platform/Platform.h"

#include "Interrupt.h"
#include "ScopedHandles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace orvanta::platform {

int FlushFileSystem(const std::string& path) {
  const sys::UniqueFd folder(sys::RetryOnInterrupt(
      [&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (!folder)
    return errno;
  // One flush of the whole file system: far cheaper than an fsync per file of a large tree,
  // each of which waits for its own journal commit.
  return ::syncfs(folder.get()) == 0 ? 0 : errno;
}

} // namespace orvanta::platform
