// Scoped owners of the system's handles: a file descriptor (files and sockets alike) and an
// open directory listing. Each releases its handle when it goes out of scope.
#ifndef ORVANTA_INTERNAL_SCOPEDHANDLES_H
#define ORVANTA_INTERNAL_SCOPEDHANDLES_H

#include <dirent.h>
#include <unistd.h>

#include <memory>
#include <utility>

namespace orvanta::sys {

// Owns one descriptor; -1 means none. Closes it once, on destruction or reset, and never retries
// close (see RetryOnInterrupt).
class UniqueFd {
public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other)
      reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = fd;
  }

private:
  int fd_ = -1;
};

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
// An open directory listing (opendir / fdopendir), closed with closedir; null means none.
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

} // namespace orvanta::sys

#endif // ORVANTA_INTERNAL_SCOPEDHANDLES_H
