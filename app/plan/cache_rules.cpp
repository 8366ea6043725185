// cache_rules.cpp - Cache-Control rules matched with the ignore files' matcher:
// a rule fits a key when its pattern names the file or one of its folders.
#include "cache_rules.h"

#include <cstdio>
#include <ctime>

#include "glob.h"

namespace {

struct NamedAcl {
    const char *pszName;
    S3CannedAcl acl;
};
const NamedAcl kCannedAcls[] = {
    {"private", S3CannedAclPrivate},
    {"public-read", S3CannedAclPublicRead},
    {"public-read-write", S3CannedAclPublicReadWrite},
    {"authenticated-read", S3CannedAclAuthenticatedRead},
    {"bucket-owner-read", S3CannedAclBucketOwnerRead},
    {"bucket-owner-full-control", S3CannedAclBucketOwnerFullControl},
    {"aws-exec-read", S3CannedAclAwsExecRead},
};

const char *const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

} // namespace

bool cannedAclByName(const std::string &strName, S3CannedAcl &acl)
{
    for (const NamedAcl &named : kCannedAcls) {
        if (strName == named.pszName) {
            acl = named.acl;
            return true;
        }
    }
    return false;
}

const char *cannedAclName(S3CannedAcl acl)
{
    for (const NamedAcl &named : kCannedAcls) {
        if (named.acl == acl)
            return named.pszName;
    }
    return "private";
}

std::string cannedAclNames()
{
    std::string strNames;
    for (const NamedAcl &named : kCannedAcls)
        strNames += std::string(strNames.empty() ? "" : ", ") + named.pszName;
    return strNames;
}

bool isMetadataName(const std::string &strName)
{
    if (strName.empty() || strName == "md5" || strName[0] == '-' || strName[0] == '_')
        return false;
    for (char c : strName) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            return false;
    }
    return true;
}

bool parseHttpDate(const std::string &strText, int64_t &t)
{
    // IMF-fixdate only, the form every HTTP/1.1 sender writes.
    char szDay[4] = {0};
    char szMonth[4] = {0};
    char szZone[4] = {0};
    int nDay = 0, nYear = 0, nHour = 0, nMinute = 0, nSecond = 0, nUsed = 0;
    if (strText.size() != 29 ||
        std::sscanf(strText.c_str(), "%3s, %2d %3s %4d %2d:%2d:%2d %3s%n", szDay, &nDay, szMonth, &nYear,
                    &nHour, &nMinute, &nSecond, szZone, &nUsed) != 8 ||
        nUsed != 29 || std::string(szZone) != "GMT" || strText[3] != ',')
        return false;
    int nMonth = -1;
    for (int i = 0; i < 12; ++i) {
        if (std::string(szMonth) == kMonthNames[i])
            nMonth = i;
    }
    if (nMonth < 0 || nDay < 1 || nDay > 31 || nYear < 1970 || nHour > 23 || nMinute > 59 ||
        nSecond > 60)
        return false;
    struct tm stm = {};
    stm.tm_year = nYear - 1900;
    stm.tm_mon = nMonth;
    stm.tm_mday = nDay;
    stm.tm_hour = nHour;
    stm.tm_min = nMinute;
    stm.tm_sec = nSecond;
    const time_t tt = timegm(&stm);
    // A day the month does not have, or a weekday that is not the date's.
    struct tm back = {};
    if (tt < 0 || !gmtime_r(&tt, &back) || back.tm_mday != nDay ||
        std::string(szDay + 0, 3).compare(0, 3, kDayNames[back.tm_wday]) != 0)
        return false;
    t = static_cast<int64_t>(tt);
    return true;
}

std::string httpDateText(int64_t t)
{
    const time_t tt = static_cast<time_t>(t);
    struct tm stm = {};
    if (!gmtime_r(&tt, &stm))
        return "";
    char sz[64];
    std::snprintf(sz, sizeof sz, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDayNames[stm.tm_wday],
                  stm.tm_mday, kMonthNames[stm.tm_mon], stm.tm_year + 1900, stm.tm_hour, stm.tm_min,
                  stm.tm_sec);
    return sz;
}

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
