// A SystemServices that runs nothing: it records every command, sleep, probe and progress line,
// keeps a fake clock advanced only by its sleeps, and answers the agent probe from a script. Its
// Log() records a run's log lines among the same events.
#ifndef ORVANTA_TESTS_RECORDINGSERVICES_H
#define ORVANTA_TESTS_RECORDINGSERVICES_H

#include "RunLog.h"
#include "SystemServices.h"

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace orvanta::test {

class RecordingServices : public agent::SystemServices {
public:
  // Answers the probe: probe number (from 0) and the fake clock in whole seconds.
  std::function<bool(int probe, unsigned clock)> agentRunning = [](int, unsigned) { return false; };
  // Called for every command before it is recorded as done (a test may change the world here).
  std::function<void(const std::string& command)> onCommand;
  // The wait status each command reports (0 unless set).
  std::function<int(const std::string& command)> commandStatus;

  std::vector<std::string> commands; // every command, in order
  // commands, "sleep N" (seconds), "sleep Nms", "probe: yes|no", "print: ...", "log: ..."
  std::vector<std::string> events;
  std::vector<std::pair<platform::EventLevel, std::string>> logged; // the log lines alone
  unsigned clock = 0;               // the fake clock in whole seconds
  std::chrono::milliseconds now{0}; // the same clock in milliseconds
  int probes = 0;
  bool holding = false; // between HoldTerminationSignals and ReleaseTerminationSignals
  int heldSignal = 0;   // what HeldSignal answers; a test may set it to "deliver" a signal
  int releasedWith = 0; // the signal held when holding ended (the real services would end there)

  int RunCommand(const std::string& command) override {
    if (onCommand)
      onCommand(command);
    commands.push_back(command);
    events.push_back(command);
    return commandStatus ? commandStatus(command) : 0;
  }
  int RunCommandUntilSignal(const std::string& command) override { return RunCommand(command); }
  void SleepSeconds(unsigned seconds) override {
    Advance(std::chrono::seconds(seconds));
    events.push_back("sleep " + std::to_string(seconds));
  }
  void Sleep(std::chrono::milliseconds interval) override {
    Advance(interval);
    events.push_back("sleep " + std::to_string(interval.count()) + "ms");
  }
  std::chrono::milliseconds Now() override { return now; }
  bool AgentRunning() override {
    const bool running = agentRunning(probes++, clock);
    events.push_back(running ? "probe: yes" : "probe: no");
    return running;
  }
  void PrintLine(const char* line) override { events.push_back(std::string("print: ") + line); }
  // A run log that records its lines here, timed by the fake clock.
  agent::RunLog Log() {
    return agent::RunLog(
        [this](platform::EventLevel level, const std::string& line) {
          events.push_back("log: " + line);
          logged.emplace_back(level, line);
        },
        [this] { return static_cast<double>(now.count()) / 1000; });
  }
  void HoldTerminationSignals() override {
    holding = true;
    events.push_back("hold signals");
  }
  void HoldSignal(int signal) override {
    if (holding && heldSignal == 0)
      heldSignal = signal;
  }
  int HeldSignal() override { return heldSignal; }
  void ReleaseTerminationSignals() override {
    if (!holding)
      return;
    holding = false;
    releasedWith = heldSignal;
    events.push_back("release signals");
  }

private:
  void Advance(std::chrono::milliseconds interval) {
    now += interval;
    clock = static_cast<unsigned>(std::chrono::duration_cast<std::chrono::seconds>(now).count());
  }
};

} // namespace orvanta::test

#endif // ORVANTA_TESTS_RECORDINGSERVICES_H
