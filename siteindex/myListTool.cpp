// myListTool.cpp - the site index page "fileLists.html": the walk of the site
// tree, the row collection, and the page writer.
#include "myListTool.h"

#include "console.h"
#include "direntry.h"
#include "myS3Common.h"
#include "site_policy.h"
#include "tempfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

namespace siteindex {

const char *const defaultSiteAddress = "https://www.quillmere.org";

const char *const targetFileName = "fileLists.html";

const char *const header1 =
    R"(<html><head><meta http-equiv="Content-Type" content="text/html; charset=UTF-8"><title>My All File List</title>)";
const char *const header2 =
    R"(<meta name="GENERATOR" content="Microsoft FrontPage 6.0"></head>  <body><p><font color="#FF0000">)";
const char *const header3 = R"(<font color="#FF0000"><font size="7">All File List</font></p>)";
const char *const tableHeader1 =
    R"(<table border="1" cellpadding="5" cellspacing="5" width="800" table-layout="fixed"   <colgroup><col style="width: 20;"><col style="width: 360;"><col style="width: 420;"></colgroup>>)";
const char *const tableHeader2 =
    R"(<tr> <th> file index </th>  <th> file name </th>  <th> file path </th> </tr>)";
const char *const comment1 =
    R"(This is a list of all files in this website and to make it easy for searching, the they are sorted by file name and here is <a href=")";

// Names the two repositories the tool's sources can be cloned from.
const char *const comment2 =
    R"(/myListTool.html"> the source code </a> of file how it is generated. And the most recent git source is here:)"
    "git clone https://git.quillmere.org/sitemirror.git\n"
    "git clone https://github.com/quillmere/sitemirror.git\n";

const char *const tableColumn1 = R"(<tr> <td style="width: 20;word-wrap:break-word;max-width:20px;">)";
const char *const tableColumn2 =
    R"(</td>  <td style="width: 360;word-wrap:break-word;max-width:400px;" > <a href=")";
const char *const tableColumn3 = R"(">)";
const char *const tableColumn4 = R"(</a> </td> <td style="width: 420;word-wrap:break-word;max-width:500px;">)";
const char *const tableColumn5 = "</td></tr>";
const char *const bottom = "</table></body></html>";

// Console lines for entries the page leaves out.
static const std::string kSymlinkBefore = std::string(26, '*') + "file is symbolic link:";
static const std::string kSymlinkAfter = std::string(35, '*');
static const char *const kNotRegular = "file is not regular:";

void doDir(const std::string &strRootPath, const std::string &strUrl,
           const std::string &strRelativePath, StringMap &stringMap)
{
    doDir(strRootPath, strUrl, strRelativePath, stringMap, PathFilter());
}

// The size of the regular file strName in the folder open at dirFd (its
// status read without following a link); 0 when it cannot be read.
static uint64_t sizeAt(int dirFd, const std::string &strName)
{
    struct stat st;
    if (fstatat(dirFd, strName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return 0;
    return static_cast<uint64_t>(st.st_size);
}

// The walk of the folder open at dirFd (taken over): each folder below is
// opened from the one above it, never through a link, so a folder swapped
// for a link during the walk is not entered. The folder's entries are read
// first (links and special files reported in the order the folder gives
// them), then visited in the page's order: a file by its name and size tag,
// a folder as its name and "/", since every row below it begins so.
static void walkRowsAt(int dirFd, const std::string &strRootPath, const std::string &strUrl,
                       const std::string &strRelativePath, const PathFilter &isIgnored, const RowSink &sink)
{
    const std::string strDirPath = strRootPath + "/" + strRelativePath;
    DIR *dir = dirFd >= 0 ? fdopendir(dirFd) : nullptr;
    if (dir == nullptr) {
        if (dirFd >= 0)
            close(dirFd);
        return;
    }

    struct Entry {
        std::string strOrder; // name + size tag, or name + "/"
        std::size_t nName;    // bytes of the name at its start
        bool bDir;
    };
    std::vector<Entry> entries;
    while (struct dirent *entry = readdir(dir)) {
        const std::string strName = entry->d_name;
        const std::string strSubRelative = strRelativePath + "/" + strName;
        const bool bHidden = strName[0] == '.';
        const unsigned char type = entryTypeAt(entry, dirfd(dir));
        const bool bLeftOff = !bHidden && (type == DT_REG || type == DT_DIR) &&
                              (isPersonalKey(strSubRelative.substr(1)) ||
                               (isIgnored && isIgnored(strSubRelative.substr(1), type == DT_DIR)));

        switch (type) {
        case DT_REG:
            if (!bHidden && !bLeftOff && keyRefusal(strSubRelative.substr(1)) == nullptr)
                entries.push_back({strName + getFileSizeStr(sizeAt(dirfd(dir), strName)), strName.size(), false});
            break;
        case DT_DIR:
            // "." and ".." are hidden names too.
            if (!bHidden && !bLeftOff && !isUnlistedFolderName(strName))
                entries.push_back({strName + "/", strName.size(), true});
            break;
        case DT_LNK:
            printLine(kSymlinkBefore + consoleText(strRootPath + "/" + strRelativePath + "/" + strName) +
                      kSymlinkAfter);
            break;
        default:
            printLine(kNotRegular + consoleText(strRootPath + "/" + strRelativePath + "/" + strName));
            break;
        }
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry &a, const Entry &b) { return a.strOrder < b.strOrder; });
    for (Entry &entry : entries) {
        const std::string strName = entry.strOrder.substr(0, entry.nName);
        const std::string strSubUrl = strUrl + "/" + urlEncode(strName);
        const std::string strSubRelative = strRelativePath + "/" + strName;
        if (entry.bDir)
            walkRowsAt(openFolderAt(dirfd(dir), strName.c_str()), strRootPath, strSubUrl, strSubRelative,
                       isIgnored, sink);
        else
            sink(strRelativePath + "/" + entry.strOrder, strSubUrl);
        std::string().swap(entry.strOrder);
    }
    closedir(dir);
}

void walkRows(const std::string &strRootPath, const std::string &strUrl, const std::string &strRelativePath,
              const PathFilter &isIgnored, const RowSink &sink)
{
    const std::string strDirPath = strRootPath + "/" + strRelativePath;
    walkRowsAt(::open(strDirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), strRootPath, strUrl,
               strRelativePath, isIgnored, sink);
}

void doDir(const std::string &strRootPath, const std::string &strUrl,
           const std::string &strRelativePath, StringMap &stringMap, const PathFilter &isIgnored)
{
    walkRows(strRootPath, strUrl, strRelativePath, isIgnored,
             [&stringMap](const std::string &strKey, const std::string &strRowUrl) {
                 stringMap.insert(stringMap.end(), StringMap::value_type(strKey, strRowUrl));
             });
}

void doFile(StringMap &stringMap, const std::string &strUrl, const std::string &strRelativePath,
            const std::string &strFileSizeStr)
{
    stringMap.insert(StringMap::value_type(strRelativePath + strFileSizeStr, strUrl));
}

std::string urlEncode(const std::string &str)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string strOut;
    strOut.reserve(str.size() * 3);
    for (unsigned char ch : str) {
        const bool bKeep = (ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'Z') ||
                           (ch >= 'a' && ch <= 'z') || ch == '!' || ch == '"' ||
                           (ch >= '\'' && ch <= '*') || (ch >= '-' && ch <= '/') || ch == '_' ||
                           ch == '~';
        if (bKeep) {
            strOut += static_cast<char>(ch);
        } else {
            strOut += '%';
            strOut += kHex[ch >> 4];
            strOut += kHex[ch & 0x0F];
        }
    }
    return strOut;
}

uint64_t getFileSize(const std::string &subFilePath)
{
    uint64_t size = 0;
    ::getFileSize(subFilePath, size);
    return size;
}

std::string getFileSizeStr(uint64_t size)
{
    static const char kUnits[] = "BKMG";
    int iUnit = 0;
    while (size > 1023 && iUnit < 3) {
        size /= 1024;
        ++iUnit;
    }
    return "[" + std::to_string(size) + kUnits[iUnit] + "]";
}

std::string htmlEscape(const std::string &str)
{
    std::string strOut;
    strOut.reserve(str.size());
    for (char ch : str) {
        switch (ch) {
        case '&': strOut += "&amp;"; break;
        case '<': strOut += "&lt;"; break;
        case '>': strOut += "&gt;"; break;
        case '"': strOut += "&quot;"; break;
        default: strOut += ch; break;
        }
    }
    return strOut;
}

std::string displayName(const std::string &strKey)
{
    std::string strName = strKey.substr(strKey.rfind('/') + 1); // npos + 1 == 0: whole key
    const std::string::size_type posTag = strName.rfind('[');
    if (posTag != std::string::npos)
        strName.erase(posTag);
    return strName;
}

void outputString(FILE *out, const std::string &str) { std::fwrite(str.data(), 1, str.size(), out); }

static void outputNewline(FILE *out)
{
    std::fputc('\n', out);
    std::fflush(out);
}

PageWriter::PageWriter(FILE *out, const std::string &strPrefix) : out(out)
{
    outputString(out, header1);
    outputString(out, header2);
    outputString(out, header3);
    outputNewline(out);
    outputString(out, tableHeader1);
    outputString(out, tableHeader2);
    outputNewline(out);
    outputString(out, comment1);
    outputString(out, strPrefix);
    outputString(out, comment2);
    outputNewline(out);
}

void PageWriter::row(const std::string &strKey, const std::string &strUrl)
{
    ++iRow;
    outputString(out, tableColumn1);
    outputString(out, std::to_string(iRow));
    outputString(out, tableColumn2);
    outputString(out, htmlEscape(strUrl));
    outputString(out, tableColumn3);
    outputString(out, htmlEscape(displayName(strKey)));
    outputString(out, tableColumn4);
    outputString(out, htmlEscape(strKey));
    outputString(out, tableColumn5);
}

bool PageWriter::end()
{
    outputString(out, bottom);
    outputNewline(out);
    return std::ferror(out) == 0;
}

bool writePage(FILE *out, const StringMap &stringMap, const std::string &strPrefix)
{
    PageWriter page(out, strPrefix);
    for (const auto &row : stringMap)
        page.row(row.first, row.second);
    return page.end();
}

bool output2File(const StringMap &stringMap, const std::string &strSrcPath,
                 const std::string &strFileName, const std::string &strPrefix)
{
    return writePageFile(strSrcPath, strFileName, strPrefix, [&stringMap](const RowSink &sink) {
        for (const auto &row : stringMap)
            sink(row.first, row.second);
    });
}

bool writePageFile(const std::string &strSrcPath, const std::string &strFileName, const std::string &strPrefix,
                   const std::function<void(const RowSink &sink)> &rows)
{
    const RowSink nowhere = [](const std::string &, const std::string &) {};
    const std::string strPage = strSrcPath + "/" + strFileName;
    // Only a regular file (or nothing) is replaced: never a link, a folder or a pipe.
    struct stat st;
    if (lstat(strPage.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            rows(nowhere);
            return false;
        }
    } else if (errno != ENOENT) {
        rows(nowhere);
        return false;
    }

    std::string strTemp = strSrcPath + "/." + strFileName + ".XXXXXX";
    int slot = -1;
    const int fd = createTempFile(strTemp, O_CLOEXEC, slot);
    if (fd < 0) {
        rows(nowhere);
        return false;
    }
    // The mode a newly created page always had: 0666 less the umask.
    const mode_t mask = umask(0);
    umask(mask);
    FILE *out = fchmod(fd, 0666 & ~mask) == 0 ? fdopen(fd, "w") : nullptr;
    if (out == nullptr) {
        close(fd);
        unlink(strTemp.c_str());
        releaseTempFile(slot);
        rows(nowhere);
        return false;
    }
    PageWriter page(out, strPrefix);
    rows([&page](const std::string &strKey, const std::string &strUrl) { page.row(strKey, strUrl); });
    const bool bWritten = page.end();
    const bool bClosed = std::fclose(out) == 0;
    const bool bRenamed = bWritten && bClosed && rename(strTemp.c_str(), strPage.c_str()) == 0;
    if (!bRenamed)
        unlink(strTemp.c_str());
    releaseTempFile(slot);
    return bRenamed;
}

bool isPageTemporary(const std::string &strName)
{
    return isTempFileName(strName, std::string(".") + targetFileName);
}

} // namespace siteindex

bool myListTool(const std::string &srcPath, const std::string &strPrefix)
{
    return myListTool(srcPath, strPrefix, siteindex::PathFilter());
}

bool myListTool(const std::string &srcPath, const std::string &strPrefix,
                const siteindex::PathFilter &isIgnored)
{
    char *pszRoot = realpath(srcPath.c_str(), nullptr);
    if (pszRoot == nullptr) {
        printLine("index page: site root cannot be resolved: " + srcPath);
        return false;
    }
    const std::string strRoot = pszRoot;
    std::free(pszRoot);

    // Every address is built as the site address + "/" + ...: a site address
    // given with a trailing "/" must not double it.
    std::string strSite = strPrefix;
    while (!strSite.empty() && strSite.back() == '/' &&
           strSite.compare(strSite.size() > 3 ? strSite.size() - 3 : 0, 3, "://") != 0)
        strSite.pop_back();

    removeStaleTempFiles(strRoot, std::string(".") + siteindex::targetFileName);
    // The rows are written as the walk finds them, in the page's order.
    if (!siteindex::writePageFile(strRoot, siteindex::targetFileName, strSite,
                                  [&](const siteindex::RowSink &sink) {
                                      siteindex::walkRows(strRoot, strSite, "", isIgnored, sink);
                                  })) {
        printLine("index page: cannot write " + strRoot + "/" + siteindex::targetFileName);
        return false;
    }
    return true;
}
