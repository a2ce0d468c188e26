// Recording one of a run's log lines with no log socket at all, beside recording it with a log
// service that reads and with one that has stopped reading (its queue full): a run without a log
// service must not be the slower one. glibc's syslog() is measured beside, with and without a
// socket (with a stuck one it would wait for ever). The program runs in private mount and network
// namespaces with an empty tmpfs over /dev, where each case makes and unmakes /dev/log; the
// host's /dev is never touched. Wall time: the reading service works in a process of its own.
#include "BenchSupport.h"
#include "platform/Platform.h"

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>

namespace {

using namespace orvanta::bench;
using orvanta::platform::EventLevel;

constexpr const char kDevLog[] = "/dev/log";
constexpr const char kIdent[] = "orvanta-bench";
// As long as a run's lines are: uninstall's end line.
constexpr const char kLine[] = "end: removed the agent; exit status 0; 0.05 s";

enum class Service { kNone, kReading, kStuck };

// /dev/log as the case needs it, for the life of the object. A reading service is a child that
// drains the socket and hands the first record it got back through a pipe.
class LogService {
public:
  explicit LogService(Service service) {
    if (service == Service::kNone)
      return;
    socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, kDevLog, sizeof kDevLog);
    bound_ = socket_ >= 0 &&
             bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (!bound_ || service != Service::kReading)
      return;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
      return;
    reader_ = fork();
    if (reader_ == 0) {
      close(ends[0]);
      std::string buffer(1 << 16, '\0');
      for (bool first = true;; first = false) {
        const ssize_t n = recv(socket_, buffer.data(), buffer.size(), 0);
        if (first && n > 0) [[maybe_unused]]
          const ssize_t written = write(ends[1], buffer.data(), n);
        if (first)
          close(ends[1]);
      }
    }
    close(ends[1]);
    firstRecord_ = ends[0];
  }
  ~LogService() {
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
  LogService(const LogService&) = delete;
  LogService& operator=(const LogService&) = delete;

  bool bound() const { return bound_; }
  // The first record the reading service got; waits for it.
  std::string FirstRecord() {
    std::string record;
    char buffer[4096];
    for (ssize_t n; (n = read(firstRecord_, buffer, sizeof buffer)) > 0;)
      record.append(buffer, static_cast<std::size_t>(n));
    return record;
  }
  // Whether a record has arrived: the reading service has reported its first one, or one lay in
  // the queue of a socket nobody reads (it is taken away).
  bool Received() {
    if (firstRecord_ >= 0) {
      pollfd ready{firstRecord_, POLLIN, 0};
      return poll(&ready, 1, 0) > 0;
    }
    char buffer[4096];
    return recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT) > 0;
  }

private:
  int socket_ = -1;
  bool bound_ = false;
  pid_t reader_ = -1;
  int firstRecord_ = -1;
};

// Our call may still be waiting out a failed attempt from the case before: record until the
// service has one, so that the loop measures the case's steady state.
bool Reach(LogService& service) {
  for (int attempt = 0; attempt < 300; ++attempt) {
    orvanta::platform::RecordEvent(EventLevel::kNotice, "connecting");
    usleep(10000);
    if (service.Received())
      return true;
  }
  return false;
}

void Ours(benchmark::State& state, Service kind) {
  LogService service(kind);
  if (kind != Service::kNone && !service.bound())
    return Fail(state, "cannot bind /dev/log: " + std::string(std::strerror(errno)));
  orvanta::platform::OpenEventLog(kIdent);
  if (kind != Service::kNone && !Reach(service))
    return Fail(state, "the log socket never got a record of ours");
  if (kind == Service::kReading) {
    const std::string record = service.FirstRecord();
    if (record.find(std::string(kIdent) + "[") == std::string::npos)
      return Fail(state, "the reading service got a stranger's record: '" + record + "'");
  }
  for (auto _ : state)
    orvanta::platform::RecordEvent(EventLevel::kNotice, kLine);
}

void Glibc(benchmark::State& state, Service kind) {
  LogService service(kind);
  openlog(kIdent, LOG_PID | LOG_NDELAY, LOG_USER);
  for (auto _ : state)
    syslog(LOG_NOTICE, "%s", kLine);
  closelog();
  if (kind == Service::kReading && service.FirstRecord().find(kLine) == std::string::npos)
    Fail(state, "the reading service got no record from syslog()");
}

// Private mounts, an empty /dev of our own and a datagram queue as short as a host's default.
std::string EnterPrivateDev() {
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
    return std::string("unshare: ") + std::strerror(errno);
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return std::string("mount MS_PRIVATE: ") + std::strerror(errno);
  if (mount("orvanta-bench-dev", "/dev", "tmpfs", 0, "mode=0755") != 0)
    return std::string("mount tmpfs on /dev: ") + std::strerror(errno);
  return "";
}

} // namespace

int main(int argc, char** argv) {
  if (const std::string refused = EnterPrivateDev(); !refused.empty()) {
    std::cerr << "SystemLogBenchmark: this machine refused a private /dev (" << refused
              << "); nothing measured\n";
    return 0;
  }
  return Main(argc, argv, [] {
    const struct {
      const char* name;
      void (*run)(benchmark::State&, Service);
      Service service;
    } cases[] = {
        {"RecordEvent/ours/no_log_socket", Ours, Service::kNone},
        {"RecordEvent/reading_log_socket/one_line", Ours, Service::kReading},
        {"RecordEvent/stuck_log_socket/one_line", Ours, Service::kStuck},
        {"RecordEvent/glibc_syslog_no_socket/one_line", Glibc, Service::kNone},
        {"RecordEvent/glibc_syslog_reading/one_line", Glibc, Service::kReading},
    };
    for (const auto& c : cases)
      benchmark::RegisterBenchmark(c.name, c.run, c.service)->UseRealTime();
  });
}
