// direntry.h - the type of a folder entry as both tree walks need it. Some file
// systems (ext2 without "filetype", XFS with ftype=0, some NFS mounts) leave
// readdir's d_type at DT_UNKNOWN; the entry is then asked with lstat, so links
// are still never followed.
#pragma once

#include <dirent.h>

#include <string>

// DT_REG, DT_DIR, DT_LNK, another DT_* value, or DT_UNKNOWN when even lstat fails.
// strPath is the entry's full path.
unsigned char entryType(const struct dirent *entry, const std::string &strPath);

// Test aid: while set, every entry reads as DT_UNKNOWN from readdir, as on the
// file systems above.
void setEntryTypesUnknown(bool bUnknown);
