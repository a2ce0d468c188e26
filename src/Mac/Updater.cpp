#include "Updater.h"

#include "AgentControl.h"
#include "Staging.h"
#include "UpdateRecord.h"
#include "Utils.h"

#include <boost/filesystem/operations.hpp>

#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <utility>

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

// What a reported failure means for the exit status.
enum class Severity {
  NotInstalled, // the update was not installed and everything is as it was: exit status 0
  Error,        // a file-system step failed or an argument was refused: exit status 1
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

class UpdateRun {
public:
  UpdateRun(SystemServices& services, std::ostream& errors)
      : services_(services), errors_(errors) {}

  int Run(const std::vector<std::string>& arguments);

private:
  // The one route for failures: one line each on errors; the exit status follows the severity.
  void Report(Severity severity, const std::string& line) {
    errors_ << "update: " << line << '\n';
    errors_.flush();
    if (severity == Severity::Error)
      status_ = 1;
  }
  // Reports each problem; true when there was none.
  bool Check(Severity severity, const Problems& problems) {
    for (const std::string& problem : problems)
      Report(severity, problem);
    return problems.empty();
  }
  bool Interrupted() { return services_.HeldSignal() != 0; }

  // Runs a tool; one that died of the user's interrupt counts as the interrupt of the run.
  int RunTool(const std::string& command);
  // False when a termination signal ended the stop phase early.
  bool StopAgent();
  bool IssueKills();
  bool ReadArguments(const std::vector<std::string>& arguments);
  bool ArchivesAcceptable();
  bool Recover();
  // Creates the record and the staging folder; false (reported) when either cannot be made.
  bool CreateStaging();
  // Both unzips into the staging folder, then the judgement; false when the pair must not be
  // installed.
  bool ExtractAndJudge();
  bool ChooseSuffix();
  void Install();
  // Moves the bundles to their backups and the staged ones into place; on a failing rename
  // what moved goes back and false is returned.
  bool Swap();
  void FailureBranch();
  void Reload() { services_.RunCommand(kPerUserReload); }

  SystemServices& services_;
  std::ostream& errors_;
  int status_ = 0;

  std::string folder_, firstArchive_, secondArchive_;
  std::string serviceBundle_, companionBundle_;
  UpdateRecord record_;
  std::string staging_; // the staging folder's path
};

int UpdateRun::RunTool(const std::string& command) {
  const int status = services_.RunCommand(command);
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
  RunTool(kPerUserUnload);
  if (Interrupted() || !IssueKills())
    return false;
  services_.SleepSeconds(1);
  for (int probe = 0; probe < kStopProbes && !Interrupted(); ++probe) {
    if (!services_.AgentRunning())
      break;
    services_.SleepSeconds(1);
    if (Interrupted() || !IssueKills())
      return false;
  }
  return !Interrupted();
}

bool UpdateRun::ReadArguments(const std::vector<std::string>& arguments) {
  const auto argument = [&](size_t index) {
    return index < arguments.size() ? arguments[index] : std::string();
  };
  folder_ = argument(0);
  const std::string first = argument(1), second = argument(2);
  if (folder_.empty() || first.empty() || second.empty())
    return false;
  firstArchive_ = AppendPathToString(folder_, first);
  secondArchive_ = AppendPathToString(folder_, second);
  serviceBundle_ = AppendPathToString(folder_, kServiceBundleName);
  companionBundle_ = AppendPathToString(folder_, kCompanionBundleName);
  return true;
}

// The path with "." components and trailing slashes gone, for comparing names.
fs::path Normal(const std::string& path) {
  fs::path normal = fs::path(path).lexically_normal();
  while (!normal.empty() && normal.filename() == "." && normal.has_parent_path())
    normal = normal.parent_path();
  return normal;
}

bool UpdateRun::ArchivesAcceptable() {
  const fs::path folder = Normal(folder_);
  const std::set<fs::path> reserved = {folder, Normal(serviceBundle_), Normal(companionBundle_)};
  bool acceptable = true;
  for (const std::string* archive : {&firstArchive_, &secondArchive_}) {
    // Removing the archive at the end must never take the folder or a bundle with it.
    error_code error;
    const fs::file_type type = fs::status(*archive, error).type();
    std::string why;
    if (reserved.count(Normal(*archive)) != 0)
      why = "it is the folder or a bundle";
    else if (type == fs::status_error)
      why = "it cannot be checked: " + error.message();
    else if (type != fs::file_not_found && type != fs::regular_file)
      why = "it is not a file";
    if (!why.empty()) {
      Report(Severity::Error, "refused the archive " + Quoted(*archive) + ": " + why);
      acceptable = false;
    }
  }
  return acceptable;
}

bool UpdateRun::Recover() {
  Check(Severity::Error, RecoverKilledRun(folder_));
  // With a record still there, this run would overwrite what a person has to judge.
  if (EntryExists(AppendPathToString(folder_, kRecordName))) {
    Report(Severity::Error, "left " + Quoted(AppendPathToString(folder_, kRecordName)) +
                                " and the folder as they are; nothing was installed");
    return false;
  }
  return true;
}

bool UpdateRun::CreateStaging() {
  // The record names the staging folder before it exists, so that a kill never leaves one that
  // no record names.
  for (int attempt = 0; attempt < kStagingAttempts; ++attempt) {
    record_ = {RunStage::Extracting, NewStagingName(), -1};
    staging_ = AppendPathToString(folder_, record_.staging);
    if (!Check(Severity::NotInstalled, WriteRecord(folder_, record_)))
      return false;
    int failed = 0;
    if (MakePrivateFolder(staging_, failed))
      return true;
    if (failed == EEXIST)
      continue;
    Report(Severity::NotInstalled,
           "cannot create " + Quoted(staging_) + ": " + std::strerror(failed));
    Check(Severity::Error, RemoveRecord(folder_));
    return false;
  }
  Report(Severity::NotInstalled, "no free staging name in " + Quoted(folder_));
  Check(Severity::Error, RemoveRecord(folder_));
  return false;
}

bool UpdateRun::ExtractAndJudge() {
  for (const std::string* archive : {&secondArchive_, &firstArchive_}) {
    if (Interrupted())
      return false;
    const UnzipResult result = ClassifyUnzipStatus(RunTool(UnzipCommand(*archive, staging_)));
    // The shell keeps a terminal's interrupt from this process only when it reaches unzip alone.
    if (result == UnzipResult::Interrupted)
      services_.HoldSignal(SIGINT);
    if (result != UnzipResult::Completed) {
      Report(Severity::NotInstalled, Quoted(*archive) + " could not be extracted whole");
      return false;
    }
    // Checked after each archive: the next one must not write through a link this one made.
    if (!Check(Severity::NotInstalled, LinksLeadingOut(staging_)))
      return false;
  }
  // A bundle is a folder: anything else in its place is no usable bundle.
  bool whole = true;
  for (const char* name : {kServiceBundleName, kCompanionBundleName}) {
    error_code error;
    if (fs::symlink_status(AppendPathToString(staging_, name), error).type() !=
        fs::directory_file) {
      Report(Severity::NotInstalled, "the archives hold no folder " + Quoted(name));
      whole = false;
    }
  }
  if (!whole)
    return false;
  // The archives' other entries must be able to land without going through a link.
  std::set<std::string> own = {kServiceBundleName, kCompanionBundleName};
  Problems extras = MergeExtras(staging_, folder_, own, false);
  error_code error;
  for (fs::directory_iterator it(staging_, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name == kRecordName || name == kRecordDraftName || name.rfind(kStagingPrefix, 0) == 0)
      extras.push_back("the archives hold " + Quoted(name) +
                       ", a name the update keeps for itself");
  }
  if (error)
    extras.push_back("cannot list " + Quoted(staging_) + ": " + error.message());
  return Check(Severity::NotInstalled, extras) && !Interrupted();
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

bool UpdateRun::Swap() {
  std::vector<std::pair<std::string, std::string>> moved;
  const auto move = [&](const std::string& from, const std::string& to) {
    error_code error;
    fs::rename(from, to, error);
    if (error) {
      Report(Severity::NotInstalled,
             "cannot rename " + Quoted(from) + " to " + Quoted(to) + ": " + error.message());
      return false;
    }
    moved.emplace_back(from, to);
    return true;
  };
  bool swapped = true;
  int index = 0;
  for (const char* name : {kServiceBundleName, kCompanionBundleName}) {
    if (swapped && record_.previous[index++])
      swapped = move(AppendPathToString(folder_, name),
                     AppendPathToString(folder_, BackupName(name, record_.suffix)));
  }
  for (const char* name : {kServiceBundleName, kCompanionBundleName}) {
    if (swapped)
      swapped = move(AppendPathToString(staging_, name), AppendPathToString(folder_, name));
  }
  if (swapped)
    return true;
  bool undone = true;
  for (auto it = moved.rbegin(); it != moved.rend(); ++it) {
    error_code error;
    fs::rename(it->second, it->first, error);
    if (error) {
      Report(Severity::Error, "cannot rename " + Quoted(it->second) + " back to " +
                                  Quoted(it->first) + ": " + error.message());
      undone = false;
    }
  }
  // With the swap half done the record stays: the next run completes it.
  if (undone && Check(Severity::Error, RemoveTree(staging_)))
    Check(Severity::Error, RemoveRecord(folder_));
  return false;
}

void UpdateRun::Install() {
  if (!ChooseSuffix() || Interrupted()) {
    FailureBranch();
    return;
  }
  // From the first rename on, signals stay held until the pair is whole and the run is done.
  record_.stage = RunStage::Swapping;
  // Whatever stands at a bundle name, a link included, is kept as its backup.
  record_.previous = {EntryExists(serviceBundle_), EntryExists(companionBundle_)};
  if (!Check(Severity::NotInstalled, WriteRecord(folder_, record_))) {
    FailureBranch();
    return;
  }
  if (!Swap())
    return; // both archives stay: nothing was installed and nothing is lost
  Check(Severity::Error, SyncEntry(folder_));
  record_.stage = RunStage::Installed;
  Check(Severity::Error, WriteRecord(folder_, record_));
  Check(Severity::Error,
        MergeExtras(staging_, folder_, {kServiceBundleName, kCompanionBundleName}, true));
  for (const char* name : {kServiceBundleName, kCompanionBundleName})
    Check(Severity::Error,
          RemoveTree(AppendPathToString(folder_, BackupName(name, record_.suffix))));
  Check(Severity::Error, RemoveTree(firstArchive_));
  Check(Severity::Error, RemoveTree(secondArchive_));
  Check(Severity::Error, RemoveTree(staging_));
  Check(Severity::Error, RemoveRecord(folder_));
}

void UpdateRun::FailureBranch() {
  // The live bundles were never touched; what the archives brought goes, and so do they.
  const bool cleared = Check(Severity::Error, RemoveTree(staging_));
  Check(Severity::Error, RemoveEntry(firstArchive_));
  Check(Severity::Error, RemoveEntry(secondArchive_));
  if (cleared)
    Check(Severity::Error, RemoveRecord(folder_));
}

int UpdateRun::Run(const std::vector<std::string>& arguments) {
  // From the unload on, an interrupt still lets the run reload the agent before it ends.
  services_.HoldTerminationSignals();
  if (StopAgent() && ReadArguments(arguments) && Recover() && !Interrupted() &&
      ArchivesAcceptable() && CreateStaging()) {
    if (ExtractAndJudge() && Check(Severity::Error, FlushTree(staging_)))
      Install();
    else
      FailureBranch();
  }
  Reload();
  // A held signal ends the run here, with a whole pair in place.
  services_.ReleaseTerminationSignals();
  return status_;
}

} // namespace

UnzipResult ClassifyUnzipStatus(int waitStatus) {
  if (waitStatus == -1)
    return UnzipResult::Failed;
  int signal = 0;
  if (WIFSIGNALED(waitStatus)) {
    signal = WTERMSIG(waitStatus);
  } else if (WIFEXITED(waitStatus)) {
    const int code = WEXITSTATUS(waitStatus);
    if (code == kUnzipDone || code == kUnzipWarnings || code == kUnzipNoArchive)
      return UnzipResult::Completed;
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
  return "unzip -o " + ShellQuote(archive) + " -d " + ShellQuote(folder);
}

int RunUpdate(const std::vector<std::string>& arguments, SystemServices& services,
              std::ostream& errors) {
  return UpdateRun(services, errors).Run(arguments);
}

} // namespace orvanta::agent
