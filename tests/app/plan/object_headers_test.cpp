// The headers a publisher sets: HTTP dates, metadata names, canned ACL
// names, the charset rule, what the digest cache records of them, the
// request they fill and how a HEAD's answer is compared with them.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>

#include "cache_rules.h"
#include "header_update.h"
#include "myPutObj.h"
#include "settings.h"

namespace {

TEST(HttpDate, ReadsOnlyWholeImfDatesWithTheirOwnWeekday)
{
    int64_t t = 0;
    ASSERT_TRUE(parseHttpDate("Fri, 01 Jan 2038 00:00:00 GMT", t));
    EXPECT_EQ(t, 2145916800);
    EXPECT_EQ(httpDateText(t), "Fri, 01 Jan 2038 00:00:00 GMT");
    ASSERT_TRUE(parseHttpDate("Thu, 01 Jan 1970 00:00:00 GMT", t));
    EXPECT_EQ(t, 0);
    for (const char *bad : {"Sat, 01 Jan 2038 00:00:00 GMT", // not that day's weekday
                            "Fri, 01 Jan 2038 00:00:00 UTC", "Fri, 31 Feb 2038 00:00:00 GMT",
                            "Fri, 01 Jan 2038 24:00:00 GMT", "2038-01-01T00:00:00Z", "tomorrow",
                            "Fri, 01 Jan 2038 00:00:00 GMTx", ""})
        EXPECT_FALSE(parseHttpDate(bad, t)) << bad;
}

TEST(MetadataName, LowerCaseTokensButNotTheToolsOwn)
{
    for (const char *good : {"owner", "review-2026", "a_b", "9lives"})
        EXPECT_TRUE(isMetadataName(good)) << good;
    for (const char *bad : {"", "md5", "Owner", "a b", "a:b", "-x", "_x", "caf\xc3\xa9"})
        EXPECT_FALSE(isMetadataName(bad)) << bad;
}

TEST(CannedAcl, NamesRoundTripAndUnknownNamesAreRefused)
{
    for (const char *name : {"private", "public-read", "public-read-write", "authenticated-read",
                             "bucket-owner-read", "bucket-owner-full-control", "aws-exec-read"}) {
        S3CannedAcl acl = S3CannedAclPublicRead;
        ASSERT_TRUE(cannedAclByName(name, acl)) << name;
        EXPECT_STREQ(cannedAclName(acl), name);
    }
    S3CannedAcl acl = S3CannedAclPublicRead;
    EXPECT_FALSE(cannedAclByName("Public-Read", acl));
    EXPECT_FALSE(cannedAclByName("canned", acl));
    EXPECT_EQ(acl, S3CannedAclPublicRead);
}

TEST(Charset, AddedToTextTypesThatNameNone)
{
    struct Row {
        const char *type, *charset, *want;
    } rows[] = {
        {"text/html", "utf-8", "text/html; charset=utf-8"},
        {"text/css", "utf-8", "text/css; charset=utf-8"},
        {"application/javascript", "utf-8", "application/javascript; charset=utf-8"},
        {"application/json", "utf-8", "application/json; charset=utf-8"},
        {"application/xml", "utf-8", "application/xml; charset=utf-8"},
        {"image/svg+xml", "utf-8", "image/svg+xml; charset=utf-8"},
        {"text/html; charset=iso-8859-1", "utf-8", "text/html; charset=iso-8859-1"},
        {"image/png", "utf-8", "image/png"},
        {"application/pdf", "utf-8", "application/pdf"},
        {"text/html", "", "text/html"},
    };
    for (const Row &row : rows)
        EXPECT_EQ(typeWithCharset(row.type, row.charset), row.want) << row.type;
}

ObjectHeaders plainHeaders()
{
    Settings settings;
    return objectHeaders(settings, S3CannedAclPublicRead, "text/html", "max-age=60", "");
}

// Records written before these headers existed must still match, or every
// object would be copied again after an upgrade.
TEST(HeaderRecord, UnchangedWithoutTheFurtherHeadersAndChangedByEach)
{
    const ObjectHeaders plain = plainHeaders();
    EXPECT_EQ(plain.record(),
              "type=text/html\ncache-control=max-age=60\nencoding=\nacl=public-read\nclass=REDUCED_REDUNDANCY");
    std::set<std::string> records = {plain.record()};
    ObjectHeaders h = plain;
    h.strContentDisposition = "inline";
    records.insert(h.record());
    h = plain;
    h.strContentLanguage = "en";
    records.insert(h.record());
    h = plain;
    h.expires = 0;
    records.insert(h.record());
    h = plain;
    h.metadata = {{"owner", "web"}};
    records.insert(h.record());
    h = plain;
    h.strSse = "AES256";
    records.insert(h.record());
    h = plain;
    h.strRedirect = "/new/";
    records.insert(h.record());
    h = plain;
    h.acl = S3CannedAclBucketOwnerFullControl;
    records.insert(h.record());
    EXPECT_EQ(records.size(), 8u);
}

TEST(PutProperties, CarryEveryHeaderAsTheClientSendsIt)
{
    ObjectHeaders h = plainHeaders();
    h.strContentDisposition = "attachment";
    h.strContentLanguage = "de";
    h.expires = 86400;
    h.metadata = {{"owner", "web"}};
    h.strSse = "aws:kms";
    h.strSseKmsKeyId = "alias/site";
    h.strRedirect = "https://example.org/";
    PutMetaData meta;
    S3PutProperties properties;
    fillPutProperties(h, "bWQ1", "6d6435", meta, properties);
    EXPECT_STREQ(properties.contentDisposition, "attachment");
    EXPECT_STREQ(properties.contentLanguage, "de");
    EXPECT_EQ(properties.expires, 86400);
    EXPECT_EQ(properties.cannedAcl, S3CannedAclPublicRead);
    std::map<std::string, std::string> sent;
    for (int i = 0; i < properties.metaDataCount; ++i)
        sent[properties.metaData[i].name] = properties.metaData[i].value;
    EXPECT_EQ(sent, (std::map<std::string, std::string>{
                        {"x-amz-storage-class", "REDUCED_REDUNDANCY"},
                        {"x-amz-meta-md5", "6d6435"},
                        {"x-amz-server-side-encryption", "aws:kms"},
                        {"x-amz-server-side-encryption-aws-kms-key-id", "alias/site"},
                        {"x-amz-website-redirect-location", "https://example.org/"},
                        {"x-amz-meta-owner", "web"}}));
    // The pairs point into meta, which a second fill replaces whole.
    fillPutProperties(plainHeaders(), nullptr, nullptr, meta, properties);
    EXPECT_EQ(properties.metaDataCount, 1);
    EXPECT_EQ(properties.expires, -1);
    EXPECT_EQ(properties.contentDisposition, nullptr);
}

TEST(HeadCompare, EachFurtherHeaderCountsAndDatesCompareAsTimes)
{
    ObjectHeaders want = plainHeaders();
    want.strStorageClass = "";
    want.expires = 2145916800;
    want.metadata = {{"b", "2"}, {"a", "1"}};
    want.strSse = "AES256";
    HeadResult got;
    got.strContentType = "text/html";
    got.strCacheControl = "max-age=60";
    got.strExpires = "Fri, 01 Jan 2038 00:00:00 GMT";
    got.metadata = {{"a", "1"}, {"b", "2"}};
    got.strSse = "AES256";
    EXPECT_FALSE(headersDiffer(want, got));
    HeadResult other = got;
    other.strExpires = "Sat, 02 Jan 2038 00:00:00 GMT";
    EXPECT_TRUE(headersDiffer(want, other));
    other = got;
    other.metadata.pop_back();
    EXPECT_TRUE(headersDiffer(want, other));
    other = got;
    other.strSse = "";
    EXPECT_TRUE(headersDiffer(want, other));
    other = got;
    other.strRedirect = "/x";
    EXPECT_TRUE(headersDiffer(want, other));
    other = got;
    other.strContentLanguage = "en";
    EXPECT_TRUE(headersDiffer(want, other));
}

} // namespace
