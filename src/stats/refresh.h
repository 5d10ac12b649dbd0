// The daily statistics refresh: once a day, the first request counts every sheet of the index
// into its two groups (phase and sub-project, and the whole project), appends one line per
// group to the group's file in the statistics directory, and wakes the postponed sheets whose
// date has passed.
//
// The stamp "<CONFIGDIR>/.stats" tells when the last refresh ran; a lock on
// "<CONFIGDIR>/.stats.lock" is held from its check to the last line appended, so two
// requests at the first moment of a day compute the day once. The stamp's access time holds
// the local midnight from which the next refresh is due, so that every other request learns
// that nothing is due from one status query, before any lock.
#pragma once

#include <string>

namespace stats {

// Where the refresh's own output goes: into the page (after the home page), or nowhere (before
// a command's page, whose header is not written yet).
enum class RefreshOutput { kPage, kSilent };

// Runs the refresh when it has not run yet today. Without a data or configuration directory,
// or when the stamp cannot be written, nothing is counted.
void RefreshStatistics(RefreshOutput output = RefreshOutput::kPage);

// The pass over the index: appends the lines labelled `label_time` and wakes the sheets
// postponed until before now.
void ComputeStatistics(long label_time);

// Today's local midnight, and 23:00:00 local time of the day of `time`.
long LocalMidnight(long time);
long LabelTime(long time);

// "Sat Dec  5 01:38:10 2026": the stamp's text (without its line feed).
std::string StampText(long time);

// "<statistics directory>/<group>", or empty when the group cannot be a file name there.
std::string StatsFilePath(std::string_view group);

}  // namespace stats
