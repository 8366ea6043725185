// redirects.h - what a run does about each redirect (see redirect_list.h):
// the headers of its object and the decision against the listing, this
// store's records and, where needed, the object's own headers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "digestcache.h"
#include "myDir.h"
#include "redirect_list.h"

struct Settings;
struct ObjectHeaders;
struct HeadResult;

// The headers of the redirect object at strSiteKey: zero bytes of text/html
// with the ACL and storage class a file there would get.
ObjectHeaders redirectHeaders(const Settings &settings, const Redirect &redirect);

// What one run does about one redirect.
struct RedirectStep {
    const Redirect *redirect = nullptr;
    std::string strBucketKey;
    const char *pszWhy = "";   // "new" or "target"; "" = as it is
    bool bAsk = false;         // only a HEAD can tell
    bool bLearnt = false;      // known now to be as it should (record it)
    std::string strListedETag;
};

// Decides each redirect against the listing (keys below the site root) and
// this store's records; heads, when given, answer the steps that asked (one
// per asking step, in order).
std::vector<RedirectStep> planRedirects(const std::vector<Redirect> &redirects, const Settings &settings,
                                        const S3ObjSet &remote, const DigestCache *cache,
                                        const std::string &strTarget);
void settleRedirectAsks(std::vector<RedirectStep> &steps, const Settings &settings,
                        const std::vector<HeadResult> &heads);
const char *redirectEmptyMd5Hex(); // the MD5 of no bytes, a redirect object's digest
