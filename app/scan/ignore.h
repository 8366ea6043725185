// ignore.h - ".sitemirrorignore" files: what of the site tree both the mirror
// run and the index page leave out, read as git reads ".gitignore" files.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "glob.h"

// The ignore file's name. One may stand in any folder; it is never published.
extern const char *const kIgnoreFileName;

class IgnoreRules {
public:
    // Adds the rules of one ignore file in gitignore syntax ("#" comments,
    // blank lines, "*", "?", "[...]", "**", a trailing "/" for folders only, a
    // leading or inner "/" anchoring the pattern to the file's folder, "!"
    // re-including, "\" escaping the next byte; a UTF-8 byte-order mark before
    // the first line is skipped). strDir is the folder that holds the file,
    // below the root without leading or trailing "/" ("" for the root).
    void parse(const std::string &strText, const std::string &strDir = "");

    // True when strRel (path below the root, no leading "/") is left out;
    // bDir tells whether it names a folder. The files of the deepest folders
    // are asked first, and in a file the last matching line decides. The
    // walks do not enter a folder that is left out, so nothing below it can
    // be re-included.
    // Version-control folders (.git, .hg, .svn, .bzr) at any depth are left
    // out too, before any rule is asked, unless publishVcs(true) was called.
    bool isIgnored(const std::string &strRel, bool bDir) const;

    // Whether version-control folders are published like any other folder
    // (the rules file's publish_vcs); false unless set.
    void publishVcs(bool bPublish) { bPublishVcs = bPublish; }
    bool publishesVcs() const { return bPublishVcs; }

    bool empty() const { return folders.empty(); }

private:
    std::map<std::string, std::vector<GlobPattern>> folders; // folder -> its lines in order
    bool bPublishVcs = false;
};

// True for the name of a version-control folder: its whole history, which a
// site that is a checkout must not publish by accident.
bool isVcsFolderName(const std::string &strName);

// True when a folder on the way of strRel (a path below the root) is a
// version-control folder: .git/config, docs/.svn/entries.
bool isUnderVcsFolder(const std::string &strRel);

// Reads the ignore file of every folder below strRoot that the rules read so
// far do not leave out, into rules. Folders without one add nothing. False,
// after one line on standard error naming the file, when one is a folder, a
// dangling link or cannot be read: running without it could publish what it
// leaves out.
bool loadIgnoreFile(const std::string &strRoot, IgnoreRules &rules);
