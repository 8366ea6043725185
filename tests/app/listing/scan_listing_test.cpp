// The scan and the listing side by side: while the listing has not answered,
// the scan reads the tree ahead, and the records it then gives are those a
// scan alone gives.
#include "scan_listing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "myS3Common.h"
#include "settings.h"
#include "tempdir.h"

namespace {

harness::FaultServer *g_heldStore = nullptr;
int g_nOpened = 0;
const int kFiles = 300;

// Each file the scan opens is counted; the last one lets the listing answer.
void countOpens(ScanHookPoint point, const std::string &)
{
    if (point == ScanBeforeOpen && ++g_nOpened == kFiles)
        g_heldStore->release();
}

struct Collect : MergeVisitor {
    int nOpenedAtFirst = -1; // files opened when the merge met its first key
    std::vector<S3Obj> local;
    void seen()
    {
        if (nOpenedAtFirst < 0)
            nOpenedAtFirst = g_nOpened;
    }
    void both(const S3Obj &obj, const S3Obj &) override { seen(), local.push_back(obj); }
    void localOnly(const S3Obj &obj) override { seen(), local.push_back(obj); }
    void remoteOnly(const S3Obj &) override { seen(); }
};

// A listing held back until every file was opened: without the scan going
// on meanwhile it would wait for the store's own limit, and the merge would
// find only the first few files read.
TEST(ScanBesideListing, TheScanReadsTheTreeWhileTheListingIsAwaited)
{
    harness::FaultServer store("held-listing");
    TempDir dir;
    for (int i = 0; i < kFiles; ++i)
        dir.write("f" + std::to_string(i % 7) + "-" + std::to_string(i) + ".txt",
                  std::string(static_cast<std::size_t>(i) * 37 % 5000, static_cast<char>('a' + i % 26)));
    TempDir keys;
    Settings settings;
    settings.strKeyFile = keys.write("s3key", "AKIAEXAMPLE\nsecret\n");
    settings.strEndpoint = "http://" + store.endpoint();
    S3_set_trace(0);

    std::vector<S3Obj> alone;
    {
        TreeScan scan(dir.path() + "/", ScanOptions());
        S3Obj obj;
        while (scan.next(obj))
            alone.push_back(obj);
        ASSERT_FALSE(scan.failed());
    }

    g_heldStore = &store;
    g_nOpened = 0;
    setScanHook(countOpens);
    Collect collect;
    Session session(settings);
    ::testing::internal::CaptureStdout();
    const ScanListOutcome outcome = scanAndMerge(session, "held.example", "", dir.path() + "/", ScanOptions(),
                                                 [&collect](std::size_t) -> MergeVisitor & { return collect; });
    const std::string out = ::testing::internal::GetCapturedStdout();
    setScanHook(nullptr);
    g_heldStore = nullptr;

    EXPECT_EQ(outcome, ScanListWhole) << out;
    EXPECT_EQ(collect.nOpenedAtFirst, kFiles);
    ASSERT_EQ(collect.local.size(), alone.size());
    for (std::size_t i = 0; i < alone.size(); ++i) {
        SCOPED_TRACE(alone[i].key);
        EXPECT_EQ(collect.local[i].key, alone[i].key);
        EXPECT_EQ(collect.local[i].size, alone[i].size);
        EXPECT_EQ(collect.local[i].tag.str(), alone[i].tag.str());
    }
}

} // namespace
