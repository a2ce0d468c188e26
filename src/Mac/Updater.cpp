#include "Updater.h"

#include "AgentControl.h"
#include "CommandLine.h"
#include "Staging.h"
#include "UpdateRecord.h"
#include "Utils.h"

#include "Interrupt.h"
#include "ScopedHandles.h"

#include <boost/filesystem/operations.hpp>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <set>

namespace orvanta::agent {
namespace {

namespace fs = boost::filesystem;
using boost::system::error_code;

constexpr int kSuffixCount = 1000;
// Fresh staging names to try before giving up; a clash is already unlikely once.
constexpr int kStagingAttempts = 10;

// unzip's exit statuses that leave nothing half-written, and the one it gives when interrupted.
constexpr int kUnzipDone = 0, kUnzipWarnings = 1, kUnzipNoArchive = 9, kUnzipInterrupted = 80;
// A shell reports a child that died of signal N as exit status 128 + N.
constexpr int kShellSignalBase = 128;

// What a reported line or an outcome means; the exit status follows the gravest one.
enum class Severity {
  Note,         // a problem that does not decide this run's outcome (a killed run's turn back)
  Installed,    // the new pair is in place (checking: it would be)
  NotInstalled, // the previous pair is kept, whole
  Error,        // a refused argument, a failed step, a record that cannot be settled
  Busy,         // another run holds the folder; nothing was done
  Usage,        // the command line is wrong; nothing was done
};

std::string Quoted(const std::string& path) {
  return "'" + path + "'";
}

bool DiedOfInterrupt(int waitStatus) {
  if (waitStatus == -1)
    return false;
  if (WIFSIGNALED(waitStatus))
    return WTERMSIG(waitStatus) == SIGINT;
  return WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == kShellSignalBase + SIGINT;
}

// Names of the folder that the update keeps for itself: its record, its draft, staging folders.
bool IsOwnName(const std::string& name) {
  return name == kRecordName || name == kRecordDraftName || name.rfind(kStagingPrefix, 0) == 0;
}

// A bundle's name or a backup name of one ("orvantaes.app.N", N a number).
bool IsBundleOrBackupName(const std::string& name) {
  for (const std::string bundle : {kServiceBundleName, kCompanionBundleName}) {
    if (name == bundle)
      return true;
    if (name.size() > bundle.size() + 1 && name.compare(0, bundle.size() + 1, bundle + ".") == 0 &&
        name.find_first_not_of("0123456789", bundle.size() + 1) == std::string::npos)
      return true;
  }
  return false;
}

// Why the archive path (the folder joined with an argument) may not be used; empty when it may.
// Removing the archive at the end must never take anything but a file inside the folder that is
// none of the update's own.
std::string WhyRefused(const fs::path& realFolder, const std::string& archive) {
  fs::path parent = fs::path(archive).parent_path(), name = fs::path(archive).filename();
  if (name.empty() || name == "." || name == "..") {
    parent = archive;
    name.clear();
  }
  error_code error;
  const fs::path real = fs::weakly_canonical(parent, error) / name;
  if (error)
    return "it cannot be checked: " + error.message();
  const fs::path inside = real.lexically_relative(realFolder);
  if (inside.empty() || *inside.begin() == "..")
    return "it lies outside the folder";
  if (inside == ".")
    return "it is the folder";
  const std::string top = inside.begin()->string();
  if (IsBundleOrBackupName(top) || IsOwnName(top))
    return "it is or lies in " + Quoted(top) + ", which the update keeps for its own use";
  const fs::file_type type = fs::symlink_status(real, error).type();
  if (type == fs::status_error)
    return "it cannot be checked: " + error.message();
  if (type == fs::symlink_file)
    return "it is a link";
  if (type != fs::file_not_found && type != fs::regular_file)
    return "it is not a file";
  return {};
}

class UpdateRun {
public:
  UpdateRun(SystemServices& services, std::ostream& out, std::ostream& errors, RunLog& log)
      : services_(services), out_(out), errors_(errors), log_(log) {}

  int Run(const UpdateRequest& request);

private:
  // The one route for failures (not Installed or Busy): a line on errors and in the log. The
  // line is held back until the next one, the next tool or the end, where the outcome line may
  // take it in.
  void Report(Severity severity, const std::string& line);
  // Reports each problem; true when there was none.
  bool Check(Severity severity, const Problems& problems) {
    for (const std::string& problem : problems)
      Report(severity, problem);
    return problems.empty();
  }
  // What the run did, as the outcome line will say it; its severity counts for the exit status.
  void Conclude(Severity severity, const std::string& headline) {
    reported_.insert(severity);
    headline_ = headline;
  }
  void WriteHeldLine();
  int ExitStatus() const;
  // Writes the outcome line and the log's end line, then lets a held signal end the process.
  int Finish();
  std::string Headline(int signal) const;
  bool Interrupted() { return services_.HeldSignal() != 0; }

  // Runs a tool; one that died of the user's interrupt counts as the interrupt of the run. With
  // untilSignal, a held signal ends the tool at once.
  int RunTool(const std::string& command, bool untilSignal = false);
  // Logs a launchctl command that failed. killall's failures are not logged: after the first
  // signal there is usually no process left to find, so it fails in nearly every run.
  void LogAgentCommand(const char* command, int status);
  // The unload, the kill sequence and the probes. False when a held signal cut it short.
  bool StopAgent();
  bool IssueKills();
  // The reload, when this run has unloaded the agent and not yet reloaded it.
  void Reload();
  bool Lock();
  bool Recover();
  bool ArchivesConfined();
  // Creates the record and the staging folder; false (reported) when either cannot be made.
  bool CreateStaging();
  // Both unzips into the staging folder, then the judgement; false when the pair must not be
  // installed.
  bool ExtractAndJudge();
  bool ChooseSuffix();
  void Install();
  // The staged pair is given up before it was ever recorded as one that may go forward.
  void FailureBranch();
  // The staged pair is given up after it was recorded as one that may go forward.
  void Abandon();
  std::vector<std::string> ArchivesToRemove() const;

  SystemServices& services_;
  std::ostream &out_, &errors_;
  RunLog& log_;
  std::set<Severity> reported_;
  // The failure lines reported (Note, NotInstalled, Error), in order; the last may not be written
  // yet.
  std::vector<std::pair<Severity, std::string>> lines_;
  bool lineHeld_ = false;
  std::string headline_;              // what the run did, once it is decided
  std::string recovered_;             // what settling a killed run did; empty when there was none
  std::vector<std::string> notFound_; // archives unzip found absent (status 9, no file there)
  bool checking_ = false;
  bool unloaded_ = false; // the agent was unloaded and not yet reloaded

  std::string folder_, firstArchive_, secondArchive_;
  std::string serviceBundle_, companionBundle_;
  sys::UniqueFd lock_; // the folder, locked for the run's whole life
  UpdateRecord record_;
  std::string staging_; // the staging folder's path
};

void UpdateRun::Report(Severity severity, const std::string& line) {
  reported_.insert(severity);
  if (severity == Severity::Usage) {
    errors_ << "update: " << line << "\n\n" << kUpdateUsage;
    errors_.flush();
    log_.Problem("refused the command line: " + line);
    return;
  }
  log_.Problem(line);
  WriteHeldLine();
  lines_.emplace_back(severity, line);
  lineHeld_ = true;
}

void UpdateRun::WriteHeldLine() {
  if (!lineHeld_)
    return;
  lineHeld_ = false;
  errors_ << "update: " << lines_.back().second << '\n';
  errors_.flush();
}

std::string UpdateRun::Headline(int signal) const {
  const bool installed = reported_.count(Severity::Installed) != 0;
  std::string headline = headline_;
  if (headline.empty())
    headline = checking_ ? (reported_.count(Severity::NotInstalled) != 0
                                ? "the archives make no whole pair"
                                : "checked nothing")
                         : "installed nothing";
  if (signal != 0)
    headline = "ended by signal " + std::to_string(signal) +
               (installed && !checking_ ? " after installing the new pair in " + Quoted(folder_)
                                        : "; " + headline);
  if (!recovered_.empty())
    headline = "settled a killed run (" + recovered_ + "); " + headline;
  return headline;
}

int UpdateRun::Finish() {
  const int signal = services_.HeldSignal();
  const int status = signal != 0 ? kShellSignalBase + signal : ExitStatus();
  const std::string headline = Headline(signal);
  std::string line = headline;
  // The reason: the first error, which the rest usually follow from; else the first reason the
  // pair was not installed.
  const auto first = [&](Severity severity) {
    return std::find_if(lines_.begin(), lines_.end(),
                        [&](const auto& reported) { return reported.first == severity; });
  };
  auto reason = first(Severity::Error);
  if (reason == lines_.end())
    reason = first(Severity::NotInstalled);
  if (status != kExitInstalled && reason != lines_.end()) {
    const bool installed = reported_.count(Severity::Installed) != 0;
    line += (installed ? ", but " : ": ") + reason->second;
    // The held line is not written when the outcome line says it.
    if (lineHeld_ && reason == lines_.end() - 1)
      lineHeld_ = false;
    const std::size_t more =
        std::count_if(lines_.begin(), lines_.end(),
                      [](const auto& reported) { return reported.first != Severity::Note; }) -
        1;
    if (more > 0)
      line += " (and " + std::to_string(more) + " more above)";
  }
  WriteHeldLine();
  std::ostream& stream = status == kExitInstalled ? out_ : errors_;
  stream << "update: " << line << '\n';
  stream.flush();
  log_.End(headline, status);
  // A held signal ends the run here, with a whole pair in place.
  services_.ReleaseTerminationSignals();
  return status;
}

int UpdateRun::ExitStatus() const {
  // The gravest first: an error tells the caller to look, even when the pair was kept.
  const std::pair<Severity, int> order[] = {{Severity::Usage, kExitUsage},
                                            {Severity::Busy, kExitBusy},
                                            {Severity::Error, kExitError},
                                            {Severity::NotInstalled, kExitNotInstalled}};
  for (const auto& [severity, status] : order)
    if (reported_.count(severity) != 0)
      return status;
  return kExitInstalled;
}

int UpdateRun::RunTool(const std::string& command, bool untilSignal) {
  // What was reported is out before the tool says anything.
  WriteHeldLine();
  const int status =
      untilSignal ? services_.RunCommandUntilSignal(command) : services_.RunCommand(command);
  if (DiedOfInterrupt(status))
    services_.HoldSignal(SIGINT);
  return status;
}

bool UpdateRun::IssueKills() {
  for (const char* command : kKillSequence) {
    RunTool(command);
    if (Interrupted())
      return false;
  }
  return true;
}

bool UpdateRun::StopAgent() {
  unloaded_ = true;
  LogAgentCommand(kPerUserUnload, RunTool(kPerUserUnload));
  if (Interrupted() || !IssueKills())
    return false;
  const std::chrono::milliseconds start = services_.Now();
  std::chrono::milliseconds lastKills = start;
  for (;;) {
    if (Interrupted())
      return false;
    if (!services_.AgentRunning()) {
      log_.Step("the agent is stopped");
      return true;
    }
    const std::chrono::milliseconds now = services_.Now();
    // The agent would not end: the update goes on regardless, as the bundles of a running
    // program can be renamed like any folder.
    if (now - start >= kStopLimit) {
      log_.Problem(
          "the agent still ran after " +
          std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kStopLimit).count()) +
          " s of kills and probes; went on regardless");
      return true;
    }
    if (now - lastKills >= kKillInterval) {
      lastKills += kKillInterval;
      if (!IssueKills())
        return false;
      continue;
    }
    services_.Sleep(
        std::min({kProbeInterval, lastKills + kKillInterval - now, start + kStopLimit - now}));
  }
}

void UpdateRun::LogAgentCommand(const char* command, int status) {
  if (status != 0)
    log_.Problem(std::string(command) + ": " + DescribeWaitStatus(status));
}

void UpdateRun::Reload() {
  if (!unloaded_)
    return;
  // The held line stays held: the reload is the last tool of a run, and its line may be the one
  // the outcome line takes in.
  LogAgentCommand(kPerUserReload, services_.RunCommand(kPerUserReload));
  unloaded_ = false;
}

bool UpdateRun::Lock() {
  lock_.reset(sys::RetryOnInterrupt(
      [&] { return ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (!lock_) {
    Report(Severity::Error,
           "cannot open the folder " + Quoted(folder_) + ": " + std::strerror(errno));
    return false;
  }
  // The kernel drops the lock when the run ends, however it ends: nothing is left behind.
  if (sys::RetryOnInterrupt([&] { return ::flock(lock_.get(), LOCK_EX | LOCK_NB); }) == 0)
    return true;
  if (errno == EWOULDBLOCK)
    Conclude(Severity::Busy,
             "another update is running in " + Quoted(folder_) + "; nothing was done");
  else
    Report(Severity::Error,
           "cannot lock the folder " + Quoted(folder_) + ": " + std::strerror(errno));
  return false;
}

bool UpdateRun::Recover() {
  UpdateRecord killed;
  Problems problems;
  const std::string record = AppendPathToString(folder_, kRecordName);
  const RecordFound found = ReadRecord(folder_, killed, problems);
  if (found == RecordFound::Nothing)
    return true;
  if (found == RecordFound::Untrusted || checking_) {
    Check(Severity::Error, problems);
    Conclude(Severity::Error, "left " + Quoted(record) + " and the folder as they are" +
                                  (checking_ ? " (a run of update settles it)" : "") +
                                  "; nothing was " + (checking_ ? "checked" : "installed"));
    return false;
  }
  // The killed run may have unloaded the agent: it is stopped before any bundle moves, and
  // reloaded as soon as the pair is whole again.
  if (MayHaveStoppedAgent(killed.stage) && !StopAgent()) {
    Reload();
    return false;
  }
  const Recovery recovery = RecoverKilledRun(folder_, killed, [this] { Reload(); });
  Reload();
  // A turn back settles the killed run; it does not decide what this run installs.
  Check(Severity::Note, recovery.turnedBack);
  Check(Severity::Error, recovery.errors);
  // With the record still there, this run would overwrite what a person has to judge.
  if (EntryExists(record)) {
    Conclude(Severity::Error,
             "left " + Quoted(record) + " and the folder as they are; nothing was installed");
    return false;
  }
  recovered_ = killed.stage == RunStage::Extracting ? "removed what it had staged"
               : killed.stage == RunStage::Installed
                   ? "finished its clean-up; its pair was in place"
               : recovery.forward ? "completed its swap"
                                  : "put back the pair it had begun to replace";
  log_.Step("settled a killed run: " + recovered_);
  return true;
}

bool UpdateRun::ArchivesConfined() {
  error_code error;
  const fs::path realFolder = fs::canonical(folder_, error);
  if (error) {
    Report(Severity::Error,
           "cannot resolve the folder " + Quoted(folder_) + ": " + error.message());
    return false;
  }
  bool confined = true;
  for (const std::string* archive : {&firstArchive_, &secondArchive_}) {
    const std::string why = WhyRefused(realFolder, *archive);
    if (!why.empty()) {
      Report(Severity::Error, "refused the archive " + Quoted(*archive) + ": " + why);
      confined = false;
    }
  }
  return confined;
}

bool UpdateRun::CreateStaging() {
  // The record names the staging folder before it exists, so that a kill never leaves one that
  // no record names.
  for (int attempt = 0; attempt < kStagingAttempts; ++attempt) {
    record_ = {RunStage::Extracting, NewStagingName(), -1};
    staging_ = AppendPathToString(folder_, record_.staging);
    if (!Check(Severity::Error, WriteRecord(folder_, record_)))
      return false;
    int failed = 0;
    if (MakePrivateFolder(staging_, failed))
      return true;
    if (failed == EEXIST)
      continue;
    Report(Severity::Error, "cannot create " + Quoted(staging_) + ": " + std::strerror(failed));
    Check(Severity::Error, RemoveRecord(folder_));
    return false;
  }
  Report(Severity::Error, "no free staging name in " + Quoted(folder_));
  Check(Severity::Error, RemoveRecord(folder_));
  return false;
}

bool UpdateRun::ExtractAndJudge() {
  for (const std::string* archive : {&secondArchive_, &firstArchive_}) {
    if (Interrupted())
      return false;
    // unzip alone inherits the lock: an unzip still writing after its run was killed keeps the
    // next run out until it is done. No other tool gets it, so nothing they leave running (a
    // daemon a tool starts, say) can hold the folder.
    ::fcntl(lock_.get(), F_SETFD, 0);
    const int status = RunTool(UnzipCommand(*archive, staging_), true);
    ::fcntl(lock_.get(), F_SETFD, FD_CLOEXEC);
    UnzipResult result = ClassifyUnzipStatus(status);
    if (Interrupted())
      return false;
    // The shell keeps an interrupt from this process only when it reaches unzip alone.
    if (result == UnzipResult::Interrupted) {
      services_.HoldSignal(SIGINT);
      return false;
    }
    // unzip says 9 both for a missing archive and for a file that is none.
    if (result == UnzipResult::NoArchive && EntryExists(*archive))
      result = UnzipResult::Failed;
    if (result == UnzipResult::Failed) {
      Report(Severity::NotInstalled, Quoted(*archive) + " could not be extracted (unzip: " +
                                         DescribeWaitStatus(status) + ")");
      return false;
    }
    // No archive there is no failure yet: the other one may hold both bundles.
    if (result == UnzipResult::NoArchive) {
      notFound_.push_back(Quoted(*archive));
      log_.Problem("unzip found no archive at " + notFound_.back() + " (" +
                   DescribeWaitStatus(status) + ")");
    }
    // Checked after each archive: the next one must not write through a link this one made.
    if (!Check(Severity::NotInstalled, LinksLeadingOut(staging_)))
      return false;
  }
  // A bundle is a folder: anything else in its place is no usable bundle.
  std::string missing;
  for (const char* name : {kServiceBundleName, kCompanionBundleName}) {
    error_code error;
    if (fs::symlink_status(AppendPathToString(staging_, name), error).type() != fs::directory_file)
      missing +=
          (missing.empty() ? "the archives hold no folder " : " and no folder ") + Quoted(name);
  }
  if (!missing.empty()) {
    // An archive that was not there is most likely why.
    std::string notFound;
    for (const std::string& archive : notFound_)
      notFound += (notFound.empty() ? " (unzip found no archive at " : " nor at ") + archive;
    if (!notFound.empty())
      notFound += ": exit status " + std::to_string(kUnzipNoArchive) + ")";
    Report(Severity::NotInstalled, missing + notFound);
    return false;
  }
  // The archives' other entries must be able to land without going through a link.
  Problems extras =
      MergeExtras(staging_, folder_, {kServiceBundleName, kCompanionBundleName}, false);
  error_code error;
  for (fs::directory_iterator it(staging_, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (IsOwnName(name))
      extras.push_back("the archives hold " + Quoted(name) +
                       ", a name the update keeps for itself");
  }
  if (error)
    extras.push_back("cannot list " + Quoted(staging_) + ": " + error.message());
  if (!Check(Severity::NotInstalled, extras) || Interrupted())
    return false;
  log_.Step("the archives make a whole pair");
  return true;
}

bool UpdateRun::ChooseSuffix() {
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  const int drawn = std::rand() % kSuffixCount;
  // Leftovers of earlier runs are never overwritten, and an extra entry of the archives never
  // lands on a backup: from the drawn suffix on, take the first whose names are free in both.
  for (int step = 0; step < kSuffixCount; ++step) {
    const int suffix = (drawn + step) % kSuffixCount;
    bool free = true;
    for (const char* name : {kServiceBundleName, kCompanionBundleName}) {
      const std::string backup = BackupName(name, suffix);
      free = free && !EntryExists(AppendPathToString(folder_, backup)) &&
             !EntryExists(AppendPathToString(staging_, backup));
    }
    if (free) {
      record_.suffix = suffix;
      return true;
    }
  }
  Report(Severity::Error, "no free backup name in " + Quoted(folder_));
  return false;
}

void UpdateRun::Install() {
  if (!ChooseSuffix()) {
    FailureBranch();
    return;
  }
  // Whatever stands at a bundle name, a link included, is kept as its backup.
  record_.stage = RunStage::Swapping;
  record_.previous = {EntryExists(serviceBundle_), EntryExists(companionBundle_)};
  // From here the staged pair may go forward: only now is the agent stopped.
  if (!Check(Severity::Error, WriteRecord(folder_, record_)) || Interrupted() || !StopAgent()) {
    Abandon();
    return;
  }
  // From the first rename on, a held signal waits until the pair is whole and the run is done.
  Problems problems;
  const Settled settled = SettleSwap(folder_, record_, problems);
  if (settled == Settled::Forward) {
    log_.Step("swapped in the new pair");
    Check(Severity::Error,
          MergeExtras(staging_, folder_, {kServiceBundleName, kCompanionBundleName}, true));
    Reload();
    Conclude(Severity::Installed, "installed the new pair in " + Quoted(folder_));
    Check(Severity::Error, FinishForward(folder_, record_, ArchivesToRemove()));
    return;
  }
  if (settled == Settled::Back) {
    Check(Severity::NotInstalled, problems);
    log_.Problem("undid the swap: the previous pair is back");
    Reload();
    Conclude(Severity::NotInstalled,
             "put the previous pair back; nothing was installed and both archives are kept");
    Check(Severity::Error, FinishBack(folder_, record_, {}));
    return;
  }
  Check(Severity::Error, problems);
  Reload();
  Conclude(Severity::Error, "left the record and " + Quoted(staging_) +
                                " for the next run to settle; the pair could not be swapped "
                                "either way");
}

std::vector<std::string> UpdateRun::ArchivesToRemove() const {
  if (checking_)
    return {};
  return {firstArchive_, secondArchive_};
}

void UpdateRun::FailureBranch() {
  // The live bundles were never touched; what the archives brought goes, and so do they.
  Check(Severity::Error, FinishBack(folder_, record_, ArchivesToRemove()));
}

void UpdateRun::Abandon() {
  // The record may say the pair goes forward: it must say otherwise before the staged tree goes.
  record_.stage = RunStage::Restoring;
  const bool recorded = Check(Severity::Error, WriteRecord(folder_, record_));
  Reload();
  if (!recorded) {
    Conclude(Severity::Error,
             "left the record and " + Quoted(staging_) + " for the next run to settle");
    return;
  }
  Check(Severity::Error, FinishBack(folder_, record_, ArchivesToRemove()));
}

int UpdateRun::Run(const UpdateRequest& request) {
  if (request.kind == UpdateRequest::Kind::Usage) {
    Report(Severity::Usage, request.problem);
    return log_.End("usage error, nothing done", ExitStatus());
  }
  checking_ = request.kind == UpdateRequest::Kind::Check;
  folder_ = request.folder;
  firstArchive_ = AppendPathToString(folder_, request.first);
  secondArchive_ = AppendPathToString(folder_, request.second);
  serviceBundle_ = AppendPathToString(folder_, kServiceBundleName);
  companionBundle_ = AppendPathToString(folder_, kCompanionBundleName);

  // Whatever arrives from here on, the run settles what it began before it ends.
  services_.HoldTerminationSignals();
  if (Lock() && Recover() && !Interrupted() && ArchivesConfined() && CreateStaging()) {
    if (!ExtractAndJudge() || Interrupted()) {
      FailureBranch();
    } else if (checking_) {
      Conclude(Severity::Installed,
               "the archives make a whole pair (checked only; nothing was installed)");
      FailureBranch();
    } else if (!Check(Severity::Error, FlushTree(staging_)) || Interrupted()) {
      FailureBranch();
    } else {
      Install();
    }
  }
  Reload();
  return Finish();
}

} // namespace

UpdateRequest ParseUpdateArguments(const std::vector<std::string>& arguments) {
  using Kind = UpdateRequest::Kind;
  UpdateRequest request;
  std::vector<std::string> operands;
  bool check = false, optionsEnded = false;
  for (const std::string& argument : arguments) {
    if (!optionsEnded && argument == "--") {
      optionsEnded = true;
    } else if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      operands.push_back(argument);
    } else if (argument == "--check" && !check) {
      check = true;
    } else if (argument == "-h" || argument == "--help" || argument == "--version") {
      if (arguments.size() != 1) {
        request.problem = Quoted(argument) + " takes no other argument";
        return request;
      }
      request.kind = argument == "--version" ? Kind::Version : Kind::Help;
      return request;
    } else {
      request.problem = check && argument == "--check" ? "'--check' is given twice"
                                                       : "unknown option " + Quoted(argument) +
                                                             " (put -- before an operand that "
                                                             "begins with -)";
      return request;
    }
  }
  if (operands.size() != 3) {
    request.problem = "expected FOLDER FIRST-ARCHIVE SECOND-ARCHIVE, got " +
                      std::to_string(operands.size()) + " operand" +
                      (operands.size() == 1 ? "" : "s");
    return request;
  }
  if (std::find(operands.begin(), operands.end(), std::string()) != operands.end()) {
    request.problem = "an operand is empty";
    return request;
  }
  request.kind = check ? Kind::Check : Kind::Update;
  request.folder = operands[0];
  request.first = operands[1];
  request.second = operands[2];
  return request;
}

UnzipResult ClassifyUnzipStatus(int waitStatus) {
  if (waitStatus == -1)
    return UnzipResult::Failed;
  int signal = 0;
  if (WIFSIGNALED(waitStatus)) {
    signal = WTERMSIG(waitStatus);
  } else if (WIFEXITED(waitStatus)) {
    const int code = WEXITSTATUS(waitStatus);
    if (code == kUnzipDone || code == kUnzipWarnings)
      return UnzipResult::Completed;
    if (code == kUnzipNoArchive)
      return UnzipResult::NoArchive;
    if (code == kUnzipInterrupted)
      return UnzipResult::Interrupted;
    if (code > kShellSignalBase)
      signal = code - kShellSignalBase;
  }
  return signal == SIGINT ? UnzipResult::Interrupted : UnzipResult::Failed;
}

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  quoted += '\'';
  return quoted;
}

std::string UnzipCommand(const std::string& archive, const std::string& folder) {
  const auto operand = [](const std::string& path) {
    return ShellQuote(path.rfind('-', 0) == 0 ? "./" + path : path);
  };
  return "unzip -o " + operand(archive) + " -d " + operand(folder);
}

int RunUpdate(const std::vector<std::string>& arguments, SystemServices& services,
              std::ostream& out, std::ostream& errors, RunLog& log) {
  const UpdateRequest request = ParseUpdateArguments(arguments);
  if (request.kind == UpdateRequest::Kind::Help || request.kind == UpdateRequest::Kind::Version)
    return AnswerInfoRequest(arguments, "update", kUpdateUsage, out).value_or(kExitUsage);
  log.Start("update", arguments);
  return UpdateRun(services, out, errors, log).Run(request);
}

} // namespace orvanta::agent
