// The changed keys a CDN has not yet taken, kept per store and CDN: what goes
// in comes back byte for byte, once, in order, and only what the CDN took
// goes away.
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pending_invalidations.h"
#include "tempdir.h"

namespace {

TEST(PendingInvalidations, KeysComeBackOnceInOrderUntilTheCdnTookThem)
{
    TempDir dir;
    const std::string strCache = dir / "deep/cache/";
    PendingInvalidations pending(strCache, "store\nbucket\nblog/", "cloudfront:E1");
    std::vector<std::string> keys;
    ASSERT_TRUE(pending.load(keys)); // no file: none pending
    EXPECT_TRUE(keys.empty());

    // Keys any byte may be part of: line breaks and "%" stay one line each.
    const std::vector<std::string> odd = {"blog/a.html", "blog/line\nbreak", "blog/100%25.html",
                                          "blog/cr\r", "blog/%"};
    ASSERT_TRUE(pending.add(odd));
    ASSERT_TRUE(pending.add({"blog/a.html", "blog/z.html"}));
    ASSERT_TRUE(pending.load(keys));
    std::vector<std::string> expected = odd;
    expected.push_back("blog/z.html");
    EXPECT_EQ(keys, expected);

    // Another CDN or another store keeps its own.
    std::vector<std::string> other;
    ASSERT_TRUE(PendingInvalidations(strCache, "store\nbucket\nblog/", "changed-list").load(other));
    EXPECT_TRUE(other.empty());
    ASSERT_TRUE(PendingInvalidations(strCache, "store\nbucket\n", "cloudfront:E1").load(other));
    EXPECT_TRUE(other.empty());

    // Only what the CDN took goes; the file goes with the last key.
    ASSERT_TRUE(pending.clear({"blog/line\nbreak", "blog/not-pending"}));
    ASSERT_TRUE(pending.load(keys));
    EXPECT_EQ(keys, (std::vector<std::string>{"blog/a.html", "blog/100%25.html", "blog/cr\r",
                                              "blog/%", "blog/z.html"}));
    ASSERT_TRUE(pending.clear(keys));
    EXPECT_NE(::access(pending.path().c_str(), F_OK), 0);
    ASSERT_TRUE(pending.load(keys));
    EXPECT_TRUE(keys.empty());
}

TEST(PendingInvalidations, AFileThatIsNotOursIsNeitherReadNorCleared)
{
    TempDir dir;
    PendingInvalidations pending(dir.path(), "store", "cloudfront:E1");
    dir.write(pending.path().substr(dir.path().size() + 1), "some other file\na.html\n");
    std::vector<std::string> keys;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(pending.load(keys));
    EXPECT_FALSE(pending.clear({"a.html"}));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("pending invalidations damaged or foreign: " + pending.path()),
              std::string::npos)
        << err;
    EXPECT_TRUE(keys.empty());
}

} // namespace
