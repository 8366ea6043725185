// direntry.cpp - folder entry types with an lstat fallback, folders and
// files opened below a root never through a link, and the names a store
// cannot take as keys.
#include "direntry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <utility>

static std::atomic<bool> g_bTypesUnknown{false};

void setEntryTypesUnknown(bool bUnknown) { g_bTypesUnknown = bUnknown; }

unsigned char entryType(const struct dirent *entry, const std::string &strPath)
{
    const unsigned char type = g_bTypesUnknown ? static_cast<unsigned char>(DT_UNKNOWN) : entry->d_type;
    if (type != DT_UNKNOWN)
        return type;
    struct stat st;
    if (lstat(strPath.c_str(), &st) != 0)
        return DT_UNKNOWN;
    if (S_ISREG(st.st_mode)) return DT_REG;
    if (S_ISDIR(st.st_mode)) return DT_DIR;
    if (S_ISLNK(st.st_mode)) return DT_LNK;
    if (S_ISFIFO(st.st_mode)) return DT_FIFO;
    if (S_ISSOCK(st.st_mode)) return DT_SOCK;
    if (S_ISCHR(st.st_mode)) return DT_CHR;
    if (S_ISBLK(st.st_mode)) return DT_BLK;
    return DT_UNKNOWN;
}

static unsigned char typeOfMode(mode_t mode)
{
    if (S_ISREG(mode)) return DT_REG;
    if (S_ISDIR(mode)) return DT_DIR;
    if (S_ISLNK(mode)) return DT_LNK;
    if (S_ISFIFO(mode)) return DT_FIFO;
    if (S_ISSOCK(mode)) return DT_SOCK;
    if (S_ISCHR(mode)) return DT_CHR;
    if (S_ISBLK(mode)) return DT_BLK;
    return DT_UNKNOWN;
}

unsigned char entryTypeAt(const struct dirent *entry, int dirFd)
{
    const unsigned char type = g_bTypesUnknown ? static_cast<unsigned char>(DT_UNKNOWN) : entry->d_type;
    if (type != DT_UNKNOWN)
        return type;
    struct stat st;
    if (fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return DT_UNKNOWN;
    return typeOfMode(st.st_mode);
}

int openFolderAt(int dirFd, const char *pszName)
{
    return openat(dirFd, pszName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

TreeOpener::TreeOpener(std::string strRootIn) : strRoot(std::move(strRootIn)) {}

TreeOpener::~TreeOpener()
{
    if (folderFd >= 0 && folderFd != rootFd)
        close(folderFd);
    if (rootFd >= 0)
        close(rootFd);
}

int TreeOpener::folderOf(const std::string &strRel, std::string &strName)
{
    if (rootFd < 0) {
        rootFd = ::open(strRoot.empty() ? "." : strRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (rootFd < 0)
            return -1;
        folderFd = rootFd;
        strFolder.clear();
    }
    const std::size_t posSlash = strRel.rfind('/');
    strName = posSlash == std::string::npos ? strRel : strRel.substr(posSlash + 1);
    std::string strWanted = posSlash == std::string::npos ? "" : strRel.substr(0, posSlash);
    while (!strWanted.empty() && strWanted[0] == '/')
        strWanted.erase(0, 1);
    if (strWanted == strFolder && folderFd >= 0)
        return folderFd;
    if (folderFd >= 0 && folderFd != rootFd)
        close(folderFd);
    folderFd = -1;
    int fd = rootFd;
    for (std::size_t pos = 0; pos < strWanted.size();) {
        std::size_t end = strWanted.find('/', pos);
        if (end == std::string::npos)
            end = strWanted.size();
        const std::string strPart = strWanted.substr(pos, end - pos);
        pos = end + 1;
        if (strPart.empty())
            continue;
        const int next = openFolderAt(fd, strPart.c_str());
        const int nErr = errno;
        if (fd != rootFd)
            close(fd);
        if (next < 0) {
            errno = nErr;
            return -1;
        }
        fd = next;
    }
    folderFd = fd;
    strFolder = strWanted;
    return folderFd;
}

int TreeOpener::open(const std::string &strRel, int flags)
{
    std::string strName;
    const int dirFd = folderOf(strRel, strName);
    if (dirFd < 0)
        return -1;
    return openat(dirFd, strName.c_str(), flags | O_NOFOLLOW);
}

int TreeOpener::lstat(const std::string &strRel, struct stat &st)
{
    std::string strName;
    const int dirFd = folderOf(strRel, strName);
    if (dirFd < 0)
        return -1;
    return fstatat(dirFd, strName.c_str(), &st, AT_SYMLINK_NOFOLLOW);
}

bool isUtf8(const std::string &str)
{
    const std::size_t n = str.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = static_cast<unsigned char>(str[i]);
        std::size_t nMore = 0;
        unsigned char lo = 0x80, hi = 0xBF; // allowed range of the first continuation byte
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            nMore = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            nMore = 2;
            if (c == 0xE0) lo = 0xA0; // overlong
            if (c == 0xED) hi = 0x9F; // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            nMore = 3;
            if (c == 0xF0) lo = 0x90; // overlong
            if (c == 0xF4) hi = 0x8F; // above U+10FFFF
        } else {
            return false;
        }
        if (i + nMore >= n)
            return false;
        for (std::size_t k = 1; k <= nMore; ++k) {
            const unsigned char cc = static_cast<unsigned char>(str[i + k]);
            const unsigned char kLo = k == 1 ? lo : 0x80, kHi = k == 1 ? hi : 0xBF;
            if (cc < kLo || cc > kHi)
                return false;
        }
        i += nMore + 1;
    }
    return true;
}

const char *keyRefusal(const std::string &strKey, std::size_t nPrefixBytes)
{
    if (!isUtf8(strKey))
        return "not UTF-8";
    if (strKey.size() > kMaxKeyBytes || nPrefixBytes > kMaxKeyBytes - strKey.size())
        return "key over 1024 bytes";
    return nullptr;
}
