// Facts about the host that are not about its network: the processor's name and
// the fixed memory answer.
#include "Utils.h"

#include "platform/Platform.h"

#include <cstdio>

std::string GetCpuModel() {
  std::optional<std::string> name = orvanta::platform::CpuModelName();
  if (!name) {
    std::perror("sysctl");
    return std::string();
  }
  // The name ends at its first NUL, as a C string buffer would.
  name->resize(std::char_traits<char>::length(name->c_str()));
  return *name;
}

int64_t GetFreeMemory() {
  return 0;
}
