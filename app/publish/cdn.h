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
// "index.html" also "/"); each path once, in byte order. With bWildcard
// (CloudFront, which takes "*" as a wildcard only at a path's end) a key
// holding "*" is its path up to the first "*": the wildcard that covers it.
std::set<std::string> servedPaths(const std::vector<std::string> &keys, bool bWildcard = false);

// The paths a distribution is told to forget for the changed keys: their
// servedPaths with wildcards. More than nMaxPaths paths collapse into the one
// path "/*" (and *pbCollapsed, when given, says so).
std::vector<std::string> invalidationPaths(const std::vector<std::string> &keys,
                                           std::size_t nMaxPaths, bool *pbCollapsed = nullptr);

// The CreateInvalidation document for paths, texts escaped for XML.
std::string invalidationBatchXml(const std::vector<std::string> &paths,
                                 const std::string &strCallerReference);

// The run's credentials as the invalidation signs with them.
struct CdnCredentials {
    std::string strAccessKeyId;
    std::string strSecretAccessKey;
    std::string strSessionToken; // "" = none; sent as x-amz-security-token
};

// The distribution ids of SITEMIRROR_CLOUDFRONT_DISTRIBUTION: "A,B" (blanks
// around each dropped, each once, in order).
std::vector<std::string> cloudFrontDistributions(const std::string &strSetting);

// The keys a distribution whose origin has strOriginPath ("/blog", "" for
// none) serves, as it serves them: "blog/a.html" -> "a.html"; keys outside
// the origin path are not its.
std::vector<std::string> keysBelowOriginPath(const std::vector<std::string> &keys,
                                             const std::string &strOriginPath);

// Asks each distribution of settings.strCloudFrontDistribution (the
// session's settings; at settings.strCloudFrontEndpoint, or CloudFront's own
// address) to forget the paths of changedKeys it serves: its configuration
// is read once (GetDistributionConfig) for its origin path, which the paths
// are rewritten by, then the invalidation is sent; each request a job of the
// run's request runner, tried again when CloudFront asks for it. A
// configuration that cannot be read is said in a line, and the keys are then
// taken as they are. Prints "invalidation: ID (N paths)" per distribution and
// returns true, or prints why one failed (saying that the files are already
// stored) and returns false. Nothing is sent, and true returned, when no key
// changed; a distribution that serves none of them is sent nothing.
bool invalidateChangedKeys(Session &session, const CdnCredentials &creds,
                           const std::vector<std::string> &changedKeys);
