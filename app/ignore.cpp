// ignore.cpp - gitignore-style patterns.
#include "ignore.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

const char *const kIgnoreFileName = ".sitemirrorignore";

// Glob match over a whole path: "*" and "?" stop at "/", "**" crosses folders,
// "**/" also matches no folder at all, "\" takes the next byte literally.
static bool globMatch(const char *p, const char *s)
{
    while (*p != '\0') {
        if (p[0] == '*' && p[1] == '*') {
            if (p[2] == '/') {
                const char *pRest = p + 3;
                if (globMatch(pRest, s))
                    return true;
                for (const char *q = s; *q != '\0'; ++q)
                    if (*q == '/' && globMatch(pRest, q + 1))
                        return true;
                return false;
            }
            const char *pRest = p + 2;
            for (const char *q = s;; ++q) {
                if (globMatch(pRest, q))
                    return true;
                if (*q == '\0')
                    return false;
            }
        }
        if (*p == '*') {
            for (const char *q = s;; ++q) {
                if (globMatch(p + 1, q))
                    return true;
                if (*q == '\0' || *q == '/')
                    return false;
            }
        }
        if (*p == '?') {
            if (*s == '\0' || *s == '/')
                return false;
            ++p;
            ++s;
            continue;
        }
        if (*p == '\\' && p[1] != '\0')
            ++p;
        if (*p != *s)
            return false;
        ++p;
        ++s;
    }
    return *s == '\0';
}

// Parses one line; false for blank lines and comments.
static bool parseLine(std::string strLine, bool bNegation, IgnoreRule &rule)
{
    if (!strLine.empty() && strLine.back() == '\r')
        strLine.pop_back();
    // Trailing blanks go unless escaped.
    while (!strLine.empty() && strLine.back() == ' ' &&
           !(strLine.size() >= 2 && strLine[strLine.size() - 2] == '\\'))
        strLine.pop_back();
    if (strLine.empty() || strLine[0] == '#')
        return false;
    rule = IgnoreRule();
    if (bNegation && strLine[0] == '!') {
        rule.bNegate = true;
        strLine.erase(0, 1);
    }
    if (strLine.size() > 1 && strLine.back() == '/' && strLine[strLine.size() - 2] != '\\') {
        rule.bDirOnly = true;
        strLine.pop_back();
    }
    if (strLine.empty() || strLine == "/")
        return false;
    bool bAnchored = false;
    for (std::size_t i = 0; i < strLine.size(); ++i) {
        if (strLine[i] == '\\') {
            ++i;
        } else if (strLine[i] == '/') {
            bAnchored = true;
            break;
        }
    }
    if (strLine[0] == '/')
        strLine.erase(0, 1);
    rule.strGlob = bAnchored || strLine.compare(0, 3, "**/") == 0 ? strLine : "**/" + strLine;
    return true;
}

static bool ruleMatches(const IgnoreRule &rule, const std::string &strRel, bool bDir)
{
    if (rule.bDirOnly && !bDir)
        return false;
    return globMatch(rule.strGlob.c_str(), strRel.c_str());
}

void IgnoreRules::parse(const std::string &strText)
{
    std::istringstream in(strText);
    std::string strLine;
    while (std::getline(in, strLine)) {
        IgnoreRule rule;
        if (parseLine(strLine, true, rule))
            rules.push_back(rule);
    }
}

bool IgnoreRules::isIgnored(const std::string &strRel, bool bDir) const
{
    bool bIgnored = false;
    for (const IgnoreRule &rule : rules)
        if (rule.bNegate == bIgnored && ruleMatches(rule, strRel, bDir))
            bIgnored = !rule.bNegate;
    return bIgnored;
}

bool loadIgnoreFile(const std::string &strRoot, IgnoreRules &rules)
{
    const std::string strFile = strRoot + "/" + kIgnoreFileName;
    std::ifstream in(strFile, std::ios::binary);
    if (!in) {
        if (errno == ENOENT)
            return true;
        std::fprintf(stderr, "cannot read ignore file: %s: %s\n", strFile.c_str(), std::strerror(errno));
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        std::fprintf(stderr, "cannot read ignore file: %s\n", strFile.c_str());
        return false;
    }
    rules.parse(text.str());
    return true;
}

bool matchesPattern(const std::string &strPattern, const std::string &strKey)
{
    IgnoreRule rule;
    if (!parseLine(strPattern, false, rule))
        return false;
    if (ruleMatches(rule, strKey, false))
        return true;
    for (std::size_t pos = strKey.find('/'); pos != std::string::npos; pos = strKey.find('/', pos + 1))
        if (ruleMatches(rule, strKey.substr(0, pos), true))
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
