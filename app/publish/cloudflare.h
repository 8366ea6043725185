// cloudflare.h - tells the Cloudflare zone in front of the bucket to forget
// the URLs a run changed: the zone's purge_cache call with the API token of
// the environment, in batches, each a job of the run's request runner.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class Session;

// Where purges go unless SITEMIRROR_CLOUDFLARE_ENDPOINT says otherwise.
extern const char *const pszCloudflareEndpoint;

// URLs one purge request names at most.
constexpr std::size_t kPurgeBatchSize = 30;

// The public URLs of the changed keys: strSiteUrl (its trailing "/" dropped)
// + "/" + the key below strPrefix, encoded as the index page links it; a
// folder's index page ("dir/index.html", "index.html") also as the folder's
// own URL ("dir/", "/"). Each once, in byte order; keys outside strPrefix are
// left out.
std::vector<std::string> purgeUrls(const std::vector<std::string> &changedKeys,
                                   const std::string &strSiteUrl, const std::string &strPrefix);

// The purge_cache document for urls ({"files":[...]}), or for everything.
std::string purgeBody(const std::vector<std::string> &urls, bool bEverything);

// When the session's settings name a zone and a run changed keys: purges
// their URLs in batches of kPurgeBatchSize, or everything at once when there
// are more than settings.nPurgeMaxUrls. Prints "purge: N URLs" (or "purge:
// everything for N changed keys") and returns true, or prints the API's error
// (saying the files are stored) and returns false. True without a request
// when there is no zone or nothing changed; false without one when the zone
// is named but CLOUDFLARE_API_TOKEN is not set.
bool purgeChangedKeys(Session &session, const std::vector<std::string> &changedKeys);
