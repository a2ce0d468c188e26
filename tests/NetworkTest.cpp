// Interface addresses and hardware addresses are read inside a network namespace that each test
// builds itself, so the answers are known exactly; the port probe runs against the host's
// loopback with sockets the test holds.
#include "Utils.h"

#include "NetNamespace.h"
#include "TextConvert.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using orvanta::test::RunInNamespaces;
using orvanta::text::Utf8ToWide;
using orvanta::text::WideToUtf8;

// What the interface functions answer inside the namespace, one value each: GetLocalIP, the list
// joined by commas, GetLocalMAC(), then GetLocalMAC of each query.
std::vector<std::string> InterfaceAnswers(const std::vector<std::string>& macQueries) {
  std::vector<std::string> values;
  values.push_back(WideToUtf8(GetLocalIP()));
  std::string list;
  for (const std::wstring& address : GetLocalIpList())
    list += (list.empty() ? "" : ",") + WideToUtf8(address);
  values.push_back(list);
  values.push_back(WideToUtf8(GetLocalMAC()));
  for (const std::string& query : macQueries)
    values.push_back(WideToUtf8(GetLocalMAC(Utf8ToWide(query))));
  return values;
}

// The lowest free descriptor number: it grows when a call leaves a descriptor open.
int LowestFreeFd() {
  const int fd = dup(0);
  close(fd);
  return fd;
}

// Loopback addresses never count, whichever interface carries them.
TEST(NetworkInterfaces, LoopbackOnlyGivesEmptyAnswers) {
  const std::vector<std::string> queries = {"127.0.0.1", "127.0.0.2", ""};
  const auto run = RunInNamespaces(CLONE_NEWNET,
                                   {"ip link set lo up",
                                    "ip link add v0 address 02:00:00:00:00:01 type veth peer "
                                    "name v0p",
                                    "ip addr add 127.0.0.2/8 dev v0"},
                                   [&] { return InterfaceAnswers(queries); });
  ORVANTA_EXPECT_NAMESPACE_RUN(run);
  EXPECT_EQ(run.values, std::vector<std::string>(3 + queries.size(), ""));
}

// Two interfaces: the first listed gives the address, the last listed the hardware address, and
// an address is matched by its exact text only.
TEST(NetworkInterfaces, TwoInterfacesFirstAddressLastHardwareAddress) {
  const std::vector<std::string> queries = {
      "198.51.100.7",  "192.0.2.127",  "198.51.100.7 ", " 198.51.100.7",
      "198.51.100.07", "198.51.100.8", "127.0.0.1",     ""};
  const auto run = RunInNamespaces(
      CLONE_NEWNET,
      {"ip link set lo up", "ip link add v0 address 02:ab:cd:00:00:01 type veth peer name v0p",
       "ip addr add 198.51.100.7/24 dev v0",
       "ip link add v1 address 0a:1b:2c:3d:4e:5f type veth peer name v1p",
       "ip addr add 192.0.2.127/24 dev v1"},
      [&] {
        const int fdsBefore = LowestFreeFd();
        auto values = InterfaceAnswers(queries);
        const int fdsAfter = LowestFreeFd();
        values.push_back(fdsBefore == fdsAfter ? "no descriptor left open"
                                               : "descriptors left open");
        return values;
      });
  ORVANTA_EXPECT_NAMESPACE_RUN(run);
  const std::vector<std::string> expected = {
      "198.51.100.7",             // listed first, though it sorts last
      "192.0.2.127,198.51.100.7", // set order; .127 as last octet qualifies
      "0A:1B:2C:3D:4E:5F",        // the interface listed last
      "02:AB:CD:00:00:01",
      "0A:1B:2C:3D:4E:5F",
      "",
      "",
      "",
      "",
      "",
      "",
      "no descriptor left open"};
  EXPECT_EQ(run.values, expected);
}

// --- CheckTcpPort
// ----------------------------------------------------------------------------------

// A TCP socket bound to the port on the given address, listening; nullopt when the port is taken.
class Listener {
public:
  explicit Listener(uint16_t port, in_addr_t address = htonl(INADDR_LOOPBACK)) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = address;
    where.sin_port = htons(port);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        listen(fd_, 1) != 0) {
      Close();
      return;
    }
    socklen_t length = sizeof where;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&where), &length);
    port_ = ntohs(where.sin_port);
  }
  ~Listener() { Close(); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  bool ok() const { return fd_ >= 0; }
  uint16_t port() const { return port_; }
  void Close() {
    if (fd_ >= 0)
      close(fd_);
    fd_ = -1;
  }

private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

TEST(CheckTcpPort, ListenedPortIsTakenAndFreedPortIsFree) {
  const int fdsBefore = LowestFreeFd();
  Listener listener(0);
  ASSERT_TRUE(listener.ok());
  const std::string port = std::to_string(listener.port());
  EXPECT_FALSE(CheckTcpPort(port));
  listener.Close();
  EXPECT_TRUE(CheckTcpPort(port));
  EXPECT_EQ(LowestFreeFd(), fdsBefore);
}

// Only plain decimal text (an optional sign, digits, within int) names a port.
TEST(CheckTcpPort, TextMustBeADecimalNumber) {
  Listener probe(0);
  ASSERT_TRUE(probe.ok());
  const std::string port = std::to_string(probe.port());
  probe.Close(); // now a free port, so only the text decides
  const struct {
    std::string text;
    bool expected;
  } cases[] = {
      {port, true},          {"+" + port, true},     {" " + port, false}, {port + " ", false},
      {"", false},           {"http", false},        {port + "x", false}, {"0x1F90", false},
      {"2147483648", false}, {"-2147483649", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CheckTcpPort(c.text), c.expected) << "text \"" << c.text << "\"";
}

// Numbers outside 0..65535 probe their low 16 bits. Run in a namespace of its own, where no
// other program holds these fixed ports.
TEST(CheckTcpPort, OnlyTheLow16BitsNameThePort) {
  const struct {
    std::string text;
    uint16_t port;
  } cases[] = {{"70000", 4464}, {"-1", 65535}, {"131071", 65535}};
  const auto run = RunInNamespaces(CLONE_NEWNET, {"ip link set lo up"}, [&] {
    std::vector<std::string> values;
    for (const auto& c : cases) {
      Listener holder(c.port, htonl(INADDR_ANY));
      const bool whileHeld = CheckTcpPort(c.text);
      holder.Close();
      values.push_back(c.text + (holder.port() == c.port ? "" : " (port not held)") +
                       (whileHeld ? " free" : " taken") + " while held, " +
                       (CheckTcpPort(c.text) ? "free" : "taken") + " after");
    }
    return values;
  });
  ORVANTA_EXPECT_NAMESPACE_RUN(run);
  std::vector<std::string> expected;
  for (const auto& c : cases)
    expected.push_back(c.text + " taken while held, free after");
  EXPECT_EQ(run.values, expected);
}

} // namespace
