// The record an update run keeps in its folder while it works, and the recovery of a run that was
// killed: the next run completes the swap (or undoes it) from what the record names.
// The record is a few lines of text; it is replaced whole by a rename, never written in place.
#ifndef ORVANTA_MAC_UPDATERECORD_H
#define ORVANTA_MAC_UPDATERECORD_H

#include "Staging.h"

#include <array>
#include <optional>
#include <string>

namespace orvanta::agent {

inline constexpr const char* kRecordName = ".orvanta-update.record";
// The draft written and flushed before it is renamed over the record.
inline constexpr const char* kRecordDraftName = ".orvanta-update.record.new";

enum class RunStage {
  Extracting, // the staging folder exists or is about to; the live bundles are untouched
  Swapping,   // the staged pair is durable; bundles move to backups and staged bundles into place
  Installed,  // the new pair is in place; extras, backups, staging folder and archives go
  Restoring,  // a killed swap that cannot be finished is being undone by the next run
};

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

// Writes the record in folder durably: the draft is flushed, renamed over the record, and the
// folder flushed. Problems name what failed; the previous record then stands.
Problems WriteRecord(const std::string& folder, const UpdateRecord& record);
// Removes the record and any draft.
Problems RemoveRecord(const std::string& folder);

// The backup name of a bundle: "NAME.SUFFIX".
std::string BackupName(const char* bundleName, int suffix);

// Completes or undoes the run whose record stands in folder, then removes that run's backups,
// staging folder and record: the swap is finished when both staged bundles are whole, otherwise
// the backups are put back. Archives are left alone (this run's may have the same names).
// No record: nothing to do. A record that cannot be read or trusted, or a swap that cannot be
// settled, is a problem that leaves the record and the folder's entries as they are, for a person
// to judge; once the pair is settled the record goes even if some clean-up failed.
Problems RecoverKilledRun(const std::string& folder);

} // namespace orvanta::agent

#endif // ORVANTA_MAC_UPDATERECORD_H
