// The processor's name is the first "model name" line of /proc/cpuinfo ("model
// name\t: <name>"). Processors whose kernel prints no such line (many ARM
// systems) have no name: ENOENT, as for a setting the system does not have.
#include "platform/Platform.h"

#include <cerrno>
#include <fstream>

namespace orvanta::platform {

std::optional<std::string> CpuModelName() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  if (!cpuinfo) {
    if (errno == 0)
      errno = EIO;
    return std::nullopt;
  }
  static constexpr std::string_view kKey = "model name";
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.compare(0, kKey.size(), kKey) != 0)
      continue;
    std::size_t at = kKey.size();
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
      ++at;
    if (at >= line.size() || line[at] != ':')
      continue;
    ++at;
    if (at < line.size() && line[at] == ' ')
      ++at;
    return line.substr(at);
  }
  errno = cpuinfo.bad() ? EIO : ENOENT;
  return std::nullopt;
}

} // namespace orvanta::platform
