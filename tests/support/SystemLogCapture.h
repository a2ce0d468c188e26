// What a piece of a test, or a built program, sends to the system log. A forked child enters a
// private mount namespace (and a network namespace, whose datagram queue it may lengthen) where
// /dev is a fresh tmpfs that links back to every entry of the host's /dev except "log"; there
// "/dev/log" is whatever the test asks for, usually a datagram socket that a reader process
// drains into a file. The host's /dev and log are never touched. Call it from a single-threaded
// test process; where the machine refuses the namespaces, the result carries the refusal (skip
// with ORVANTA_SKIP_IF_REFUSED).
//
//   const LoggedRun run = RunProgramLogged(ORVANTA_UNINSTALL_BINARY, options);
//   ORVANTA_SKIP_IF_REFUSED(run);
//   ASSERT_EQ(run.error, "");
//   EXPECT_EQ(run.Lines("orvanta-uninstall"), (std::vector<std::string>{"start: ...", ...}));
#ifndef ORVANTA_TESTS_SYSTEMLOGCAPTURE_H
#define ORVANTA_TESTS_SYSTEMLOGCAPTURE_H

#include "TestSupport.h"

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvanta::test {

// One record as syslog(3) sends it: "<PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT".
struct LogRecord {
  int facility = -1; // LOG_USER is 1 (PRI's upper bits)
  int severity = -1; // LOG_ERR 3, LOG_WARNING 4, LOG_NOTICE 5, LOG_INFO 6
  std::string ident;
  pid_t pid = -1;
  std::string text;
};

// The record in one datagram (a trailing NUL or line feed dropped); nullopt when it does not have
// that form.
std::optional<LogRecord> ParseLogRecord(std::string_view datagram);

// What stands at /dev/log during the capture.
enum class LogSocket {
  kReading, // a datagram socket, read all along
  kAbsent,  // nothing at all
  kStuck,   // a datagram socket that nobody reads: its queue fills and stays full
  kDead,    // a socket file whose owner has closed it (a log daemon that died)
  kStream,  // a stream socket that keeps the first record of each connection, then closes it
};

struct LogCapture {
  std::string refusal;              // the machine refused the namespaces: skip
  std::string error;                // the capture or body went wrong
  std::string value;                // what body returned
  std::vector<std::string> raw;     // every datagram (or stream record) received, in order
  std::vector<LogRecord> records;   // those of raw in syslog's form, in order
  std::vector<std::string> strange; // those of raw that are not
};

// Runs body in the child with /dev/log set up as asked, and hands back what reached it.
LogCapture CaptureSystemLog(LogSocket socket, const std::function<std::string()>& body);

// For a body of CaptureSystemLog only, where /dev is private: binds a socket of the type
// (SOCK_DGRAM or SOCK_STREAM, listening) at /dev/log, open to every user. Throws on failure.
int BindLogSocket(int type);

struct LoggedRun {
  std::string refusal, error;
  ProgramResult program;          // status, output, pid
  std::vector<LogRecord> records; // everything the log socket received
  std::vector<std::string> strange;
  // The texts of the records that carry ident and the program's pid, in order.
  std::vector<std::string> Lines(const std::string& ident) const;
  // The records that do not (should be none).
  std::vector<LogRecord> Others(const std::string& ident) const;
};

// The end line's duration varies: "...; 0.04 s" reads "...; N s".
std::vector<std::string> WithoutDuration(std::vector<std::string> lines);

// Expects the run's log to be exactly lines (durations stripped) under ident and the program's
// pid, with these syslog severities, all of facility user, and nothing else on the socket.
void ExpectLogged(const LoggedRun& run, const std::string& ident,
                  const std::vector<std::string>& lines, const std::vector<int>& severities);

// RunProgram inside the capture.
LoggedRun RunProgramLogged(const std::string& program, const ProgramOptions& options,
                           LogSocket socket = LogSocket::kReading);

} // namespace orvanta::test

#endif // ORVANTA_TESTS_SYSTEMLOGCAPTURE_H
