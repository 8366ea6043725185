// direntry.h - what both tree walks need to know of a folder entry: its type,
// and whether its path can be an object key at all. Some file systems (ext2
// without "filetype", XFS with ftype=0, some NFS mounts) leave readdir's
// d_type at DT_UNKNOWN; the entry is then asked with lstat, so links are
// still never followed.
#pragma once

#include <dirent.h>

#include <cstddef>
#include <string>

// DT_REG, DT_DIR, DT_LNK, another DT_* value, or DT_UNKNOWN when even lstat fails.
// strPath is the entry's full path.
unsigned char entryType(const struct dirent *entry, const std::string &strPath);

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
