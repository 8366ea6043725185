// direntry.cpp - folder entry types with an lstat fallback, and the names a
// store cannot take as keys.
#include "direntry.h"

#include <sys/stat.h>

#include <atomic>

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
