// store_answer.h - what a store's refusal asks of the run: signature V4,
// another region, or (on AWS) the bucket's own regional endpoint.
#pragma once

#include <string>

#include "s3client.h"

struct StoreAsk {
    enum Kind {
        None,
        SignatureV4, // "Please use AWS4-HMAC-SHA256."
        Region,      // AuthorizationHeaderMalformed naming the bucket's <Region>
        Endpoint,    // PermanentRedirect to the bucket's regional AWS endpoint
    };
    Kind kind = None;
    std::string strRegion; // Region, Endpoint
    std::string strHost;   // Endpoint: "s3.REGION.amazonaws.com"
};

// The value of the error document's extra detail pszName ("Region",
// "Endpoint"); "" when it has none.
std::string errorExtraDetail(const S3ErrorDetails *details, const char *pszName);

// Reads the ask out of one refused request's outcome; None when it asks
// nothing the run can follow.
StoreAsk readStoreAsk(S3Status status, const S3ErrorDetails *details);

// The regional endpoint and region of an AWS endpoint a PermanentRedirect
// names ("BUCKET.s3.eu-west-1.amazonaws.com", "s3-eu-west-1.amazonaws.com",
// "s3.dualstack.eu-west-1.amazonaws.com"); false when it is not one.
bool awsRegionalEndpoint(const std::string &strEndpoint, std::string &strHost,
                         std::string &strRegion);
