// cache_rules.h - which Cache-Control rule of the rules file an upload takes.
#pragma once

#include "settings.h"

#include <string>
#include <vector>

// True when the one pattern (gitignore line syntax, "!" an ordinary byte)
// matches the file key or one of its folders.
bool matchesPattern(const std::string &strPattern, const std::string &strKey);

// The first rule whose pattern matches key, or nullptr.
const CacheRule *findCacheRule(const std::vector<CacheRule> &rules, const std::string &key);
