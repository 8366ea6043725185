// runlock.h - one run at a time per site root: an exclusive flock on a lock
// file in the cache folder, named like the site's digest cache, that holds
// the process id of the run that has it.
#pragma once

#include <string>

class RunLock {
public:
    RunLock() = default;
    ~RunLock(); // gives the lock back (closing the file does)
    RunLock(const RunLock &) = delete;
    RunLock &operator=(const RunLock &) = delete;

    enum Result {
        Taken,      // this run holds the lock
        Busy,       // another run holds it and bWait was false
        Unavailable // no lock file could be made; the run goes on without one
    };

    // Takes the lock of the site root strRoot. When another run holds it,
    // prints that this run waits for it (naming its pid) and waits, or with
    // bWait false prints that it is in progress and returns Busy. A lock file
    // that cannot be made is said on standard error and gives Unavailable.
    Result take(const std::string &strCacheDir, const std::string &strRoot, bool bWait);

    // The lock file of strRoot: beside its digest cache, ".lock" for ".digests".
    static std::string pathFor(const std::string &strCacheDir, const std::string &strRoot);

    // Where the lock goes when there is no cache folder (neither
    // XDG_CACHE_HOME nor HOME is set): "/tmp/sitemirror-UID/", made private
    // to the user. "" when it is not a folder of this user that only the
    // user may enter (made by someone else first).
    static std::string fallbackFolder();

private:
    int fd = -1;
};
