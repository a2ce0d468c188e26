#include "UpdateRecord.h"

#include "Updater.h"
#include "Utils.h"

#include "Interrupt.h"
#include "ScopedHandles.h"

#include <boost/filesystem/operations.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

namespace orvanta::agent {
namespace {

namespace fs = boost::filesystem;
using boost::system::error_code;

constexpr const char* kHeader = "orvanta-update record 1";
constexpr int kSuffixCount = 1000;
// A record is a few short lines; anything longer is not one.
constexpr std::streamsize kRecordLimit = 512;

const char* StageName(RunStage stage) {
  switch (stage) {
  case RunStage::Extracting:
    return "extracting";
  case RunStage::Swapping:
    return "swapping";
  case RunStage::Installed:
    return "installed";
  case RunStage::Restoring:
    return "restoring";
  }
  return "";
}

std::string Quoted(const std::string& path) {
  return "'" + path + "'";
}

std::string SystemFailure(const std::string& what, int errorNumber) {
  return "cannot " + what + ": " + std::strerror(errorNumber);
}

void Append(Problems& to, const Problems& from) {
  to.insert(to.end(), from.begin(), from.end());
}

// Writes text whole to a new file at path and flushes it; 0, or the errno of the failing call.
int WriteDurably(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0)
    return errno;
  int failed = 0;
  for (size_t done = 0; done < text.size() && failed == 0;) {
    // A short write is not a failure: the rest goes in the next round.
    const ssize_t wrote =
        sys::RetryOnInterrupt([&] { return ::write(fd, text.data() + done, text.size() - done); });
    if (wrote < 0)
      failed = errno;
    else
      done += static_cast<size_t>(wrote);
  }
  if (failed == 0 && ::fsync(fd) != 0)
    failed = errno;
  if (::close(fd) != 0 && failed == 0)
    failed = errno;
  return failed;
}

enum class Found { Nothing, Record, Untrusted };

Found ReadRecord(const std::string& path, UpdateRecord& record, Problems& problems) {
  error_code error;
  const fs::file_type type = fs::symlink_status(path, error).type();
  if (type == fs::file_not_found)
    return Found::Nothing;
  if (type != fs::regular_file) {
    problems.push_back("the record " + Quoted(path) + " is not a file");
    return Found::Untrusted;
  }
  sys::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) {
    problems.push_back(SystemFailure("read " + Quoted(path), errno));
    return Found::Untrusted;
  }
  std::string text(kRecordLimit + 1, '\0');
  ssize_t got = 0;
  size_t done = 0;
  while (done < text.size()) {
    got = sys::RetryOnInterrupt([&] { return ::read(fd.get(), &text[done], text.size() - done); });
    if (got <= 0)
      break;
    done += static_cast<size_t>(got);
  }
  const int readError = got < 0 ? errno : 0;
  fd.reset();
  text.resize(done);
  if (readError != 0) {
    problems.push_back(SystemFailure("read " + Quoted(path), readError));
    return Found::Untrusted;
  }
  const std::optional<UpdateRecord> parsed = ParseRecord(text);
  if (!parsed) {
    problems.push_back("the record " + Quoted(path) + " is damaged");
    return Found::Untrusted;
  }
  record = *parsed;
  return Found::Record;
}

struct Slot {
  std::string live, staged, backup;
};

// Renames from to to, noting a failure.
bool Move(const std::string& from, const std::string& to, Problems& problems) {
  error_code error;
  fs::rename(from, to, error);
  if (error)
    problems.push_back("cannot rename " + Quoted(from) + " to " + Quoted(to) + ": " +
                       error.message());
  return !error;
}

bool IsFolder(const std::string& path) {
  error_code error;
  return fs::symlink_status(path, error).type() == fs::directory_file;
}

// The swap of a killed run, finished or undone; the direction once taken is kept in the record,
// so that a kill during the settling does not turn it around. Empty when the folder is not in a
// state the swap can have left, or a rename failed; otherwise whether the new pair is in place.
std::optional<bool> SettleSwap(const std::string& folder, UpdateRecord record, Problems& problems) {
  const std::string staging = AppendPathToString(folder, record.staging);
  Slot slots[2];
  bool allWhole = true;
  int index = 0;
  for (const char* name : {kServiceBundleName, kCompanionBundleName}) {
    Slot& slot = slots[index++];
    slot.live = AppendPathToString(folder, name);
    slot.staged = AppendPathToString(staging, name);
    slot.backup = AppendPathToString(folder, BackupName(name, record.suffix));
    // A staged bundle no longer in the staging folder has been moved into place.
    allWhole = allWhole && (IsFolder(slot.staged) || IsFolder(slot.live));
    if (IsFolder(slot.staged) && EntryExists(slot.live) && EntryExists(slot.backup)) {
      problems.push_back("cannot tell the previous " + Quoted(name) + " from its backup " +
                         Quoted(slot.backup));
      return std::nullopt;
    }
  }
  if (record.stage == RunStage::Swapping && allWhole) {
    for (const Slot& slot : slots) {
      if (!IsFolder(slot.staged))
        continue;
      if (EntryExists(slot.live) && !Move(slot.live, slot.backup, problems))
        return std::nullopt;
      if (!Move(slot.staged, slot.live, problems))
        return std::nullopt;
    }
    return true;
  }
  if (record.stage != RunStage::Restoring) {
    record.stage = RunStage::Restoring;
    Append(problems, WriteRecord(folder, record));
    if (!problems.empty())
      return std::nullopt;
  }
  for (int i = 0; i < 2; ++i) {
    const Slot& slot = slots[i];
    // With the previous bundle back at its name (its backup gone), what stands there is it.
    if (record.previous[i] && !EntryExists(slot.backup))
      continue;
    // The new bundle goes back into the staging folder, which goes; then the backup returns.
    if (!IsFolder(slot.staged) && EntryExists(slot.live) && !Move(slot.live, slot.staged, problems))
      return std::nullopt;
    if (record.previous[i] && !Move(slot.backup, slot.live, problems))
      return std::nullopt;
  }
  return false;
}

} // namespace

std::string BackupName(const char* bundleName, int suffix) {
  return std::string(bundleName) + "." + std::to_string(suffix);
}

std::string RecordText(const UpdateRecord& record) {
  std::ostringstream text;
  text << kHeader << "\nstage " << StageName(record.stage) << "\nstaging " << record.staging
       << "\nsuffix " << record.suffix << "\nprevious " << (record.previous[0] ? '1' : '0')
       << (record.previous[1] ? '1' : '0') << "\n";
  return text.str();
}

std::optional<UpdateRecord> ParseRecord(const std::string& text) {
  UpdateRecord record;
  std::istringstream lines(text);
  std::string header, stageLine, stagingLine, suffixLine, previousLine, rest;
  if (!std::getline(lines, header) || header != kHeader || !std::getline(lines, stageLine) ||
      !std::getline(lines, stagingLine) || !std::getline(lines, suffixLine) ||
      !std::getline(lines, previousLine) || std::getline(lines, rest) || text.back() != '\n')
    return std::nullopt;
  const auto field = [](const std::string& line, const char* key) -> std::optional<std::string> {
    const std::string prefix = std::string(key) + " ";
    if (line.compare(0, prefix.size(), prefix) != 0)
      return std::nullopt;
    return line.substr(prefix.size());
  };
  const auto stageText = field(stageLine, "stage");
  const auto stagingText = field(stagingLine, "staging");
  const auto suffixText = field(suffixLine, "suffix");
  const auto previousText = field(previousLine, "previous");
  if (!stageText || !stagingText || !suffixText || !previousText || !IsStagingName(*stagingText) ||
      previousText->size() != 2)
    return std::nullopt;
  for (size_t i = 0; i < 2; ++i) {
    const char bit = (*previousText)[i];
    if (bit != '0' && bit != '1')
      return std::nullopt;
    record.previous[i] = bit == '1';
  }
  bool known = false;
  for (const RunStage candidate :
       {RunStage::Extracting, RunStage::Swapping, RunStage::Installed, RunStage::Restoring})
    if (*stageText == StageName(candidate)) {
      record.stage = candidate;
      known = true;
    }
  if (!known)
    return std::nullopt;
  record.staging = *stagingText;
  // The suffix is written by this program only: -1, or 0 to 999 in plain decimal.
  bool suffixValid = false;
  for (int value = -1; value < kSuffixCount && !suffixValid; ++value)
    if (*suffixText == std::to_string(value)) {
      record.suffix = value;
      suffixValid = true;
    }
  if (!suffixValid || (record.stage == RunStage::Extracting) != (record.suffix == -1))
    return std::nullopt;
  return record;
}

Problems WriteRecord(const std::string& folder, const UpdateRecord& record) {
  const std::string draft = AppendPathToString(folder, kRecordDraftName);
  const std::string path = AppendPathToString(folder, kRecordName);
  if (const int failed = WriteDurably(draft, RecordText(record))) {
    Problems problems{SystemFailure("write " + Quoted(draft), failed)};
    Append(problems, RemoveEntry(draft));
    return problems;
  }
  if (::rename(draft.c_str(), path.c_str()) != 0) {
    Problems problems{SystemFailure("rename " + Quoted(draft) + " to " + Quoted(path), errno)};
    Append(problems, RemoveEntry(draft));
    return problems;
  }
  return SyncEntry(folder);
}

Problems RemoveRecord(const std::string& folder) {
  Problems problems = RemoveEntry(AppendPathToString(folder, kRecordName));
  Append(problems, RemoveEntry(AppendPathToString(folder, kRecordDraftName)));
  return problems;
}

Problems RecoverKilledRun(const std::string& folder) {
  Problems problems;
  // A draft alone is a record that was never put in place: no rename had happened yet.
  const std::string draft = AppendPathToString(folder, kRecordDraftName);
  error_code error;
  if (fs::symlink_status(draft, error).type() == fs::regular_file)
    Append(problems, RemoveEntry(draft));
  UpdateRecord record;
  const std::string path = AppendPathToString(folder, kRecordName);
  const Found found = ReadRecord(path, record, problems);
  if (found != Found::Record || !problems.empty())
    return problems;
  const std::string staging = AppendPathToString(folder, record.staging);
  if (EntryExists(staging) && !IsFolder(staging)) {
    problems.push_back("the record's staging folder " + Quoted(staging) + " is not a folder");
    return problems;
  }
  if (record.stage != RunStage::Extracting) {
    if (record.stage != RunStage::Installed && !IsFolder(staging)) {
      problems.push_back("the record names the staging folder " + Quoted(staging) +
                         ", which is gone");
      return problems;
    }
    std::optional<bool> forward = true;
    if (record.stage != RunStage::Installed)
      forward = SettleSwap(folder, record, problems);
    if (!forward)
      return problems;
    if (*forward && IsFolder(staging))
      Append(problems,
             MergeExtras(staging, folder, {kServiceBundleName, kCompanionBundleName}, true));
    for (const char* name : {kServiceBundleName, kCompanionBundleName})
      Append(problems, RemoveTree(AppendPathToString(folder, BackupName(name, record.suffix))));
  }
  Append(problems, RemoveTree(staging));
  // The pair is settled: what could not be cleaned up is reported, and the record goes.
  Append(problems, RemoveRecord(folder));
  return problems;
}

} // namespace orvanta::agent
