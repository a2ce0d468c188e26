// The processor's name is the first "model name" line of /proc/cpuinfo ("model
// name\t: <name>"). Processors whose kernel prints no such line (many ARM
// systems) have no name: ENOENT, as for a setting the system does not have.
#include "platform/Platform.h"

#include "WholeFile.h"

#include <cerrno>
#include <sstream>

namespace orvanta::platform {

std::optional<std::string> CpuModelName() {
  const std::optional<std::string> cpuinfo = sys::ReadWholeFile("/proc/cpuinfo");
  if (!cpuinfo)
    return std::nullopt;
  static constexpr std::string_view kKey = "model name";
  std::istringstream lines(*cpuinfo);
  std::string line;
  while (std::getline(lines, line)) {
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
  errno = ENOENT;
  return std::nullopt;
}

} // namespace orvanta::platform
