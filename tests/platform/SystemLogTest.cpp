// The system-log call against a real /dev/log in a private namespace: what a reading log service
// receives, and that no state of the service (none, stuck, dead, a stream) makes the call wait,
// fail or raise a signal.
#include "platform/Platform.h"

#include "SystemLogCapture.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

namespace orvanta::test {
namespace {

using platform::EventLevel;
using platform::RecordEvent;

// Each record arrives whole in syslog's form: facility user, the level's severity, the ident
// (the program's name until one is given), the caller's pid and the text, line breaks kept; a
// text too long for one record is cut at a character boundary.
TEST(SystemLog, RecordsReachTheLogSocket) {
  std::string longText;
  while (longText.size() < 20000)
    longText += "é";
  const LogCapture capture = CaptureSystemLog(LogSocket::kReading, [&] {
    RecordEvent(EventLevel::kInfo, "before a name");
    platform::OpenEventLog("orvanta-test");
    RecordEvent(EventLevel::kError, "an error");
    RecordEvent(EventLevel::kWarning, "a warning");
    RecordEvent(EventLevel::kNotice, "a notice");
    RecordEvent(EventLevel::kInfo, "two\nlines");
    RecordEvent(EventLevel::kInfo, longText);
    return std::to_string(getpid());
  });
  ORVANTA_SKIP_IF_REFUSED(capture);
  ASSERT_EQ(capture.error, "");
  EXPECT_TRUE(capture.strange.empty());
  ASSERT_EQ(capture.records.size(), 6u);

  const std::vector<std::string> texts = {"before a name", "an error", "a warning", "a notice",
                                          "two\nlines"};
  const std::vector<int> severities = {LOG_INFO,   LOG_ERR,  LOG_WARNING,
                                       LOG_NOTICE, LOG_INFO, LOG_INFO};
  for (std::size_t i = 0; i < capture.records.size(); ++i) {
    SCOPED_TRACE(i);
    const LogRecord& record = capture.records[i];
    EXPECT_EQ(record.ident, i == 0 ? "SystemLogTest" : "orvanta-test");
    EXPECT_EQ(std::to_string(record.pid), capture.value);
    EXPECT_EQ(record.facility, LOG_USER >> 3);
    EXPECT_EQ(record.severity, severities[i]);
    if (i < texts.size()) {
      EXPECT_EQ(record.text, texts[i]);
    }
  }
  const std::string& cut = capture.records.back().text;
  EXPECT_LE(capture.raw.back().size(), 8192u);
  EXPECT_GT(cut.size(), 8000u);
  EXPECT_EQ(cut.size() % 2, 0u) << "a character was cut in two";
  EXPECT_EQ(longText.compare(0, cut.size(), cut), 0);
}

// No log socket, one nobody reads (its queue full), one whose service died, or a stream socket
// that hangs up after each record: thousands of records, SIGPIPE at its default, and the call
// neither waits (an alarm would end the child) nor fails. A stream gets well-formed records.
TEST(SystemLog, NeverWaitsOrFails) {
  for (const LogSocket socket :
       {LogSocket::kAbsent, LogSocket::kStuck, LogSocket::kDead, LogSocket::kStream}) {
    SCOPED_TRACE(static_cast<int>(socket));
    const LogCapture capture = CaptureSystemLog(socket, [] {
      std::signal(SIGPIPE, SIG_DFL);
      alarm(120);
      platform::OpenEventLog("orvanta-test");
      for (int i = 0; i < 5000; ++i)
        RecordEvent(EventLevel::kInfo, "record " + std::to_string(i));
      alarm(0);
      return std::string("done");
    });
    ORVANTA_SKIP_IF_REFUSED(capture);
    ASSERT_EQ(capture.error, "");
    EXPECT_EQ(capture.value, "done");
    EXPECT_TRUE(capture.strange.empty());
    if (socket == LogSocket::kStream) {
      ASSERT_FALSE(capture.records.empty());
      EXPECT_EQ(capture.records.front().text, "record 0");
    } else {
      EXPECT_TRUE(capture.raw.empty());
    }
  }
}

// A log service that restarts leaves a new socket at the same name: the next record finds it.
TEST(SystemLog, ARestartedServiceGetsTheNextRecord) {
  const LogCapture capture = CaptureSystemLog(LogSocket::kAbsent, [] {
    std::vector<std::string> received;
    const auto receive = [&](int fd) {
      char buffer[512];
      const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      received.push_back(n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "nothing");
    };
    const int first = BindLogSocket(SOCK_DGRAM);
    RecordEvent(EventLevel::kInfo, "one");
    receive(first);
    close(first);
    unlink("/dev/log");
    const int second = BindLogSocket(SOCK_DGRAM);
    RecordEvent(EventLevel::kInfo, "two");
    receive(second);
    close(second);
    return PackValues(received);
  });
  ORVANTA_SKIP_IF_REFUSED(capture);
  ASSERT_EQ(capture.error, "");
  const std::vector<std::string> received = UnpackValues(capture.value);
  ASSERT_EQ(received.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    const std::optional<LogRecord> record = ParseLogRecord(received[i]);
    ASSERT_TRUE(record) << received[i];
    EXPECT_EQ(record->text, i == 0 ? "one" : "two");
  }
}

} // namespace
} // namespace orvanta::test
