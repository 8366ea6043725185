// The settings as the command line shows and checks them: -h with a refused
// value says what a run says and exits 2, an option overrides its setting,
// a refused rules-file value names the file and line; and a site that is a
// checkout keeps its version-control folders out of the bucket and the page.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "tempdir.h"

namespace {

struct CliRun {
    int status = -1;
    std::string out;
    std::vector<std::string> lines() const
    {
        std::vector<std::string> v;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);)
            v.push_back(line);
        return v;
    }
    std::string last() const { return lines().empty() ? "" : lines().back(); }
};

class Tool {
public:
    explicit Tool(const std::string &strEndpoint = "http://127.0.0.1:9")
    {
        std::filesystem::create_directories(dir.path() + "/site");
        std::filesystem::create_directories(dir.path() + "/config/sitemirror");
        keyFile = dir.write("s3key", std::string(harness::kAccessKeyId) + "\n" +
                                         harness::kSecretAccessKey + "\n");
        env = {{"SITEMIRROR_BUCKET", "cli.example"},
               {"SITEMIRROR_ROOT", dir.path() + "/site/"},
               {"SITEMIRROR_SITE_URL", "http://cli.example"},
               {"SITEMIRROR_ENDPOINT", strEndpoint},
               {"SITEMIRROR_KEY_FILE", keyFile},
               {"SITEMIRROR_JOBS", ""},
               {"SITEMIRROR_CONFIG", ""},
               {"HOME", dir.path()},
               {"XDG_CONFIG_HOME", dir.path() + "/config"},
               {"XDG_CACHE_HOME", dir.path() + "/cache"}};
    }
    CliRun run(const std::string &strArgs, const std::map<std::string, std::string> &extra = {})
    {
        auto vars = env;
        for (const auto &kv : extra)
            vars[kv.first] = kv.second;
        CliRun r;
        std::string err;
        r.status = harness::runCommand(std::string(SITEMIRROR_BINARY) + " -q " + strArgs, &r.out,
                                       &err, vars, 120);
        return r;
    }
    std::string rulesFile() const { return dir.path() + "/config/sitemirror/config.toml"; }

    TempDir dir;
    std::string keyFile;
    std::map<std::string, std::string> env;
};

TEST(SettingsOnTheCommandLine, HelpWithRefusedValuesPrintsTheRunsLinesAndExitsTwo)
{
    Tool tool;
    tool.dir.write("config/sitemirror/config.toml", "bucket = \"file.example\"\n\nretries = 99\n");
    const std::string fileLine = tool.rulesFile() +
                                 ":3: invalid setting: retries=99 (accepted: a whole number from "
                                 "0 to 10)";
    const std::string envLine =
        "invalid setting: SITEMIRROR_JOBS=0 (accepted: auto, or a whole number from 1 to 64)";

    const CliRun run = tool.run("", {{"SITEMIRROR_JOBS", "0"}});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.lines(), (std::vector<std::string>{envLine, fileLine}));

    for (const char *pszHelp : {"-h", "--help"}) {
        SCOPED_TRACE(pszHelp);
        const CliRun help = tool.run(pszHelp, {{"SITEMIRROR_JOBS", "0"}, {"SITEMIRROR_BUCKET", ""}});
        EXPECT_EQ(help.status, 2);
        const std::vector<std::string> lines = help.lines();
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()), run.lines());
        EXPECT_NE(help.out.find("\n  SITEMIRROR_BUCKET=file.example\n"), std::string::npos)
            << help.out;
    }

    // With every value accepted, -h exits 0; an empty variable leaves the
    // file's value, and an option overrides a refused variable.
    tool.dir.write("config/sitemirror/config.toml", "bucket = \"file.example\"\njobs = 3\n");
    CliRun help = tool.run("-h", {{"SITEMIRROR_BUCKET", ""}});
    EXPECT_EQ(help.status, 0) << help.out;
    EXPECT_NE(help.out.find("\n  SITEMIRROR_BUCKET=file.example\n"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("\n  SITEMIRROR_JOBS=3\n"), std::string::npos) << help.out;
    help = tool.run("-j 5 -h", {{"SITEMIRROR_JOBS", "lots"}});
    EXPECT_EQ(help.status, 0) << help.out;
    EXPECT_NE(help.out.find("\n  SITEMIRROR_JOBS=5\n"), std::string::npos) << help.out;
    help = tool.run("--jobs 0 -h", {{"SITEMIRROR_JOBS", "4"}});
    EXPECT_EQ(help.status, 2) << help.out;
    EXPECT_EQ(help.last(), "invalid option: --jobs 0 (accepted: auto, or a whole number from 1 to 64)");
}

// --version names the tool, then each library the process runs with, by the
// library's own report (a bug report then says what was really loaded).
TEST(VersionOnTheCommandLine, NamesTheToolThenEachLibraryWithItsVersion)
{
    // "NAME 1.2.3" and what may follow the dotted number.
    auto versionOf = [](const std::string &strLine, const std::string &strName) {
        if (strLine.compare(0, strName.size() + 1, strName + " ") != 0)
            return std::string("(not named " + strName + ")");
        const std::string strRest = strLine.substr(strName.size() + 1);
        const std::size_t nEnd = strRest.find_first_not_of("0123456789.");
        const std::string strNumber = strRest.substr(0, nEnd);
        if (strNumber.empty() || strNumber.find('.') == std::string::npos || strNumber.back() == '.')
            return std::string("(no version number)");
        return nEnd == std::string::npos ? std::string() : strRest.substr(nEnd);
    };
    Tool tool;
    for (const char *pszOption : {"-V", "--version"}) {
        SCOPED_TRACE(pszOption);
        const CliRun run = tool.run(pszOption);
        EXPECT_EQ(run.status, 0);
        const std::vector<std::string> lines = run.lines();
        ASSERT_EQ(lines.size(), 6u) << run.out;
        EXPECT_EQ(versionOf(lines[0], "sitemirror"), "") << lines[0];
        // libcurl names the TLS library it runs with.
        EXPECT_EQ(versionOf(lines[1], "libcurl").rfind(" (OpenSSL/", 0), 0u) << lines[1];
        EXPECT_EQ(versionOf(lines[2], "OpenSSL").find('('), std::string::npos) << lines[2];
        EXPECT_EQ(versionOf(lines[3], "libxml2"), "") << lines[3];
        EXPECT_EQ(versionOf(lines[4], "zlib"), "") << lines[4];
        EXPECT_EQ(versionOf(lines[5], "brotli"), "") << lines[5];
    }
}

// A site folder that is a git checkout: its history stays out of the bucket
// and off the page, and is counted as ignored, unless the rules file
// publishes it.
TEST(VersionControlFolders, ACheckoutPublishesNoHistoryUnlessAskedTo)
{
    harness::Store store;
    store.createBucket("cli.example");
    Tool tool("http://" + store.endpoint());
    const std::string site = tool.dir.path() + "/site";
    tool.dir.write("site/index.html", "<p>home</p>\n");
    std::filesystem::create_directories(site + "/blog/.svn");
    tool.dir.write("site/blog/.svn/entries", "12\n");
    std::string out, err;
    ASSERT_EQ(harness::runCommand("git init -q '" + site + "' && git -C '" + site +
                                      "' -c user.name=t -c user.email=t@t add index.html && "
                                      "git -C '" + site + "' -c user.name=t -c user.email=t@t "
                                      "commit -q -m first",
                                  &out, &err),
              0)
        << err;
    tool.dir.write("site/.sitemirrorignore", "*.bak\n");
    tool.dir.write("site/old.bak", "x\n");

    CliRun run = tool.run("");
    ASSERT_EQ(run.status, 0) << run.out;
    // .git, blog/.svn and old.bak; the ignore file is not counted.
    EXPECT_EQ(run.last().find("summary: sent 2 ("), 0u) << run.out;
    EXPECT_NE(run.last().find(", ignored 3, "), std::string::npos) << run.out;
    EXPECT_FALSE(store.getObject("cli.example", ".git/HEAD").exists);
    EXPECT_FALSE(store.getObject("cli.example", "blog/.svn/entries").exists);
    const std::string page = store.getObject("cli.example", "fileLists.html").body;
    EXPECT_NE(page.find("/index.html[12B]"), std::string::npos) << page;
    EXPECT_EQ(page.find("/.git/"), std::string::npos);
    EXPECT_EQ(page.find("/.svn/"), std::string::npos);

    tool.dir.write("config/sitemirror/config.toml", "publish_vcs = true\n");
    run = tool.run("");
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.last().find(", ignored 1, "), std::string::npos) << run.out;
    EXPECT_EQ(store.getObject("cli.example", ".git/HEAD").body.rfind("ref: refs/heads/", 0), 0u);
    EXPECT_TRUE(store.getObject("cli.example", "blog/.svn/entries").exists);
}

} // namespace
