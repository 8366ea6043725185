// myDir.cpp - the scan of the local tree into S3Obj records, and their printing.
#include "myDir.h"

#include "digestcache.h"
#include "direntry.h"
#include "ignore.h"
#include "myS3Common.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>

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

// The file's record, its digest from the cache when its status is unchanged.
static bool scanFile(const std::string &strPath, const std::string &strKey, S3Obj &s3Obj,
                     const ScanOptions &options)
{
    struct stat st;
    if (stat(strPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    std::string strTag;
    if (options.cache != nullptr && options.cache->lookup(strKey, st, strTag)) {
        if (options.stats != nullptr)
            ++options.stats->nCacheHits;
    } else {
        if (!calculateMD5Hex(strPath, strTag))
            return false;
        if (options.stats != nullptr)
            ++options.stats->nHashed;
        if (options.cache != nullptr)
            options.cache->store(strKey, st, strTag);
    }
    s3Obj.key = strKey;
    s3Obj.size = static_cast<uint64_t>(st.st_size);
    s3Obj.time = static_cast<int64_t>(st.st_mtime);
    s3Obj.tag = strTag;
    return true;
}

bool doGetAllFiles(std::size_t len, const std::string &strPath, S3ObjSet &setFiles,
                   const ScanOptions &options)
{
    DIR *dir = opendir(strPath.c_str());
    if (dir == nullptr) {
        std::perror(strPath.c_str());
        return false;
    }

    const bool bSlash = !strPath.empty() && strPath.back() == '/';
    bool bOk = true;
    while (struct dirent *entry = readdir(dir)) {
        const std::string strName = entry->d_name;
        if (strName == "." || strName == "..")
            continue;
        const std::string strEntryPath = bSlash ? strPath + strName : strPath + "/" + strName;
        const unsigned char type = entryType(entry, strEntryPath);
        if (type != DT_DIR && type != DT_REG)
            continue;
        const std::string strKey = strEntryPath.substr(len);

        if (options.ignore != nullptr) {
            // Rules see the path below the root without a leading "/".
            const std::string strRel = strKey.compare(0, 1, "/") == 0 ? strKey.substr(1) : strKey;
            if ((strRel == kIgnoreFileName && type == DT_REG) ||
                options.ignore->isIgnored(strRel, type == DT_DIR)) {
                if (options.stats != nullptr)
                    ++options.stats->nIgnored;
                continue;
            }
        }

        if (type == DT_DIR) {
            if (!doGetAllFiles(len, strEntryPath, setFiles, options)) {
                bOk = false;
                break;
            }
        } else {
            S3Obj obj;
            if (!scanFile(strEntryPath, strKey, obj, options)) {
                std::fprintf(stderr, "cannot read file: %s\n", strEntryPath.c_str());
                bOk = false;
                break;
            }
            setFiles.insert(obj);
        }
        // Links (to files or folders), sockets, devices and pipes are
        // skipped: links are never followed.
    }
    closedir(dir);
    return bOk;
}

bool populateS3Obj(const std::string &strPath, const std::string &strKey, S3Obj &s3Obj)
{
    return scanFile(strPath, strKey, s3Obj, ScanOptions());
}

void printS3Obj(const S3Obj &s3Obj)
{
    std::printf("key: %s\n", s3Obj.key.c_str());
    std::printf("time: %" PRId64 "\n", s3Obj.time);
    std::printf("size: %" PRIu64 "\n", s3Obj.size);
    std::printf("tag: %s\n", s3Obj.tag.c_str());
    std::fflush(stdout);
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
