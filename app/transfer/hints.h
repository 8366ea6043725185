// hints.h - the line that names the setting which fixes a refusal of the
// store in use, each hint given at most once per run.
#pragma once

#include <set>
#include <string>

#include "s3client.h"

struct Settings;

// What a hint may name about the run and the refused request.
struct HintContext {
    std::string strKeyFile;         // the credentials source in use
    bool bSignatureV4 = false;      // requests are signed with V4
    bool bSentStorageClass = false; // the refused request named a storage class
    bool bSse = false;              // uploads ask for encryption (SITEMIRROR_SSE)
};

// The hint for one outcome, "" when no setting fixes it.
std::string hintFor(S3Status status, const S3ErrorDetails *details, const HintContext &context);

// The hints given so far in one run.
class HintLog {
public:
    explicit HintLog(const Settings &settings);

    // The hint for this outcome unless it was given before in this run; "" then.
    std::string once(S3Status status, const S3ErrorDetails *details, bool bSentStorageClass);

    // Where the run's keys were found, for the hints that name it (the key
    // file's path until then).
    void setCredentialPlace(const std::string &strPlace) { context.strKeyFile = strPlace; }
    // True the first time strHint is given in this run (a hint worked out
    // earlier and printed later, as the listing's are).
    bool giveOnce(const std::string &strHint) { return given.insert(strHint).second; }

private:
    HintContext context;
    std::set<std::string> given; // the hints' texts
};
