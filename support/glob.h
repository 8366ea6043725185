// glob.h - gitignore patterns as git reads them: one line parsed into a
// pattern, and the wildcard match of a pattern against a path in time
// proportional to pattern length times path length.
#pragma once

#include <string>

// True when strText matches the wildcard pattern strPattern as git matches
// ignore patterns: "*" and "?" never match "/", "[...]" is a bracket
// expression ("!" or "^" negates, ranges, POSIX classes such as [:alpha:];
// never matches "/"), "\" takes the next byte literally. A run of two or more
// "*" that stands alone between slashes (or at either end) crosses folders,
// "**/" also matching no folder at all; any other run is a plain "*". A
// pattern with an unterminated bracket or a trailing "\" matches nothing.
bool wildMatch(const std::string &strPattern, const std::string &strText);

// One line of an ignore file, parsed.
struct GlobPattern {
    std::string strPattern; // without the "!", the leading and the trailing "/"
    bool bNegate = false;   // "!": re-includes what an earlier line left out
    bool bDirOnly = false;  // a trailing "/": matches folders only
    bool bBaseName = false; // no "/" in the line: matched against the last component
};

// Parses one line (a trailing CR is dropped): false for blank lines, comments
// and lines left empty. Trailing blanks go unless a "\" escapes them. With
// bNegation false, a leading "!" is an ordinary byte.
bool parseGlobLine(const std::string &strLine, bool bNegation, GlobPattern &pattern);

// True when pattern matches strRel, a path below the folder the pattern was
// written for (no leading "/"); bDir tells whether strRel names a folder. The
// "!" flag is the caller's to apply.
bool globMatches(const GlobPattern &pattern, const std::string &strRel, bool bDir);
