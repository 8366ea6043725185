// direntry.cpp - folder entry types with an lstat fallback.
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
