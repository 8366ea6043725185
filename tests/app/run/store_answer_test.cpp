// What a store's refusal asks of the run, read from its error document.
#include "store_answer.h"

#include <gtest/gtest.h>

namespace {

TEST(StoreAnswer, EachRefusalThatSaysWhatTheStoreWantsIsReadAndNoOtherIs)
{
    S3NameValue region[] = {{"Region", "eu-west-3"}};
    S3NameValue badRegion[] = {{"Region", "eu west"}};
    S3NameValue aws[] = {{"Bucket", "site"}, {"Endpoint", "site.s3.eu-west-3.amazonaws.com"}};
    S3NameValue other[] = {{"Endpoint", "s3.eu-west-1.example"}};
    const struct {
        const char *what, *code, *message;
        S3NameValue *extra;
        int extraCount;
        StoreAsk::Kind kind;
        const char *region, *host;
    } rows[] = {
        {"V2 refused", "InvalidRequest",
         "The authorization mechanism you have provided is not supported. Please use "
         "AWS4-HMAC-SHA256.",
         nullptr, 0, StoreAsk::SignatureV4, "", ""},
        {"another invalid request", "InvalidRequest", "Missing required header", nullptr, 0,
         StoreAsk::None, "", ""},
        {"region named", "AuthorizationHeaderMalformed", "wrong region", region, 1, StoreAsk::Region,
         "eu-west-3", ""},
        {"region not named", "AuthorizationHeaderMalformed", "wrong", nullptr, 0, StoreAsk::None, "",
         ""},
        {"a region that is no region name", "AuthorizationHeaderMalformed", "", badRegion, 1,
         StoreAsk::None, "", ""},
        {"moved to the bucket's AWS region", "PermanentRedirect", "", aws, 2, StoreAsk::Endpoint,
         "eu-west-3", "s3.eu-west-3.amazonaws.com"},
        {"moved anywhere else", "PermanentRedirect", "", other, 1, StoreAsk::None, "", ""},
        {"no code", nullptr, "", nullptr, 0, StoreAsk::None, "", ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        S3ErrorDetails details = {};
        details.code = row.code;
        details.message = row.message;
        details.extraDetails = row.extra;
        details.extraDetailsCount = row.extraCount;
        const StoreAsk ask = readStoreAsk(S3StatusErrorUnknown, &details);
        EXPECT_EQ(ask.kind, row.kind);
        EXPECT_EQ(ask.strRegion, row.region);
        EXPECT_EQ(ask.strHost, row.host);
    }
    EXPECT_EQ(readStoreAsk(S3StatusFailedToConnect, nullptr).kind, StoreAsk::None);
}

TEST(StoreAnswer, OnlyAnAwsRegionalEndpointIsFollowed)
{
    const struct {
        const char *endpoint;
        bool ok;
        const char *host, *region;
    } rows[] = {
        {"s3.eu-west-1.amazonaws.com", true, "s3.eu-west-1.amazonaws.com", "eu-west-1"},
        {"www.example.org.s3.ap-south-1.amazonaws.com", true, "s3.ap-south-1.amazonaws.com",
         "ap-south-1"},
        {"s3-us-west-2.amazonaws.com", true, "s3-us-west-2.amazonaws.com", "us-west-2"},
        {"s3.dualstack.eu-north-1.amazonaws.com", true, "s3.dualstack.eu-north-1.amazonaws.com",
         "eu-north-1"},
        {"s3.amazonaws.com", false, "", ""},
        {"s3.eu-west-1.amazonaws.com.evil.example", false, "", ""},
        {"evils3.eu-west-1.amazonaws.com", false, "", ""},
        {"s3.eu-west-1.example", false, "", ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.endpoint);
        std::string strHost, strRegion;
        EXPECT_EQ(awsRegionalEndpoint(row.endpoint, strHost, strRegion), row.ok);
        EXPECT_EQ(strHost, row.host);
        EXPECT_EQ(strRegion, row.region);
    }
}

} // namespace
