// myListTool.h - the site index page: walks the site tree and writes
// "fileLists.html" into its root, a numbered table of every listed file sorted
// by relative path, each row linking to the file's public address.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>

namespace siteindex {
// The site's public base address when none is given.
extern const char *const defaultSiteAddress;

// Tells whether a path below the root (no leading "/") is left off the page;
// the flag says whether it names a folder (a folder left off is not entered).
typedef std::function<bool(const std::string &strRel, bool bDir)> PathFilter;
} // namespace siteindex

// Writes the index page of the site tree at srcPath (relative, with or without
// a trailing "/", through symbolic links: it is resolved first). strPrefix is
// the site's public base address, scheme and host; trailing "/"s are dropped.
// Symbolic links and special files met on the way are reported on standard
// output and left out, as are the files the mirror stores private (every path
// below the root beginning with "personal") and files no store can take
// under their path (not UTF-8, or over 1024 bytes; the scan names them).
// Temporary pages left by a killed run are removed first. Returns false, after one line on
// standard output, when the root cannot be resolved or the page cannot be
// written; true otherwise.
bool myListTool(const std::string &srcPath, const std::string &strPrefix = siteindex::defaultSiteAddress);

// The same, leaving off also what isIgnored names.
bool myListTool(const std::string &srcPath, const std::string &strPrefix,
                const siteindex::PathFilter &isIgnored);

namespace siteindex {

// Relative path + size tag ("/docs/a.txt[3K]") -> public address. std::string
// compares as unsigned bytes, a proper prefix first; equal keys may coexist.
typedef std::multimap<std::string, std::string> StringMap;

// Name of the page, written into the root of the tree.
extern const char *const targetFileName;

// The fixed texts of the page, in the order in which they are written.
extern const char *const header1;
extern const char *const header2;
extern const char *const header3;
extern const char *const tableHeader1;
extern const char *const tableHeader2;
extern const char *const comment1; // followed by the site address
extern const char *const comment2; // ends with a newline of its own
extern const char *const tableColumn1;
extern const char *const tableColumn2;
extern const char *const tableColumn3;
extern const char *const tableColumn4;
extern const char *const tableColumn5;
extern const char *const bottom;

// Lists the directory strRootPath + "/" + strRelativePath into stringMap and
// descends into its sub-directories, depth first. strUrl is the directory's
// public address (the bare site address for the root), strRelativePath its
// path below the root ("" for the root, then "/sub", "/sub/deeper"). A
// directory that cannot be opened is left out silently with all below it.
// Entries whose type readdir leaves unknown are asked with lstat. Files whose
// path cannot be a key are left out.
void doDir(const std::string &strRootPath, const std::string &strUrl,
           const std::string &strRelativePath, StringMap &stringMap);
void doDir(const std::string &strRootPath, const std::string &strUrl,
           const std::string &strRelativePath, StringMap &stringMap, const PathFilter &isIgnored);

// Receives the page's rows: the key (relative path + size tag) and the
// public address.
typedef std::function<void(const std::string &strKey, const std::string &strUrl)> RowSink;

// The walk of doDir with each row given to sink as it is found, in the
// page's order (the order of the keys as unsigned bytes): each folder's
// entries are sorted, a file by its name and size tag, a folder as its name
// followed by "/". Holds only the entries of the folders on the way down.
void walkRows(const std::string &strRootPath, const std::string &strUrl, const std::string &strRelativePath,
              const PathFilter &isIgnored, const RowSink &sink);

// Adds one row: key strRelativePath + strFileSizeStr, value strUrl.
void doFile(StringMap &stringMap, const std::string &strUrl, const std::string &strRelativePath,
            const std::string &strFileSizeStr);

// Percent-encodes one path component: letters, digits and !"'()*-./_~ stay,
// every other byte becomes %XX (upper-case hex).
std::string urlEncode(const std::string &str);

// Size in bytes of the file at the path (links followed); 0 when its status
// cannot be read.
uint64_t getFileSize(const std::string &subFilePath);

// The size tag: "[1023B]", "[1K]", "[17M]", "[5120G]" (whole units, rounded down).
std::string getFileSizeStr(uint64_t size);

// Escapes & < > " for HTML text and attribute values.
std::string htmlEscape(const std::string &str);

// The name shown for a row: the key's last component without its size tag.
std::string displayName(const std::string &strKey);

// Writes the page to an open stream row by row: the head when made, then
// each row, then (end) the foot; end is false on a write error.
class PageWriter {
public:
    PageWriter(FILE *out, const std::string &strPrefix);
    void row(const std::string &strKey, const std::string &strUrl);
    bool end();

private:
    FILE *out;
    int32_t iRow = 0;
};

// Writes the whole page for stringMap to an open stream; false on a write error.
bool writePage(FILE *out, const StringMap &stringMap, const std::string &strPrefix);

// Writes the page to strSrcPath + "/" + strFileName, replacing an earlier one:
// it is written to a temporary file in strSrcPath and renamed over that name,
// so a hard link there is replaced, not written through, and no reader sees a
// half-written page; a SIGINT, SIGTERM or SIGHUP while it is written removes
// the temporary file. Refuses (false, nothing written) when that name is a
// symbolic link or anything but a regular file. False also when the page
// cannot be written in full or renamed (the temporary file is removed).
bool output2File(const StringMap &stringMap, const std::string &strSrcPath,
                 const std::string &strFileName, const std::string &strPrefix);
// The same with the rows given by rows as it goes (to the sink it is
// handed), so the page is written as they come. rows is called once in any
// case (with a sink that drops them when the page cannot be written), so
// what the walk reports is reported whether or not the page is written.
bool writePageFile(const std::string &strSrcPath, const std::string &strFileName, const std::string &strPrefix,
                   const std::function<void(const RowSink &sink)> &rows);

// True when strName is that of a temporary page (".fileLists.html.XXXXXX"):
// one being written, or one left by a run that was killed outright.
bool isPageTemporary(const std::string &strName);

// Writes the bytes of str to out unchanged.
void outputString(FILE *out, const std::string &str);

} // namespace siteindex
