// The record that ends every JSON-lines run: "summary" when the command succeeded, "error" for any
// failure, refusal or stopping signal. A reader takes a stream without one for a cut-off run.
// Exactly one is written per run, whichever thread gets there first. Thread-safe.
#ifndef SNAPJOB_CLOSING_RECORD_H_
#define SNAPJOB_CLOSING_RECORD_H_

#include <string>
#include <vector>

#include "QiError.h"

namespace snapjob {

// From here on closing records go to standard output (a JSON-lines run); before, none are written.
void EnableClosingRecord();

// Writes `line` (a whole record) unless a closing record was written already.
void WriteClosingRecord(const std::string& line);

// The "error" record of a failed plug-in or cluster operation (exit status 1).
std::string FailureRecord(const std::string& operation, const CQiError& error, int exit_status);

// The "error" record of a failure the driver found itself, with no plug-in error behind it: bad
// usage ("usage"), a setting that cannot be used ("setup"), a plug-in that does not load.
std::string DriverErrorRecord(const std::string& operation, const std::string& reason, int exit_status);

// A stopping signal arrived: writers of standard output wait from now on (ParkIfStopping), so that
// the signal thread can take the stream between two records.
void MarkStopping();
// Called by the writers before every record; returns only when no signal is stopping the run.
void ParkIfStopping();

// Called on the signal thread just before it exits, holding standard output's lock: writes
// {"record":"error","signal":NAME,...} unless a closing record was written.
void WriteSignalRecord(int signal_number);

}  // namespace snapjob

#endif  // SNAPJOB_CLOSING_RECORD_H_
