// pending_invalidations.h - the changed keys a CDN has not yet been told to
// forget, kept in the cache folder per store and CDN, so that a run killed
// before its invalidation, or one whose invalidation failed, leaves them to
// the next run instead of losing them.
#pragma once

#include <string>
#include <vector>

class PendingInvalidations {
public:
    // The keys pending for the store strStore (DigestCache::storeTarget) and
    // the CDN strCdn ("cloudfront:ID", "changed-list", ...), in the folder
    // strCacheDir. Nothing is read or written until asked.
    PendingInvalidations(const std::string &strCacheDir, const std::string &strStore,
                         const std::string &strCdn);

    // The file that holds them: strCacheDir/<sha256 of store and CDN>.pending.
    const std::string &path() const { return strFile; }

    // The keys pending, in the order they were first added (none when there
    // is no file). False, after one line on standard error, when the file
    // cannot be read or is not one of ours; keys then holds what was read.
    bool load(std::vector<std::string> &keys) const;

    // Adds keys (each once; those already pending stay where they are) and
    // writes the file at once, whole (beside it, then renamed). False, after
    // one line on standard error, when it cannot be written.
    bool add(const std::vector<std::string> &keys);

    // Removes keys (those the CDN accepted); the file goes with the last.
    bool clear(const std::vector<std::string> &keys);

private:
    bool write(const std::vector<std::string> &keys) const;

    std::string strDir, strFile;
};
