// cache_rules.h - which Cache-Control rule of the rules file an upload takes.
#pragma once

#include <string>
#include <vector>

// One rule of the rules file: the first whose pattern matches a key gives that
// object's headers, each "" for the default (no Cache-Control, the content
// type of the extension, the bytes sent as they are).
struct CacheRule {
    std::string strMatch;           // gitignore-style pattern over the key ("assets/**")
    std::string strCacheControl;    // the Cache-Control value
    std::string strContentType = "";     // the Content-Type value
    std::string strContentEncoding = ""; // "gzip" or "br": the file is sent compressed so
    // (the later fields have defaults, so { match, cache_control } stays a whole rule)
};

// True when the one pattern (gitignore line syntax, "!" an ordinary byte)
// matches the file key or one of its folders.
bool matchesPattern(const std::string &strPattern, const std::string &strKey);

// The first rule whose pattern matches key, or nullptr.
const CacheRule *findCacheRule(const std::vector<CacheRule> &rules, const std::string &key);
