// ExistProcess with about a hundred processes running, beside `pgrep -x` for the same two names
// (the process timed whole, as a script would run it).
#include "AgentControl.h"
#include "BenchSupport.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace orvanta::bench;

constexpr int kWantedProcesses = 100;

int CountProcesses() {
  const std::string listing = Capture("ps -e -o pid=");
  return static_cast<int>(std::count(listing.begin(), listing.end(), '\n'));
}

// Idle children that bring the machine up to about a hundred processes; killed at exit.
class Crowd {
public:
  Crowd() {
    for (int missing = kWantedProcesses - CountProcesses(); missing > 0; --missing) {
      const pid_t child = fork();
      if (child == 0) {
        alarm(900); // never outlives a benchmark run that died without killing it
        for (;;)
          pause();
      }
      if (child > 0)
        children_.push_back(child);
    }
    processes_ = CountProcesses();
  }
  ~Crowd() {
    for (const pid_t child : children_)
      kill(child, SIGKILL);
    for (const pid_t child : children_)
      waitpid(child, nullptr, 0);
  }
  int processes() const { return processes_; }

private:
  std::vector<pid_t> children_;
  int processes_ = 0;
};

// The probe looks at the caller's own processes only, so pgrep is asked the same (-U: real uid).
const Spawn kPgrep{{"pgrep", "-x", "-U", std::to_string(getuid()), "orvantae[st]"}, {}, ""};

// pgrep's answer: true when one of the agent's names runs as this user.
bool PgrepSays() {
  return Run(kPgrep) == 0;
}

void Ours(benchmark::State& state) {
  bool running = false;
  for (auto _ : state) {
    running = ExistProcess();
    Keep(running);
  }
  // Both must see the same processes; one that came or went in between gets another look.
  bool agrees = false;
  for (int look = 0; look < 3 && !agrees; ++look)
    agrees = ExistProcess() == PgrepSays();
  if (!agrees)
    Fail(state, "ExistProcess and pgrep disagree");
}

void Pgrep(benchmark::State& state) {
  int failures = 0;
  for (auto _ : state) {
    const int status = Run(kPgrep);
    failures += status != 0 && status != 1;
  }
  if (failures != 0)
    Fail(state, "pgrep failed to run");
}

} // namespace

int main(int argc, char** argv) {
  Crowd crowd;
  return Main(argc, argv, [&crowd] {
    const std::string input = std::to_string(crowd.processes()) + "_processes";
    benchmark::RegisterBenchmark(("ExistProcess/ours/" + input).c_str(), Ours)->UseRealTime();
    benchmark::RegisterBenchmark(("ExistProcess/pgrep_x/" + input).c_str(), Pgrep)->UseRealTime();
  });
}
