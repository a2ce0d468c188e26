#include "LogService.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace orvanta::bench {
namespace {

constexpr const char kDevLog[] = "/dev/log";

std::string Refused(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

std::string MakePrivateDev() {
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
    return Refused("unshare");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return Refused("mount MS_PRIVATE");
  // The new /dev is put together aside, with the host's reachable below it, then moved in place.
  char staging[] = "/tmp/orvanta-bench-dev-XXXXXX";
  if (mkdtemp(staging) == nullptr)
    return Refused("mkdtemp");
  const std::string host = std::string(staging) + "/.host";
  std::string refused;
  if (mount("orvanta-bench-dev", staging, "tmpfs", 0, "mode=0755") != 0)
    refused = Refused("mount tmpfs");
  else if (mkdir(host.c_str(), 0755) != 0 ||
           mount("/dev", host.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
    refused = Refused("bind the host's /dev");
  if (refused.empty()) {
    for (const auto& entry : std::filesystem::directory_iterator(host)) {
      const std::string name = entry.path().filename().string();
      if (name != "log" &&
          symlink(("/dev/.host/" + name).c_str(), (std::string(staging) + "/" + name).c_str()) != 0)
        refused = Refused("link /dev/" + name);
    }
  }
  if (refused.empty() && mount(staging, "/dev", nullptr, MS_MOVE, nullptr) != 0)
    refused = Refused("move the new /dev in place");
  rmdir(staging);
  return refused;
}

} // namespace

std::string EnterPrivateDev() {
  static const std::string refused = MakePrivateDev();
  return refused;
}

LogService::LogService(LogSocket socket) {
  if (socket == LogSocket::kNone) {
    ready_ = true;
    return;
  }
  socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, kDevLog, sizeof kDevLog);
  bound_ = socket_ >= 0 &&
           bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  // Open to every user, as a log daemon's socket is.
  ready_ = bound_ && chmod(kDevLog, 0666) == 0;
  if (!ready_ || socket != LogSocket::kReading)
    return;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    ready_ = false;
    return;
  }
  reader_ = fork();
  if (reader_ == 0) {
    close(ends[0]);
    std::string buffer(1 << 16, '\0');
    for (bool first = true;; first = false) {
      const ssize_t n = recv(socket_, buffer.data(), buffer.size(), 0);
      if (first && n > 0) [[maybe_unused]]
        const ssize_t written = write(ends[1], buffer.data(), static_cast<std::size_t>(n));
      if (first)
        close(ends[1]);
    }
  }
  close(ends[1]);
  firstRecord_ = ends[0];
  ready_ = reader_ > 0;
}

LogService::~LogService() {
  if (reader_ > 0) {
    kill(reader_, SIGKILL);
    waitpid(reader_, nullptr, 0);
  }
  if (firstRecord_ >= 0)
    close(firstRecord_);
  if (socket_ >= 0)
    close(socket_);
  if (bound_)
    unlink(kDevLog);
}

std::string LogService::FirstRecord() {
  std::string record;
  char buffer[4096];
  for (ssize_t n; firstRecord_ >= 0 && (n = read(firstRecord_, buffer, sizeof buffer)) > 0;)
    record.append(buffer, static_cast<std::size_t>(n));
  return record;
}

bool LogService::Received() {
  if (firstRecord_ >= 0) {
    pollfd ready{firstRecord_, POLLIN, 0};
    return poll(&ready, 1, 0) > 0;
  }
  char buffer[4096];
  return socket_ >= 0 && recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT) > 0;
}

} // namespace orvanta::bench
