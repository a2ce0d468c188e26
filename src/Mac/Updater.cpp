#include "Updater.h"

#include "AgentControl.h"
#include "Utils.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>

#include <sys/wait.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <set>
#include <tuple>
#include <utility>

namespace orvanta::agent {
namespace {

namespace fs = boost::filesystem;
using boost::system::error_code;

constexpr int kSuffixCount = 1000;

// unzip's exit statuses that leave nothing half-written, and the one it gives when interrupted.
constexpr int kUnzipDone = 0, kUnzipWarnings = 1, kUnzipNoArchive = 9, kUnzipInterrupted = 80;
// A shell reports a child that died of signal N as exit status 128 + N.
constexpr int kShellSignalBase = 128;

// The symbolic links below the folder, each as (link path, target text).
using LinkSet = std::set<std::pair<std::string, std::string>>;

std::string BackupName(const char* bundleName, int suffix) {
  return std::string(bundleName) + "." + std::to_string(suffix);
}

class UpdateRun {
public:
  UpdateRun(SystemServices& services, std::ostream& errors)
      : services_(services), errors_(errors) {}

  int Run(const std::vector<std::string>& arguments);

private:
  void StopAgent();
  void Reload() { services_.RunCommand(kPerUserReload); }

  void Report(const std::string& what, const error_code& error) {
    errors_ << "update: " << what << ": " << error.message() << '\n';
    hadError_ = true;
  }
  // Whether the path names an entry, following links. Empty when the file system could not say.
  std::optional<bool> Exists(const std::string& path);
  // Whether the path names a folder, following links. Empty when the file system could not say.
  std::optional<bool> IsFolder(const std::string& path);
  // Whether nothing at all, not even a dangling link, stands at the path.
  bool IsFree(const std::string& path);
  bool ChooseBackupNames();
  bool BackUp();
  void RestoreBackups(bool serviceSlotFree, bool companionSlotFree);
  // Runs both unzip commands; false when the pair they leave must not be kept: an extraction
  // failed or was interrupted, or one left a link through which the next would write outside.
  bool Extract();
  // The links below the folder, the backups left out; false when the walk failed.
  bool ListLinks(LinkSet& links);
  // Removes each link that is not in `before` and leads outside the folder; false when there
  // was one (or the links could not be listed).
  bool RemoveLinksLeadingOut(const LinkSet& before);
  void KeepNewBundles();
  void RollBack();
  void Finish();
  bool RemoveAll(const std::string& path);
  void RemoveEntry(const std::string& path);

  SystemServices& services_;
  std::ostream& errors_;
  bool hadError_ = false;

  std::string folder_, firstArchive_, secondArchive_;
  std::string serviceBundle_, companionBundle_, serviceBackup_, companionBackup_;
  fs::path realFolder_; // the folder with every link resolved
};

void UpdateRun::StopAgent() {
  services_.RunCommand(kPerUserUnload);
  IssueKillSequence(services_);
  services_.SleepSeconds(1);
  for (int probe = 0; probe < kStopProbes; ++probe) {
    if (!services_.AgentRunning())
      break;
    services_.SleepSeconds(1);
    IssueKillSequence(services_);
  }
}

std::optional<bool> UpdateRun::Exists(const std::string& path) {
  error_code error;
  const fs::file_status status = fs::status(path, error);
  if (status.type() == fs::status_error) {
    Report("cannot check '" + path + "'", error);
    return std::nullopt;
  }
  return status.type() != fs::file_not_found;
}

std::optional<bool> UpdateRun::IsFolder(const std::string& path) {
  error_code error;
  const fs::file_status status = fs::status(path, error);
  if (status.type() == fs::status_error) {
    Report("cannot check '" + path + "'", error);
    return std::nullopt;
  }
  return status.type() == fs::directory_file;
}

bool UpdateRun::IsFree(const std::string& path) {
  error_code error;
  return fs::symlink_status(path, error).type() == fs::file_not_found;
}

bool UpdateRun::ChooseBackupNames() {
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  const int drawn = std::rand() % kSuffixCount;
  // Leftovers of an earlier run must never be overwritten: from the drawn suffix on, take the
  // first one whose two backup names are both free. At most every suffix is tried once.
  for (int step = 0; step < kSuffixCount; ++step) {
    const int suffix = (drawn + step) % kSuffixCount;
    serviceBackup_ = AppendPathToString(folder_, BackupName(kServiceBundleName, suffix));
    companionBackup_ = AppendPathToString(folder_, BackupName(kCompanionBundleName, suffix));
    if (IsFree(serviceBackup_) && IsFree(companionBackup_))
      return true;
  }
  errors_ << "update: no free backup name in '" << folder_ << "'\n";
  return false;
}

// Moves each existing bundle to its backup name; false at the first file-system error.
bool UpdateRun::BackUp() {
  const std::pair<const std::string*, const std::string*> moves[] = {
      {&serviceBundle_, &serviceBackup_}, {&companionBundle_, &companionBackup_}};
  for (const auto& [bundle, backup] : moves) {
    error_code error;
    const fs::file_status status = fs::status(*bundle, error);
    if (status.type() == fs::status_error) {
      errors_ << "update: cannot check '" << *bundle << "': " << error.message() << '\n';
      return false;
    }
    if (status.type() == fs::file_not_found)
      continue;
    fs::rename(*bundle, *backup, error);
    if (error) {
      errors_ << "update: cannot rename '" << *bundle << "' to '" << *backup
              << "': " << error.message() << '\n';
      return false;
    }
  }
  return true;
}

// Puts each backup back under its bundle name. A slot that could not be cleared keeps its backup:
// a backup is never given up for an uncertain state.
void UpdateRun::RestoreBackups(bool serviceSlotFree, bool companionSlotFree) {
  const std::tuple<const std::string*, const std::string*, bool> moves[] = {
      {&serviceBackup_, &serviceBundle_, serviceSlotFree},
      {&companionBackup_, &companionBundle_, companionSlotFree}};
  for (const auto& [backup, bundle, slotFree] : moves) {
    const std::optional<bool> exists = Exists(*backup);
    if (!exists || !*exists)
      continue;
    if (!slotFree) {
      errors_ << "update: kept the previous bundle at '" << *backup << "'\n";
      continue;
    }
    error_code error;
    fs::rename(*backup, *bundle, error);
    if (error)
      Report("cannot rename '" + *backup + "' to '" + *bundle + "'", error);
  }
}

// Gives the owner full rights on every folder of the tree (links are not followed), so that a
// tree with read-only folders can be emptied by whoever owns it.
void OpenFolders(const fs::path& root) {
  error_code error;
  if (fs::symlink_status(root, error).type() != fs::directory_file)
    return;
  fs::permissions(root, fs::add_perms | fs::owner_all, error);
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    error_code ignored;
    if (it->symlink_status(ignored).type() == fs::directory_file)
      fs::permissions(it->path(), fs::add_perms | fs::owner_all, ignored);
  }
}

bool UpdateRun::RemoveAll(const std::string& path) {
  error_code error;
  fs::remove_all(path, error);
  if (error == boost::system::errc::permission_denied) {
    // Read-only folders inside a bundle: the tree is ours to remove, so open it and retry.
    OpenFolders(path);
    error.clear();
    fs::remove_all(path, error);
  }
  if (error) {
    Report("cannot remove '" + path + "'", error);
    return false;
  }
  return true;
}

void UpdateRun::RemoveEntry(const std::string& path) {
  error_code error;
  fs::remove(path, error);
  if (error)
    Report("cannot remove '" + path + "'", error);
}

bool UpdateRun::ListLinks(LinkSet& links) {
  error_code error;
  fs::recursive_directory_iterator it(folder_, error), end;
  if (error == boost::system::errc::no_such_file_or_directory)
    return true; // no folder, no links (and no archives below it either)
  for (; !error && it != end; it.increment(error)) {
    const fs::path& path = it->path();
    if (path == serviceBackup_ || path == companionBackup_) {
      it.disable_recursion_pending(); // the previous bundles are not the archives' doing
      continue;
    }
    error_code linkError;
    if (it->symlink_status(linkError).type() != fs::symlink_file)
      continue;
    const fs::path target = fs::read_symlink(path, linkError);
    if (linkError) {
      error = linkError;
      break;
    }
    links.emplace(path.string(), target.string());
  }
  if (error) {
    Report("cannot list the links in '" + folder_ + "'", error);
    return false;
  }
  return true;
}

bool UpdateRun::RemoveLinksLeadingOut(const LinkSet& before) {
  LinkSet now;
  if (!ListLinks(now))
    return false;
  bool allInside = true;
  for (const auto& [link, target] : now) {
    if (before.count({link, target}) != 0)
      continue;
    // Where a write through the link would land now; only links of this run can be followed
    // by the next extraction, and unzip creates an archive's links after its files.
    const fs::path linkPath(link), targetPath(target);
    error_code error;
    const fs::path lands = fs::weakly_canonical(
        targetPath.is_absolute() ? targetPath : linkPath.parent_path() / targetPath, error);
    const fs::path inside = error ? fs::path() : lands.lexically_relative(realFolder_);
    if (!inside.empty() && *inside.begin() != "..")
      continue;
    allInside = false;
    errors_ << "update: refused the link '" << link << "' -> '" << target << "': it leads outside '"
            << folder_ << "'\n";
    RemoveEntry(link);
  }
  return allInside;
}

bool UpdateRun::Extract() {
  error_code error;
  realFolder_ = fs::weakly_canonical(folder_, error);
  if (error) {
    Report("cannot resolve '" + folder_ + "'", error);
    return false;
  }
  LinkSet before;
  if (!ListLinks(before))
    return false;
  for (const std::string* archive : {&secondArchive_, &firstArchive_}) {
    if (services_.HeldSignal() != 0)
      return false;
    const int status = services_.RunCommand(UnzipCommand(*archive, folder_));
    const UnzipResult result = ClassifyUnzipStatus(status);
    // system() keeps a terminal's interrupt from this process: it counts all the same.
    if (result == UnzipResult::Interrupted)
      services_.HoldSignal(SIGINT);
    if (result != UnzipResult::Completed) {
      errors_ << "update: '" << *archive << "' could not be extracted whole\n";
      RemoveLinksLeadingOut(before);
      return false;
    }
    if (!RemoveLinksLeadingOut(before))
      return false;
  }
  return true;
}

void UpdateRun::KeepNewBundles() {
  for (const std::string* path :
       {&serviceBackup_, &companionBackup_, &firstArchive_, &secondArchive_})
    RemoveAll(*path);
}

void UpdateRun::Finish() {
  Reload();
  // A signal held since the first rename ends the run here, with a whole pair in place.
  services_.ReleaseTerminationSignals();
}

void UpdateRun::RollBack() {
  const bool serviceCleared = RemoveAll(serviceBundle_);
  const bool companionCleared = RemoveAll(companionBundle_);
  RemoveEntry(firstArchive_);
  RemoveEntry(secondArchive_);
  RestoreBackups(serviceCleared, companionCleared);
}

int UpdateRun::Run(const std::vector<std::string>& arguments) {
  StopAgent();

  const auto argument = [&](size_t index) {
    return index < arguments.size() ? arguments[index] : std::string();
  };
  folder_ = argument(0);
  const std::string first = argument(1), second = argument(2);
  if (folder_.empty() || first.empty() || second.empty()) {
    Reload();
    return 0;
  }

  firstArchive_ = AppendPathToString(folder_, first);
  secondArchive_ = AppendPathToString(folder_, second);
  serviceBundle_ = AppendPathToString(folder_, kServiceBundleName);
  companionBundle_ = AppendPathToString(folder_, kCompanionBundleName);
  if (!ChooseBackupNames()) {
    Reload();
    return 1;
  }

  // From the first rename on, an interrupt must not leave the agent without its bundles.
  services_.HoldTerminationSignals();
  if (!BackUp()) {
    // Nothing was extracted; whatever was moved aside goes back.
    RestoreBackups(true, true);
    Finish();
    return hadError_ ? 1 : 0;
  }

  // A bundle is a folder: anything else in its place is no usable bundle.
  bool succeeded = Extract() && services_.HeldSignal() == 0;
  succeeded = succeeded && IsFolder(serviceBundle_).value_or(false) &&
              IsFolder(companionBundle_).value_or(false);
  if (succeeded)
    KeepNewBundles();
  else
    RollBack();

  Finish();
  return hadError_ ? 1 : 0;
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
