// What only the real store (radosgw) shows: how it answers the settings the
// tool is designed with, where it differs from S3.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <map>
#include <stdexcept>
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

// Run outside scripts/test, or with the store gone, a real-store case fails
// with the reason; it never passes or skips quietly.
TEST(RealStore, MissingVariablesOrAStoreThatDoesNotAnswerFailTheCase)
{
    struct Row {
        const char *what;
        const char *name;
        std::string value; // "" unsets it
    };
    const Row rows[] = {
        {"no endpoint", "SITEMIRROR_TEST_RGW_ENDPOINT", ""},
        {"no secret", "SITEMIRROR_TEST_RGW_SECRET_KEY", ""},
        {"nothing listening", "SITEMIRROR_TEST_RGW_ENDPOINT",
         "127.0.0.1:" + std::to_string(harness::refusedPort())},
        {"wrong secret", "SITEMIRROR_TEST_RGW_SECRET_KEY", "not-the-secret"},
    };
    { // the run's own settings reach the store
        harness::RealStore store;
        EXPECT_FALSE(store.endpoint().empty());
    }
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const std::string strSaved = getenv(row.name);
        if (row.value.empty())
            ::unsetenv(row.name);
        else
            ::setenv(row.name, row.value.c_str(), 1);
        EXPECT_THROW(harness::RealStore(), std::runtime_error);
        ::setenv(row.name, strSaved.c_str(), 1);
    }
}

} // namespace
