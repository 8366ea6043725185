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

// One folder of the walk: its entries in byte order of the keys they lead
// to (a folder's name sorts as if it ended in "/"), and the next to visit.
struct TreeWalk::Folder {
    DIR *dir = nullptr;
    std::string strPath;
    struct Entry {
        std::string strSortName; // the name, and "/" after a folder's
        bool bDir = false;
    };
    std::vector<Entry> entries;
    std::size_t next = 0;
};

TreeWalk::TreeWalk(const std::string &strPath, const ScanOptions &options, std::size_t len)
    : len(len == std::string::npos ? strPath.size() : len), options(options)
{
    strRootPrefix = strPath.substr(0, this->len);
    const int rootFd = ::open(strPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    enter(strPath, rootFd);
}

TreeWalk::~TreeWalk()
{
    while (!stack.empty())
        leave();
}

void TreeWalk::leave()
{
    closedir(stack.back().dir);
    stack.pop_back();
}

// Reads the folder open at dirFd (taken over; -1: not opened, errno says
// why) and puts it on top of the stack, its entries sorted.
bool TreeWalk::enter(const std::string &strPath, int dirFd)
{
    DIR *dir = dirFd >= 0 ? fdopendir(dirFd) : nullptr;
    if (dir == nullptr) {
        const int nErr = errno; // reported as perror does, with the name shown safely
        if (dirFd >= 0)
            close(dirFd);
        strFailure = consoleText(strPath) + ": " + std::strerror(nErr);
        bWhole = false;
        return false;
    }
    Folder folder;
    folder.dir = dir;
    folder.strPath = strPath;
    const bool bSlash = !strPath.empty() && strPath.back() == '/';
    while (struct dirent *entry = readdir(dir)) {
        const std::string strName = entry->d_name;
        if (strName == "." || strName == "..")
            continue;
        const unsigned char type = entryTypeAt(entry, dirfd(dir));
        if (type != DT_DIR && type != DT_REG)
            continue; // links (never followed), sockets, devices, pipes
        if (type == DT_REG && strPath.size() == len && siteindex::isPageTemporary(strName))
            continue; // a page being written, or left by an interrupted run
        if (options.ignore != nullptr) {
            if (strName == kIgnoreFileName && type == DT_REG)
                continue; // never published, and not counted as left out
            // Rules see the path below the root without a leading "/".
            std::string strRel = (bSlash ? strPath + strName : strPath + "/" + strName).substr(len);
            if (strRel.compare(0, 1, "/") == 0)
                strRel.erase(0, 1);
            if (options.ignore->isIgnored(strRel, type == DT_DIR)) {
                if (options.stats != nullptr)
                    ++options.stats->nIgnored;
                continue;
            }
        }
        Folder::Entry item;
        item.bDir = type == DT_DIR;
        item.strSortName = item.bDir ? strName + "/" : strName;
        folder.entries.push_back(std::move(item));
    }
    std::sort(folder.entries.begin(), folder.entries.end(),
              [](const Folder::Entry &a, const Folder::Entry &b) { return a.strSortName < b.strSortName; });
    stack.push_back(std::move(folder));
    return true;
}

bool TreeWalk::next(ScanName &name)
{
    while (bWhole && !stack.empty()) {
        Folder &folder = stack.back();
        if (folder.next == folder.entries.size()) {
            leave();
            continue;
        }
        Folder::Entry &entry = folder.entries[folder.next++];
        const bool bSlash = !folder.strPath.empty() && folder.strPath.back() == '/';
        if (entry.bDir) {
            entry.strSortName.pop_back();
            const std::string strEntryPath = bSlash ? folder.strPath + entry.strSortName
                                                    : folder.strPath + "/" + entry.strSortName;
            if (g_scanHook != nullptr)
                g_scanHook(ScanBeforeFolder, strEntryPath);
            const int subFd = openFolderAt(dirfd(folder.dir), entry.strSortName.c_str());
            std::string().swap(entry.strSortName);
            if (subFd < 0 && (errno == ELOOP || errno == ENOTDIR))
                continue; // a link (or no folder) now: never followed
            if (!enter(strEntryPath, subFd))
                return false;
            continue;
        }
        std::string strName;
        strName.swap(entry.strSortName);
        name = ScanName();
        name.strKey = (bSlash ? folder.strPath + strName : folder.strPath + "/" + strName).substr(len);
        name.pszRefusal = keyRefusal(name.strKey, options.nKeyPrefixBytes);
        if (name.pszRefusal != nullptr)
            ++nRefused;
        else if (faccessat(dirfd(folder.dir), strName.c_str(), R_OK, AT_EACCESS) != 0) {
            name.bUnreadable = true;
            ++nUnreadable;
        }
        return true;
    }
    return false;
}

static bool walkNames(const std::string &strPath, std::size_t len, ScanNames &names,
                      const ScanOptions &options)
{
    names = ScanNames();
    TreeWalk walk(strPath, options, len);
    names.strRootPrefix = walk.rootPrefix();
    ScanName name;
    while (walk.next(name))
        names.names.push_back(std::move(name));
    names.nRefused = walk.refusedCount();
    names.nUnreadable = walk.unreadableCount();
    names.bWhole = walk.whole();
    names.strFailure = walk.failure();
    return names.bWhole;
}

bool walkTree(const std::string &strPath, ScanNames &names, const ScanOptions &options)
{
    return walkNames(strPath, strPath.size(), names, options);
}

// The walked files on their way to records, in walk order: names are taken
// from a source while there is room, the files that must be read are read by
// the hashing pool meanwhile, several at once, and the records come back one
// at a time with what the scan prints for each ("cannot publish:", a file
// that cannot be read). No file after one that cannot be opened is opened.
class ScanQueue {
public:
    enum Step { Record, End, Failed };

    ScanQueue(const std::string &strRootPrefix, const ScanOptions &options)
        : strRootPrefix(strRootPrefix), options(options), tree(strRootPrefix),
          nMostReading(kReadingPerThread * pool.threads())
    {
    }

    // The next record into obj (key included); source fills the next name
    // and is false at the end of the walk.
    template <class Source> Step next(Source &&source, S3Obj &obj)
    {
        for (;;) {
            while (!bNoMore && !frontReady() && nReading < nMostReading && waiting.size() < kMostWaiting)
                take(source);
            if (waiting.empty())
                return End;
            Pending &front = waiting.front();
            if (front.digests.valid()) {
                while (front.digests.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
                    betweenFiles();
                --nReading;
                finishFile(front, options);
            }
            const std::string strEntryPath = strRootPrefix + front.name.strKey;
            if (front.name.pszRefusal != nullptr) {
                printLine("cannot publish: " + consoleText(strEntryPath) + " (" + front.name.pszRefusal + ")");
                if (options.stats != nullptr)
                    options.stats->refused.push_back(strEntryPath);
            } else if (front.result == ScanFailed) {
                printErrorLine("cannot read file: " + consoleText(strEntryPath));
                return Failed;
            } else if (front.result == ScanRead) {
                obj = std::move(front.obj);
                obj.key = std::move(front.name.strKey);
                popFront();
                return Record;
            }
            popFront();
        }
    }

    // What can be done without waiting, while the caller waits for
    // something else: the reads that have ended are taken in (in walk
    // order, as next() would), and names are taken while there is room.
    // True when it did any of that.
    template <class Source> bool readAhead(Source &&source)
    {
        bool bDid = settleEnded();
        while (!bNoMore && nReading < nMostReading && waiting.size() < kMostWaiting) {
            take(source);
            bDid = true;
        }
        return bDid;
    }

    // Waits at most d for the oldest read still going; false when none is.
    bool waitForARead(std::chrono::milliseconds d)
    {
        settleEnded();
        if (nSettled == waiting.size())
            return false;
        waiting[nSettled].digests.wait_for(d);
        return true;
    }

private:
    using Clock = std::chrono::steady_clock;

    // The oldest name can be given now: nothing is being read for it.
    bool frontReady() const
    {
        if (waiting.empty())
            return false;
        const Pending &front = waiting.front();
        return !front.digests.valid() ||
               front.digests.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }

    void popFront()
    {
        waiting.pop_front();
        if (nSettled > 0)
            --nSettled;
    }

    // Takes in the reads that have ended from the first not yet settled on,
    // up to the first still going.
    bool settleEnded()
    {
        bool bDid = false;
        for (; nSettled < waiting.size(); ++nSettled) {
            Pending &pending = waiting[nSettled];
            if (!pending.digests.valid())
                continue;
            if (pending.digests.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
                break;
            --nReading;
            finishFile(pending, options);
            bDid = true;
        }
        return bDid;
    }

    template <class Source> void take(Source &source)
    {
        ScanName name;
        if (!source(name)) {
            bNoMore = true;
            return;
        }
        waiting.emplace_back();
        Pending &pending = waiting.back();
        pending.name = std::move(name);
        if (pending.name.pszRefusal != nullptr)
            return;
        betweenFiles();
        startFile(tree, pool, strRootPrefix + pending.name.strKey, pending, options, !pending.name.bUnreadable);
        if (pending.digests.valid())
            ++nReading;
        else if (pending.result == ScanFailed)
            bNoMore = true; // the ones before it settle first
    }

    // Lets the listing go on while files are read (at most once a millisecond).
    void betweenFiles()
    {
        if (options.pfnBetweenFiles == nullptr)
            return;
        const Clock::time_point now = Clock::now();
        if (lastCall == Clock::time_point::min() || now - lastCall >= std::chrono::milliseconds(1)) {
            options.pfnBetweenFiles(options.pBetweenFilesData);
            lastCall = now;
        }
    }

    std::string strRootPrefix;
    ScanOptions options;
    TreeOpener tree;
    HashPool pool;
    const std::size_t nMostReading;
    std::size_t nReading = 0; // files with the pool, not yet taken in
    std::deque<Pending> waiting; // after the pool, so its reads end before it stops
    std::size_t nSettled = 0;    // leading entries of waiting with no read going
    bool bNoMore = false;
    Clock::time_point lastCall = Clock::time_point::min(); // the first file calls at once
};

bool digestTree(ScanNames &names, S3ObjSet &setFiles, const ScanOptions &options)
{
    ScanQueue queue(names.strRootPrefix, options);
    // Each name is taken from the walk's list as it is started, so the list
    // shrinks while the records grow.
    auto source = [&names](ScanName &name) {
        if (names.names.empty())
            return false;
        name = std::move(names.names.front());
        names.names.pop_front();
        return true;
    };
    for (;;) {
        S3Obj obj;
        const ScanQueue::Step step = queue.next(source, obj);
        if (step == ScanQueue::Failed)
            return false;
        if (step == ScanQueue::End)
            break;
        setFiles.insert(setFiles.end(), std::move(obj));
    }
    if (!names.bWhole) {
        printErrorLine(names.strFailure);
        return false;
    }
    return true;
}

TreeScan::TreeScan(const std::string &strPath, const ScanOptions &options)
    : walk(strPath, options), queue(new ScanQueue(walk.rootPrefix(), options))
{
}

TreeScan::~TreeScan() = default;

bool TreeScan::readAhead()
{
    return !bEnded && queue->readAhead([this](ScanName &name) { return walk.next(name); });
}

bool TreeScan::waitAhead(std::chrono::milliseconds d) { return !bEnded && queue->waitForARead(d); }

bool TreeScan::next(S3Obj &obj)
{
    if (bEnded)
        return false;
    const ScanQueue::Step step = queue->next([this](ScanName &name) { return walk.next(name); }, obj);
    if (step == ScanQueue::Record) {
        ++nRecords;
        return true;
    }
    bEnded = true;
    queue.reset(); // no file is read any more
    if (step == ScanQueue::Failed) {
        bFailed = true;
    } else if (!walk.whole()) {
        printErrorLine(walk.failure());
        bFailed = true;
    }
    return false;
}

bool doGetAllFiles(std::size_t len, const std::string &strPath, S3ObjSet &setFiles,
                   const ScanOptions &options)
{
    ScanNames names;
    walkNames(strPath, len, names, options);
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
