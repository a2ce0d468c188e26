#include "Updater.h"

#include "AgentControl.h"
#include "Utils.h"

#include <boost/filesystem/operations.hpp>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <tuple>
#include <utility>

namespace orvanta::agent {
namespace {

namespace fs = boost::filesystem;
using boost::system::error_code;

constexpr int kSuffixCount = 1000;

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
  // Whether nothing at all, not even a dangling link, stands at the path.
  bool IsFree(const std::string& path);
  bool ChooseBackupNames();
  bool BackUp();
  void RestoreBackups(bool serviceSlotFree, bool companionSlotFree);
  void KeepNewBundles();
  void RollBack();
  bool RemoveAll(const std::string& path);
  void RemoveEntry(const std::string& path);

  SystemServices& services_;
  std::ostream& errors_;
  bool hadError_ = false;

  std::string folder_, firstArchive_, secondArchive_;
  std::string serviceBundle_, companionBundle_, serviceBackup_, companionBackup_;
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

bool UpdateRun::RemoveAll(const std::string& path) {
  error_code error;
  fs::remove_all(path, error);
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

void UpdateRun::KeepNewBundles() {
  for (const std::string* path :
       {&serviceBackup_, &companionBackup_, &firstArchive_, &secondArchive_})
    RemoveAll(*path);
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

  if (!BackUp()) {
    // Nothing was extracted; whatever was moved aside goes back.
    RestoreBackups(true, true);
    Reload();
    return hadError_ ? 1 : 0;
  }

  services_.RunCommand(UnzipCommand(secondArchive_, folder_));
  services_.RunCommand(UnzipCommand(firstArchive_, folder_));

  const std::optional<bool> serviceThere = Exists(serviceBundle_);
  const bool succeeded = serviceThere.value_or(false) && Exists(companionBundle_).value_or(false);
  if (succeeded)
    KeepNewBundles();
  else
    RollBack();

  Reload();
  return hadError_ ? 1 : 0;
}

} // namespace

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
