// myDir.cpp - the scan of the local tree into S3Obj records, and their printing.
#include "myDir.h"

#include "myS3Common.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>

bool getAllFiles(const std::string &strPath, S3ObjSet &setFiles)
{
    return doGetAllFiles(strPath.size(), strPath, setFiles);
}

bool doGetAllFiles(std::size_t len, const std::string &strPath, S3ObjSet &setFiles)
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
        const std::string strEntryPath = bSlash ? strPath + strName : strPath + "/" + strName;

        if (entry->d_type == DT_DIR) {
            if (strName == "." || strName == "..")
                continue;
            if (!doGetAllFiles(len, strEntryPath, setFiles)) {
                bOk = false;
                break;
            }
        } else if (entry->d_type == DT_REG) {
            S3Obj obj;
            if (!populateS3Obj(strEntryPath, strEntryPath.substr(len), obj)) {
                bOk = false;
                break;
            }
            setFiles.insert(obj);
        }
        // Links (to files or folders), sockets, devices, pipes and entries of
        // unknown type are skipped: links are never followed.
    }
    closedir(dir);
    return bOk;
}

bool populateS3Obj(const std::string &strPath, const std::string &strKey, S3Obj &s3Obj)
{
    struct stat st;
    if (stat(strPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    std::string strTag;
    if (!calculateMD5Hex(strPath, strTag))
        return false;
    s3Obj.key = strKey;
    s3Obj.size = static_cast<uint64_t>(st.st_size);
    s3Obj.time = static_cast<int64_t>(st.st_mtime);
    s3Obj.tag = strTag;
    return true;
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
