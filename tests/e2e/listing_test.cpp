// The bucket listed in ranges against the same bucket listed in one pass, on
// moto and on radosgw: keys between, before and beyond the cut points, empty
// ranges, ranges of many pages, cuts on keys that need encoding, and the
// lines of a listing that fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "harness.h"
#include "listing_ranges.h"
#include "myListObj.h"
#include "report.h"
#include "session.h"
#include "settings.h"
#include "site.h"

namespace {

using e2e::ToolRun;

// Names that need encoding, quoting or escaping in a query string or in XML.
const std::vector<std::string> kAwkwardNames = {
    "50%off.html",  "a%2Fb.html", "\"quoted\".html", "'single'.html", "ctl\x01.html",
    "tab\tname.html", "a+b c.html", "amp&lt;.html", "x<y>.html",     "~tilde.html",
    "nonchar\xef\xbf\xbe.html", "\xc3\xbc-umlaut.html"};

// How many plain pages the site has: more than two listing pages, so the
// mirror itself lists in ranges.
constexpr int kPlainFiles = 2100;

using Listed = std::vector<std::tuple<std::string, uint64_t, std::string>>;

Listed listed(const S3ObjSet &set)
{
    Listed out;
    for (const S3Obj &obj : set)
        out.emplace_back(obj.key, obj.size, obj.tag);
    return out;
}

class ListingOnEachStore : public e2e::OnEachStore {
protected:
    // The run's settings for an in-process session on this case's store.
    Settings settingsFor(const std::string &strSecret) const
    {
        Settings settings;
        settings.strEndpoint = "http://" + store->endpoint();
        settings.strKeyFile = site.base() + "/listing-key";
        std::FILE *f = std::fopen(settings.strKeyFile.c_str(), "w");
        if (f) {
            std::fprintf(f, "%s\n%s\n", store->accessKeyId().c_str(), strSecret.c_str());
            std::fclose(f);
        }
        settings.bSignatureV4 = std::string(GetParam().signature) == "v4";
        settings.bQuiet = true;
        return settings;
    }
    // Lists quietly (the lines are returned in out).
    bool list(Session &session, const std::string &strPrefix,
              const std::vector<std::string> *cuts, S3ObjSet &set, std::string *out = nullptr)
    {
        ::testing::internal::CaptureStdout();
        bool ok = cuts ? listObjects(session, bucket, strPrefix, *cuts, set)
                       : (strPrefix.empty() ? listObjects(session, bucket, set)
                                            : listObjects(session, bucket, strPrefix, set));
        std::string text = ::testing::internal::GetCapturedStdout();
        if (out)
            *out = text;
        return ok;
    }
};

INSTANTIATE_TEST_SUITE_P(Stores, ListingOnEachStore, ::testing::ValuesIn(e2e::kEachStore),
                         e2e::storeCaseName);

TEST_P(ListingOnEachStore, RangesListExactlyWhatOnePassLists)
{
    char szName[64];
    for (int i = 0; i < kPlainFiles; ++i) {
        std::snprintf(szName, sizeof szName, "many/p%04d.html", i);
        site.write(szName, std::string(static_cast<std::size_t>(i % 7), 'x'));
    }
    for (const std::string &name : kAwkwardNames)
        site.write(name, "<p>" + name + "</p>\n");
    auto vars = env();
    vars["SITEMIRROR_JOBS"] = "32";
    ToolRun first = e2e::runTool("-q", vars);
    ASSERT_EQ(first.status, 0) << first.out.substr(first.out.size() > 4000 ? first.out.size() - 4000 : 0);
    // Keys the tree does not have: before every local key, between two, and
    // beyond the last.
    for (const char *pszKey : {"!first", "many/p0500a.html", "many/p1799.html~", "zz-beyond",
                               "\xc3\xbc-umlaut.html.bak"})
        store->putObject(bucket, pszKey, "remote only");

    // The mirror lists in ranges while it reads the files: an unchanged tree
    // (the index page has changed once, it lists itself) sends nothing more.
    ToolRun second = e2e::runTool("-q", vars);
    ASSERT_EQ(second.status, 0) << second.out;
    ToolRun third = e2e::runTool("-q", vars);
    ASSERT_EQ(third.status, 0) << third.out;
    EXPECT_NE(third.out.find("summary: sent 0 (0 B), failed 0, unchanged " +
                             groupedCount(static_cast<long>(kPlainFiles + kAwkwardNames.size() + 1)) + ", "),
              std::string::npos)
        << third.out.substr(third.out.size() > 2000 ? third.out.size() - 2000 : 0);

    Settings settings = settingsFor(store->secretAccessKey());
    Session session(settings);
    ASSERT_TRUE(session.ready());
    S3ObjSet onePass;
    ASSERT_TRUE(list(session, "", nullptr, onePass));
    ASSERT_EQ(onePass.size(), kPlainFiles + kAwkwardNames.size() + 1 + 5);

    // Many ranges, each well inside a page. (Every seventh key made 300 of
    // them, each a whole listing for moto: minutes under load, for nothing
    // 30 do not show.)
    std::vector<std::string> everySeventieth;
    std::size_t i = 0;
    for (const S3Obj &obj : onePass)
        if (++i % 70 == 0)
            everySeventieth.push_back(obj.key);
    std::vector<std::string> awkward(kAwkwardNames.begin(), kAwkwardNames.end());
    std::sort(awkward.begin(), awkward.end());
    const std::map<std::string, std::vector<std::string>> cutSets = {
        {"every seventieth stored key", everySeventieth},
        {"the awkward keys themselves", awkward},
        {"keys the bucket lacks", {"\x01", "a", "many/p0250x", "many/p1500.htm", "zzzz"}},
        {"one range of many pages after the first key", {"!first"}},
        {"empty ranges beyond the end", {"~~~1", "~~~2", "~~~3"}},
        {"the remote-only keys", {"!first", "many/p0500a.html", "zz-beyond"}},
    };
    for (const auto &cuts : cutSets) {
        S3ObjSet ranged;
        std::string out;
        EXPECT_TRUE(list(session, "", &cuts.second, ranged, &out))
            << cuts.first << "\n" << out.substr(out.size() > 3000 ? out.size() - 3000 : 0);
        EXPECT_EQ(listed(ranged), listed(onePass)) << cuts.first;
    }

    // Below a prefix, with cuts that carry it, the keys come back whole.
    S3ObjSet prefixed;
    ASSERT_TRUE(list(session, "many/", nullptr, prefixed));
    EXPECT_EQ(prefixed.size(), kPlainFiles + 2u);
    EXPECT_EQ(prefixed.begin()->key, "many/p0000.html");
    const std::vector<std::string> prefixCuts = {"many/p0100.html", "many/p0990.html",
                                                 "many/p2000.html", "many/q"};
    S3ObjSet prefixedRanged;
    EXPECT_TRUE(list(session, "many/", &prefixCuts, prefixedRanged));
    EXPECT_EQ(listed(prefixedRanged), listed(prefixed));
}

// Lines that name one request (its id) differ from run to run.
std::string withoutRequestIds(const std::string &text)
{
    std::string out;
    for (const std::string &line : e2e::lines(text))
        if (line.find("equestId") == std::string::npos && line.find("HostId") == std::string::npos)
            out += line + "\n";
    return out;
}

TEST_P(ListingOnEachStore, ARefusedListingFailsWholeWithTheLinesOfOnePass)
{
    store->putObject(bucket, "index.html", "x");
    Settings settings = settingsFor("wrong-secret-0123456789");
    settings.nRetries = 0;
    Session session(settings);
    S3ObjSet onePass, ranged;
    std::string strOnePass, strRanged;
    EXPECT_FALSE(list(session, "", nullptr, onePass, &strOnePass));
    const std::vector<std::string> cuts = {"a", "m", "z"};
    Session again(settings); // a new run: its hints are given anew
    EXPECT_FALSE(list(again, "", &cuts, ranged, &strRanged));
    EXPECT_NE(strOnePass.find("listing failed at its first page\n"), std::string::npos)
        << strOnePass;
    EXPECT_EQ(withoutRequestIds(strRanged), withoutRequestIds(strOnePass));
    EXPECT_TRUE(ranged.empty());
}

// The listing starts while the files are read, but the console keeps one
// pass's order: a name no store takes is printed before anything the
// listing has to say, and a bucket context that cannot be had (no key file)
// is said once, before the designed " listObjects failed ".
TEST(ListingWhileScanning, TheConsoleKeepsTheScanThenListingOrder)
{
    for (bool bRefusedName : {false, true}) {
        SCOPED_TRACE(bRefusedName);
        e2e::Site site; // no key file written
        site.write("index.html", "<p>home</p>\n");
        if (bRefusedName)
            site.write("bad\xFF.html", "x");
        auto vars = site.env("order.example",
                             "http://127.0.0.1:" + std::to_string(harness::refusedPort()));
        ToolRun run = e2e::runTool("-q", vars);
        EXPECT_EQ(run.status, 1) << run.out;
        const std::vector<std::string> out = e2e::lines(run.out);
        const auto failed = std::find(out.begin(), out.end(), " listObjects failed ");
        ASSERT_NE(failed, out.end()) << run.out;
        // The one line that names the missing key file, just before it.
        ASSERT_NE(failed, out.begin());
        const std::string keyLine = *(failed - 1);
        EXPECT_NE(keyLine.find(site.keyFile()), std::string::npos) << run.out;
        EXPECT_EQ(std::count(out.begin(), out.end(), keyLine), 1) << run.out;
        const auto refused = std::find_if(out.begin(), out.end(), [](const std::string &line) {
            return line.rfind("cannot publish: ", 0) == 0;
        });
        EXPECT_EQ(refused != out.end(), bRefusedName) << run.out;
        if (refused != out.end()) {
            EXPECT_LT(refused - out.begin(), failed - 1 - out.begin()) << run.out;
        }
    }
}

} // namespace
