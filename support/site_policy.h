// site_policy.h - which parts of the site are private: the "personal" rule
// that both the mirror (private ACL) and the index page (left off) follow.
#pragma once

#include <string>

// True for a key (a path below the site root, without a leading "/") that the
// mirror stores private: it begins with "personal", a plain text prefix, so
// personal/notes.html, personal.html and personalia/x.html all do, while
// blog/personal/x.html does not.
bool isPersonalKey(const std::string &strKey);

// True for a folder name that the index page never enters, at any depth: the
// site's private folder and the repository folder.
bool isUnlistedFolderName(const std::string &strName);
