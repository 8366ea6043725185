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
    TreeOpener tree(names.strRootPrefix);
    // Each name is taken from the walk's list as it is read, so the list
    // shrinks while the records grow.
    for (; !names.names.empty(); names.names.pop_front()) {
        ScanName &name = names.names.front();
        const std::string strEntryPath = names.strRootPrefix + name.strKey;
        if (name.pszRefusal != nullptr) {
            printLine("cannot publish: " + consoleText(strEntryPath) + " (" + name.pszRefusal +
                      ")");
            if (options.stats != nullptr)
                options.stats->refused.push_back(strEntryPath);
            continue;
        }
        if (options.pfnBetweenFiles != nullptr) {
            const Clock::time_point now = Clock::now();
            if (lastCall == Clock::time_point::min() || now - lastCall >= std::chrono::milliseconds(1)) {
                options.pfnBetweenFiles(options.pBetweenFilesData);
                lastCall = now;
            }
        }
        S3Obj obj;
        const ScanResult result = scanFile(tree, strEntryPath, name.strKey, obj, options, !name.bUnreadable);
        if (result == ScanFailed) {
            printErrorLine("cannot read file: " + consoleText(strEntryPath));
            return false;
        }
        if (result == ScanRead) {
            obj.key = std::move(name.strKey);
            setFiles.insert(std::move(obj));
        }
    }
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
