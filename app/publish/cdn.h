// cdn.h - tells the CloudFront distribution in front of the bucket to forget
// the paths a run changed: one CreateInvalidation request, sent and signed by
// the client as a request to the service "cloudfront".
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "settings.h"

class Session;

// Where invalidations go unless SITEMIRROR_CLOUDFRONT_ENDPOINT says otherwise.
extern const char *const pszCloudFrontEndpoint;

// The paths a CDN serves keys under: "/" + the key URL-encoded as the index
// page links it, and for a key "dir/index.html" also "/dir/" (the root's
// "index.html" also "/"); each path once, in byte order.
std::set<std::string> servedPaths(const std::vector<std::string> &keys);

// The paths a distribution is told to forget for the changed keys: their
// servedPaths. More than nMaxPaths paths collapse into the one path "/*".
std::vector<std::string> invalidationPaths(const std::vector<std::string> &keys,
                                           std::size_t nMaxPaths);

// The CreateInvalidation document for paths, texts escaped for XML.
std::string invalidationBatchXml(const std::vector<std::string> &paths,
                                 const std::string &strCallerReference);

// The run's credentials as the invalidation signs with them.
struct CdnCredentials {
    std::string strAccessKeyId;
    std::string strSecretAccessKey;
    std::string strSessionToken; // "" = none; sent as x-amz-security-token
};

// Asks the distribution settings.strCloudFrontDistribution (the session's
// settings; at settings.strCloudFrontEndpoint, or CloudFront's own address)
// to forget the paths of changedKeys, as a job of the run's request runner;
// tries again what is worth another try to CloudFront. Prints "invalidation: ID (N paths)" and returns true, or
// prints why it failed (saying that the files are already stored) and
// returns false. Nothing is sent, and true returned, when no key changed.
bool invalidateChangedKeys(Session &session, const CdnCredentials &creds,
                           const std::vector<std::string> &changedKeys);
