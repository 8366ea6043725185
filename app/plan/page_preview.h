// page_preview.h - the index page a run would write now, computed without
// writing it, so that a dry run can tell whether the page would go up.
#pragma once

#include <string>

#include "myDir.h"
#include "myListTool.h"

class IgnoreRules;

// Fills page with the record of the page a mirror run would write into the
// tree at strRoot (resolved, no trailing "/") for the site address
// strSiteUrl: key "fileLists.html", its size and MD5, and the time now.
// The walk is the page's own (links and special files are reported as a run
// reports them). False when the page cannot be composed.
bool predictIndexPage(const std::string &strRoot, const std::string &strSiteUrl,
                      const IgnoreRules *ignore, std::size_t nKeyPrefixBytes, S3Obj &page);

// What the index page leaves off besides its own rules: what ignore (null:
// nothing) leaves out, and files whose key, under a bucket folder of
// nKeyPrefixBytes, no store takes (the scan names those).
siteindex::PathFilter pageFilter(const IgnoreRules *ignore, std::size_t nKeyPrefixBytes);
