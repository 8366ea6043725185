// ignore.h - ".sitemirrorignore": files of the site tree left out of both the
// mirror run and the index page, in gitignore syntax; and the same matcher for
// the Cache-Control rules of the rules file.
#pragma once

#include "settings.h"

#include <string>
#include <vector>

// The ignore file's name, in the site root. The file itself is always left out.
extern const char *const kIgnoreFileName;

// One line of an ignore file, parsed.
struct IgnoreRule {
    std::string strGlob;  // matched against the whole relative path ("**/" added when unanchored)
    bool bNegate = false; // "!": re-includes what an earlier line left out
    bool bDirOnly = false; // a trailing "/": matches folders only
};

class IgnoreRules {
public:
    // Adds the rules of one text in gitignore syntax: "#" comments, blank
    // lines, "*", "?", "**", a trailing "/", a leading or inner "/" anchoring
    // the pattern to the root, "!" re-including, "\" escaping the next byte.
    void parse(const std::string &strText);

    // True when strRel (path below the root, no leading "/") is left out;
    // bDir tells whether it names a folder. The last matching line decides.
    bool isIgnored(const std::string &strRel, bool bDir) const;

    bool empty() const { return rules.empty(); }
    std::vector<IgnoreRule> rules;
};

// Reads strRoot + "/.sitemirrorignore" into rules. No file: true, no rules.
// False, after one line on standard error naming the file, when it exists but
// cannot be read.
bool loadIgnoreFile(const std::string &strRoot, IgnoreRules &rules);

// True when the one pattern (gitignore line syntax, "!" not special) matches
// the file key or one of its folders.
bool matchesPattern(const std::string &strPattern, const std::string &strKey);

// The first rule whose pattern matches key, or nullptr.
const CacheRule *findCacheRule(const std::vector<CacheRule> &rules, const std::string &key);
