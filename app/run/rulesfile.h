// rulesfile.h - the optional TOML rules file: settings below the environment,
// and the ordered rules that give each object its headers.
//
//   bucket = "www.example.org"          # any setting, by its name without
//   signature = "v4"                    # SITEMIRROR_ and in lower case
//   jobs = 8
//   publish_vcs = true                  # mirror .git, .hg, .svn and .bzr folders too
//   [targets.staging]                   # picked by --target staging or
//   bucket = "staging.example.org"      # SITEMIRROR_TARGET=staging
//   rules = [
//     { match = "assets/**", cache_control = "public, max-age=31536000, immutable" },
//     { match = "*.html",    cache_control = "public, max-age=300", content_encoding = "gzip",
//       content_type = "text/html; charset=utf-8" },
//   ]
//   redirects = [ { from = "/old/", to = "/new/" }, { from = "/a.html", to = "https://example.org/a" } ]
#pragma once

#include <map>
#include <string>
#include <vector>

#include "cache_rules.h"
#include "redirect_list.h"

struct RulesFile {
    // Setting values by their environment name ("SITEMIRROR_JOBS" -> "8"), as
    // text, so that they are checked exactly as the environment's are.
    std::map<std::string, std::string> values;
    // Where each of those values was written: its key in the file and its line.
    struct Origin {
        std::string strKey;
        long nLine = 0;
    };
    std::map<std::string, Origin> origins;
    std::vector<CacheRule> cacheRules; // in the file's order
    // redirects = [ { from = "/old/", to = "/new/" } ]: from and to as
    // written, with where (keys are set with the settings, which name the
    // index document).
    std::vector<Redirect> redirects;
    // [targets.NAME] tables: settings of one named target (a staging and a
    // production bucket, say), by name.
    struct Target {
        std::map<std::string, std::string> values;
        std::map<std::string, Origin> origins;
    };
    std::map<std::string, Target> targets;
};

// Where the rules file is looked for: SITEMIRROR_CONFIG when set, else
// $XDG_CONFIG_HOME/sitemirror/config.toml, else ~/.config/sitemirror/config.toml.
// bNamed tells whether SITEMIRROR_CONFIG named it.
std::string rulesFilePath(const char *(*getVar)(const char *name), bool &bNamed);

// Reads the file at strPath into out. A missing file is no rules (true) unless
// bMustExist. False on anything else that is wrong, with strError holding one
// line that names the file, the line and the reason ("F:3: unknown setting ...").
bool readRulesFile(const std::string &strPath, bool bMustExist, RulesFile &out,
                   std::string &strError);
