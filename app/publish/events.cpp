// events.cpp - the JSON lines of a run and the escaping of their strings.
#include "events.h"

#include <cinttypes>
#include <cstdio>

#include "console.h"
#include "report.h"

namespace {

bool bEventsOn = false;
std::vector<ErrorEvent> errorsSoFar;

// The length of the well-formed UTF-8 sequence at p (n bytes left), 0 when
// there is none: no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t utf8Length(const unsigned char *p, std::size_t n)
{
    const unsigned char c = p[0];
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF; // range of the second byte
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF)
        len = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0;
        else if (c == 0xED)
            hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;
        else if (c == 0xF4)
            hi = 0x8F;
    } else
        return 0;
    if (n < len || p[1] < lo || p[1] > hi)
        return 0;
    for (std::size_t i = 2; i < len; ++i)
        if (p[i] < 0x80 || p[i] > 0xBF)
            return 0;
    return len;
}

} // namespace

std::string jsonString(const std::string &strBytes)
{
    static const char kHex[] = "0123456789abcdef";
    std::string strOut = "\"";
    const unsigned char *p = reinterpret_cast<const unsigned char *>(strBytes.data());
    const std::size_t n = strBytes.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        const std::size_t len = utf8Length(p + i, n - i);
        if (len > 1) {
            strOut.append(strBytes, i, len);
            i += len;
            continue;
        }
        ++i;
        switch (c) {
        case '"': strOut += "\\\""; continue;
        case '\\': strOut += "\\\\"; continue;
        case '\n': strOut += "\\n"; continue;
        case '\r': strOut += "\\r"; continue;
        case '\t': strOut += "\\t"; continue;
        default: break;
        }
        if (len == 1 && c >= 0x20 && c != 0x7F) {
            strOut += static_cast<char>(c);
        } else {
            strOut += "\\u00";
            strOut += kHex[c >> 4];
            strOut += kHex[c & 0xF];
        }
    }
    return strOut + "\"";
}

JsonEvent::JsonEvent(const char *pszEvent)
    : strLine("{\"event\":" + jsonString(pszEvent) + ",\"v\":" + std::to_string(kEventSchemaVersion))
{
}

JsonEvent &JsonEvent::text(const char *pszName, const std::string &strValue)
{
    strLine += "," + jsonString(pszName) + ":" + jsonString(strValue);
    return *this;
}

JsonEvent &JsonEvent::number(const char *pszName, int64_t n)
{
    strLine += "," + jsonString(pszName) + ":" + std::to_string(n);
    return *this;
}

JsonEvent &JsonEvent::number(const char *pszName, uint64_t n)
{
    strLine += "," + jsonString(pszName) + ":" + std::to_string(n);
    return *this;
}

JsonEvent &JsonEvent::decimal(const char *pszName, double value)
{
    char sz[64];
    std::snprintf(sz, sizeof sz, "%.3f", value);
    strLine += "," + jsonString(pszName) + ":" + sz;
    return *this;
}

JsonEvent &JsonEvent::flag(const char *pszName, bool b)
{
    strLine += "," + jsonString(pszName) + ":" + (b ? "true" : "false");
    return *this;
}

void setJsonEvents(bool bOn) { bEventsOn = bOn; }

bool jsonEvents() { return bEventsOn; }

void emitEvent(const JsonEvent &event)
{
    if (bEventsOn)
        printOutputLine(event.line());
}

void emitUpload(const std::string &strKey, const std::string &strPath, uint64_t nBytes,
                const std::string &strETag, bool bForced)
{
    JsonEvent event("upload");
    event.text("key", strKey).text("path", strPath).number("bytes", nBytes).text("etag", strETag);
    if (bForced)
        event.flag("forced", true);
    emitEvent(event);
}

void emitUpdate(const std::string &strKey) { emitEvent(JsonEvent("update").text("key", strKey)); }

void emitRedirect(const std::string &strKey, const std::string &strLocation)
{
    emitEvent(JsonEvent("redirect").text("key", strKey).text("location", strLocation));
}

void emitDelete(const std::string &strKey) { emitEvent(JsonEvent("delete").text("key", strKey)); }

const std::vector<ErrorEvent> &runErrors() { return errorsSoFar; }

void emitError(const ErrorEvent &error)
{
    // The first ones are what a reader needs; a run with many more keeps no more.
    if (errorsSoFar.size() < kRunErrorsKept)
        errorsSoFar.push_back(error);
    JsonEvent event("error");
    event.text("stage", error.strStage);
    if (!error.strKey.empty())
        event.text("key", error.strKey);
    if (!error.strPath.empty())
        event.text("path", error.strPath);
    event.text("code", error.strCode).number("http", error.nHttp).text("message", error.strMessage);
    if (!error.strHint.empty())
        event.text("hint", error.strHint);
    emitEvent(event);
}

void emitInvalidation(const std::string &strDistribution, const std::string &strId, long nPaths)
{
    emitEvent(JsonEvent("invalidation")
                  .text("distribution", strDistribution)
                  .text("id", strId)
                  .number("paths", nPaths));
}

void emitPurge(const std::string &strZone, long nUrls, bool bEverything)
{
    emitEvent(JsonEvent("purge").text("zone", strZone).number("urls", nUrls).flag("everything", bEverything));
}

void emitSummary(const RunSummary &summary)
{
    JsonEvent event("summary");
    event.number("sent", summary.nSent)
        .number("bytes", summary.nBytesSent)
        .number("failed", summary.nFailed)
        .number("unchanged", summary.nUnchanged)
        .number("ignored", summary.nIgnored)
        .number("updated", summary.nUpdated)
        .number("deleted", summary.nDeleted)
        .number("forced", summary.nForced)
        .decimal("seconds", summary.seconds)
        .flag("dry_run", summary.bDryRun)
        .flag("ok", summary.bOk);
    emitEvent(event);
}
