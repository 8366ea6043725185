// The mirror's decision rule and the private-folder rule.
#include "sync.h"

#include <gtest/gtest.h>

namespace {

S3Obj obj(const std::string &key, uint64_t size, const std::string &tag, int64_t time = 0)
{
    S3Obj o;
    o.key = key;
    o.size = size;
    o.tag = tag;
    o.time = time;
    return o;
}

TEST(SyncDecision, UploadWhenMissingOrDifferentBySizeOrDigest)
{
    const std::string md5 = "0cc175b9c0f1b6a831c399e269772661";
    const S3Obj local = obj("a.html", 10, md5, 1000);
    struct Row {
        const char *what;
        bool bRemote;
        S3Obj remote;
        SyncDirectionEnum expected;
    } rows[] = {
        {"missing remotely", false, {}, DirectionUpload},
        {"same size and digest", true, obj("a.html", 10, md5, 5), DirectionNone},
        {"times never count", true, obj("a.html", 10, md5, 999999), DirectionNone},
        {"size differs", true, obj("a.html", 11, md5), DirectionUpload},
        {"size differs, no remote tag", true, obj("a.html", 9, ""), DirectionUpload},
        {"same size, other digest", true, obj("a.html", 10, "92eb5ffee6ae2fec3ad71c777531578f"),
         DirectionUpload},
        {"same size, no remote tag", true, obj("a.html", 10, ""), DirectionUpload},
        {"multipart tag never matches", true, obj("a.html", 10, md5 + "-2"), DirectionUpload},
        {"digest compared case-sensitively", true,
         obj("a.html", 10, "0CC175B9C0F1B6A831C399E269772661"), DirectionUpload},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(decideDirection(local, row.bRemote ? &row.remote : nullptr), row.expected)
            << row.what;
    }
}

TEST(SyncDecision, PersonalIsAPlainTextPrefixUnderTheRoot)
{
    const std::string root = "/srv/site/";
    struct Row {
        const char *rel;
        S3CannedAcl acl;
    } rows[] = {
        {"personal/notes.html", S3CannedAclPrivate},
        {"personal.html", S3CannedAclPrivate},
        {"personalia/x.html", S3CannedAclPrivate},
        {"personal", S3CannedAclPrivate},
        {"blog/personal/x.html", S3CannedAclPublicRead},
        {"Personal/x.html", S3CannedAclPublicRead},
        {"persona.html", S3CannedAclPublicRead},
        {"index.html", S3CannedAclPublicRead},
        {"fileLists.html", S3CannedAclPublicRead},
    };
    for (const Row &row : rows)
        EXPECT_EQ(aclForPath(root + row.rel, root), row.acl) << row.rel;
    // A path outside the root is never matched against another root's folder.
    EXPECT_EQ(aclForPath("/srv/other/personal/x", root), S3CannedAclPublicRead);
}

} // namespace
