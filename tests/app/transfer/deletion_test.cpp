// Removal of what the site no longer has: which listed objects may go, and
// the deletes themselves as a store answers them, refusals and batches.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "deletion.h"
#include "deletion_plan.h"
#include "harness.h"
#include "ignore.h"
#include "myPutObj.h"
#include "tempdir.h"

namespace {

TEST(Deletion, OnlyWhatIsGoneFromTheTreeAndNotIgnoredMayGo)
{
    TempDir dir;
    ASSERT_EQ(::mkdir((dir / "docs").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((dir / "uploads").c_str(), 0755), 0);
    dir.write("index.html", "home");
    dir.write("docs/a.html", "a");
    ASSERT_EQ(::symlink("nowhere", (dir / "dangling").c_str()), 0);
    IgnoreRules ignore;
    ignore.parse("*.log\nuploads/\n/private\n");

    struct Row {
        const char *key;
        bool bGoes;
    } rows[] = {
        {"index.html", false},       // the file is there
        {"docs/a.html", false},
        {"docs", false},             // a folder of that name is there
        {"dangling", false},         // so is a link, even one that leads nowhere
        {"fileLists.html", false},   // the run writes the page itself
        {"", false},                 // the folder's own marker
        {"server.log", false},       // ignored: not ours to touch
        {"docs/deep/old.log", false},
        {"uploads/photo.jpg", false}, // inside an ignored folder
        {"private/notes.txt", false},
        {"old.html", true},
        {"docs/b.html", true},
        {"gone/deep/er.css", true},
        {"index.html/x", true},      // below a file: nothing can be there
        {"uploads.jpg", true},       // the folder rule names folders only
        {"docs/private/x", true},    // anchored to the root
        // Keys no file has, though the paths resolve to files that are there.
        {"./index.html", true},
        {"/index.html", true},
        {"docs//a.html", true},
        {"docs/../index.html", true},
        {"docs/./a.html", true},
        {"docs/", false},            // a folder's marker: the folder is there
    };
    S3ObjSet remote;
    std::vector<std::string> expected;
    for (const Row &r : rows) {
        S3Obj obj;
        obj.key = r.key;
        remote.insert(obj);
    }
    for (const S3Obj &obj : remote) {
        for (const Row &r : rows)
            if (obj.key == r.key && r.bGoes)
                expected.push_back(obj.key);
    }
    EXPECT_EQ(deletionCandidates(remote, dir.path() + "/", &ignore), expected);

    // Without rules the ignored keys go too, when nothing is there locally.
    std::vector<std::string> all = deletionCandidates(remote, dir.path() + "/", nullptr);
    EXPECT_EQ(all.size(), expected.size() + 4);
}

// A store answer, served whatever the request.
std::string answerFile(const TempDir &dir, const std::string &xml)
{
    return dir.write("answer.xml", xml);
}

struct Deleting {
    TempDir dir;
    Settings settings;
    std::string out;
    Deleting() { settings.nRetries = 0; }

    DeleteTotals run(harness::FaultServer &server, const std::vector<std::string> &keys,
                     std::vector<std::string> &changed)
    {
        settings.strKeyFile = dir.write("s3key", "AKIAEXAMPLE\nsecret\n");
        settings.strEndpoint = "http://" + server.endpoint();
        S3_set_trace(0);
        Session session(settings);
        MyS3Context context(session);
        S3BucketContext ctx;
        EXPECT_TRUE(context.initialize("deletes.example", ctx));
        ::testing::internal::CaptureStdout();
        DeleteTotals totals = deleteKeys(session, ctx, "deletes.example", keys);
        out = ::testing::internal::GetCapturedStdout();
        changed = session.changedKeys();
        return totals;
    }
};

TEST(Deletion, RefusedKeysFailAloneAndAreNotCountedAsChanged)
{
    Deleting d;
    const std::string strAnswer = answerFile(
        d.dir, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><DeleteResult>"
               "<Error><Key>b.html</Key><Code>AccessDenied</Code><Message>Access Denied</Message>"
               "</Error></DeleteResult>");
    harness::FaultServer server("status:200:" + strAnswer);
    std::vector<std::string> changed;
    DeleteTotals totals = d.run(server, {"a.html", "b.html", "c.html"}, changed);
    EXPECT_EQ(totals.nDeleted, 2);
    EXPECT_EQ(totals.nFailed, 1);
    EXPECT_EQ(changed, (std::vector<std::string>{"a.html", "c.html"}));
    EXPECT_EQ(d.out, "delete: a.html\n"
                     "delete: b.html\n"
                     "delete: c.html\n"
                     "succeed\n"
                     "delete error: bucket: deletes.example key:b.html (AccessDenied: Access Denied)\n");
    EXPECT_EQ(server.requestsSeen(), 1);
}

TEST(Deletion, MoreKeysThanOneRequestTakesGoInSeveralAndAFailedRequestFailsItsKeys)
{
    Deleting d;
    const std::string strAnswer = answerFile(d.dir, "<DeleteResult></DeleteResult>");
    harness::FaultServer server("status:200:" + strAnswer);
    std::vector<std::string> keys;
    for (int i = 0; i < S3_MAX_DELETE_OBJECTS_COUNT + 1; ++i)
        keys.push_back("k" + std::to_string(i));
    std::vector<std::string> changed;
    DeleteTotals totals = d.run(server, keys, changed);
    EXPECT_EQ(totals.nDeleted, S3_MAX_DELETE_OBJECTS_COUNT + 1);
    EXPECT_EQ(totals.nFailed, 0);
    EXPECT_EQ(changed, keys);
    EXPECT_EQ(server.requestsSeen(), 2);

    harness::FaultServer refusing("status:403:" + answerFile(d.dir,
        "<Error><Code>AccessDenied</Code><Message>Access Denied</Message></Error>"));
    totals = d.run(refusing, {"x", "y"}, changed);
    EXPECT_EQ(totals.nDeleted, 0);
    EXPECT_EQ(totals.nFailed, 2);
    EXPECT_TRUE(changed.empty());
    EXPECT_NE(d.out.find("delete: x\ndelete: y\nstatus:48\n"), std::string::npos) << d.out;
    EXPECT_EQ(refusing.requestsSeen(), 1); // a refusal is not tried again

    // A store that asks to slow down is asked again, as an upload would be.
    harness::FaultServer busy("status:503:" + answerFile(d.dir,
        "<Error><Code>SlowDown</Code><Message>Please reduce your request rate.</Message></Error>"));
    d.settings.nRetries = 1;
    totals = d.run(busy, {"x"}, changed);
    EXPECT_EQ(totals.nFailed, 1);
    EXPECT_EQ(busy.requestsSeen(), 2);
    EXPECT_NE(d.out.find("retry 1 of 1 in "), std::string::npos) << d.out;
    EXPECT_NE(d.out.find(": SlowDown (delete of 1 keys)\n"), std::string::npos) << d.out;
}

} // namespace
