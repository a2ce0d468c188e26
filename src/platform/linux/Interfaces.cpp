// The interface listing is the kernel's SIOCGIFCONF answer: on Linux it lists
// the IPv4 addresses only, one fixed-size struct ifreq per address. The
// link-layer address comes from SIOCGIFHWADDR, which (like if_nametoindex)
// accepts an alias label such as "eth0:1".
#include "platform/Platform.h"

#include "ScopedHandles.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace orvanta::platform {
namespace {

// An IPv4 datagram socket to ask the kernel about interfaces; closed when it goes out of scope.
sys::UniqueFd InterfaceSocket() {
  return sys::UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
}

constexpr std::size_t kListingBytes = 3200;

} // namespace

std::optional<std::vector<InterfaceRecord>> ListInterfaces() {
  const sys::UniqueFd socket = InterfaceSocket();
  if (!socket)
    return std::nullopt;
  ifreq records[kListingBytes / sizeof(ifreq)];
  ifconf listing{};
  listing.ifc_len = static_cast<int>(sizeof records);
  listing.ifc_req = records;
  if (ioctl(socket.get(), SIOCGIFCONF, &listing) < 0)
    return std::nullopt;

  std::vector<InterfaceRecord> result;
  const std::size_t filled = listing.ifc_len > 0 ? static_cast<std::size_t>(listing.ifc_len) : 0;
  for (std::size_t i = 0; i < filled / sizeof(ifreq) && i < std::size(records); ++i) {
    const ifreq& record = records[i];
    InterfaceRecord entry;
    entry.name.assign(record.ifr_name, strnlen(record.ifr_name, IFNAMSIZ));
    entry.family = record.ifr_addr.sa_family;
    if (entry.family == AF_INET) {
      sockaddr_in address;
      std::memcpy(&address, &record.ifr_addr, sizeof address);
      entry.address = address.sin_addr.s_addr;
    }
    result.push_back(std::move(entry));
  }
  return result;
}

std::optional<std::array<uint8_t, 6>> HardwareAddress(const std::string& interfaceName) {
  if (interfaceName.empty() || interfaceName.size() >= IFNAMSIZ ||
      interfaceName.find('\0') != std::string::npos)
    return std::nullopt;
  if (if_nametoindex(interfaceName.c_str()) == 0)
    return std::nullopt;
  const sys::UniqueFd socket = InterfaceSocket();
  if (!socket)
    return std::nullopt;
  ifreq request{};
  std::memcpy(request.ifr_name, interfaceName.c_str(), interfaceName.size() + 1);
  if (ioctl(socket.get(), SIOCGIFHWADDR, &request) < 0)
    return std::nullopt;
  std::array<uint8_t, 6> bytes;
  std::memcpy(bytes.data(), request.ifr_hwaddr.sa_data, bytes.size());
  return bytes;
}

} // namespace orvanta::platform
