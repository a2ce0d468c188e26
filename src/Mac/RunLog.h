// A run's story in the system log, told the same way by both programs: one line when the run
// starts (the program, its arguments quoted, its version), one for each step that decides the
// outcome, and one when it ends (the outcome, the exit status and how long the run took). Each
// line is one record under the program's ident, with its process id, so one run's lines are
// found together. The programs write through the platform seam; tests hand in a sink and a clock.
#ifndef ORVANTA_MAC_RUNLOG_H
#define ORVANTA_MAC_RUNLOG_H

#include "CommandLine.h"
#include "platform/Platform.h"

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvanta::agent {

// The number of bytes of a well-formed UTF-8 sequence at the start of text that encodes a
// printable character (no C0 or C1 control, no DEL); 0 when there is none.
inline std::size_t PrintableSequence(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80)
    return lead >= 0x20 && lead != 0x7F ? 1 : 0;
  // Lengths, and the range of the second byte, that leave out overlong forms, surrogates and
  // values beyond U+10FFFF.
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF)
    length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF)
    length = 3, low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
  else if (lead >= 0xF0 && lead <= 0xF4)
    length = 4, low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;
  if (length == 0 || text.size() < length || byte(1) < low || byte(1) > high)
    return 0;
  for (std::size_t i = 2; i < length; ++i)
    if ((byte(i) & 0xC0) != 0x80)
      return 0;
  // U+0080 to U+009F are the C1 controls.
  return lead == 0xC2 && byte(1) < 0xA0 ? 0 : length;
}

// text as one shell word that reads back as text: 'text', each ' inside written '\''; or, when
// text holds control characters or bytes that are not UTF-8, $'text' with those written \n, \t,
// \r or \xHH and with \ and ' escaped. Either way a log line shows every byte unambiguously.
inline std::string QuoteForLog(std::string_view text) {
  bool plain = true;
  for (std::size_t at = 0, n = 0; plain && at < text.size(); at += n)
    plain = (n = PrintableSequence(text.substr(at))) != 0;
  if (plain) {
    std::string quoted = "'";
    for (const char c : text)
      quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
  }
  std::string quoted = "$'";
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t n = PrintableSequence(text.substr(at));
    const char c = text[at];
    if (n > 1 || (n == 1 && c != '\\' && c != '\''))
      quoted.append(text.substr(at, n));
    else if (c == '\\' || c == '\'')
      quoted += std::string("\\") + c;
    else if (c == '\n')
      quoted += "\\n";
    else if (c == '\t')
      quoted += "\\t";
    else if (c == '\r')
      quoted += "\\r";
    else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
      quoted += hex;
    }
    at += n > 0 ? n : 1;
  }
  return quoted + "'";
}

// How a command run through the shell ended, from its wait status, for a log line: "exit status
// N", "killed by signal N", or "could not be run" (-1: no shell was started).
inline std::string DescribeWaitStatus(int waitStatus) {
  if (waitStatus == -1)
    return "could not be run";
  if (WIFSIGNALED(waitStatus))
    return "killed by signal " + std::to_string(WTERMSIG(waitStatus));
  return "exit status " + std::to_string(WEXITSTATUS(waitStatus));
}

class RunLog {
public:
  using Sink = std::function<void(platform::EventLevel level, const std::string& line)>;
  using Clock = std::function<double()>; // seconds on a monotonic clock

  // The system log under ident ("orvanta-uninstall"), timed by the steady clock. Records
  // nothing yet.
  explicit RunLog(const std::string& ident)
      : sink_([](platform::EventLevel level, const std::string& line) {
          platform::RecordEvent(level, line);
        }),
        clock_([] {
          return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
              .count();
        }) {
    platform::OpenEventLog(ident);
  }
  RunLog(Sink sink, Clock clock) : sink_(std::move(sink)), clock_(std::move(clock)) {}

  // "start: PROGRAM 'ARGUMENT'... (version V)"; the run's duration counts from here.
  void Start(const std::string& program, const std::vector<std::string>& arguments) {
    started_ = clock_();
    std::string line = "start: " + program;
    for (const std::string& argument : arguments)
      line += " " + QuoteForLog(argument);
    sink_(platform::EventLevel::kInfo, line + " (version " + Version() + ")");
  }
  // A step that decides the outcome and went as it should.
  void Step(const std::string& text) { sink_(platform::EventLevel::kInfo, text); }
  // What went wrong, and why.
  void Problem(const std::string& text) { sink_(platform::EventLevel::kWarning, text); }
  // "end: OUTCOME; exit status N; S.SS s", an error when status is not 0. Returns status.
  int End(const std::string& outcome, int status) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f s", clock_() - started_);
    sink_(status == 0 ? platform::EventLevel::kNotice : platform::EventLevel::kError,
          "end: " + outcome + "; exit status " + std::to_string(status) + "; " + seconds);
    return status;
  }

private:
  Sink sink_;
  Clock clock_;
  double started_ = 0;
};

} // namespace orvanta::agent

#endif // ORVANTA_MAC_RUNLOG_H
