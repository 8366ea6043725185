// events.h - the run's JSON lines (--output json): standard output holds one
// JSON object a line, each with "event" and the schema version "v": 1, for a
// machine that follows a deploy; the human lines go to standard error then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct RunSummary;

// The version of the events' fields; a field is only ever added within one.
constexpr int kEventSchemaVersion = 1;

// bytes as a JSON string, quotes included: UTF-8 as it is, every byte that
// is not part of well-formed UTF-8 as "\u00XX" (the byte's value), control
// characters escaped.
std::string jsonString(const std::string &strBytes);

// One event, built field by field in the order given.
class JsonEvent {
public:
    explicit JsonEvent(const char *pszEvent);
    JsonEvent &text(const char *pszName, const std::string &strValue);
    JsonEvent &number(const char *pszName, int64_t n);
    JsonEvent &number(const char *pszName, uint64_t n);
    JsonEvent &number(const char *pszName, int n) { return number(pszName, static_cast<int64_t>(n)); }
    JsonEvent &decimal(const char *pszName, double value); // three places
    JsonEvent &flag(const char *pszName, bool b);
    // The whole object, one line.
    std::string line() const { return strLine + "}"; }

private:
    std::string strLine;
};

// Whether events are written (--output json); off until switched on.
void setJsonEvents(bool bOn);
bool jsonEvents();

// Writes event on standard output when events are on.
void emitEvent(const JsonEvent &event);

// The events of a run, one function each so that their fields are named in
// one place (README "Output as JSON lines" lists them). The "retry" event is
// made by the request runner, which alone knows a retry's try and delay.
void emitUpload(const std::string &strKey, const std::string &strPath, uint64_t nBytes,
                const std::string &strETag, bool bForced);
void emitUpdate(const std::string &strKey);
void emitRedirect(const std::string &strKey, const std::string &strLocation);
void emitDelete(const std::string &strKey);

// A failure. strStage: "upload", "update", "delete", "scan", "listing",
// "invalidation", "purge", "changed-list", "summary", "lock", "settings";
// one with a key counts as one of the summary's failed files. strCode: the store's (or service's)
// code, else the client's status name; nHttp 0 when no answer came.
struct ErrorEvent {
    std::string strStage;
    std::string strKey;  // "" = not about one object
    std::string strPath; // "" = no local file
    std::string strCode;
    int nHttp = 0;
    std::string strMessage;
    std::string strHint;
};
// Written when events are on; kept in any case for the run's Markdown summary.
void emitError(const ErrorEvent &error);
// The errors of the run so far, in order: the first kRunErrorsKept of them.
constexpr std::size_t kRunErrorsKept = 1000;
const std::vector<ErrorEvent> &runErrors();

void emitInvalidation(const std::string &strDistribution, const std::string &strId, long nPaths);
void emitPurge(const std::string &strZone, long nUrls, bool bEverything);
void emitSummary(const RunSummary &summary);
