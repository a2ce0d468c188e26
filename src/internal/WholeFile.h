// Reading a whole small file (a listing of the system's, a database file) through a descriptor
// that is closed on exec: a program that another thread starts meanwhile must not inherit it, as
// it would inherit a std::ifstream's.
#ifndef ORVANTA_INTERNAL_WHOLEFILE_H
#define ORVANTA_INTERNAL_WHOLEFILE_H

#include "Interrupt.h"
#include "ScopedHandles.h"

#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <string>

namespace orvanta::sys {

// The file's bytes; nullopt, with errno as the failing call left it, when it cannot be opened or
// read.
inline std::optional<std::string> ReadWholeFile(const std::string& path) {
  const UniqueFd fd(RetryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!fd)
    return std::nullopt;
  std::string content;
  char buffer[4096];
  for (;;) {
    const ssize_t got = RetryOnInterrupt([&] { return ::read(fd.get(), buffer, sizeof buffer); });
    if (got < 0)
      return std::nullopt;
    if (got == 0)
      return content;
    content.append(buffer, static_cast<size_t>(got));
  }
}

} // namespace orvanta::sys

#endif // ORVANTA_INTERNAL_WHOLEFILE_H
