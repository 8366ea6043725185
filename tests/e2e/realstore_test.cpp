// What only the real store (radosgw) shows: how it answers the settings the
// tool is designed with, where it differs from S3.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "harness.h"
#include "site.h"

namespace {

using e2e::Site;
using e2e::ToolRun;

// The designed default storage class is REDUCED_REDUNDANCY. radosgw knows no
// such placement and refuses every PUT that names it with 400 InvalidArgument
// (S3 takes it; other stores answer InvalidStorageClass). The run fails, stores
// nothing, and says which setting to change.
TEST(RealStore, TheDesignedStorageClassIsRefusedWithAHintNamingItsSetting)
{
    e2e::RgwStore store;
    Site site;
    const std::string bucket = e2e::uniqueBucketName();
    store.createBucket(bucket);
    site.writeKeyFile(store.accessKeyId(), store.secretAccessKey());
    site.write("a.html", "a\n");
    site.write("b.html", "b\n");
    for (const char *pszSignature : {"v4", "v2"}) {
        SCOPED_TRACE(pszSignature);
        auto vars = site.env(bucket, "http://" + store.endpoint());
        vars["SITEMIRROR_SIGNATURE"] = pszSignature;
        ToolRun run = e2e::runTool("", vars);
        EXPECT_EQ(run.status, 1) << run.out;
        EXPECT_NE(run.out.find("failed 3,"), std::string::npos) << run.out; // a, b and the page
        EXPECT_FALSE(store.getObject(bucket, "a.html").exists);
        int nHints = 0;
        for (const std::string &line : e2e::lines(run.out)) {
            if (line.rfind("hint:", 0) == 0 &&
                line.find("SITEMIRROR_STORAGE_CLASS") != std::string::npos)
                ++nHints;
        }
        EXPECT_EQ(nHints, 1) << run.out; // once per run, not once per file
    }
}

} // namespace
