// runclient.h - the one owner of the client for a run: set up once, with the
// endpoint parsed once, the CA file and the time limits set once, and one
// bucket context that every listing page and upload of the run uses.
#pragma once

#include <string>

#include "s3client.h"
#include "settings.h"

class RunClient {
public:
    // Initialises the client for the whole run (a failed set-up is reported by
    // the first operation, which then cannot start).
    explicit RunClient(const Settings &settings);
    ~RunClient();
    RunClient(const RunClient &) = delete;
    RunClient &operator=(const RunClient &) = delete;

    // Fills ctx with the run's bucket context for pszBucket (the text must
    // outlive the operation). False, after the key file's one line, when the
    // credentials cannot be had, or when the client is not set up.
    bool bucketContext(const char *pszBucket, S3BucketContext &ctx);

    // The run's client while one exists, else null.
    static RunClient *current();

private:
    const Settings &settings;
    bool bReady;
    Endpoint endpoint; // parsed once; the bucket contexts point into it
};

// A bucket context for pszBucket from the settings, the parsed endpoint and the
// credentials read; every text it points to must outlive the operation.
void fillBucketContext(const Settings &settings, const Endpoint &endpoint, const char *pszBucket,
                       S3BucketContext &ctx);
