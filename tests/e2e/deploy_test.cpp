// Deploying into a shared bucket end to end: a site in a folder of the bucket
// beside another, removal of what the site no longer has and its guards, the
// order in which the uploads reach the store, the list of changed keys, and a
// dry run that names everything a run would send or delete.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <set>
#include <string>
#include <vector>

#include "harness.h"
#include "site.h"

namespace {

// True when the summary line holds the count whole: strPart followed by the
// line's end or the next count.
bool summarySays(const std::string &strOut, const std::string &strPart)
{
    const std::size_t line = strOut.rfind("summary: ");
    if (line == std::string::npos)
        return false;
    const std::size_t at = strOut.find(strPart, line);
    if (at == std::string::npos)
        return false;
    const std::size_t after = at + strPart.size();
    return after < strOut.size() && (strOut[after] == '\n' || strOut[after] == ',');
}

using e2e::Site;
using e2e::ToolRun;

std::set<std::string> linesStartingWith(const std::string &out, const std::string &strHead)
{
    std::set<std::string> found;
    for (const std::string &line : e2e::lines(out)) {
        if (line.rfind(strHead, 0) == 0)
            found.insert(line.substr(strHead.size()));
    }
    return found;
}

std::string readFile(const std::string &strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class DeployOnEachStore : public e2e::OnEachStore {
protected:
    ToolRun run(const std::string &args, std::map<std::string, std::string> extra = {})
    {
        return e2e::runToolOver(args, env(), extra);
    }
    bool exists(const std::string &key) { return store->getObject(bucket, key).exists; }
    // The pages strDir + "pageN.html" for N from 0 up to n.
    void writePages(const std::string &strDir, int n)
    {
        for (int i = 0; i < n; ++i)
            site.write(strDir + "page" + std::to_string(i) + ".html", "<p>" + std::to_string(i) + "</p>\n");
    }
};

INSTANTIATE_TEST_SUITE_P(Stores, DeployOnEachStore, ::testing::ValuesIn(e2e::kEachStore),
                         e2e::storeCaseName);

TEST_P(DeployOnEachStore, TwoSitesLiveSideBySideInOneBucketEachInItsFolder)
{
    // Objects that belong to neither site, some of them sharing text with a prefix.
    for (const char *pszKey : {"top.html", "blog-old/index.html", "blog", "shopping/list.txt"})
        store->putObject(bucket, pszKey, "not ours\n");
    Site shop;
    shop.writeKeyFile(store->accessKeyId(), store->secretAccessKey());
    site.write("index.html", "<p>blog</p>\n");
    site.write("gone.html", "soon gone\n");
    site.write("personal/diary.html", "private\n");
    site.write("posts/personal/public.html", "public\n");
    site.write(".sitemirrorignore", "drafts/\n");
    site.write("drafts/next.html", "not yet\n");
    shop.write("index.html", "<p>shop</p>\n");
    shop.write("gone.html", "also in the shop\n");

    auto shopVars = shop.env(bucket, "http://" + store->endpoint());
    for (const auto &kv : env())
        if (kv.first == "SITEMIRROR_SIGNATURE" || kv.first == "SITEMIRROR_STORAGE_CLASS")
            shopVars[kv.first] = kv.second;
    shopVars["SITEMIRROR_PREFIX"] = "shop/";

    ToolRun blog = run("--delete", {{"SITEMIRROR_PREFIX", "blog"}});
    ASSERT_EQ(blog.status, 0) << blog.out;
    EXPECT_EQ(e2e::uploadedKeys(blog.out),
              (std::set<std::string>{"blog/fileLists.html", "blog/gone.html", "blog/index.html",
                                     "blog/personal/diary.html",
                                     "blog/posts/personal/public.html"}))
        << blog.out;
    ToolRun shopRun = e2e::runTool("--delete", shopVars);
    ASSERT_EQ(shopRun.status, 0) << shopRun.out;
    EXPECT_EQ(e2e::uploadedKeys(shopRun.out),
              (std::set<std::string>{"shop/fileLists.html", "shop/gone.html", "shop/index.html"}))
        << shopRun.out;
    EXPECT_EQ(shopRun.out.find("delete: "), std::string::npos) << shopRun.out;

    // The personal rule is the path below the site root.
    EXPECT_FALSE(store->isPublicRead(bucket, "blog/personal/diary.html"));
    EXPECT_TRUE(store->isPublicRead(bucket, "blog/posts/personal/public.html"));
    EXPECT_EQ(store->getObject(bucket, "shop/index.html").body, "<p>shop</p>\n");
    EXPECT_FALSE(exists("blog/drafts/next.html"));

    // An object in an ignored folder of the site, put there by hand.
    store->putObject(bucket, "blog/drafts/by-hand.html", "kept\n");
    site.write("index.html", "<p>blog, changed</p>\n");
    ASSERT_EQ(::remove(site.path("gone.html").c_str()), 0);
    ToolRun again = run("--delete", {{"SITEMIRROR_PREFIX", "blog/"}});
    ASSERT_EQ(again.status, 0) << again.out;
    // Listed below the prefix, compared by the path below it: only what changed goes.
    EXPECT_EQ(e2e::uploadedKeys(again.out),
              (std::set<std::string>{"blog/fileLists.html", "blog/index.html"}))
        << again.out;
    EXPECT_EQ(linesStartingWith(again.out, "delete: "), std::set<std::string>{"blog/gone.html"})
        << again.out;
    EXPECT_TRUE(summarySays(again.out, ", deleted 1")) << again.out;
    EXPECT_FALSE(exists("blog/gone.html"));
    EXPECT_TRUE(exists("shop/gone.html"));
    EXPECT_TRUE(exists("blog/drafts/by-hand.html"));
    for (const char *pszKey : {"top.html", "blog-old/index.html", "blog", "shopping/list.txt"})
        EXPECT_EQ(store->getObject(bucket, pszKey).body, "not ours\n") << pszKey;

    // The one-file form stays in the folder too.
    ToolRun one = run(e2e::quote(site.path("index.html")), {{"SITEMIRROR_PREFIX", "blog/"}});
    ASSERT_EQ(one.status, 0) << one.out;
    EXPECT_EQ(store->getObject(bucket, "blog/index.html").body, "<p>blog, changed</p>\n");
    EXPECT_FALSE(exists("index.html"));
}

TEST_P(DeployOnEachStore, DeletionIsOptInGuardedByItsLimitAndSparesIgnoredKeys)
{
    site.write("index.html", "<p>home</p>\n");
    site.write(".sitemirrorignore", "*.log\nuploads/\n");
    ASSERT_EQ(run("").status, 0);
    for (const char *pszKey : {"old.html", "old/deep.css", "server.log", "uploads/photo.jpg"})
        store->putObject(bucket, pszKey, "remote only\n");

    // Without the option nothing is deleted, and the summary line is as designed.
    ToolRun plain = run("");
    ASSERT_EQ(plain.status, 0) << plain.out;
    EXPECT_EQ(plain.out.find("delete"), std::string::npos) << plain.out;
    EXPECT_EQ(plain.out.find(", deleted"), std::string::npos) << plain.out;
    EXPECT_TRUE(exists("old.html"));

    // Over the limit: none goes, one line says how many and what allows them.
    ToolRun over = run("--delete", {{"SITEMIRROR_MAX_DELETE", "1"}});
    EXPECT_EQ(over.status, 1) << over.out;
    EXPECT_NE(over.out.find("not deleting: 2 objects in the bucket have no local file, more than "
                            "SITEMIRROR_MAX_DELETE=1 allows; SITEMIRROR_MAX_DELETE=2 lets this run "
                            "delete them\n"),
              std::string::npos)
        << over.out;
    EXPECT_EQ(over.out.find("delete: "), std::string::npos) << over.out;
    EXPECT_TRUE(exists("old.html"));
    EXPECT_TRUE(exists("old/deep.css"));

    // The dry run names them and deletes nothing.
    ToolRun dry = run("-n --delete");
    EXPECT_EQ(dry.status, 0) << dry.out;
    EXPECT_EQ(linesStartingWith(dry.out, "would delete: "),
              (std::set<std::string>{"old.html", "old/deep.css"}))
        << dry.out;
    EXPECT_TRUE(summarySays(dry.out, ", deleted 2")) << dry.out;
    EXPECT_TRUE(exists("old.html"));

    // The rules file's "delete = true" is the option; ignored keys are not ours.
    ASSERT_EQ(::mkdir((site.base() + "/config").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((site.base() + "/config/sitemirror").c_str(), 0755), 0);
    std::ofstream(site.base() + "/config/sitemirror/config.toml") << "delete = true\n";
    ToolRun del = run("");
    ASSERT_EQ(del.status, 0) << del.out;
    EXPECT_EQ(linesStartingWith(del.out, "delete: "),
              (std::set<std::string>{"old.html", "old/deep.css"}))
        << del.out;
    EXPECT_FALSE(exists("old.html"));
    EXPECT_FALSE(exists("old/deep.css"));
    EXPECT_TRUE(exists("server.log"));
    EXPECT_TRUE(exists("uploads/photo.jpg"));
    EXPECT_TRUE(exists("index.html"));
    EXPECT_TRUE(exists("fileLists.html"));

    // Nothing left to delete: the count says so.
    ToolRun after = run("");
    ASSERT_EQ(after.status, 0) << after.out;
    EXPECT_EQ(after.out.find("delete: "), std::string::npos) << after.out;
    EXPECT_TRUE(summarySays(after.out, ", deleted 0")) << after.out;
}

TEST_P(DeployOnEachStore, AnEmptySiteFolderOrAMajorityGoneNeverWipesTheBucket)
{
    writePages("", 6);
    ASSERT_EQ(run("").status, 0);

    // The build produced nothing (or the mount failed): the folder is empty.
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(::remove(site.path("page" + std::to_string(i) + ".html").c_str()), 0);
    const std::string strEmptyLine = "not deleting: the site root holds no file but the index page "
                                     "(SITEMIRROR_ROOT=" + site.root() + "/)";
    for (const char *pszArgs : {"-n --delete", "--delete"}) {
        ToolRun empty = run(pszArgs);
        EXPECT_EQ(empty.status, 1) << pszArgs << "\n" << empty.out;
        EXPECT_NE(empty.out.find(strEmptyLine), std::string::npos) << empty.out;
        EXPECT_EQ(empty.out.find("delete: "), std::string::npos) << empty.out;
    }
    for (int i = 0; i < 6; ++i)
        EXPECT_TRUE(exists("page" + std::to_string(i) + ".html")) << i;

    // Two files back: four of the seven objects listed would go, more than half.
    writePages("", 2);
    ToolRun over = run("--delete");
    EXPECT_EQ(over.status, 1) << over.out;
    EXPECT_NE(over.out.find("not deleting: 4 of the 7 objects in the bucket have no local file, "
                            "more than SITEMIRROR_MAX_DELETE_SHARE=50% allows; "
                            "SITEMIRROR_MAX_DELETE_SHARE=58% lets this run delete them\n"),
              std::string::npos)
        << over.out;
    EXPECT_TRUE(exists("page2.html"));
    // The share the line names lets them go.
    ToolRun allowed = run("--delete", {{"SITEMIRROR_MAX_DELETE_SHARE", "58%"}});
    EXPECT_EQ(allowed.status, 0) << allowed.out;
    EXPECT_EQ(linesStartingWith(allowed.out, "delete: "),
              (std::set<std::string>{"page2.html", "page3.html", "page4.html", "page5.html"}))
        << allowed.out;
}

TEST_P(DeployOnEachStore, VersionControlFoldersPublishedOnceGoWhenPublishingThemIsOff)
{
    site.write("index.html", "<p>home</p>\n");
    site.write("about.html", "<p>about</p>\n");
    site.write(".git/config", "[remote \"origin\"]\n");
    site.write("docs/.svn/entries", "12\n");
    ToolRun published = run("", {{"SITEMIRROR_PUBLISH_VCS", "on"}});
    ASSERT_EQ(published.status, 0) << published.out;
    ASSERT_TRUE(exists(".git/config"));
    ASSERT_TRUE(exists("docs/.svn/entries"));

    // Off again: without --delete one line names them and how to remove them.
    ToolRun plain = run("");
    EXPECT_EQ(plain.status, 0) << plain.out;
    EXPECT_NE(plain.out.find("version-control files are public in the bucket: .git/config and 1 "
                             "more; a run with --delete removes them\n"),
              std::string::npos)
        << plain.out;
    EXPECT_TRUE(exists(".git/config"));

    // With --delete they go, though the folders are still in the tree.
    ToolRun del = run("--delete");
    EXPECT_EQ(del.status, 0) << del.out;
    EXPECT_EQ(linesStartingWith(del.out, "delete: "),
              (std::set<std::string>{".git/config", "docs/.svn/entries"}))
        << del.out;
    EXPECT_FALSE(exists(".git/config"));
    EXPECT_FALSE(exists("docs/.svn/entries"));
    EXPECT_TRUE(exists("about.html"));
    EXPECT_EQ(run("").out.find("version-control files"), std::string::npos);

    // Published on purpose, they stay, and nothing is said.
    ToolRun again = run("--delete", {{"SITEMIRROR_PUBLISH_VCS", "on"}});
    ASSERT_EQ(again.status, 0) << again.out;
    ToolRun kept = run("--delete", {{"SITEMIRROR_PUBLISH_VCS", "on"}});
    EXPECT_EQ(kept.status, 0) << kept.out;
    EXPECT_EQ(kept.out.find("delete: "), std::string::npos) << kept.out;
    EXPECT_EQ(kept.out.find("version-control files"), std::string::npos) << kept.out;
    EXPECT_TRUE(exists(".git/config"));
}

TEST_P(DeployOnEachStore, AKeyXmlCannotCarryIsDeletedAloneAndNeverBlocksItsBatch)
{
    writePages("", 6);
    ASSERT_EQ(run("").status, 0);
    const std::vector<std::string> stray = {"old.html", std::string("odd\x01name.html"),
                                            std::string("esc\x1b[2J.html"), "tab\tkept.html"};
    for (const std::string &key : stray)
        store->putObject(bucket, key, "remote only\n");

    ToolRun del = run("--delete", {{"SITEMIRROR_MAX_DELETE_SHARE", "100"}});
    EXPECT_EQ(del.status, 0) << del.out;
    for (const std::string &key : stray)
        EXPECT_FALSE(exists(key)) << key << "\n" << del.out;
    EXPECT_TRUE(summarySays(del.out, ", deleted 4")) << del.out;
    // The lines show the control bytes, never send them to the terminal.
    EXPECT_NE(del.out.find("delete: odd\\x01name.html\n"), std::string::npos) << del.out;
    EXPECT_TRUE(exists("page0.html"));
}

TEST_P(DeployOnEachStore, StrayKeysThatResolveToFilesOfTheTreeAreStillDeleted)
{
    writePages("docs/", 6);
    ASSERT_EQ(run("").status, 0);
    // Keys no file has, whose paths a file system resolves to files that are there.
    const std::vector<std::string> stray = {"docs//page0.html", "/docs/page1.html"};
    for (const std::string &key : stray)
        store->putObject(bucket, key, "remote only\n");
    for (const std::string &key : stray)
        ASSERT_TRUE(exists(key)) << key;
    ToolRun del = run("--delete");
    EXPECT_EQ(del.status, 0) << del.out;
    EXPECT_EQ(linesStartingWith(del.out, "delete: "),
              (std::set<std::string>(stray.begin(), stray.end())))
        << del.out;
    for (const std::string &key : stray)
        EXPECT_FALSE(exists(key)) << key;
    EXPECT_TRUE(exists("docs/page0.html"));
}

TEST_P(DeployOnEachStore, TheDryRunPredictsThePageAndCountsWhatARunWouldSend)
{
    site.write("index.html", "<p>home</p>\n");
    site.write("a.css", "body{}\n");
    ToolRun first = run("-n");
    EXPECT_EQ(first.status, 0) << first.out;
    EXPECT_FALSE(site.exists("fileLists.html"));
    EXPECT_EQ(linesStartingWith(first.out, "would upload: "),
              (std::set<std::string>{"a.css (new)", "fileLists.html (page)", "index.html (new)"}))
        << first.out;

    // What the dry run names is what the run then sends, page included.
    bool bSettled = false;
    for (int i = 0; i < 5 && !bSettled; ++i) {
        ToolRun dry = run("-n");
        ASSERT_EQ(dry.status, 0) << dry.out;
        std::set<std::string> predicted;
        for (const std::string &line : linesStartingWith(dry.out, "would upload: "))
            predicted.insert(line.substr(0, line.find(" (")));
        ToolRun real = run("");
        ASSERT_EQ(real.status, 0) << real.out;
        EXPECT_EQ(predicted, e2e::uploadedKeys(real.out)) << dry.out << real.out;
        const std::string strSent = "summary: sent " + std::to_string(predicted.size()) + " (";
        EXPECT_NE(dry.out.find(strSent), std::string::npos) << strSent << "\n" << dry.out;
        bSettled = predicted.empty();
        if (i == 0)
            site.write("new.html", "<p>new</p>\n");
    }
    ASSERT_TRUE(bSettled);
    ToolRun settled = run("-n");
    EXPECT_EQ(linesStartingWith(settled.out, "would upload: "), std::set<std::string>{});
    EXPECT_NE(settled.out.find("summary: sent 0 (0 B), failed 0"), std::string::npos)
        << settled.out;
}

// The targets of the PUTs the proxy saw, in the order they arrived.
std::vector<std::string> putTargets(harness::Store &store)
{
    std::vector<std::string> targets;
    const std::string log = store.requestsJson();
    const std::string strHead = "\"method\": \"PUT\", \"target\": \"";
    for (std::size_t pos = log.find(strHead); pos != std::string::npos;
         pos = log.find(strHead, pos)) {
        pos += strHead.size();
        targets.push_back(log.substr(pos, log.find('"', pos) - pos));
    }
    return targets;
}

TEST(DeployPhases, ManyJobsSendAssetsThenPagesThenTheIndexPageOneJobKeyOrder)
{
    e2e::StoreRun setup;
    // Pages and assets interleaved in key order, the index page in the middle.
    const std::vector<std::string> assets = {"a.css", "b.js", "m.png", "z/zz.svg"};
    const std::vector<std::string> pages = {"about.html", "n.htm", "zz.html", "z/index.html"};
    for (const std::string &rel : assets)
        setup.site.write(rel, "asset " + rel + "\n");
    for (const std::string &rel : pages)
        setup.site.write(rel, "<p>" + rel + "</p>\n");
    for (const char *pszJobs : {"8", "1"}) {
        SCOPED_TRACE(std::string("jobs ") + pszJobs);
        setup.store.resetCounters();
        // A fresh bucket each time, so that every file goes up.
        setup.bucket = std::string("phases-") + pszJobs + ".example";
        setup.store.createBucket(setup.bucket);
        ToolRun run = setup.mirror({{"SITEMIRROR_JOBS", pszJobs}});
        ASSERT_EQ(run.status, 0) << run.out;
        std::vector<std::string> targets = putTargets(setup.store);
        ASSERT_EQ(targets.size(), assets.size() + pages.size() + 1) << setup.store.requestsJson();
        std::vector<std::string> keys;
        for (const std::string &target : targets)
            keys.push_back(target.substr(setup.bucket.size() + 2));
        std::vector<std::string> expected;
        if (std::string(pszJobs) == "1") {
            // The designed sequence: every file in key order.
            expected = {"a.css",  "about.html", "b.js",     "fileLists.html", "m.png",
                        "n.htm",  "z/index.html", "z/zz.svg", "zz.html"};
            EXPECT_EQ(keys, expected);
        } else {
            std::set<std::string> first(keys.begin(), keys.begin() + 4);
            std::set<std::string> second(keys.begin() + 4, keys.begin() + 8);
            EXPECT_EQ(first, std::set<std::string>(assets.begin(), assets.end()));
            EXPECT_EQ(second, std::set<std::string>(pages.begin(), pages.end()));
            EXPECT_EQ(keys.back(), "fileLists.html");
        }
        // Blocks stay in key order within each phase.
        std::vector<std::string> printed;
        for (const std::string &line : e2e::lines(run.out)) {
            auto pos = line.find(" ; ");
            if (line.rfind("upload:", 0) == 0 && pos != std::string::npos)
                printed.push_back(line.substr(pos + 3));
        }
        if (std::string(pszJobs) == "1") {
            EXPECT_EQ(printed, expected);
        } else {
            EXPECT_EQ(printed, (std::vector<std::string>{"a.css", "b.js", "m.png", "z/zz.svg",
                                                         "about.html", "n.htm", "z/index.html",
                                                         "zz.html", "fileLists.html"}));
        }
    }
}

TEST(DeployGuards, NoDeletionAfterAFailedUpload)
{
    harness::StoreOptions options;
    options.slowDownPuts = -1; // every PUT refused with 503 SlowDown
    e2e::StoreRun setup(options);
    setup.site.write("index.html", "<p>home</p>\n");
    setup.store.putObject(setup.bucket, "stale.html", "remote only\n");
    setup.args = "--delete";
    ToolRun del = setup.mirror({{"SITEMIRROR_RETRIES", "0"}});
    EXPECT_EQ(del.status, 1) << del.out;
    EXPECT_NE(del.out.find("upload error: "), std::string::npos) << del.out;
    EXPECT_NE(del.out.find("not deleting: not every file of the site is in the bucket\n"),
              std::string::npos)
        << del.out;
    EXPECT_EQ(del.out.find("delete: "), std::string::npos) << del.out;
    EXPECT_TRUE(setup.store.getObject(setup.bucket, "stale.html").exists);
    EXPECT_TRUE(summarySays(del.out, ", deleted 0")) << del.out;
}

// The key is the folder plus the path below the root: the limit of 1,024
// bytes counts both, in the scan, the dry run and the page alike.
TEST(DeployGuards, AKeyOverTheLimitWithItsFolderIsNamedNeverSentNorLinked)
{
    e2e::StoreRun setup;
    const std::string longName(250, 'n');
    const std::string strRel =
        longName + "/" + longName + "/" + longName + "/" + longName + "/" + std::string(16, 'x');
    ASSERT_EQ(strRel.size(), 1020u); // a key of its own without the folder
    setup.site.write(strRel, "deep\n");
    setup.site.write("index.html", "<p>home</p>\n");
    const std::string strLine =
        "cannot publish: " + setup.site.path(strRel) + " (key over 1024 bytes)\n";
    for (const char *pszArgs : {"-n", ""}) {
        setup.args = pszArgs;
        ToolRun run = setup.mirror({{"SITEMIRROR_PREFIX", "blog/"}});
        EXPECT_EQ(run.status, 1) << pszArgs << "\n" << run.out;
        EXPECT_NE(run.out.find(strLine), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("xxxxxxxxxxxxxxxx (new)"), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("status:"), std::string::npos) << run.out;
    }
    EXPECT_TRUE(setup.store.getObject(setup.bucket, "blog/index.html").exists);
    EXPECT_EQ(setup.site.read("fileLists.html").find("xxxxxxxxxxxxxxx"), std::string::npos);
}

TEST(DeployChangedList, TheChangedKeysAreWrittenOneALineAfterEachRun)
{
    e2e::StoreRun setup;
    setup.site.write("index.html", "<p>home</p>\n");
    setup.site.write("docs/a b.txt", "spaced\n");
    setup.store.putObject(setup.bucket, "site/gone.html", "remote only\n");
    const std::string strList = setup.site.base() + "/changed.txt";
    setup.args = "--delete --changed-list " + e2e::quote(strList);
    // The folder's one listed object goes: more than half of what is listed.
    ToolRun first = setup.mirror({{"SITEMIRROR_PREFIX", "site"}, {"SITEMIRROR_MAX_DELETE_SHARE", "100"}});
    ASSERT_EQ(first.status, 0) << first.out;
    EXPECT_EQ(readFile(strList), "site/docs/a b.txt\n"
                                 "site/fileLists.html\n"
                                 "site/index.html\n"
                                 "site/gone.html\n");

    // A run that changes nothing says so with an empty list.
    for (int i = 0; i < 3 && !readFile(strList).empty(); ++i)
        ASSERT_EQ(setup.mirror({{"SITEMIRROR_PREFIX", "site"}}).status, 0);
    EXPECT_EQ(readFile(strList), "");

    // The one-file form names its key.
    setup.args = "--changed-list " + e2e::quote(strList) + " " +
                 e2e::quote(setup.site.path("index.html"));
    ToolRun one = setup.mirror({{"SITEMIRROR_PREFIX", "site"}});
    ASSERT_EQ(one.status, 0) << one.out;
    EXPECT_EQ(readFile(strList), "site/index.html\n");

    // A list that cannot be written fails the run, naming the file.
    const std::string strMissing = setup.site.base() + "/no/such/folder/changed.txt";
    setup.args = "--changed-list " + e2e::quote(strMissing);
    ToolRun bad = setup.mirror();
    EXPECT_EQ(bad.status, 1) << bad.out;
    EXPECT_NE(bad.out.find("cannot write changed list: " + strMissing + " ("), std::string::npos)
        << bad.out;
}

} // namespace
