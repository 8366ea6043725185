// The lines of one response, and the hints that name the setting to change,
// each given once per run.
#include "outcome_lines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hints.h"
#include "settings.h"

namespace {

using Lines = std::vector<std::string>;

TEST(OutcomeLines, TheStoresCodeOrTheBareHttpStatusFollowsTheStatusLine)
{
    S3NameValue extra[] = {{"HostId", "h"}};
    S3ErrorDetails document = {};
    document.message = "Access Denied";
    document.resource = "/b/k";
    document.extraDetailsCount = 1;
    document.extraDetails = extra;
    document.code = "Teapot"; // no hint for it
    document.httpStatus = 403;
    S3ErrorDetails bare = {};
    bare.httpStatus = 502;
    S3ErrorDetails nothing = {};

    const struct {
        const char *what;
        S3Status status;
        const S3ErrorDetails *details;
        Lines lines;
    } rows[] = {
        {"accepted", S3StatusOK, &document, {"succeed"}},
        {"error document",
         S3StatusErrorAccessDenied,
         &document,
         {"status:48", "code:Teapot", "resource:/b/k", "message:Access Denied", "furtherDetails:",
          "HostId=h"}},
        {"gateway answer without a document",
         S3StatusHttpErrorUnknown,
         &bare,
         {"status:" + std::to_string(S3StatusHttpErrorUnknown), "http:502", "resource:",
          "message:", "furtherDetails:"}},
        {"no answer at all",
         S3StatusFailedToConnect,
         &nothing,
         {"status:44", "resource:", "message:", "furtherDetails:"}},
        {"failed before it was sent", S3StatusFailedToConnect, nullptr, {"status:44"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(outcomeLines(row.status, row.details, nullptr, false), row.lines);
    }
}

TEST(OutcomeLines, TheSessionTokenTheStoreEchoesIsNotPrinted)
{
    // A refused signature comes back with the text the store signed, which
    // holds the token; the hexadecimal spelling of "x-amz-security-token:".
    const std::string strHex = "78 2d 61 6d 7a 2d 73 65 63 75 72 69 74 79 2d 74 6f 6b 65 6e 3a 53";
    S3NameValue extra[] = {
        {"StringToSign", "PUT\n\n\n\nx-amz-date:now\nX-Amz-Security-Token:SECRET\n/b/k"},
        {"CanonicalRequest", "GET\n/b\n\nhost:h\nx-amz-security-token:SECRET\n\nhost"},
        {"StringToSignBytes", strHex.c_str()},
        {"CanonicalRequestBytes", "47 45 54"},
        {"HostId", "x-amz-security-token:t"},
    };
    S3ErrorDetails details = {};
    details.code = "SignatureDoesNotMatch";
    details.extraDetailsCount = 5;
    details.extraDetails = extra;
    const Lines lines = outcomeLines(S3StatusErrorSignatureDoesNotMatch, &details, nullptr, false);
    const Lines tail(lines.end() - 5, lines.end());
    EXPECT_EQ(tail, (Lines{"StringToSign=PUT\n\n\n\nx-amz-date:now\nX-Amz-Security-Token:<redacted>\n/b/k",
                           "CanonicalRequest=GET\n/b\n\nhost:h\nx-amz-security-token:<redacted>\n\nhost",
                           "StringToSignBytes=<redacted>", "CanonicalRequestBytes=47 45 54",
                           "HostId=x-amz-security-token:<redacted>"}));
}

TEST(OutcomeLines, HeadersAreOneLineEach)
{
    S3NameValue meta[] = {{"color", "blue"}};
    S3ResponseProperties prop = {};
    prop.requestId = "R";
    prop.contentLength = 7;
    prop.lastModified = -1;
    prop.metaDataCount = 1;
    prop.metaData = meta;
    EXPECT_EQ(propertiesLines(prop),
              (Lines{"requestId:R", "requestId2: ", "contentType:", "contentLength:7", "server: ",
                     "eTag:", "lastModified:-1", "metaDataCount:1", "color=blue"}));
}

// The hint a refusal gets, for each store answer a setting fixes.
TEST(Hints, EachRefusalNamesTheSettingThatFixesItOncePerRun)
{
    Settings v2;
    v2.strKeyFile = "/keys/s3key";
    Settings v4 = v2;
    v4.bSignatureV4 = true;
    S3NameValue region[] = {{"Region", "eu-west-1"}};

    const struct {
        const char *code;    // null: no error document
        S3Status status;
        const Settings *settings;
        bool bSentStorageClass;
        const char *part;    // a part of the hint; null: no hint
        const char *notPart; // must not be in it
    } rows[] = {
        {"SignatureDoesNotMatch", S3StatusErrorSignatureDoesNotMatch, &v2, true,
         "check the secret access key in /keys/s3key", "clock"},
        {"SignatureDoesNotMatch", S3StatusErrorSignatureDoesNotMatch, &v4, true,
         "/keys/s3key and this machine's clock", nullptr},
        {"InvalidAccessKeyId", S3StatusErrorInvalidAccessKeyId, &v2, true,
         "access key id read from /keys/s3key", nullptr},
        {"NoSuchBucket", S3StatusErrorNoSuchBucket, &v2, true, "set SITEMIRROR_BUCKET", nullptr},
        {"AccessDenied", S3StatusErrorAccessDenied, &v2, true,
         "permissions of the key pair in /keys/s3key, send no ACLs with SITEMIRROR_ACL=none, or, "
         "when the bucket's policy demands encryption, set SITEMIRROR_SSE",
         nullptr},
        {"InvalidArgument", S3StatusErrorInvalidArgument, &v2, true,
         "set SITEMIRROR_STORAGE_CLASS", nullptr},
        {"InvalidArgument", S3StatusErrorInvalidArgument, &v2, false, nullptr, nullptr},
        {nullptr, S3StatusTlsFailed, &v2, true, "write http:// in SITEMIRROR_ENDPOINT", nullptr},
        {"AuthorizationHeaderMalformed", S3StatusErrorUnknown, &v4, true,
         "region eu-west-1: set SITEMIRROR_REGION=eu-west-1", nullptr},
        {"NoSuchKey", S3StatusErrorNoSuchKey, &v2, true, nullptr, nullptr},
        {nullptr, S3StatusFailedToConnect, &v2, true, nullptr, nullptr},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.code ? row.code : S3_get_status_name(row.status)));
        S3ErrorDetails details = {};
        details.code = row.code;
        details.extraDetails = region;
        details.extraDetailsCount = 1;
        HintLog hints(*row.settings);
        Lines first = outcomeLines(row.status, &details, &hints, row.bSentStorageClass);
        Lines again = outcomeLines(row.status, &details, &hints, row.bSentStorageClass);
        if (!row.part) {
            EXPECT_EQ(first.back().rfind("hint:", 0), std::string::npos) << first.back();
            continue;
        }
        ASSERT_EQ(first.back().rfind("hint: ", 0), 0u) << first.back();
        EXPECT_NE(first.back().find(row.part), std::string::npos) << first.back();
        if (row.notPart) {
            EXPECT_EQ(first.back().find(row.notPart), std::string::npos) << first.back();
        }
        // Given once per run: the second refusal of the same kind has no hint.
        EXPECT_EQ(again.size() + 1, first.size());
        EXPECT_EQ(again.back().rfind("hint:", 0), std::string::npos) << again.back();
        // Another run gives it again.
        HintLog nextRun(*row.settings);
        EXPECT_EQ(outcomeLines(row.status, &details, &nextRun, row.bSentStorageClass).back(),
                  first.back());
    }
}

} // namespace
