// cache_rules.h - which Cache-Control rule of the rules file an upload takes.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "s3client.h"

// One rule of the rules file: the first whose pattern matches a key gives that
// object's headers, each "" for the default (no Cache-Control, the content
// type of the extension, the bytes sent as they are).
struct CacheRule {
    std::string strMatch;           // gitignore-style pattern over the key ("assets/**")
    std::string strCacheControl;    // the Cache-Control value
    std::string strContentType = "";     // the Content-Type value
    std::string strContentEncoding = ""; // "gzip" or "br": the file is sent compressed so
    // (the later fields have defaults, so { match, cache_control } stays a whole rule)
    std::string strContentDisposition = ""; // the whole Content-Disposition value
    std::string strContentLanguage = "";    // the Content-Language value
    int64_t expires = -1;                   // the Expires time (seconds since 1970); -1: none
    // x-amz-meta-NAME headers, by NAME (lower case, checked when read).
    std::vector<std::pair<std::string, std::string>> metadata = {};
    std::string strStorageClass = "";       // the class in place of the setting's; "none": none
    std::string strAcl = "";                // a canned ACL name in place of the setting's
};

// The canned ACLs a rule or SITEMIRROR_ACL may name, with the client's value
// of each; false for any other name.
bool cannedAclByName(const std::string &strName, S3CannedAcl &acl);
// The name of a canned ACL ("private", "public-read", ...).
const char *cannedAclName(S3CannedAcl acl);
// The names cannedAclByName takes, for messages: "private, public-read, ...".
std::string cannedAclNames();

// True when strName may follow "x-amz-meta-": lower-case letters, digits,
// "-" and "_", starting with a letter or digit, and not "md5" (the tool's own).
bool isMetadataName(const std::string &strName);

// An HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT") as seconds since 1970; false
// for anything else.
bool parseHttpDate(const std::string &strText, int64_t &t);
// The HTTP date of t, as the client sends it.
std::string httpDateText(int64_t t);

// True when the one pattern (gitignore line syntax, "!" an ordinary byte)
// matches the file key or one of its folders.
bool matchesPattern(const std::string &strPattern, const std::string &strKey);

// The first rule whose pattern matches key, or nullptr.
const CacheRule *findCacheRule(const std::vector<CacheRule> &rules, const std::string &key);
