// deletion_plan.h - which listed objects a run deletes: the objects the
// site no longer has, and the limit on how many may go in one run.
#pragma once

#include <string>
#include <vector>

#include "myDir.h"

class IgnoreRules;

// True when strRel (a path below the site root) is left out by the rules:
// the file itself, or any folder on its way, as the scan would have met them.
bool isIgnoredPath(const IgnoreRules &rules, const std::string &strRel);

// The relative keys of remoteList (keys below the prefix, the prefix cut off)
// that may be deleted, in key order: no local file, folder or link of that
// path below strRootPath (which ends in "/"), not left out by the ignore
// rules (ignored means not ours to touch; null: no rules), not the index
// page, which the run writes itself, and not empty (the prefix's own marker).
// Objects under a version-control folder (.git/, .hg/, .svn/, .bzr/) go
// whatever is there when the rules leave those folders out.
// The same test for one listed object (its key below the prefix); bScanned:
// the scan found a file of that key (which keeps its object unless it lies
// in a version-control folder that the rules now leave out).
bool isDeletionCandidate(const std::string &strRel, const std::string &strRootPath,
                         const IgnoreRules *ignore, bool bScanned);
std::vector<std::string> deletionCandidates(const S3ObjSet &remoteList,
                                            const std::string &strRootPath,
                                            const IgnoreRules *ignore);

// The line that names the objects under version-control folders in the
// bucket (keys below the prefix) when a run does not delete: how many, the
// first, and how to remove them; "" when there are none.
std::string vcsObjectsLine(const S3ObjSet &remoteList, const std::string &strPrefix);
// The same from a count of such objects and the first one's key (below the prefix).
std::string vcsObjectsLine(long nFound, const std::string &strFirst, const std::string &strPrefix);

// The line that stops a run with more deletions than nMaxDelete allows.
std::string deleteLimitLine(std::size_t nCandidates, long nMaxDelete, const std::string &strPrefix);

// The guards of a run's deletions besides "every file is stored".
struct DeletionGuards {
    long nMaxDelete = 100;       // most deletions (SITEMIRROR_MAX_DELETE)
    int nMaxSharePercent = 50;   // most deletions as a share of the listed objects
                                 // (SITEMIRROR_MAX_DELETE_SHARE)
    bool bSiteEmpty = false;     // the scan found no file but the index page: a mount
                                 // that failed or a build that made nothing
    std::string strRoot;         // the site root, named when it is empty
};

// The line that stops a run deleting more than its share of the listed objects.
std::string deleteShareLine(std::size_t nCandidates, std::size_t nListed, int nMaxSharePercent,
                            const std::string &strPrefix);

// What a run deletes: the keys (full, with the prefix) in key order, or the
// line that says why it deletes nothing.
struct DeletionPlan {
    std::vector<std::string> keys;
    std::string strRefusal; // "" = the keys go
};

// The deletions of a run. bAllStored: the scan, the listing and every upload
// succeeded; otherwise nothing goes ("not deleting: not every file of the
// site is in the bucket"). Nor does anything go when the site is empty but
// for its index page, when more than guards.nMaxDelete would, or when more
// than guards.nMaxSharePercent of the objects listed (remoteList) would.
DeletionPlan planDeletions(const S3ObjSet &remoteList, const std::string &strRootPath,
                           const IgnoreRules *ignore, const DeletionGuards &guards,
                           const std::string &strPrefix, bool bAllStored);
// The same from the candidates (keys below the prefix, in key order) and the
// number of objects listed.
DeletionPlan planDeletions(const std::vector<std::string> &candidates, std::size_t nListed,
                           const DeletionGuards &guards, const std::string &strPrefix, bool bAllStored);
