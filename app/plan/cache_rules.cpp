// cache_rules.cpp - Cache-Control rules matched with the ignore files' matcher:
// a rule fits a key when its pattern names the file or one of its folders.
#include "cache_rules.h"

#include "glob.h"

bool matchesPattern(const std::string &strPattern, const std::string &strKey)
{
    GlobPattern pattern;
    if (!parseGlobLine(strPattern, false, pattern))
        return false;
    if (globMatches(pattern, strKey, false))
        return true;
    for (std::size_t pos = strKey.find('/'); pos != std::string::npos; pos = strKey.find('/', pos + 1))
        if (globMatches(pattern, strKey.substr(0, pos), true))
            return true;
    return false;
}

const CacheRule *findCacheRule(const std::vector<CacheRule> &rules, const std::string &key)
{
    for (const CacheRule &rule : rules)
        if (matchesPattern(rule.strMatch, key))
            return &rule;
    return nullptr;
}
