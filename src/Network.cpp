// The host's IPv4 addresses and hardware addresses from the interface listing,
// and the TCP port probe. Every socket is held by a small owner, so it is
// closed on every path.
#include "Utils.h"

#include "ScopedHandles.h"
#include "TextConvert.h"
#include "platform/Platform.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/format.hpp>
#include <boost/lexical_cast.hpp>

#include <functional>

namespace {

using orvanta::platform::InterfaceRecord;

// Records that carry a usable IPv4 address: not 0.0.0.0 and not in 127.0.0.0/8.
bool Qualifies(const InterfaceRecord& record) {
  if (record.family != AF_INET || record.address == 0)
    return false;
  return (ntohl(record.address) >> 24) != 127;
}

// Dotted decimal text of an address in network byte order, as inet_ntoa writes
// it.
std::wstring AddressText(uint32_t address) {
  in_addr value{};
  value.s_addr = address;
  char text[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &value, text, sizeof text) == nullptr)
    return std::wstring();
  return orvanta::text::Utf8ToWide(text);
}

// Calls visit with each qualifying record in the kernel's order until it
// returns false.
void VisitQualifying(const std::function<bool(const InterfaceRecord&)>& visit) {
  const auto records = orvanta::platform::ListInterfaces();
  if (!records)
    return;
  for (const InterfaceRecord& record : *records)
    if (Qualifies(record) && !visit(record))
      return;
}

// The hardware address of the last qualifying record that matches and whose
// address can be read, as "0A:1B:2C:3D:4E:5F"; empty when there is none.
std::wstring LastHardwareAddress(const std::function<bool(const InterfaceRecord&)>& matches) {
  std::wstring result;
  VisitQualifying([&](const InterfaceRecord& record) {
    if (!matches(record))
      return true;
    const auto bytes = orvanta::platform::HardwareAddress(record.name);
    if (!bytes)
      return true;
    boost::wformat text(L"%02X:%02X:%02X:%02X:%02X:%02X");
    for (const uint8_t byte : *bytes)
      text % static_cast<unsigned>(byte);
    result = text.str();
    return true;
  });
  return result;
}

} // namespace

std::wstring GetLocalIP() {
  std::wstring result;
  VisitQualifying([&](const InterfaceRecord& record) {
    result = AddressText(record.address);
    return false;
  });
  return result;
}

std::set<std::wstring> GetLocalIpList() {
  std::set<std::wstring> result;
  VisitQualifying([&](const InterfaceRecord& record) {
    result.insert(AddressText(record.address));
    return true;
  });
  return result;
}

std::wstring GetLocalMAC() {
  return LastHardwareAddress([](const InterfaceRecord&) { return true; });
}

std::wstring GetLocalMAC(std::wstring address) {
  if (address.empty())
    return std::wstring();
  return LastHardwareAddress(
      [&](const InterfaceRecord& record) { return AddressText(record.address) == address; });
}

bool CheckTcpPort(std::string port) {
  int number = 0;
  try {
    number = boost::lexical_cast<int>(port);
  } catch (const boost::bad_lexical_cast&) {
    return false;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  // Only the low 16 bits name the port: 70000 is 4464, -1 is 65535.
  address.sin_port = htons(static_cast<uint16_t>(static_cast<unsigned>(number) & 0xFFFFu));
  // Closed on exec: a program that another thread starts meanwhile would otherwise keep the port
  // bound for as long as it runs.
  const orvanta::sys::UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket)
    return false;
  return bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

std::wstring GetUserNameFromPort(int /*port*/) {
  return std::wstring();
}
