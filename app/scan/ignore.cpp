// ignore.cpp - what the mirror leaves out: version-control folders, and the
// ignore files of the site tree, loaded from every folder and asked deepest
// first.
#include "ignore.h"

#include "console.h"

#include "direntry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

const char *const kIgnoreFileName = ".sitemirrorignore";

void IgnoreRules::parse(const std::string &strTextIn, const std::string &strDir)
{
    static const char kBom[] = "\xEF\xBB\xBF";
    const std::size_t posStart = strTextIn.compare(0, 3, kBom) == 0 ? 3 : 0;
    std::vector<GlobPattern> &patterns = folders[strDir];
    std::size_t pos = posStart;
    while (pos < strTextIn.size()) {
        std::size_t posEnd = strTextIn.find('\n', pos);
        if (posEnd == std::string::npos)
            posEnd = strTextIn.size();
        GlobPattern pattern;
        if (parseGlobLine(strTextIn.substr(pos, posEnd - pos), true, pattern))
            patterns.push_back(pattern);
        pos = posEnd + 1;
    }
    if (patterns.empty())
        folders.erase(strDir);
}

bool isVcsFolderName(const std::string &strName)
{
    return strName == ".git" || strName == ".hg" || strName == ".svn" || strName == ".bzr";
}

bool isUnderVcsFolder(const std::string &strRel)
{
    for (std::size_t pos = 0, end; (end = strRel.find('/', pos)) != std::string::npos; pos = end + 1)
        if (isVcsFolderName(strRel.substr(pos, end - pos)))
            return true;
    return false;
}

bool IgnoreRules::isIgnored(const std::string &strRel, bool bDir) const
{
    std::size_t posSlash = strRel.rfind('/');
    if (bDir && !bPublishVcs &&
        isVcsFolderName(posSlash == std::string::npos ? strRel : strRel.substr(posSlash + 1)))
        return true;
    while (true) {
        const std::string strDir = posSlash == std::string::npos ? "" : strRel.substr(0, posSlash);
        const auto it = folders.find(strDir);
        if (it != folders.end()) {
            const std::string strBelow = strDir.empty() ? strRel : strRel.substr(posSlash + 1);
            for (auto rule = it->second.rbegin(); rule != it->second.rend(); ++rule)
                if (globMatches(*rule, strBelow, bDir))
                    return !rule->bNegate;
        }
        if (posSlash == std::string::npos || posSlash == 0)
            return false;
        posSlash = strRel.rfind('/', posSlash - 1);
    }
}

// Reads the ignore file of the folder strDirPath (strDir below the root), if any.
static bool loadOne(const std::string &strDirPath, const std::string &strDir, IgnoreRules &rules)
{
    const std::string strFile = strDirPath + "/" + kIgnoreFileName;
    const int fd = open(strFile.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        struct stat st;
        if (errno == ENOENT && lstat(strFile.c_str(), &st) != 0)
            return true; // no ignore file here
        if (errno == ENOENT)
            printErrorLine("cannot read ignore file: " + consoleText(strFile) + ": dangling symbolic link");
        else
            printErrorLine("cannot read ignore file: " + consoleText(strFile) + ": " + std::strerror(errno));
        return false;
    }
    struct stat st;
    std::string strText;
    bool bOk = fstat(fd, &st) == 0;
    if (bOk && !S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        bOk = false;
    }
    char buffer[16384];
    while (bOk) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            bOk = n == 0;
            break;
        }
        strText.append(buffer, static_cast<std::size_t>(n));
    }
    const int savedErrno = errno;
    close(fd);
    if (!bOk) {
        printErrorLine("cannot read ignore file: " + consoleText(strFile) + ": " + std::strerror(savedErrno));
        return false;
    }
    rules.parse(strText, strDir);
    return true;
}

static bool loadBelow(const std::string &strDirPath, const std::string &strDir, IgnoreRules &rules)
{
    if (!loadOne(strDirPath, strDir, rules))
        return false;
    DIR *dir = opendir(strDirPath.c_str());
    if (dir == nullptr)
        return true; // the walks themselves report a folder they cannot open
    bool bOk = true;
    while (struct dirent *entry = readdir(dir)) {
        const std::string strName = entry->d_name;
        if (strName == "." || strName == "..")
            continue;
        const std::string strPath = strDirPath + "/" + strName;
        if (entryType(entry, strPath) != DT_DIR)
            continue;
        const std::string strRel = strDir.empty() ? strName : strDir + "/" + strName;
        if (rules.isIgnored(strRel, true))
            continue;
        if (!loadBelow(strPath, strRel, rules)) {
            bOk = false;
            break;
        }
    }
    closedir(dir);
    return bOk;
}

bool loadIgnoreFile(const std::string &strRoot, IgnoreRules &rules)
{
    std::string strRootPath = strRoot;
    while (strRootPath.size() > 1 && strRootPath.back() == '/')
        strRootPath.pop_back();
    return loadBelow(strRootPath, "", rules);
}
