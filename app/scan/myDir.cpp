// myDir.cpp - the scan of the local tree into S3Obj records, and their printing.
#include "myDir.h"

#include "digestcache.h"
#include "hash_pool.h"
#include "direntry.h"
#include "ignore.h"
#include "console.h"
#include "myListTool.h"
#include "myS3Common.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <memory>

bool getAllFiles(const std::string &strPath, S3ObjSet &setFiles)
{
    return doGetAllFiles(strPath.size(), strPath, setFiles);
}

bool getAllFiles(const std::string &strPath, S3ObjSet &setFiles, const ScanOptions &options)
{
    return doGetAllFiles(strPath.size(), strPath, setFiles, options);
}

bool doGetAllFiles(std::size_t len, const std::string &strPath, S3ObjSet &setFiles)
{
    return doGetAllFiles(len, strPath, setFiles, ScanOptions());
}

static void (*g_scanHook)(ScanHookPoint, const std::string &) = nullptr;

void setScanHook(void (*hook)(ScanHookPoint point, const std::string &strPath)) { g_scanHook = hook; }

// Reads of a file that keeps changing before its digest is given up on caching.
static const int kHashAttempts = 3;
// Files handed to the hashing pool and not yet taken back, per thread (each
// holds a descriptor; enough that a large file at the front does not leave
// the other threads idle), and names whose records wait behind the oldest.
static const std::size_t kReadingPerThread = 16;
static const std::size_t kMostWaiting = 4096;

enum ScanResult { ScanRead, ScanSkipped, ScanFailed };

// Fills s3Obj, all but its key, from st and the digest strTag.
static void fillRecord(const struct stat &st, const std::string &strTag, S3Obj &s3Obj)
{
    s3Obj.size = static_cast<uint64_t>(st.st_size);
    s3Obj.time = static_cast<int64_t>(st.st_mtime);
    s3Obj.tag = strTag;
    s3Obj.device = static_cast<uint64_t>(st.st_dev);
    s3Obj.inode = static_cast<uint64_t>(st.st_ino);
}

namespace {

// One walked name on its way to a record, in walk order: a refusal to print,
// a record already known, or a file being read by the pool.
struct Pending {
    ScanName name;
    ScanResult result = ScanSkipped;
    S3Obj obj;
    int fd = -1; // while the pool reads it
    std::future<FileDigests> digests;

    Pending() = default;
    Pending(Pending &&other) noexcept
        : name(std::move(other.name)), result(other.result), obj(std::move(other.obj)), fd(other.fd),
          digests(std::move(other.digests))
    {
        other.fd = -1;
    }
    Pending &operator=(Pending &&) = delete;
    ~Pending()
    {
        if (digests.valid())
            digests.wait(); // the pool may still be reading the descriptor
        if (fd >= 0)
            close(fd);
    }
};

} // namespace

// Fills pending for the file at strPath under strKey: a record from the
// cache, or the file opened and handed to the pool. bReadable: the walk found
// the file readable. A file the cache vouches for is then not opened: its
// status alone (never through a link) shows it is the file whose digest was
// read. The file is read from the one descriptor opened for it: its status
// before and after the read must agree, or it is read again; the digest is
// cached only then (and only when the cache finds it not racy).
static void startFile(TreeOpener &tree, HashPool &pool, const std::string &strPath, Pending &pending,
                      const ScanOptions &options, bool bReadable)
{
    const std::string &strKey = pending.name.strKey;
    pending.result = ScanRead;
    if (g_scanHook != nullptr)
        g_scanHook(ScanBeforeOpen, strPath);
    if (bReadable && options.cache != nullptr) {
        struct stat st;
        std::string strTag;
        if (tree.lstat(strKey, st) == 0) {
            if (!S_ISREG(st.st_mode)) {
                pending.result = ScanSkipped; // a link, folder, pipe or device since it was listed
                return;
            }
            if (options.cache->lookup(strKey, st, strTag)) {
                if (options.stats != nullptr)
                    ++options.stats->nCacheHits;
                fillRecord(st, strTag, pending.obj);
                return;
            }
        }
    }
    // Below the root through no link at all: a folder on the way swapped for
    // a link since the walk leads nowhere.
    const int fd = tree.open(strKey, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        // A link now: never followed.
        pending.result = errno == ELOOP || errno == ENOTDIR ? ScanSkipped : ScanFailed;
        return;
    }
    pending.fd = fd;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        pending.result = ScanFailed;
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        pending.result = ScanSkipped; // replaced by a folder, pipe or device since it was listed
        return;
    }
    std::string strTag;
    if (options.cache != nullptr && options.cache->lookup(strKey, st, strTag)) {
        if (options.stats != nullptr)
            ++options.stats->nCacheHits;
        fillRecord(st, strTag, pending.obj);
        return;
    }
    HashRequest request;
    request.fd = fd;
    request.st = st;
    request.partSizes = {kAwsPartSize, options.partSize};
    request.nAttempts = kHashAttempts;
    if (g_scanHook != nullptr)
        request.afterRead = [strPath] { g_scanHook(ScanAfterHash, strPath); };
    pending.digests = pool.submit(std::move(request));
}

// Takes the pool's digests of a file being read into its record.
static void finishFile(Pending &pending, const ScanOptions &options)
{
    const FileDigests digests = pending.digests.get();
    close(pending.fd);
    pending.fd = -1;
    if (options.stats != nullptr)
        options.stats->nHashed += static_cast<uint64_t>(digests.nReads);
    if (!digests.bRead) {
        pending.result = ScanFailed;
        return;
    }
    if (options.cache != nullptr) {
        if (digests.bStable)
            options.cache->store(pending.name.strKey, digests.st, digests.strTag);
        else
            options.cache->forget(pending.name.strKey);
    }
    fillRecord(digests.st, digests.strTag, pending.obj);
    pending.obj.partTags = digests.partTags;
}

// The walk below strPath, open at dirFd (taken over, -1: not opened, errno
// says why): names in the order the folders give them. Each folder is opened
// from the one above it, never through a link.
static bool walkFolder(std::size_t len, const std::string &strPath, int dirFd, ScanNames &names,
                       const ScanOptions &options)
{
    DIR *dir = dirFd >= 0 ? fdopendir(dirFd) : nullptr;
    if (dir == nullptr) {
        const int nErr = errno; // reported as perror does, with the name shown safely
        if (dirFd >= 0)
            close(dirFd);
        names.strFailure = consoleText(strPath) + ": " + std::strerror(nErr);
        names.bWhole = false;
        return false;
    }

    const bool bSlash = !strPath.empty() && strPath.back() == '/';
    bool bOk = true;
    while (struct dirent *entry = readdir(dir)) {
        const std::string strName = entry->d_name;
        if (strName == "." || strName == "..")
            continue;
        const std::string strEntryPath = bSlash ? strPath + strName : strPath + "/" + strName;
        const unsigned char type = entryTypeAt(entry, dirfd(dir));
        if (type != DT_DIR && type != DT_REG)
            continue;
        if (type == DT_REG && strPath.size() == len && siteindex::isPageTemporary(strName))
            continue; // a page being written, or left by an interrupted run
        std::string strKey = strEntryPath.substr(len);

        if (options.ignore != nullptr) {
            // Rules see the path below the root without a leading "/".
            const std::string strRel = strKey.compare(0, 1, "/") == 0 ? strKey.substr(1) : strKey;
            if (strName == kIgnoreFileName && type == DT_REG)
                continue; // never published, and not counted as left out
            if (options.ignore->isIgnored(strRel, type == DT_DIR)) {
                if (options.stats != nullptr)
                    ++options.stats->nIgnored;
                continue;
            }
        }

        if (type == DT_DIR) {
            if (g_scanHook != nullptr)
                g_scanHook(ScanBeforeFolder, strEntryPath);
            const int subFd = openFolderAt(dirfd(dir), strName.c_str());
            if (subFd < 0 && (errno == ELOOP || errno == ENOTDIR))
                continue; // a link (or no folder) now: never followed
            if (!walkFolder(len, strEntryPath, subFd, names, options)) {
                bOk = false;
                break;
            }
        } else {
            ScanName name;
            name.pszRefusal = keyRefusal(strKey, options.nKeyPrefixBytes);
            name.strKey = std::move(strKey);
            if (name.pszRefusal != nullptr)
                ++names.nRefused;
            else if (faccessat(dirfd(dir), strName.c_str(), R_OK, AT_EACCESS) != 0) {
                name.bUnreadable = true;
                ++names.nUnreadable;
            }
            names.names.push_back(std::move(name));
        }
        // Links (to files or folders), sockets, devices and pipes are
        // skipped: links are never followed.
    }
    closedir(dir);
    return bOk;
}

static bool walkFrom(std::size_t len, const std::string &strPath, ScanNames &names,
                     const ScanOptions &options)
{
    names = ScanNames();
    names.strRootPrefix = strPath.substr(0, len);
    const int rootFd = ::open(strPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return walkFolder(len, strPath, rootFd, names, options);
}

bool walkTree(const std::string &strPath, ScanNames &names, const ScanOptions &options)
{
    return walkFrom(strPath.size(), strPath, names, options);
}

bool digestTree(ScanNames &names, S3ObjSet &setFiles, const ScanOptions &options)
{
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastCall = Clock::time_point::min(); // the first file calls at once
    auto betweenFiles = [&]() {
        if (options.pfnBetweenFiles == nullptr)
            return;
        const Clock::time_point now = Clock::now();
        if (lastCall == Clock::time_point::min() || now - lastCall >= std::chrono::milliseconds(1)) {
            options.pfnBetweenFiles(options.pBetweenFilesData);
            lastCall = now;
        }
    };
    TreeOpener tree(names.strRootPrefix);
    HashPool pool;
    const std::size_t nMostReading = kReadingPerThread * pool.threads();
    std::size_t nReading = 0;
    std::deque<Pending> waiting; // after the pool, so its reads end before it stops
    // Takes the oldest waiting names into records, printing what they have
    // to say, in walk order; with bAll, waits for the files being read.
    // False at the first file that could not be read.
    auto settle = [&](bool bAll) {
        while (!waiting.empty()) {
            Pending &front = waiting.front();
            if (front.digests.valid()) {
                const bool bMust = bAll || nReading >= nMostReading || waiting.size() >= kMostWaiting;
                while (front.digests.wait_for(std::chrono::milliseconds(bMust ? 1 : 0)) !=
                       std::future_status::ready) {
                    if (!bMust)
                        return true;
                    betweenFiles();
                }
                --nReading;
                finishFile(front, options);
            }
            const std::string strEntryPath = names.strRootPrefix + front.name.strKey;
            if (front.name.pszRefusal != nullptr) {
                printLine("cannot publish: " + consoleText(strEntryPath) + " (" + front.name.pszRefusal +
                          ")");
                if (options.stats != nullptr)
                    options.stats->refused.push_back(strEntryPath);
            } else if (front.result == ScanFailed) {
                printErrorLine("cannot read file: " + consoleText(strEntryPath));
                return false;
            } else if (front.result == ScanRead) {
                front.obj.key = std::move(front.name.strKey);
                setFiles.insert(std::move(front.obj));
            }
            waiting.pop_front();
        }
        return true;
    };
    // Each name is taken from the walk's list as it is started, so the list
    // shrinks while the records grow.
    for (; !names.names.empty(); names.names.pop_front()) {
        waiting.emplace_back();
        Pending &pending = waiting.back();
        pending.name = std::move(names.names.front());
        if (pending.name.pszRefusal == nullptr) {
            betweenFiles();
            startFile(tree, pool, names.strRootPrefix + pending.name.strKey, pending, options,
                      !pending.name.bUnreadable);
            if (pending.digests.valid())
                ++nReading;
            else if (pending.result == ScanFailed)
                break; // no file after it is opened; the ones before it settle first
        }
        if (!settle(false))
            return false;
    }
    if (!settle(true))
        return false;
    if (!names.bWhole) {
        printErrorLine(names.strFailure);
        return false;
    }
    return true;
}

bool doGetAllFiles(std::size_t len, const std::string &strPath, S3ObjSet &setFiles,
                   const ScanOptions &options)
{
    ScanNames names;
    walkFrom(len, strPath, names, options);
    return digestTree(names, setFiles, options);
}

void printS3Obj(const S3Obj &s3Obj)
{
    printLine("key: " + s3Obj.key);
    printLine("time: " + std::to_string(s3Obj.time));
    printLine("size: " + std::to_string(s3Obj.size));
    printLine("tag: " + s3Obj.tag.str());
}

void printS3ObjSet(const S3ObjSet &setObjs)
{
    for (const S3Obj &obj : setObjs)
        printS3Obj(obj);
}

void printS3ObjVect(const S3ObjVect &vectObjs)
{
    for (const S3Obj &obj : vectObjs)
        printS3Obj(obj);
}
