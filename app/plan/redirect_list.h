// redirect_list.h - moved pages: each redirect is a zero-byte object whose
// x-amz-website-redirect-location the bucket's website answers with a 301.
// Where they come from (the rules file, the site root's _redirects) and the
// key each is stored at.
#pragma once

#include <string>
#include <vector>

// One redirect as written.
struct Redirect {
    std::string strFrom;  // "/old/" or "/a.html"
    std::string strTo;    // "/new/" or "https://elsewhere.example/a"
    std::string strKey;   // where it is stored, below the site root ("old/index.html")
    std::string strWhere; // where it was written, for messages ("FILE:LINE")
};

// The file at the site root that holds redirects in the common form.
extern const char *const pszRedirectsFile;

// The key a redirect from strFrom is stored at: a from ending in "/" at that
// folder's index document (strIndex), any other at its own key. False (with
// why) for a from that is not a path beginning with "/" or that names no
// key a store takes.
bool redirectKeyFor(const std::string &strFrom, const std::string &strIndex, std::string &strKey,
                    std::string &strWhy);
// True for a target S3 can send: a path beginning with "/" or an absolute
// http(s) address, one line, no blanks.
bool isRedirectTarget(const std::string &strTo);

// Reads _redirects text (the file named strName): "FROM TO [301]" a line,
// blank lines and "#" comments. False at the first line S3 cannot express,
// with "NAME:LINE: why" in strError.
bool parseRedirectsFile(const std::string &strText, const std::string &strName, const std::string &strIndex,
                        std::vector<Redirect> &out, std::string &strError);

// The run's redirects: the rules file's (rules, keys already set) and those
// of the root's _redirects, when there is one. False with one line when the
// file cannot be read or parsed, when two redirects share a key, or when a
// redirect's key is also a file of the site (strRoot ends in "/").
bool loadRedirects(const std::vector<Redirect> &rules, const std::string &strRoot,
                   const std::string &strIndex, std::vector<Redirect> &out, std::string &strError);

