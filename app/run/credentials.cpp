// credentials.cpp - the credential sources of a run, in their order: key
// file, environment, shared credentials file.
#include "credentials.h"

#include <sys/stat.h>

#include <ini.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "console.h"
#include "credential_sources.h"

namespace {

// A key file is two short lines; anything much larger is not one.
constexpr std::size_t kMaxKeyFileSize = 4096;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string trimmed(const std::string &str)
{
    std::size_t b = 0, e = str.size();
    while (b < e && isBlank(str[b]))
        ++b;
    while (e > b && isBlank(str[e - 1]))
        --e;
    return str.substr(b, e - b);
}

} // namespace

bool readCredentials(const std::string &strPath, Credentials &creds, std::string &strError)
{
    struct stat st;
    if (stat(strPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        strError = "cannot read key file: " + strPath + " (a folder)";
        return false;
    }
    std::FILE *fp = std::fopen(strPath.c_str(), "rb");
    if (!fp) {
        strError = "cannot read key file: " + strPath + " (" + std::strerror(errno) + ")";
        return false;
    }
    std::string strContent;
    char buf[1024];
    std::size_t n;
    bool bReadError = false;
    while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) {
        strContent.append(buf, n);
        if (strContent.size() > kMaxKeyFileSize)
            break;
    }
    bReadError = std::ferror(fp) != 0;
    std::fclose(fp);
    if (bReadError) {
        strError = "cannot read key file: " + strPath;
        return false;
    }
    if (strContent.size() > kMaxKeyFileSize) {
        strError = "key file is too large to hold two keys: " + strPath;
        return false;
    }
    if (strContent.compare(0, 3, "\xEF\xBB\xBF") == 0)
        strContent.erase(0, 3);
    for (char c : strContent) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 && c != '\n' && c != '\r' && c != '\t') {
            strError = "key file is not text: " + strPath;
            return false;
        }
    }

    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= strContent.size()) {
        std::size_t end = strContent.find('\n', start);
        if (end == std::string::npos)
            end = strContent.size();
        std::string strLine = trimmed(strContent.substr(start, end - start));
        if (!(lines.empty() && strLine.empty()))
            lines.push_back(strLine);
        start = end + 1;
    }
    if (lines.empty() || lines[0].empty()) {
        strError = "key file is empty: " + strPath;
        return false;
    }
    if (lines.size() < 2 || lines[1].empty()) {
        strError = "key file holds no secret access key on its second line: " + strPath;
        return false;
    }
    if (lines[0].size() > kMaxAccessKeyIdSize) {
        strError = "key file holds a access key id longer than " +
                   std::to_string(kMaxAccessKeyIdSize) + " bytes: " + strPath;
        return false;
    }
    if (lines[1].size() > kMaxSecretAccessKeySize) {
        strError = "key file holds a secret access key longer than " +
                   std::to_string(kMaxSecretAccessKeySize) + " bytes: " + strPath;
        return false;
    }
    creds.strAccessKeyId = lines[0];
    creds.strSecretAccessKey = lines[1];
    return true;
}

namespace {

// A variable's value; null when it is unset or empty.
const char *setVar(const char *(*getVar)(const char *), const char *pszName)
{
    const char *pszValue = getVar(pszName);
    return pszValue && *pszValue ? pszValue : nullptr;
}

bool hasControlByte(const std::string &str)
{
    for (unsigned char c : str) {
        if (c < 0x20 || c == 0x7f)
            return true;
    }
    return false;
}

// Why a key, secret or token cannot be signed with, or "" when it can.
std::string unusable(const std::string &strValue, std::size_t maxSize)
{
    if (strValue.size() > maxSize)
        return "is longer than " + std::to_string(maxSize) + " bytes";
    if (hasControlByte(strValue))
        return "holds a control character";
    return "";
}

// The path as one word of a shell command line.
std::string shellWord(const std::string &strPath)
{
    bool bPlain = !strPath.empty();
    for (unsigned char c : strPath) {
        if (!std::isalnum(c) && std::strchr("/._-+@%,:=", c) == nullptr)
            bPlain = false;
    }
    if (bPlain)
        return strPath;
    std::string strWord = "'";
    for (char c : strPath)
        strWord += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return strWord + "'";
}

// The sections of one INI file, as inih hands them over.
struct IniProfile {
    std::string strWanted;
    bool bFound = false;
    std::map<std::string, std::string> values; // lower-cased key -> value
    std::vector<std::string> longValues;       // values set aside (shortenLongLines)
};

// What stands in a shortened line for the value longValues[N]: "\x01" N.
const char kLongValueMark = '\x01';

int onIniValue(void *user, const char *pszSection, const char *pszName, const char *pszValue)
{
    IniProfile *profile = static_cast<IniProfile *>(user);
    if (profile->strWanted != pszSection)
        return 1;
    profile->bFound = true;
    std::string strName = pszName;
    for (char &c : strName)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string strValue = pszValue;
    if (!strValue.empty() && strValue[0] == kLongValueMark)
        strValue = profile->longValues.at(std::stoul(strValue.substr(1)));
    profile->values[strName] = strValue;
    return 1;
}

// inih as built reads lines of at most 200 bytes and takes the rest of a
// longer one for a line of its own, so a session token (1,000 bytes and
// more) would be refused with a line the file does not have. Each long
// "name = value" line has its value set aside and a short mark put in its
// place, trimmed and with an inline "; comment" cut as inih does; the lines
// keep their numbers.
constexpr std::size_t kShortLine = 120;

std::string shortenLongLines(const std::string &strText, std::vector<std::string> &longValues)
{
    std::string strOut;
    std::size_t pos = 0;
    while (pos < strText.size()) {
        std::size_t end = strText.find('\n', pos);
        if (end == std::string::npos)
            end = strText.size();
        std::string strLine = strText.substr(pos, end - pos);
        pos = end + 1;
        const std::size_t sep = strLine.find_first_of("=:");
        const std::size_t first = strLine.find_first_not_of(" \t");
        const bool bPair = sep != std::string::npos && first != std::string::npos &&
                           std::strchr(";#[", strLine[first]) == nullptr;
        // A value holding the mark itself is set aside too, so every mark is ours.
        if (bPair && (strLine.size() > kShortLine || strLine.find(kLongValueMark) != std::string::npos)) {
            std::string strValue = strLine.substr(sep + 1);
            for (std::size_t i = 1; i < strValue.size(); ++i)
                if (strValue[i] == ';' && std::isspace(static_cast<unsigned char>(strValue[i - 1]))) {
                    strValue.erase(i);
                    break;
                }
            const std::size_t from = strValue.find_first_not_of(" \t\r\f\v");
            const std::size_t to = strValue.find_last_not_of(" \t\r\f\v");
            strValue = from == std::string::npos ? "" : strValue.substr(from, to - from + 1);
            strLine = strLine.substr(0, sep + 1) + " " + kLongValueMark +
                      std::to_string(longValues.size());
            longValues.push_back(strValue);
        }
        strOut += strLine;
        strOut += '\n';
    }
    return strOut;
}

} // namespace

ProfileResult readProfile(const std::string &strPath, const std::string &strProfile,
                          Credentials &creds, std::string &strError)
{
    const std::string strFile = consoleText(strPath);
    switch (inspectIniFile(strPath, "credentials file", strError)) {
    case IniFileKind::Missing:
        return ProfileNoFile;
    case IniFileKind::Device:
        return ProfileNotInFile;
    case IniFileKind::Refused:
        return ProfileUnusable;
    case IniFileKind::Regular:
        break;
    }
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream text;
    if (!in) {
        strError = "cannot read credentials file: " + strFile + " (" + std::strerror(errno) + ")";
        return ProfileUnusable;
    }
    text << in.rdbuf();
    if (in.bad()) {
        strError = "cannot read credentials file: " + strFile;
        return ProfileUnusable;
    }
    IniProfile profile;
    profile.strWanted = strProfile;
    const int nResult =
        ini_parse_string(shortenLongLines(text.str(), profile.longValues).c_str(), onIniValue, &profile);
    if (nResult != 0) {
        strError = nResult > 0 ? strFile + ":" + std::to_string(nResult) +
                                     ": not a line of a credentials file ([profile] or name = value)"
                               : "cannot read credentials file: " + strFile;
        return ProfileUnusable;
    }
    if (!profile.bFound)
        return ProfileNotInFile;

    const std::string strWhere = "profile [" + consoleText(strProfile) + "] in " + strFile;
    Credentials read;
    const struct {
        const char *pszKey;
        std::string *pstrValue;
        std::size_t maxSize;
        bool bNeeded;
    } fields[] = {
        {"aws_access_key_id", &read.strAccessKeyId, kMaxAccessKeyIdSize, true},
        {"aws_secret_access_key", &read.strSecretAccessKey, kMaxSecretAccessKeySize, true},
        {"aws_session_token", &read.strSessionToken, kMaxSessionTokenSize, false},
    };
    for (const auto &field : fields) {
        const auto it = profile.values.find(field.pszKey);
        if (it == profile.values.end() || it->second.empty()) {
            if (!field.bNeeded)
                continue;
            strError = strWhere + " has no " + field.pszKey;
            return ProfileUnusable;
        }
        const std::string strWhy = unusable(it->second, field.maxSize);
        if (!strWhy.empty()) {
            strError = strWhere + ": " + field.pszKey + " " + strWhy;
            return ProfileUnusable;
        }
        *field.pstrValue = it->second;
    }
    creds = read;
    return ProfileFound;
}

std::string permissionWarning(const char *pszWhat, const std::string &strPath)
{
    struct stat st;
    if (stat(strPath.c_str(), &st) != 0 || (st.st_mode & (S_IRGRP | S_IROTH)) == 0)
        return "";
    char szMode[8];
    std::snprintf(szMode, sizeof szMode, "%03o", static_cast<unsigned>(st.st_mode & 0777));
    return std::string("warning: ") + pszWhat + " " + consoleText(strPath) +
           " is readable by group or others (mode " + szMode +
           "); to fix: chmod go-rwx " + consoleText(shellWord(strPath));
}

namespace {

// The sources of temporary keys, for the profile the variables name.
SourceLookup findTemporarySource(const char *(*getVar)(const char *), const std::string &strShared,
                                 const CredentialOptions &options, bool bProfileOnly,
                                 CredentialLookup &lookup, std::string &strLooked)
{
    SourceSettings settings;
    settings.getVar = getVar;
    settings.config = readAwsConfig(getVar);
    settings.strCredentialsFile = strShared;
    settings.strCaFile = options.strCaFile;
    settings.bInstanceMetadata = options.bInstanceMetadata;
    std::unique_ptr<CredentialSource> source;
    const SourceLookup result =
        findCredentialSource(settings, bProfileOnly, source, lookup.strError, strLooked);
    if (result == SourceFound) {
        lookup.strSource = source->name();
        lookup.strPlace = lookup.strSource;
        lookup.source = std::move(source);
    }
    return result;
}

} // namespace

bool findCredentials(const std::string &strKeyFile, bool bKeyFileNamed,
                     const char *(*getVar)(const char *name), CredentialLookup &lookup,
                     const CredentialOptions &options)
{
    lookup = CredentialLookup();
    auto fromKeyFile = [&](const char *pszWhy) {
        if (!readCredentials(strKeyFile, lookup.creds, lookup.strError))
            return false;
        lookup.strSource = "key file " + consoleText(strKeyFile) + pszWhy;
        lookup.strPlace = strKeyFile;
        const std::string strWarning = permissionWarning("key file", strKeyFile);
        if (!strWarning.empty())
            lookup.warnings.push_back(strWarning);
        return true;
    };
    if (bKeyFileNamed)
        return fromKeyFile(" (SITEMIRROR_KEY_FILE)");

    // What CI runners with short-lived role credentials set.
    const char *pszId = setVar(getVar, "AWS_ACCESS_KEY_ID");
    const char *pszSecret = setVar(getVar, "AWS_SECRET_ACCESS_KEY");
    const char *pszToken = setVar(getVar, "AWS_SESSION_TOKEN");
    if (pszId || pszSecret || pszToken) {
        if (!pszId || !pszSecret) {
            std::string strMissing = !pszId && !pszSecret ? "AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY"
                                     : !pszId            ? "AWS_ACCESS_KEY_ID"
                                                         : "AWS_SECRET_ACCESS_KEY";
            std::string strSet = pszId ? "AWS_ACCESS_KEY_ID" : pszSecret ? "AWS_SECRET_ACCESS_KEY"
                                                                         : "AWS_SESSION_TOKEN";
            lookup.strError = "credentials: " + strSet + " is set in the environment but " +
                              strMissing + (!pszId && !pszSecret ? " are" : " is") + " not";
            return false;
        }
        const struct {
            const char *pszName;
            const char *pszValue;
            std::size_t maxSize;
        } vars[] = {{"AWS_ACCESS_KEY_ID", pszId, kMaxAccessKeyIdSize},
                    {"AWS_SECRET_ACCESS_KEY", pszSecret, kMaxSecretAccessKeySize},
                    {"AWS_SESSION_TOKEN", pszToken ? pszToken : "", kMaxSessionTokenSize}};
        for (const auto &v : vars) {
            const std::string strWhy = unusable(v.pszValue, v.maxSize);
            if (!strWhy.empty()) {
                lookup.strError = std::string("credentials: ") + v.pszName + " " + strWhy;
                return false;
            }
        }
        lookup.creds.strAccessKeyId = pszId;
        lookup.creds.strSecretAccessKey = pszSecret;
        lookup.creds.strSessionToken = pszToken ? pszToken : "";
        lookup.strSource = std::string("environment (AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY") +
                           (pszToken ? ", AWS_SESSION_TOKEN)" : ")");
        lookup.strPlace = lookup.strSource;
        return true;
    }

    std::string strShared;
    if (const char *pszShared = setVar(getVar, "AWS_SHARED_CREDENTIALS_FILE"))
        strShared = pszShared;
    else if (const char *pszHome = setVar(getVar, "HOME"))
        strShared = std::string(pszHome) + "/.aws/credentials";
    auto fromProfile = [&](const std::string &strProfile, const char *pszWhy,
                           ProfileResult &result) {
        result = readProfile(strShared, strProfile, lookup.creds, lookup.strError);
        if (result != ProfileFound)
            return false;
        lookup.strSource = "profile [" + consoleText(strProfile) + "] in " +
                           consoleText(strShared) + pszWhy;
        lookup.strPlace = lookup.strSource;
        const std::string strWarning = permissionWarning("credentials file", strShared);
        if (!strWarning.empty())
            lookup.warnings.push_back(strWarning);
        return true;
    };

    ProfileResult result = ProfileNoFile;
    if (const char *pszProfile = setVar(getVar, "AWS_PROFILE")) {
        const std::string strProfile = pszProfile;
        const std::string strNamed = "credentials: AWS_PROFILE=" + consoleText(strProfile) + ", but ";
        if (!strShared.empty() && fromProfile(strProfile, " (AWS_PROFILE)", result))
            return true;
        if (result == ProfileUnusable)
            return false;
        // Keys from the credentials file, everything else from the config file.
        std::string strLooked;
        const SourceLookup found =
            findTemporarySource(getVar, strShared, options, true, lookup, strLooked);
        if (found == SourceFound) {
            lookup.strSource += " (AWS_PROFILE)";
            lookup.strPlace = lookup.strSource;
            return true;
        }
        if (found == SourceBroken)
            return false;
        if (strShared.empty())
            lookup.strError = strNamed + "neither AWS_SHARED_CREDENTIALS_FILE nor HOME is set";
        else if (result == ProfileNoFile)
            lookup.strError = strNamed + consoleText(strShared) + " does not exist";
        else
            lookup.strError = strNamed + consoleText(strShared) + " has no profile [" +
                              consoleText(strProfile) + "]";
        lookup.strError += "; looked at: " + strLooked;
        return false;
    }

    // The designed key file, so a run set up before these sources sees no change.
    struct stat st;
    const bool bKeyFileThere = lstat(strKeyFile.c_str(), &st) == 0;
    if (bKeyFileThere)
        return fromKeyFile("");

    std::string strDefault = "the shared credentials file (HOME is not set)";
    if (!strShared.empty()) {
        if (fromProfile("default", "", result))
            return true;
        if (result == ProfileUnusable)
            return false;
        strDefault = "profile [default] in " + consoleText(strShared) +
                     (result == ProfileNoFile ? " (no such file)" : " (no such profile)");
    }
    std::string strLooked;
    const SourceLookup found = findTemporarySource(getVar, strShared, options, false, lookup, strLooked);
    if (found != SourceNotSet)
        return found == SourceFound;
    lookup.strError = "no credentials found; looked at: SITEMIRROR_KEY_FILE (not set), "
                      "AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY (not set), AWS_PROFILE (not "
                      "set), key file " +
                      consoleText(strKeyFile) + " (no such file), " + strDefault + ", " + strLooked;
    return false;
}
