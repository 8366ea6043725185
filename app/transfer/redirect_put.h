// redirect_put.h - a run's redirects carried out: asked about (HEAD) where
// the listing and records cannot tell, stored as zero-byte objects with
// their website redirect location, recorded, counted and named as changed.
#pragma once

#include <string>
#include <vector>

#include "digestcache.h"
#include "myDir.h"
#include "redirects.h"
#include "report.h"
#include "s3client.h"
#include "session.h"

class RedirectRun {
public:
    // Decides every redirect against remote (keys below the site root) and
    // the cache's records, which are read now: before the run prunes them.
    RedirectRun(Session &session, const std::string &strBucket, const std::vector<Redirect> &redirects,
                const S3ObjSet &remote, DigestCache *cache);
    // Prints (bDryRun: "would redirect: KEY -> TO (why)") or stores what
    // differs, each block "redirect: KEY -> TO" and its outcome lines;
    // records what the store took and saves the cache. Counts into summary
    // (nRedirects, nFailed). False when any failed.
    bool carryOut(bool bDryRun, RunSummary &summary);

private:
    Session &session;
    std::string strBucket;
    const std::vector<Redirect> &redirects;
    DigestCache *cache;
    std::string strTarget;
    std::vector<RedirectStep> steps;
};
