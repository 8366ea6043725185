// myDir.cpp - the scan of the local tree into S3Obj records, and their printing.
#include "myDir.h"

#include "digestcache.h"
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
static const std::size_t kHashBlockSize = 1 << 16;

static bool sameStatus(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The ETag of bytes sent in parts of one size: the MD5 of the parts' MD5s,
// then "-" and the number of parts. Fed the bytes in order.
class PartETag {
public:
    explicit PartETag(uint64_t partSize) : partSize(partSize) {}
    void update(const char *p, std::size_t n)
    {
        while (n > 0) {
            if (!part)
                part.reset(new MyMD5(false));
            const std::size_t take = static_cast<std::size_t>(std::min<uint64_t>(n, partSize - inPart));
            part->update(p, take);
            inPart += take;
            p += take;
            n -= take;
            if (inPart == partSize)
                endPart();
        }
    }
    std::string finalize()
    {
        if (inPart > 0)
            endPart();
        MyMD5 whole(true);
        whole.update(digests);
        return whole.finalize() + "-" + std::to_string(nParts);
    }

private:
    void endPart()
    {
        digests += part->finalize();
        part.reset();
        inPart = 0;
        ++nParts;
    }
    uint64_t partSize;
    std::unique_ptr<MyMD5> part;
    uint64_t inPart = 0;
    std::string digests; // 16 bytes a part
    int nParts = 0;
};

// The MD5 of everything the descriptor holds, read from its start, and for
// a file of more than one part, the ETags of partSizes (0 left out).
static bool hashDescriptor(int fd, uint64_t size, std::initializer_list<uint64_t> partSizes,
                           std::string &strTag, std::shared_ptr<const std::vector<std::string>> &partTags)
{
    MyMD5 md(true);
    std::vector<PartETag> parts;
    for (uint64_t partSize : partSizes)
        if (partSize > 0 && size > partSize)
            parts.emplace_back(partSize);
    std::unique_ptr<char[]> buffer(new char[kHashBlockSize]);
    off_t offset = 0;
    for (;;) {
        const ssize_t n = pread(fd, buffer.get(), kHashBlockSize, offset);
        if (n > 0) {
            md.update(buffer.get(), static_cast<std::size_t>(n));
            for (PartETag &part : parts)
                part.update(buffer.get(), static_cast<std::size_t>(n));
            offset += n;
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            return false;
        }
    }
    strTag = md.finalize();
    partTags.reset();
    if (!parts.empty()) {
        auto tags = std::make_shared<std::vector<std::string>>();
        for (PartETag &part : parts)
            tags->push_back(part.finalize());
        partTags = tags;
    }
    return true;
}

enum ScanResult { ScanRead, ScanSkipped, ScanFailed };

// The file's record from the one descriptor opened for it: its status before
// and after the read must agree, or it is read again; the digest is cached
// only then (and only when the cache finds it not racy).
// Fills s3Obj, all but its key, from st and the digest strTag.
static void fillRecord(const struct stat &st, const std::string &strTag, S3Obj &s3Obj)
{
    s3Obj.size = static_cast<uint64_t>(st.st_size);
    s3Obj.time = static_cast<int64_t>(st.st_mtime);
    s3Obj.tag = strTag;
    s3Obj.device = static_cast<uint64_t>(st.st_dev);
    s3Obj.inode = static_cast<uint64_t>(st.st_ino);
}

// Fills s3Obj, all but its key, for the file at strPath under strKey.
// bReadable: the walk found the file readable. A file the cache vouches for
// is then not opened: its status alone (never through a link) shows it is
// the file whose digest was read.
static ScanResult scanFile(TreeOpener &tree, const std::string &strPath, const std::string &strKey,
                           S3Obj &s3Obj, const ScanOptions &options, bool bReadable = false)
{
    if (g_scanHook != nullptr)
        g_scanHook(ScanBeforeOpen, strPath);
    if (bReadable && options.cache != nullptr) {
        struct stat st;
        std::string strTag;
        if (tree.lstat(strKey, st) == 0) {
            if (!S_ISREG(st.st_mode))
                return ScanSkipped; // a link, folder, pipe or device since it was listed
            if (options.cache->lookup(strKey, st, strTag)) {
                if (options.stats != nullptr)
                    ++options.stats->nCacheHits;
                fillRecord(st, strTag, s3Obj);
                return ScanRead;
            }
        }
    }
    // Below the root through no link at all: a folder on the way swapped for
    // a link since the walk leads nowhere.
    const int fd = tree.open(strKey, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ELOOP || errno == ENOTDIR ? ScanSkipped : ScanFailed; // a link now: never followed
    std::unique_ptr<int, void (*)(int *)> guard(new int(fd), [](int *p) {
        close(*p);
        delete p;
    });
    struct stat st;
    if (fstat(fd, &st) != 0)
        return ScanFailed;
    if (!S_ISREG(st.st_mode))
        return ScanSkipped; // replaced by a folder, pipe or device since it was listed

    std::string strTag;
    std::shared_ptr<const std::vector<std::string>> partTags;
    if (options.cache != nullptr && options.cache->lookup(strKey, st, strTag)) {
        if (options.stats != nullptr)
            ++options.stats->nCacheHits;
    } else {
        bool bStable = false;
        for (int i = 0; i < kHashAttempts && !bStable; ++i) {
            if (!hashDescriptor(fd, static_cast<uint64_t>(st.st_size), {kAwsPartSize, options.partSize},
                                strTag, partTags))
                return ScanFailed;
            if (options.stats != nullptr)
                ++options.stats->nHashed;
            if (g_scanHook != nullptr)
                g_scanHook(ScanAfterHash, strPath);
            struct stat stAfter;
            if (fstat(fd, &stAfter) != 0)
                return ScanFailed;
            bStable = sameStatus(st, stAfter);
            st = stAfter;
        }
        if (options.cache != nullptr) {
            if (bStable)
                options.cache->store(strKey, st, strTag);
            else
                options.cache->forget(strKey);
        }
    }
    fillRecord(st, strTag, s3Obj);
    s3Obj.partTags = partTags;
    return ScanRead;
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

namespace {

using Clock = std::chrono::steady_clock;

// One walked file: its record, or why it has none. Prints what the scan
// prints for it ("cannot publish:", a file that cannot be read).
ScanResult scanWalked(TreeOpener &tree, const std::string &strRootPrefix, ScanName &name, S3Obj &obj,
                      const ScanOptions &options, Clock::time_point &lastCall)
{
    const std::string strEntryPath = strRootPrefix + name.strKey;
    if (name.pszRefusal != nullptr) {
        printLine("cannot publish: " + consoleText(strEntryPath) + " (" + name.pszRefusal + ")");
        if (options.stats != nullptr)
            options.stats->refused.push_back(strEntryPath);
        return ScanSkipped;
    }
    if (options.pfnBetweenFiles != nullptr) {
        const Clock::time_point now = Clock::now();
        if (lastCall == Clock::time_point::min() || now - lastCall >= std::chrono::milliseconds(1)) {
            options.pfnBetweenFiles(options.pBetweenFilesData);
            lastCall = now;
        }
    }
    const ScanResult result = scanFile(tree, strEntryPath, name.strKey, obj, options, !name.bUnreadable);
    if (result == ScanFailed)
        printErrorLine("cannot read file: " + consoleText(strEntryPath));
    if (result == ScanRead)
        obj.key = std::move(name.strKey);
    return result;
}

} // namespace

bool digestTree(ScanNames &names, S3ObjSet &setFiles, const ScanOptions &options)
{
    Clock::time_point lastCall = Clock::time_point::min(); // the first file calls at once
    TreeOpener tree(names.strRootPrefix);
    // Each name is taken from the walk's list as it is read, so the list
    // shrinks while the records grow.
    for (; !names.names.empty(); names.names.pop_front()) {
        S3Obj obj;
        const ScanResult result =
            scanWalked(tree, names.strRootPrefix, names.names.front(), obj, options, lastCall);
        if (result == ScanFailed)
            return false;
        if (result == ScanRead)
            setFiles.insert(setFiles.end(), std::move(obj));
    }
    if (!names.bWhole) {
        printErrorLine(names.strFailure);
        return false;
    }
    return true;
}

TreeScan::TreeScan(const std::string &strPath, const ScanOptions &options)
    : walk(strPath, options), tree(walk.rootPrefix()), options(options),
      lastCall(std::chrono::steady_clock::time_point::min())
{
}

bool TreeScan::next(S3Obj &obj)
{
    if (bEnded)
        return false;
    ScanName name;
    while (walk.next(name)) {
        obj = S3Obj();
        const ScanResult result = scanWalked(tree, walk.rootPrefix(), name, obj, options, lastCall);
        if (result == ScanRead) {
            ++nRecords;
            return true;
        }
        if (result == ScanFailed) {
            bEnded = true;
            bFailed = true;
            return false;
        }
    }
    bEnded = true;
    if (!walk.whole()) {
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
