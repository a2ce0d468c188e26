// Recording one of a run's log lines with no log socket at all, beside recording it with a log
// service that reads and with one that has stopped reading (its queue full): a run without a log
// service must not be the slower one. glibc's syslog() is measured beside, with and without a
// socket (with a stuck one it would wait for ever). The program runs in a private /dev
// (LogService.h), where each case makes and unmakes /dev/log; the host's /dev is never touched.
// Wall time: the reading service works in a process of its own.
#include "BenchSupport.h"
#include "LogService.h"
#include "platform/Platform.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>

namespace {

using namespace orvanta::bench;
using orvanta::platform::EventLevel;

constexpr const char kIdent[] = "orvanta-bench";
// As long as a run's lines are: uninstall's end line.
constexpr const char kLine[] = "end: removed the agent; exit status 0; 0.05 s";

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

void Ours(benchmark::State& state, LogSocket kind) {
  LogService service(kind);
  if (!service.ready())
    return Fail(state, "cannot make /dev/log: " + std::string(std::strerror(errno)));
  orvanta::platform::OpenEventLog(kIdent);
  if (kind != LogSocket::kNone && !Reach(service))
    return Fail(state, "the log socket never got a record of ours");
  if (kind == LogSocket::kReading) {
    const std::string record = service.FirstRecord();
    if (record.find(std::string(kIdent) + "[") == std::string::npos)
      return Fail(state, "the reading service got a stranger's record: '" + record + "'");
  }
  for (auto _ : state)
    orvanta::platform::RecordEvent(EventLevel::kNotice, kLine);
}

void Glibc(benchmark::State& state, LogSocket kind) {
  LogService service(kind);
  openlog(kIdent, LOG_PID | LOG_NDELAY, LOG_USER);
  for (auto _ : state)
    syslog(LOG_NOTICE, "%s", kLine);
  closelog();
  if (kind == LogSocket::kReading && service.FirstRecord().find(kLine) == std::string::npos)
    Fail(state, "the reading service got no record from syslog()");
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
      void (*run)(benchmark::State&, LogSocket);
      LogSocket service;
    } cases[] = {
        {"RecordEvent/ours/no_log_socket", Ours, LogSocket::kNone},
        {"RecordEvent/reading_log_socket/one_line", Ours, LogSocket::kReading},
        {"RecordEvent/stuck_log_socket/one_line", Ours, LogSocket::kStuck},
        {"RecordEvent/glibc_syslog_no_socket/one_line", Glibc, LogSocket::kNone},
        {"RecordEvent/glibc_syslog_reading/one_line", Glibc, LogSocket::kReading},
    };
    for (const auto& c : cases)
      benchmark::RegisterBenchmark(c.name, c.run, c.service)->UseRealTime();
  });
}
