// The record an update run keeps in its folder while it works, and the settling of a run that was
// killed. The record is a few lines of text, replaced whole by a rename, never written in place;
// it names the run's staging folder, its backup suffix and which bundles stood at their names.
//
// What each stage allows, so that a kill at any instant leaves a folder the next run can settle
// from durable facts alone:
//   Extracting  the staging folder exists or is about to; the live bundles and the agent are
//               untouched. Only back: the staging folder goes.
//   Swapping    the staged pair was judged whole and is durable; the agent may have been
//               unloaded. The one state that may go forward: from the moment it is on disk,
//               nothing changes the staged tree but the swap's renames (bundle to backup, staged
//               bundle to its name). Anything that would remove or alter the staged tree first
//               records Restoring durably.
//   Restoring   only back: the new bundles return to the staging folder, the backups to their
//               names, and only then does the staging folder go. Never forward again.
//   Installed   the new pair is in place, durably, and the agent has been reloaded; only the
//               clean-up (backups, archives, staging folder) is left. Never back.
// A settling that goes forward and meets a failing rename turns back (Restoring); a run never
// ends with a mixed pair. Only when neither direction can be completed does the record stay, for
// a person to judge.
#ifndef ORVANTA_MAC_UPDATERECORD_H
#define ORVANTA_MAC_UPDATERECORD_H

#include "Staging.h"

#include <array>
#include <functional>
#include <optional>
#include <string>

namespace orvanta::agent {

inline constexpr const char* kRecordName = ".orvanta-update.record";
// The draft written and flushed before it is renamed over the record.
inline constexpr const char* kRecordDraftName = ".orvanta-update.record.new";

enum class RunStage { Extracting, Swapping, Installed, Restoring };

struct UpdateRecord {
  RunStage stage = RunStage::Extracting;
  std::string staging; // the staging folder's name inside the folder
  int suffix = -1;     // the backup suffix; -1 while none is chosen (Extracting)
  // Whether the service and the companion bundle stood at their names before the swap (and so
  // have a backup); both false while Extracting.
  std::array<bool, 2> previous = {false, false};
};

std::string RecordText(const UpdateRecord& record);
// nullopt for any text RecordText could not have written.
std::optional<UpdateRecord> ParseRecord(const std::string& text);

// Writes the record in folder durably: whatever stands at the draft's name is removed first (a
// folder only when empty), the draft is created anew (never through a link, never waiting on a
// FIFO), flushed, renamed over the record, and the folder flushed. Problems name what failed;
// the record at its name may then be the previous one or this one.
Problems WriteRecord(const std::string& folder, const UpdateRecord& record);
// Removes the record and any draft.
Problems RemoveRecord(const std::string& folder);

enum class RecordFound { Nothing, Record, Untrusted };
// Reads the record in folder without following a link or waiting on a FIFO. Untrusted (with the
// reason in problems) for anything that is not a record this program wrote.
RecordFound ReadRecord(const std::string& folder, UpdateRecord& record, Problems& problems);

// Whether the run that left a record at this stage may have unloaded the agent and moved bundles:
// its settling must stop the agent first and reload it after.
bool MayHaveStoppedAgent(RunStage stage);

// The backup name of a bundle: "NAME.SUFFIX".
std::string BackupName(const char* bundleName, int suffix);

enum class Settled {
  Forward, // the staged pair is in place, the previous one under the backup names
  Back,    // the previous pair is in place, the new one back in the staging folder; the record
           // says Restoring
  Stuck,   // neither direction could be completed, or the record could not be written: the
           // record and the staging folder must stay
};
// Finishes the swap of a Swapping record (undoing it when a rename fails), or undoes that of a
// Restoring one; record.stage follows what was recorded. Works from any state a kill during the
// swap, or during an earlier settling, can leave. Problems say what failed: with Back, why the
// swap did not go forward.
Settled SettleSwap(const std::string& folder, UpdateRecord& record, Problems& problems);

// After Forward: makes the swap durable, records Installed, then removes the backups, the
// archives given and the staging folder, and last the record. The clean-up is left, with the
// record, when the swap or the record cannot be made durable.
Problems FinishForward(const std::string& folder, UpdateRecord& record,
                       const std::vector<std::string>& archives);
// After Back (or when nothing was swapped and the record never said Swapping): makes the renames
// durable, then removes the staging folder, the archives given and the record.
Problems FinishBack(const std::string& folder, const UpdateRecord& record,
                    const std::vector<std::string>& archives);

struct Recovery {
  Problems errors;      // what failed; with a swap that could not be settled the record stays
  Problems turnedBack;  // why a swap that was to go forward went back instead
  bool forward = false; // the killed run's new pair is the one in place
};
// Settles the run whose record (read by ReadRecord) stands in folder: completes or undoes its
// swap, merges its archives' other entries when it went forward, calls pairWhole once the bundle
// names hold a whole pair again, then removes that run's backups (forward only), staging folder
// and record. Archives are left alone (this run's may have the same names). A swap that cannot be
// settled leaves the record and the folder for a person to judge, and pairWhole is not called.
Recovery RecoverKilledRun(const std::string& folder, UpdateRecord record,
                          const std::function<void()>& pairWhole);

} // namespace orvanta::agent

#endif // ORVANTA_MAC_UPDATERECORD_H
