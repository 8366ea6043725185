// myDir.h - the object record shared by the local tree and the bucket listing,
// its byte-wise key ordering, and the scan of the local tree.
#pragma once

#include <cstddef>
#include <chrono>
#include <cstdint>
#include <deque>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "direntry.h"
#include "object_tag.h"

class IgnoreRules;
class DigestCache;
class ScanQueue;

// One object, local or remote. A plain value: copies are independent.
struct S3Obj {
    std::string key;   // path relative to the scan root, or the listed key
    int64_t time = 0;  // last modification, seconds since 1970-01-01 UTC (carried, never compared)
    uint64_t size = 0; // bytes
    ObjTag tag;        // MD5 as 32 lower-case hex digits, or the listed ETag without quotes
    uint64_t device = 0; // the local file's device and inode as the scan opened it (0 for
    uint64_t inode = 0;  // listed records): an upload reopens only the same file
    // The ETags other tools give these bytes when they send them in parts
    // ("hex-N"), worked out while the file was read for its digest (null:
    // not read, or too small for parts); see kCommonPartSizes.
    std::shared_ptr<const std::vector<std::string>> partTags = nullptr;
};

// The part sizes whose ETags a scan works out beside the digest: the aws
// tool's default (8 MiB) and, from ScanOptions, the run's own.
constexpr uint64_t kAwsPartSize = 8 * 1024 * 1024;

// Orders records by key alone, as unsigned bytes (a proper prefix first):
// "B" < "a", "a-b" < "a/b". Records with equal keys are the same element.
struct S3ObjComp {
    bool operator()(const S3Obj &lhs, const S3Obj &rhs) const { return lhs.key.compare(rhs.key) < 0; }
};

typedef std::set<S3Obj, S3ObjComp> S3ObjSet; // first insertion of a key wins
typedef std::vector<S3Obj> S3ObjVect;        // insertion order

// Adds one record per regular file below strPath to setFiles. Each key is the
// file's path with the first strPath.size() bytes cut off, so a root ending in
// "/" gives keys without a leading "/". Symbolic links and special files are
// skipped, never followed; names beginning with "." are included. False at the
// first failure (a folder that cannot be opened, or a file that cannot be
// read, reported on standard error with its path); records added before it
// remain. Entries whose type readdir leaves unknown are asked with lstat. The
// index page's temporary files (".fileLists.html.XXXXXX") are never scanned.
bool getAllFiles(const std::string &strPath, S3ObjSet &setFiles);

// What a scan counts.
struct ScanStats {
    uint64_t nIgnored = 0; // files and folders left out by the ignore rules (a folder counts once)
    uint64_t nHashed = 0;  // files read for their digest
    uint64_t nCacheHits = 0; // files whose digest came from the cache
    // Files no store can take under their key (not UTF-8, or over 1024 bytes):
    // named on standard output as "cannot publish: PATH (why)" and left out of
    // the set; the caller counts each as failed.
    std::vector<std::string> refused;
};

// The scan's optional parts; each may be null.
struct ScanOptions {
    std::size_t nKeyPrefixBytes = 0;     // the bucket folder's bytes before every key
    const IgnoreRules *ignore = nullptr; // paths left out (never descended into); with rules,
                                         // the ignore file itself is left out too
    DigestCache *cache = nullptr;        // digests reused and remembered (the caller loads and saves)
    ScanStats *stats = nullptr;
    // Called between files while they are read for their digests (null:
    // none), so other work can go on during the scan; at most once a
    // millisecond.
    void (*pfnBetweenFiles)(void *data) = nullptr;
    uint64_t partSize = 0; // the run's part size, whose ETags are worked out too (0: none)
    void *pBetweenFilesData = nullptr;
};

// A scan in two steps: the walk finds the names, then the files are read.
// The names, in the order the walk met them, are known before any file is
// opened (a listing can start on them).
struct ScanName {
    std::string strKey;
    const char *pszRefusal = nullptr; // why no store takes the key; null: a file to read
    bool bUnreadable = false;         // the process may not read it (reading it will fail)
};
struct ScanNames {
    std::string strRootPrefix; // a file's path is this followed by its key
    std::deque<ScanName> names; // grows without copying what it holds
    std::size_t nRefused = 0;  // names with a refusal
    std::size_t nUnreadable = 0; // files the process may not read (reading them will fail)
    bool bWhole = true;        // false: the walk stopped at a folder it could not open
    std::string strFailure;    // then the line for standard error, naming it
};

// The walk: every regular file below strPath (keys as getAllFiles makes
// them), in byte order of the keys, ignore rules applied and counted,
// nothing opened but folders and nothing printed. False when a folder could
// not be opened.
bool walkTree(const std::string &strPath, ScanNames &names, const ScanOptions &options);

// The same walk one name at a time, holding only the entries of the folders
// on the way down: each folder's entries are sorted so that the files come
// in byte order of their keys (a folder's name sorts as if it ended in "/":
// "a-b" < "a/b" < "a0").
class TreeWalk {
public:
    // Keys are the paths with their first len bytes cut off (npos: strPath's length).
    TreeWalk(const std::string &strPath, const ScanOptions &options, std::size_t len = std::string::npos);
    ~TreeWalk();
    TreeWalk(const TreeWalk &) = delete;
    TreeWalk &operator=(const TreeWalk &) = delete;

    // The next file; false at the end, or when a folder could not be opened
    // (then whole() is false and failure() is the line for standard error).
    bool next(ScanName &name);
    bool whole() const { return bWhole; }
    const std::string &failure() const { return strFailure; }
    const std::string &rootPrefix() const { return strRootPrefix; } // a file's path: this + its key
    std::size_t refusedCount() const { return nRefused; }
    std::size_t unreadableCount() const { return nUnreadable; }

private:
    struct Folder;
    bool enter(const std::string &strPath, int dirFd);
    void leave();

    std::size_t len;
    ScanOptions options;
    std::string strRootPrefix;
    std::vector<Folder> stack;
    bool bWhole = true;
    std::string strFailure;
    std::size_t nRefused = 0;
    std::size_t nUnreadable = 0;
};

// The scan as a stream: the records of the tree's files in byte order of
// their keys, printing what digestTree prints. The files ahead of the one
// asked for are read by the hashing pool meanwhile (a bounded number); no
// record is held beyond those.
class TreeScan {
public:
    TreeScan(const std::string &strPath, const ScanOptions &options);
    ~TreeScan();
    TreeScan(const TreeScan &) = delete;
    TreeScan &operator=(const TreeScan &) = delete;
    // The next record; false at the end or at the first failure (failed()).
    bool next(S3Obj &obj);
    bool failed() const { return bFailed; }
    std::size_t count() const { return nRecords; } // records given so far

    // For a caller waiting for something else meanwhile: the work that needs
    // no waiting (names walked and looked up, files handed to the pool, the
    // reads that ended taken in), as far as next() would go ahead. True when
    // it did some; false when only waiting for a read would help.
    bool readAhead();
    // Waits at most d for a read ahead to end; false when none is going.
    bool waitAhead(std::chrono::milliseconds d);

private:
    TreeWalk walk;
    std::unique_ptr<ScanQueue> queue; // files on their way to records, read by the hashing pool
    bool bEnded = false;
    bool bFailed = false;
    std::size_t nRecords = 0;
};

// Reads the walked files into setFiles, printing what the scan prints as it
// goes ("cannot publish:", a file that cannot be read, then the walk's own
// failure), exactly as one pass would. The files whose digests must be read
// are read by the hashing pool (hash_pool.h), several at once, while later
// names are looked up; records, cache updates and lines still follow walk
// order, and no file after one that cannot be opened is opened. False at the
// first failure.
// Takes the names from names.names as it reads them (the keys of the files
// read go into their records).
bool digestTree(ScanNames &names, S3ObjSet &setFiles, const ScanOptions &options);

// getAllFiles with ignore rules, a digest cache and counts. With an empty
// options record the same as above.
bool getAllFiles(const std::string &strPath, S3ObjSet &setFiles, const ScanOptions &options);

// The recursive worker: lists the folder strPath; len is the scan root's length.
bool doGetAllFiles(std::size_t len, const std::string &strPath, S3ObjSet &setFiles);
bool doGetAllFiles(std::size_t len, const std::string &strPath, S3ObjSet &setFiles,
                   const ScanOptions &options);


// Test aid: called with the file's path just before the scan opens it
// (ScanBeforeOpen), after each read for its digest (ScanAfterHash), and by
// the walk before it opens a folder it listed (ScanBeforeFolder); null: none.
enum ScanHookPoint { ScanBeforeOpen, ScanAfterHash, ScanBeforeFolder };
void setScanHook(void (*hook)(ScanHookPoint point, const std::string &strPath));

// Diagnostic aids: the four fields of a record, one labelled line each.
void printS3Obj(const S3Obj &s3Obj);
void printS3ObjSet(const S3ObjSet &setObjs);
void printS3ObjVect(const S3ObjVect &vectObjs);
