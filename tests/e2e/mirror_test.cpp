// The sitemirror binary end to end against the loopback store and the real
// one (radosgw): what lands in the bucket, what is sent again, what the console
// says and the exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "site.h"

namespace {

using e2e::ToolRun;
using e2e::Site;

// Runs until a run sends nothing but the index page no more (at most three).
void settle(const std::map<std::string, std::string> &vars)
{
    for (int i = 0; i < 3; ++i) {
        ToolRun run = e2e::runTool("", vars);
        ASSERT_EQ(run.status, 0) << run.out;
        std::set<std::string> keys = e2e::uploadedKeys(run.out);
        if (keys.empty())
            return;
        ASSERT_EQ(keys, std::set<std::string>{"fileLists.html"}) << run.out;
    }
    FAIL() << "the index page did not settle";
}

// Cases that need the proxy's counters or request log, or do not reach a store at all.
class Mirror : public e2e::StoreSuite {
protected:
    ToolRun mirror() { return e2e::runTool("", env()); }
    static std::set<std::string> uploadedKeys(const std::string &out) { return e2e::uploadedKeys(out); }
    void settle() { ::settle(env()); }
};

// Cases that run on moto and on radosgw alike. radosgw has no proxy in front,
// so what the proxy counts is checked on moto only; the console's summary line
// says the same on both.
class MirrorOnEachStore : public e2e::OnEachStore {
protected:
    ToolRun mirror() { return e2e::runTool("", env()); }
    static std::set<std::string> uploadedKeys(const std::string &out) { return e2e::uploadedKeys(out); }
    void settle() { ::settle(env()); }
    void resetCounters()
    {
        if (proxy())
            proxy()->resetCounters();
    }
    // PUTs the proxy saw since resetCounters(); -1 on radosgw.
    int puts() { return proxy() ? proxy()->counters().puts : -1; }
};

INSTANTIATE_TEST_SUITE_P(Stores, MirrorOnEachStore, ::testing::ValuesIn(e2e::kEachStore),
                         e2e::storeCaseName);

TEST_P(MirrorOnEachStore, FirstRunStoresEveryRegularFileWithItsTypeClassAndAcl)
{
    struct File {
        std::string rel;
        std::string contentType; // "" = not checked
        bool bPublic;
    };
    const std::vector<File> files = {
        {"index.html", "text/html", true},
        {"Index.html", "text/html", true},
        {".htaccess", "", true},
        {"a b.html", "text/html", true},
        {"plus+sign.txt", "text/plain", true},
        {"100%.txt", "text/plain", true},
        {"it's \"quoted\".txt", "text/plain", true},
        {"[draft] (1).html", "text/html", true},
        {"caf\xc3\xa9/na\xc3\xafve.html", "text/html", true},
        {"a/b/c/deep.txt", "text/plain", true},
        {"css/site.css", "text/css", true},
        {"img/logo.svg", "image/svg+xml", true},
        {"fonts/body.woff2", "font/woff2", true},
        {"empty.txt", "text/plain", true},
        {"personal/notes.html", "text/html", false},
        {"personal.html", "text/html", false},
        {"personalia/x.html", "text/html", false},
        {"blog/personal/x.html", "text/html", true},
    };
    for (const File &f : files)
        site.write(f.rel, f.rel == "empty.txt" ? "" : "content of " + f.rel + "\n");
    site.symlink("index.html", "link.html");
    site.symlink("a", "linkdir");
    const time_t T = 1500000000;
    site.setTime("index.html", T);

    ToolRun run = mirror();
    ASSERT_EQ(run.status, 0) << run.out << run.err;

    for (const File &f : files) {
        SCOPED_TRACE(f.rel);
        harness::StoredObject obj = store->getObject(bucket, f.rel);
        ASSERT_TRUE(obj.exists);
        EXPECT_EQ(obj.body, site.read(f.rel));
        if (!f.contentType.empty()) {
            EXPECT_EQ(obj.contentType, f.contentType);
        }
        EXPECT_EQ(obj.storageClass, storageClass());
        EXPECT_EQ(store->isPublicRead(bucket, f.rel), f.bPublic);
    }
    // Links are not followed: neither the file link nor anything below the folder link.
    EXPECT_FALSE(store->getObject(bucket, "link.html").exists);
    EXPECT_FALSE(store->getObject(bucket, "linkdir/b/c/deep.txt").exists);

    // The index page is written into the tree first and goes up in the same run.
    harness::StoredObject page = store->getObject(bucket, "fileLists.html");
    ASSERT_TRUE(page.exists);
    EXPECT_EQ(page.body, site.read("fileLists.html"));
    EXPECT_TRUE(store->isPublicRead(bucket, "fileLists.html"));

    // A new file: its two decision lines, its upload line, then the report.
    const std::string strContent = "content of index.html\n";
    std::vector<std::string> out = e2e::lines(run.out);
    auto it = std::find(out.begin(), out.end(), "DirectionUpload:index.html");
    ASSERT_NE(it, out.end()) << run.out;
    ASSERT_GE(out.end() - it, 4);
    EXPECT_EQ(it[1], std::to_string(strContent.size()) + std::to_string(T));
    EXPECT_EQ(it[2], "upload:" + site.root() + "/index.html ; index.html");
    EXPECT_EQ(it[3], "succeed");
    EXPECT_EQ(uploadedKeys(run.out).size(), files.size() + 1);
    EXPECT_EQ(run.out.find("upload error"), std::string::npos);
}

TEST_P(MirrorOnEachStore, UnchangedTreeSettlesAndThenSendsNothing)
{
    site.write("index.html", "<p>home</p>\n");
    site.write(".htaccess", "Options -Indexes\n");
    site.write("-dash.txt", "sorts before the slash\n");
    site.write("personal/diary.html", "private\n");
    ToolRun first = mirror();
    ASSERT_EQ(first.status, 0) << first.out;
    settle();

    resetCounters();
    ToolRun quiet = mirror();
    EXPECT_EQ(quiet.status, 0) << quiet.out;
    EXPECT_LE(puts(), 0);
    EXPECT_NE(quiet.out.find("\nsummary: sent 0 (0 B), failed 0, unchanged 5, "), std::string::npos)
        << quiet.out;
    EXPECT_EQ(quiet.out.find("upload:"), std::string::npos) << quiet.out;
    EXPECT_EQ(quiet.out.find("DirectionUpload:"), std::string::npos) << quiet.out;
}

TEST_P(MirrorOnEachStore, OnlyChangedAndAddedFilesAreSentAgain)
{
    site.write("same-size.html", "aaaa\n");
    site.write("touched.html", "unchanged\n");
    site.write("other.html", "other\n");
    ASSERT_EQ(mirror().status, 0);
    settle();

    site.write("same-size.html", "bbbb\n");    // same size, other digest
    site.setTime("touched.html", 1000000000); // new time, same bytes
    site.write("added.html", "new\n");
    ToolRun run = mirror();
    ASSERT_EQ(run.status, 0) << run.out;
    // The index page gains a row for the added file, so it goes up too.
    EXPECT_EQ(uploadedKeys(run.out),
              (std::set<std::string>{"added.html", "fileLists.html", "same-size.html"}))
        << run.out;
    EXPECT_EQ(store->getObject(bucket, "same-size.html").body, "bbbb\n");
    EXPECT_NE(run.out.find("DirectionUpload:added.html"), std::string::npos);
    EXPECT_EQ(run.out.find("DirectionUpload:same-size.html"), std::string::npos);
}

TEST_P(MirrorOnEachStore, KeysOfAnyBytesAreStoredAsNamedAndConverge)
{
    // Bytes XML 1.0 cannot carry, a carriage return, quotes, a noncharacter, '%' and '+'.
    std::vector<std::string> names = {
        "ctl\x01.html", "esc\x1b.html", "cr\r.html", "\"quoted\".html",
        "nonchar\xef\xbf\xbe.html", "50%off.html", "a+b c.html"};
    // radosgw (unlike S3) echoes the listing's marker in <Marker> undecoded even
    // with encoding-type=url: a control byte as a character reference and a
    // noncharacter raw, both of which XML 1.0 forbids. The page after such a
    // key (here the last one) must still be read.
    for (const std::string &name : names)
        site.write(name, "<p>" + name + "</p>\n");
    ToolRun first = mirror();
    ASSERT_EQ(first.status, 0) << first.out;
    // The console names them with their control bytes spelled out: one line
    // each, nothing that drives the terminal.
    for (const char *pszShown : {"ctl\\x01.html", "esc\\x1B.html", "cr\\x0D.html"})
        EXPECT_NE(first.out.find(std::string("DirectionUpload:") + pszShown + "\n"),
                  std::string::npos)
            << pszShown << "\n" << first.out;
    for (char c : {'\x01', '\x1b', '\r'})
        EXPECT_EQ(first.out.find(c), std::string::npos) << int(c);
    settle();
    resetCounters();
    ToolRun again = mirror();
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_LE(puts(), 0) << again.out;
    EXPECT_NE(again.out.find("\nsummary: sent 0 (0 B), failed 0, unchanged " +
                             std::to_string(names.size() + 1) + ", "),
              std::string::npos)
        << again.out;
    for (const std::string &name : names)
        EXPECT_EQ(store->getObject(bucket, name).body, "<p>" + name + "</p>\n") << name;
}

TEST_P(MirrorOnEachStore, RemoteOnlyObjectsAreLeftAlone)
{
    store->putObject(bucket, "old/removed-locally.html", "still here");
    site.write("index.html", "<p>home</p>\n");
    ToolRun run = mirror();
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(store->getObject(bucket, "old/removed-locally.html").body, "still here");
    EXPECT_EQ(run.out.find("removed-locally"), std::string::npos);
}

TEST_F(Mirror, ConnectionsAreKeptAcrossTheRun)
{
    for (int i = 0; i < 12; ++i)
        site.write("page-" + std::to_string(i) + ".html", "page " + std::to_string(i) + "\n");
    store->resetCounters();
    ToolRun run = mirror();
    ASSERT_EQ(run.status, 0) << run.out;
    harness::Counters c = store->counters();
    EXPECT_EQ(c.puts, 13);
    EXPECT_LE(c.connections, 1 + 16) << "requests: " << c.requests; // the listing, then 16 in flight
}

TEST_P(MirrorOnEachStore, RefusedCredentialsListNothingAndSendNothing)
{
    site.write("index.html", "<p>home</p>\n");
    site.writeKeyFile(store->accessKeyId(), "not-the-secret");
    resetCounters();
    ToolRun run = mirror();
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("\n listObjects failed \n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("status:103"), std::string::npos) << run.out; // SignatureDoesNotMatch
    EXPECT_EQ(run.out.find("upload:"), std::string::npos);
    EXPECT_LE(puts(), 0);
    EXPECT_FALSE(store->getObject(bucket, "index.html").exists);
}

// Standard output whose reader has gone (`sitemirror | head -1`): printing
// stops, the work does not. The run starts only once the pipe has no reader.
TEST_F(Mirror, AClosedStandardOutputStopsThePrintingNeverTheRun)
{
    site.write("index.html", "<p>home</p>\n");
    site.write("a.css", "body{}\n");
    const std::string strClosed = site.base() + "/reader-gone";
    const std::string strStatus = site.base() + "/status";
    const std::string strList = site.base() + "/changed.txt";
    const std::string cmd = "{ n=0; while [ ! -e " + e2e::quote(strClosed) +
                            " ] && [ $n -lt 1000 ]; do sleep 0.01; n=$((n+1)); done; " +
                            SITEMIRROR_BINARY + " --changed-list " + e2e::quote(strList) +
                            "; echo $? > " + e2e::quote(strStatus) + "; } | { exec 0<&-; touch " +
                            e2e::quote(strClosed) + "; }";
    std::string out, err;
    ASSERT_EQ(harness::runCommand(cmd, &out, &err, env(), 120), 0) << err;
    std::ifstream status(strStatus);
    std::string strStatusText;
    std::getline(status, strStatusText);
    EXPECT_EQ(strStatusText, "0") << err;
    EXPECT_TRUE(store->getObject(bucket, "a.css").exists);
    EXPECT_TRUE(store->getObject(bucket, "fileLists.html").exists);
    std::ifstream list(strList);
    std::string strFirst;
    std::getline(list, strFirst);
    EXPECT_EQ(strFirst, "a.css");
}

TEST_F(Mirror, UnreachableStoreFailsTheRun)
{
    site.write("index.html", "<p>home</p>\n");
    auto vars = site.env(bucket, "http://127.0.0.1:" + std::to_string(harness::refusedPort()));
    ToolRun run = e2e::runTool("", vars);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find(" listObjects failed "), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("upload:"), std::string::npos);
}

TEST_F(Mirror, MissingKeyFileSendsNothing)
{
    site.write("index.html", "<p>home</p>\n");
    auto vars = env();
    vars["SITEMIRROR_KEY_FILE"] = site.root() + "/../no-such-key";
    store->resetCounters();
    ToolRun run = e2e::runTool("", vars);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find(" listObjects failed \nsummary: sent 0 (0 B), failed 0, unchanged 0, "
                           "ignored 0, "),
              std::string::npos)
        << run.out;
    EXPECT_EQ(store->counters().requests, 0);
}

TEST_F(Mirror, UnreadableFileStopsTheRunBeforeAnythingIsSent)
{
    site.write("index.html", "<p>home</p>\n");
    site.write("secret.html", "root only\n");
    ASSERT_EQ(::chmod(site.path("secret.html").c_str(), 0600), 0);
    site.openToEveryone(); // folders and key file readable by the unprivileged user
    store->resetCounters();
    ToolRun run = e2e::runTool("", env(), "setpriv --reuid=65534 --regid=65534 --clear-groups ");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find(" getAllFiles failed \nsummary: sent 0 (0 B), failed 0, "), std::string::npos)
        << run.out;
    EXPECT_EQ(store->counters().requests, 0);
}

// A file that cannot be read while it is sent is named with the reason, and
// is not taken for a file that changed: a read error (EIO, provoked by a
// preloaded library; the digest cache spares the scan from reading it) and a
// file the process may not open (the one-file form as an unprivileged user).
TEST_F(Mirror, AFileThatCannotBeReadWhileSentIsNamedWithTheReason)
{
    site.write("logo.png", "png");
    site.write("broken.bin", std::string(5000, 'b'));
    ToolRun first = mirror();
    ASSERT_EQ(first.status, 0) << first.out;

    const std::string other = bucket + "-eio";
    store->createBucket(other);
    auto vars = site.env(other, "http://" + store->endpoint());
    vars["LD_PRELOAD"] = SITEMIRROR_EIO_PRELOAD;
    vars["EIO_PRELOAD_MARK"] = "broken.bin";
    vars["ASAN_OPTIONS"] = "detect_leaks=1:abort_on_error=1:verify_asan_link_order=0";
    ToolRun eio = e2e::runTool("", vars);
    EXPECT_EQ(eio.status, 1) << eio.out;
    EXPECT_NE(eio.out.find("cannot read: " + site.path("broken.bin") + " (Input/output error)\n"),
              std::string::npos)
        << eio.out << eio.err;
    EXPECT_EQ(eio.out.find("file changed during the run"), std::string::npos) << eio.out;
    EXPECT_TRUE(store->getObject(other, "logo.png").exists);
    EXPECT_FALSE(store->getObject(other, "broken.bin").exists);

    const std::string secret = site.base() + "/secret.bin";
    std::ofstream(secret) << "root only\n";
    ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
    site.openToEveryone();
    ToolRun one = e2e::runTool(e2e::quote(secret), env(), "setpriv --reuid=65534 --regid=65534 --clear-groups ");
    EXPECT_EQ(one.status, 1) << one.out;
    EXPECT_NE(one.out.find("cannot read: " + secret + " (Permission denied)\n"), std::string::npos) << one.out;
    EXPECT_FALSE(store->getObject(bucket, "secret.bin").exists);
}

TEST_F(Mirror, UnwritablePageStillMirrorsButFailsTheRun)
{
    site.write("index.html", "<p>home</p>\n");
    site.openToEveryone(); // readable by the unprivileged user, the root not writable
    ToolRun run = e2e::runTool("", env(), "setpriv --reuid=65534 --regid=65534 --clear-groups ");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_FALSE(site.exists("fileLists.html"));
    EXPECT_EQ(store->getObject(bucket, "index.html").body, "<p>home</p>\n");
    EXPECT_EQ(run.out.find("upload error"), std::string::npos) << run.out;
}

TEST_F(Mirror, UnresolvableRootStopsBeforeTheMirror)
{
    auto vars = env();
    vars["SITEMIRROR_ROOT"] = site.root() + "/missing/";
    store->resetCounters();
    ToolRun run = e2e::runTool("", vars);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(store->counters().requests, 0);
}

TEST_P(MirrorOnEachStore, OneFileGoesUpPublicUnderItsBaseName)
{
    site.write("personal/cv.html", "<p>cv</p>\n");
    ToolRun run = e2e::runTool(e2e::quote(site.root() + "/personal/../personal/cv.html"), env());
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, "succeed\n");
    harness::StoredObject obj = store->getObject(bucket, "cv.html");
    ASSERT_TRUE(obj.exists);
    EXPECT_EQ(obj.body, "<p>cv</p>\n");
    EXPECT_EQ(obj.storageClass, storageClass());
    EXPECT_TRUE(store->isPublicRead(bucket, "cv.html"));
    EXPECT_FALSE(store->getObject(bucket, "personal/cv.html").exists);
    EXPECT_FALSE(site.exists("fileLists.html")); // the one-file form writes no page
}

TEST_F(Mirror, OneFileFormRefusesWhatIsNotAFile)
{
    site.write("sub/a.html", "a\n");
    store->resetCounters();

    ToolRun dir = e2e::runTool(e2e::quote(site.root() + "/sub"), env());
    EXPECT_EQ(dir.status, 1);
    EXPECT_EQ(dir.out.rfind("not a regular file: ", 0), 0u) << dir.out;
    EXPECT_NE(dir.out.find("/sub\n"), std::string::npos) << dir.out;

    ToolRun device = e2e::runTool("/dev/null", env());
    EXPECT_EQ(device.status, 1);
    EXPECT_EQ(device.out, "not a regular file: /dev/null\n");

    auto vars = env();
    vars["SITEMIRROR_KEY_FILE"] = site.root() + "/sub";
    ToolRun badKey = e2e::runTool(e2e::quote(site.path("sub/a.html")), vars);
    EXPECT_EQ(badKey.status, 1);
    EXPECT_EQ(badKey.out, "cannot read key file: " + site.root() + "/sub (a folder)\n");

    ToolRun missing = e2e::runTool("no/such/file.html", env());
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "invalid path:no/such/file.html\n");

    ToolRun usage = e2e::runTool("a b", env());
    EXPECT_EQ(usage.status, 2);
    EXPECT_EQ(usage.out, std::string("usage:") + SITEMIRROR_BINARY + "[filetoupload]\n");

    EXPECT_EQ(store->counters().requests, 0);
}

TEST_P(MirrorOnEachStore, QuotedKeysConvergeAndTheSummaryCountsTheRun)
{
    // Keys that begin or end with a quote, and one that is only a quote, at
    // the end of a listing page as well as inside it.
    site.write("\"quoted\".html", "q\n");
    site.write("\"", "just a quote\n");
    site.write("plain.html", "p\n");
    ToolRun first = mirror();
    ASSERT_EQ(first.status, 0) << first.out;
    EXPECT_NE(first.out.find("summary: sent 4 ("), std::string::npos) << first.out;
    settle();

    resetCounters();
    ToolRun quiet = mirror();
    EXPECT_EQ(quiet.status, 0) << quiet.out;
    EXPECT_LE(puts(), 0) << quiet.out;
    EXPECT_NE(quiet.out.find("\nsummary: sent 0 (0 B), failed 0, unchanged 4, ignored 0, "),
              std::string::npos)
        << quiet.out;
}

TEST_F(Mirror, InvalidSettingsNameTheVariableAndExit2BeforeAnything)
{
    site.write("index.html", "<p>home</p>\n");
    store->resetCounters();
    auto vars = env();
    vars["SITEMIRROR_JOBS"] = "0";
    vars["SITEMIRROR_SIGNATURE"] = "v3";
    ToolRun run = e2e::runTool("", vars);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out,
              "invalid setting: SITEMIRROR_SIGNATURE=v3 (accepted: v4, v2)\n"
              "invalid setting: SITEMIRROR_JOBS=0 (accepted: auto, or a whole number from 1 to 64)\n");
    EXPECT_EQ(store->counters().requests, 0);
    EXPECT_FALSE(site.exists("fileLists.html"));
}

// The same run over HTTPS, verified against the store's own CA.
class MirrorTls : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        harness::StoreOptions options;
        options.tls = true;
        store = new harness::Store(options);
    }
    static void TearDownTestSuite()
    {
        delete store;
        store = nullptr;
    }
    static harness::Store *store;
};

harness::Store *MirrorTls::store = nullptr;

TEST_F(MirrorTls, HttpsEndpointWorksWithItsCaAndFailsWithout)
{
    Site site;
    site.writeKeyFile(harness::kAccessKeyId, harness::kSecretAccessKey);
    site.write("index.html", "<p>secure</p>\n");
    store->createBucket("tls.example");
    auto vars = site.env("tls.example", "https://" + store->endpoint());

    ToolRun refused = e2e::runTool("", vars); // the system's CAs do not know the store
    EXPECT_EQ(refused.status, 1) << refused.out;
    EXPECT_FALSE(store->getObject("tls.example", "index.html").exists);

    vars["SITEMIRROR_CA_FILE"] = store->caFile();
    ToolRun run = e2e::runTool("", vars);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(store->getObject("tls.example", "index.html").body, "<p>secure</p>\n");
}

} // namespace
