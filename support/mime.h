// Content types of uploaded files, chosen from the file name's extension.
//
// The table pairs lower-case extensions (with their leading full stop) with the
// content type the site serves for them. Lookups ignore the case of ASCII
// letters; an extension listed more than once takes the type of its first row.
// Anything not in the table is sent as "application/octet-stream".
#ifndef SITEMIRROR_SUPPORT_MIME_H
#define SITEMIRROR_SUPPORT_MIME_H

#include <cstddef>
#include <string>

// One row of the fixed table. Both texts are static constants.
struct MimeTypeMap {
    const char *ext;   // ".html": leading full stop, lower case
    const char *type;  // "text/html"
};

// Ordering of the lookup map: StringManager::icompare(a, b) < 0, so keys that
// differ only in the case of ASCII letters are the same entry.
struct MimeMapComp {
    bool operator()(const std::string &a, const std::string &b) const;
};

// The fixed table in lookup order (first row of an extension wins).
extern const MimeTypeMap mimeTypeMap[];
extern const std::size_t mimeTypeMapSize;

// The content type used when the extension is missing or unknown.
extern const char *const kDefaultContentType;  // "application/octet-stream"

// Content type for a file name or full path: the text from the last full stop
// of the whole path to its end is the key. Never fails. Safe to call from
// several threads (the lookup map is built once, on first use).
std::string getFileContentType(const std::string &fileName);

// Number of distinct extensions the lookup knows (rows that take effect).
std::size_t mimeTypeCount();

#endif  // SITEMIRROR_SUPPORT_MIME_H
