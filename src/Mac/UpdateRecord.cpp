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

// Removes whatever stands at path so that a file can be created there: a file, link, FIFO or
// socket, or an empty folder. 0, or the errno of the removal that failed.
int ClearName(const std::string& path) {
  if (::unlink(path.c_str()) == 0 || errno == ENOENT)
    return 0;
  const int unlinkError = errno;
  // unlink refuses a folder (EISDIR here, EPERM on the BSDs).
  if (unlinkError != EISDIR && unlinkError != EPERM)
    return unlinkError;
  if (::rmdir(path.c_str()) == 0 || errno == ENOENT)
    return 0;
  return errno == ENOTDIR ? unlinkError : errno;
}

// Writes text whole to a file created anew at path and flushes it; 0, or the errno of the
// failing call. O_EXCL and O_NOFOLLOW: nothing that appears at the name is written through, and
// O_NONBLOCK keeps a FIFO from holding the run.
int WriteDurably(const std::string& path, const std::string& text) {
  const sys::UniqueFd fd(sys::RetryOnInterrupt([&] {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                  0600);
  }));
  if (!fd)
    return errno;
  for (size_t done = 0; done < text.size();) {
    // A short write is not a failure: the rest goes in the next round.
    const ssize_t wrote = sys::RetryOnInterrupt(
        [&] { return ::write(fd.get(), text.data() + done, text.size() - done); });
    if (wrote < 0)
      return errno;
    done += static_cast<size_t>(wrote);
  }
  return ::fsync(fd.get()) == 0 ? 0 : errno;
}

struct Slot {
  std::string live, staged, backup;
  bool previous = false;
};

std::array<Slot, 2> SlotsOf(const std::string& folder, const UpdateRecord& record) {
  const std::string staging = AppendPathToString(folder, record.staging);
  std::array<Slot, 2> slots;
  int index = 0;
  for (const char* name : {kServiceBundleName, kCompanionBundleName}) {
    Slot& slot = slots[index];
    slot.live = AppendPathToString(folder, name);
    slot.staged = AppendPathToString(staging, name);
    slot.backup = AppendPathToString(folder, BackupName(name, record.suffix));
    slot.previous = record.previous[index++];
  }
  return slots;
}

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

// The swap forward from wherever it stopped: every bundle still live moves to its backup, then
// every staged bundle to its name. A staged bundle no longer in the staging folder has been moved
// into place already.
bool MoveForward(const std::array<Slot, 2>& slots, Problems& problems) {
  for (const Slot& slot : slots)
    if (IsFolder(slot.staged) && EntryExists(slot.live) && !Move(slot.live, slot.backup, problems))
      return false;
  for (const Slot& slot : slots)
    if (IsFolder(slot.staged) && !Move(slot.staged, slot.live, problems))
      return false;
  return true;
}

// The swap undone from wherever it stopped: each new bundle back into the staging folder, then
// each backup back to its name.
bool MoveBack(const std::array<Slot, 2>& slots, Problems& problems) {
  for (const Slot& slot : slots) {
    // With the previous bundle at its name (never moved, or back already), the slot is done.
    if (slot.previous && !EntryExists(slot.backup))
      continue;
    if (!IsFolder(slot.staged) && EntryExists(slot.live) && !Move(slot.live, slot.staged, problems))
      return false;
    if (slot.previous && !Move(slot.backup, slot.live, problems))
      return false;
  }
  return true;
}

// What an installed run leaves to clean up: the backups, the archives given, the staging folder,
// and last the record. What cannot be removed is reported; the record goes all the same, as the
// pair is settled.
Problems RemoveLeftovers(const std::string& folder, const UpdateRecord& record,
                         const std::vector<std::string>& archives) {
  std::vector<std::string> trees;
  for (const char* name : {kServiceBundleName, kCompanionBundleName})
    trees.push_back(AppendPathToString(folder, BackupName(name, record.suffix)));
  trees.insert(trees.end(), archives.begin(), archives.end());
  trees.push_back(AppendPathToString(folder, record.staging));
  Problems problems;
  for (const std::string& tree : trees)
    Append(problems, RemoveTree(tree));
  Append(problems, RemoveRecord(folder));
  return problems;
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
  if (const int failed = ClearName(draft))
    return {SystemFailure("clear the name " + Quoted(draft), failed)};
  if (const int failed = WriteDurably(draft, RecordText(record))) {
    Problems problems{SystemFailure("write " + Quoted(draft), failed)};
    if (failed != EEXIST)
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

RecordFound ReadRecord(const std::string& folder, UpdateRecord& record, Problems& problems) {
  const std::string path = AppendPathToString(folder, kRecordName);
  error_code error;
  const fs::file_type type = fs::symlink_status(path, error).type();
  if (type == fs::file_not_found)
    return RecordFound::Nothing;
  if (type != fs::regular_file) {
    problems.push_back("the record " + Quoted(path) + " is not a file");
    return RecordFound::Untrusted;
  }
  sys::UniqueFd fd(sys::RetryOnInterrupt(
      [&] { return ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
  if (!fd) {
    problems.push_back(SystemFailure("read " + Quoted(path), errno));
    return RecordFound::Untrusted;
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
    return RecordFound::Untrusted;
  }
  const std::optional<UpdateRecord> parsed = ParseRecord(text);
  if (!parsed) {
    problems.push_back("the record " + Quoted(path) + " is damaged");
    return RecordFound::Untrusted;
  }
  record = *parsed;
  return RecordFound::Record;
}

bool MayHaveStoppedAgent(RunStage stage) {
  return stage == RunStage::Swapping || stage == RunStage::Restoring;
}

Settled SettleSwap(const std::string& folder, UpdateRecord& record, Problems& problems) {
  const std::array<Slot, 2> slots = SlotsOf(folder, record);
  if (record.stage == RunStage::Swapping) {
    const std::string staging = AppendPathToString(folder, record.staging);
    if (!IsFolder(staging)) {
      problems.push_back("the record names the staging folder " + Quoted(staging) +
                         ", which is gone");
      return Settled::Stuck;
    }
    bool allWhole = true;
    for (const Slot& slot : slots) {
      // Something at the name of a bundle that has not moved yet, besides its backup or where
      // no bundle stood: not a state the swap leaves.
      if (IsFolder(slot.staged) && EntryExists(slot.live) &&
          (!slot.previous || EntryExists(slot.backup))) {
        problems.push_back("cannot tell what stands at " + Quoted(slot.live) + " (backup " +
                           Quoted(slot.backup) + ")");
        return Settled::Stuck;
      }
      allWhole = allWhole && (IsFolder(slot.staged) || IsFolder(slot.live));
    }
    if (allWhole && MoveForward(slots, problems))
      return Settled::Forward;
    // Back, and never forward again: recorded before anything moves back.
    record.stage = RunStage::Restoring;
    const Problems written = WriteRecord(folder, record);
    Append(problems, written);
    // The renames back only restore the staged tree, so they are safe whatever the record on
    // disk says; but without Restoring surely on disk the staged tree must stay.
    const bool back = MoveBack(slots, problems);
    return back && written.empty() ? Settled::Back : Settled::Stuck;
  }
  if (record.stage == RunStage::Restoring)
    return MoveBack(slots, problems) ? Settled::Back : Settled::Stuck;
  problems.push_back("no swap to settle in the record of " + Quoted(folder));
  return Settled::Stuck;
}

Problems FinishForward(const std::string& folder, UpdateRecord& record,
                       const std::vector<std::string>& archives) {
  // The backups go only once the new pair is surely on disk, and recorded so.
  Problems problems = SyncEntry(folder);
  if (!problems.empty())
    return problems;
  record.stage = RunStage::Installed;
  problems = WriteRecord(folder, record);
  if (!problems.empty())
    return problems;
  return RemoveLeftovers(folder, record, archives);
}

Problems FinishBack(const std::string& folder, const UpdateRecord& record,
                    const std::vector<std::string>& archives) {
  Problems problems;
  if (record.stage != RunStage::Extracting) {
    // The renames back are on disk before the staged tree that they emptied goes.
    problems = SyncEntry(folder);
    if (!problems.empty())
      return problems;
  }
  const Problems staging = RemoveTree(AppendPathToString(folder, record.staging));
  Append(problems, staging);
  for (const std::string& archive : archives)
    Append(problems, RemoveEntry(archive));
  // With part of the staging folder left, the record stays to name it.
  if (staging.empty())
    Append(problems, RemoveRecord(folder));
  return problems;
}

Recovery RecoverKilledRun(const std::string& folder, UpdateRecord record,
                          const std::function<void()>& pairWhole) {
  Recovery recovery;
  Problems& errors = recovery.errors;
  const std::string staging = AppendPathToString(folder, record.staging);
  if (EntryExists(staging) && !IsFolder(staging)) {
    errors.push_back("the record's staging folder " + Quoted(staging) + " is not a folder");
    return recovery;
  }
  bool forward = record.stage == RunStage::Installed;
  if (MayHaveStoppedAgent(record.stage)) {
    const bool wasSwapping = record.stage == RunStage::Swapping;
    Problems problems;
    const Settled settled = SettleSwap(folder, record, problems);
    Append(settled == Settled::Back ? recovery.turnedBack : errors, problems);
    if (settled == Settled::Stuck)
      return recovery;
    forward = settled == Settled::Forward;
    if (forward && wasSwapping)
      Append(errors,
             MergeExtras(staging, folder, {kServiceBundleName, kCompanionBundleName}, true));
  }
  recovery.forward = forward;
  if (pairWhole)
    pairWhole();
  if (forward && record.stage == RunStage::Swapping)
    Append(errors, FinishForward(folder, record, {}));
  else if (forward)
    Append(errors, RemoveLeftovers(folder, record, {}));
  else
    Append(errors, FinishBack(folder, record, {}));
  return recovery;
}

} // namespace orvanta::agent
