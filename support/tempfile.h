// tempfile.h - temporary files that a SIGINT, SIGTERM or SIGHUP does not leave
// behind: while one is registered, the signal removes it before the process
// ends as the signal would have ended it; and the run's own stop on the first
// such signal.
#pragma once

#include <string>

// Creates a file from strTemplate (its last six bytes "XXXXXX", replaced with
// the name made) with mkostemp and flags, and registers it, with those
// signals blocked in between. The descriptor, or -1 with errno set. slot is
// what releaseTempFile takes.
int createTempFile(std::string &strTemplate, int flags, int &slot);

// Forgets the registered file (call after renaming or removing it).
void releaseTempFile(int slot);

// True when strName has the form of a temporary made from strBase + ".XXXXXX":
// strBase, a ".", then six letters or digits.
bool isTempFileName(const std::string &strName, const std::string &strBase);

// Removes every temporary of strBase + ".XXXXXX" left in folder strDir by a run
// that could not clean up (killed outright). Only regular files are removed.
void removeStaleTempFiles(const std::string &strDir, const std::string &strBase);

// Makes SIGINT, SIGTERM and SIGHUP ask the run to stop instead of ending it
// at once: the first one is only recorded (stopSignal()); a second ends the
// process as above. Signals ignored when the process started (a run under
// nohup) stay ignored, here and for the temporaries.
void catchStopSignals();
// The signal that asked the run to stop; 0 = none.
int stopSignal();
// Ends the process as the signal that asked it to stop would have (with the
// disposition in place before ours); returns when none asked.
void endByStopSignal();

// Test aid: called with the path of each temporary file right after it was
// created and registered (null: none).
void setTempFileHook(void (*hook)(const char *pszPath));
