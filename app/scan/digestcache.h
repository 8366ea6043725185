// digestcache.h - MD5 digests of the last run, reused while a file's size,
// modification and change times (ns), inode and device are unchanged. One
// cache database (SQLite) per site root, under a cache folder outside the
// tree, looked up as the scan goes rather than loaded: a site of a million
// files costs no memory per file. Changes go into one transaction that
// save() commits, so a run killed at any point leaves the cache as the last
// save left it. A digest
// is only remembered when the file's times lie clearly before the scan began
// (racily clean), so a write in the same clock tick as the read is never
// hidden behind an unchanged status. Beside the digests it keeps, per key,
// what each store (endpoint, bucket and prefix) was last sent: the digest and
// size of the bytes, the ETag the store answered and the headers; and the
// digests of a file's encoded bytes, so an unchanged file is not encoded again.
// Not for use from more than one thread.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// What one store holds under a key, as this tool last sent it.
struct StoredRecord {
    std::string strMd5Hex; // MD5 of the bytes sent (for an encoded file: the encoded bytes)
    uint64_t size = 0;     // bytes sent
    std::string strETag;   // the ETag the store answered, without quotes ("" when not known)
    std::string strHeaders; // the headers it was sent with (ObjectHeaders::record())
};

// The digest and size of a file's bytes as one encoding makes them.
struct EncodedDigest {
    std::string strPlainMd5Hex; // of the plain bytes it was made from
    std::string strMd5Hex;
    uint64_t size = 0;
};

class DigestCache {
public:
    // strCacheDir: the cache folder (created when saving); strRoot: the site
    // root, resolved through links to name the cache file.
    DigestCache(const std::string &strCacheDir, const std::string &strRoot);
    ~DigestCache();
    DigestCache(const DigestCache &) = delete;
    DigestCache &operator=(const DigestCache &) = delete;

    // Opens the cache database (made when missing). A damaged one is moved
    // aside (".damaged") and a foreign one emptied, with one line on standard
    // error, and rebuilt. The cache file of earlier releases, when there is
    // one and no database yet, is converted once and then kept beside it as
    // "<name>.converted". Lookups are cheapest in key order.
    void load();

    // The time the scan began (by default: when the cache was made). Files
    // changed less than kRacyWindowNs before it are not remembered.
    void setScanStart(const struct timespec &start);
    static constexpr int64_t kRacyWindowNs = 2000000000; // coarsest time stamps in use (FAT: 2 s)

    // True when st's modification or change time is too close to the scan's
    // start to prove that the digest read covers the file's last write.
    bool isRacy(const struct stat &st) const;

    // The remembered digest of key when st matches what was remembered.
    bool lookup(const std::string &strKey, const struct stat &st, std::string &strTag);

    // Remembers the digest of key for st, unless st is racy (see above): then
    // any remembered digest of key is dropped and false returned.
    bool store(const std::string &strKey, const struct stat &st, const std::string &strTag);

    // Drops the digest of key, so the next run reads the file again (after the
    // store refused its bytes, or the file changed during the run).
    void forget(const std::string &strKey);

    // Drops the digests of the files neither looked up nor stored since load
    // (files gone or left out), and commits what changed since the last save
    // in one transaction. False, after one line on standard error, on failure.
    bool save();

    // The cache database, and the cache file of earlier releases that it
    // replaces (which also names the run lock).
    const std::string &path() const { return strFile; }
    const std::string &legacyPath() const { return strLegacyFile; }

    // The text that names one store's copy of the site: endpoint, bucket and
    // prefix (each may hold any byte but a line break).
    static std::string storeTarget(const std::string &strEndpoint, const std::string &strBucket,
                                   const std::string &strPrefix);

    // The record of key in the store strTarget names; false when none.
    bool findRecord(const std::string &strTarget, const std::string &strKey,
                    StoredRecord &record) const;
    void putRecord(const std::string &strTarget, const std::string &strKey, const StoredRecord &record);
    void dropRecord(const std::string &strTarget, const std::string &strKey);

    // The encoded digest of key's bytes whose plain digest is strPlainMd5Hex.
    bool findEncoded(const std::string &strKey, const std::string &strEncoding,
                     const std::string &strPlainMd5Hex, EncodedDigest &digest) const;
    void putEncoded(const std::string &strKey, const std::string &strEncoding, const EncodedDigest &digest);

    // Drops the records and encoded digests of every key for which isKept is
    // false (files gone from the tree or left out of it). isKept is asked once
    // per key that has any.
    void keepRecordsOf(const std::function<bool(const std::string &strKey)> &isKept);

private:
    struct Db; // the open database, its statements and the run's bookkeeping

    bool open();
    void begin();
    bool convertLegacy();

    std::string strDir, strRoot, strFile, strLegacyFile;
    int64_t scanStartNs = 0;
    bool bOpenTried = false; // open() said why when it failed
    std::unique_ptr<Db> db;
};
