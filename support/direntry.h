// direntry.h - what both tree walks need to know of a folder entry: its type,
// and whether its path can be an object key at all. Some file systems (ext2
// without "filetype", XFS with ftype=0, some NFS mounts) leave readdir's
// d_type at DT_UNKNOWN; the entry is then asked with lstat, so links are
// still never followed.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <string>

// DT_REG, DT_DIR, DT_LNK, another DT_* value, or DT_UNKNOWN when even lstat fails.
// strPath is the entry's full path.
unsigned char entryType(const struct dirent *entry, const std::string &strPath);

// The same for an entry of the folder open at dirFd, asked with fstatat
// (never through a link) when readdir gives no type.
unsigned char entryTypeAt(const struct dirent *entry, int dirFd);

// Opens the folder pszName of the folder open at dirFd for reading, never
// through a link: a name that is a link or no folder now (swapped since it
// was listed) gives -1 with errno ELOOP or ENOTDIR.
int openFolderAt(int dirFd, const char *pszName);

// Opens files and reads their status below one root, never through a link,
// neither on the way nor at the end: each folder on the way is opened from
// the one above it with O_NOFOLLOW, so a folder swapped for a link during
// the run leads nowhere (ELOOP or ENOTDIR). The last folder is kept open for
// the next file, which is usually its neighbour.
class TreeOpener {
public:
    explicit TreeOpener(std::string strRoot); // the root as the walk was given it
    ~TreeOpener();
    TreeOpener(const TreeOpener &) = delete;
    TreeOpener &operator=(const TreeOpener &) = delete;

    // open(2) of strRel (below the root; a leading "/" is allowed) with
    // flags | O_NOFOLLOW; -1 with errno.
    int open(const std::string &strRel, int flags);
    // lstat(2) of strRel; -1 with errno.
    int lstat(const std::string &strRel, struct stat &st);

private:
    // The descriptor of strRel's folder, and in strName its last name.
    int folderOf(const std::string &strRel, std::string &strName);

    std::string strRoot;
    int rootFd = -1;
    std::string strFolder; // below the root, of folderFd
    int folderFd = -1;
};

// Test aid: while set, every entry reads as DT_UNKNOWN from readdir, as on the
// file systems above.
void setEntryTypesUnknown(bool bUnknown);

// The longest object key a store takes, in bytes.
constexpr std::size_t kMaxKeyBytes = 1024;

// Why a store cannot take strKey (a path below the root) as a key: "not UTF-8"
// or "key over 1024 bytes", counting the nPrefixBytes of the bucket's folder
// the key goes under; nullptr when it can.
const char *keyRefusal(const std::string &strKey, std::size_t nPrefixBytes = 0);

// True when str is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool isUtf8(const std::string &str);
