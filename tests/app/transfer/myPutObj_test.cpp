// Credentials, the session's bucket context, file size and the console report
// of responses.
#include "myPutObj.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "myS3Common.h"
#include "tempdir.h"

namespace {

// Every test has its own settings; each session starts with no credentials read.
class KeyFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        settings.strKeyFile = dir.path() + "/s3key";
        settings.strEndpoint = "";
        settings.bQuiet = true;
    }

    TempDir dir;
    Settings settings;
};

TEST_F(KeyFileTest, KeysFromAnyEditorAreReadWholeAndUnusableFilesSayWhy)
{
    const std::string id32(32, 'I'), secret64(64, 's'), s128(128, 'c'), s129(129, 'd');
    struct Row {
        const char *what;
        std::string content, id, secret; // id empty: refused, with errorPart in the line
        const char *errorPart;
    } rows[] = {
        {"plain", "AKID\nSECRET\n", "AKID", "SECRET", ""},
        {"no final newline", "AKID\nSECRET", "AKID", "SECRET", ""},
        {"windows line ends", "AKID\r\nSECRET\r\n", "AKID", "SECRET", ""},
        {"byte-order mark and blanks", "\xEF\xBB\xBF  AKID \t\r\n SECRET  \r\n", "AKID",
         "SECRET", ""},
        {"leading blank line", "\r\nAKID\nSECRET\n", "AKID", "SECRET", ""},
        {"32-character id, 64-character secret", id32 + "\n" + secret64 + "\n", id32, secret64,
         ""},
        {"128 bytes each fit", s128 + "\n" + s128 + "\n", s128, s128, ""},
        {"third line ignored", "A\nB\nC\n", "A", "B", ""},
        {"id too long", s129 + "\nS\n", "", "", "access key id longer than 128 bytes"},
        {"secret too long", "I\n" + s129 + "\n", "", "", "secret access key longer than 128"},
        {"empty file", "", "", "", "key file is empty"},
        {"blank lines only", "\n \r\n", "", "", "key file is empty"},
        {"one line only", "AKID\n", "", "", "no secret access key"},
        {"binary", std::string("AK\0ID\nS\n", 8), "", "", "not text"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        dir.write("s3key", row.content);
        Credentials creds;
        std::string strError;
        bool bRead = readCredentials(settings.strKeyFile, creds, strError);
        EXPECT_EQ(bRead, !row.id.empty());
        if (bRead) {
            EXPECT_EQ(creds.strAccessKeyId, row.id);
            EXPECT_EQ(creds.strSecretAccessKey, row.secret);
        } else {
            EXPECT_NE(strError.find(row.errorPart), std::string::npos) << strError;
            EXPECT_NE(strError.find(settings.strKeyFile), std::string::npos) << strError;
        }
    }
    Credentials creds;
    std::string strError;
    EXPECT_FALSE(readCredentials(dir.path(), creds, strError));
    EXPECT_EQ(strError, "cannot read key file: " + dir.path() + " (a folder)");
    EXPECT_FALSE(readCredentials(dir.path() + "/none", creds, strError));
    EXPECT_EQ(strError.rfind("cannot read key file: " + dir.path() + "/none", 0), 0u);
}

TEST_F(KeyFileTest, MissingFileIsRetriedThenReadOncePerSession)
{
    S3BucketContext ctx;
    Session session(settings);
    ASSERT_TRUE(session.ready());
    {
        MyS3Context context(session);
        ::testing::internal::CaptureStdout();
        EXPECT_FALSE(context.initialize("b.example", ctx));
        EXPECT_EQ(::testing::internal::GetCapturedStdout(),
                  "cannot read key file: " + settings.strKeyFile + " (No such file or directory)\n");
        EXPECT_FALSE(session.keysLoaded());
    }
    dir.write("s3key", "FIRSTID\nFIRSTSECRET\n");
    {
        MyS3Context context(session);
        ASSERT_TRUE(context.initialize("b.example", ctx));
        EXPECT_STREQ(ctx.accessKeyId, "FIRSTID");
        EXPECT_STREQ(ctx.secretAccessKey, "FIRSTSECRET");
        EXPECT_STREQ(ctx.bucketName, "b.example");
        EXPECT_EQ(ctx.hostName, nullptr); // no endpoint: the client's default
        EXPECT_EQ(ctx.protocol, S3ProtocolHTTPS);
        EXPECT_EQ(ctx.uriStyle, S3UriStylePath);
    }
    dir.write("s3key", "OTHERID\nOTHERSECRET\n");
    {
        MyS3Context context(session);
        ASSERT_TRUE(context.initialize("b.example", ctx));
        EXPECT_STREQ(ctx.accessKeyId, "FIRSTID"); // not read again
    }
    ::unlink(settings.strKeyFile.c_str());
    {
        MyS3Context context(session); // the keys stay for the run even when the file goes
        EXPECT_TRUE(context.initialize("b.example", ctx));
    }
}

TEST_F(KeyFileTest, TheEndpointGivesHostAndProtocol)
{
    dir.write("s3key", "ID\nSECRET\n");
    const struct {
        const char *pszEndpoint;
        const char *pszHost; // null: the client's default
        S3Protocol protocol;
    } rows[] = {
        {"", nullptr, S3ProtocolHTTPS},
        {"http://127.0.0.1:9", "127.0.0.1:9", S3ProtocolHTTP},
        {"HTTPS://store.example/", "store.example", S3ProtocolHTTPS},
        {"store.example:8443", "store.example:8443", S3ProtocolHTTPS},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.pszEndpoint);
        settings.strEndpoint = row.pszEndpoint;
        Session session(settings);
        S3BucketContext ctx;
        ASSERT_TRUE(session.bucketContext("b.example", ctx));
        if (row.pszHost)
            EXPECT_STREQ(ctx.hostName, row.pszHost);
        else
            EXPECT_EQ(ctx.hostName, nullptr);
        EXPECT_EQ(ctx.protocol, row.protocol);
        EXPECT_EQ(ctx.uriStyle, S3UriStylePath);
    }
}

TEST_F(KeyFileTest, ACaFileTheClientCannotUseFailsTheSetUpInOneLine)
{
    dir.write("s3key", "ID\nSECRET\n");
    settings.strCaFile = dir.path() + "/" + std::string(4096, 'c') + ".pem";
    ::testing::internal::CaptureStdout();
    Session session(settings);
    std::string strOut = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(session.caFileRefused());
    EXPECT_FALSE(session.ready());
    EXPECT_EQ(strOut.rfind("cannot use CA file: " + settings.strCaFile + " (", 0), 0u) << strOut;
    EXPECT_EQ(std::count(strOut.begin(), strOut.end(), '\n'), 1);
    S3BucketContext ctx;
    EXPECT_FALSE(session.bucketContext("b.example", ctx)); // nothing can be sent
}

TEST(FileSize, OnlyRegularFilesHaveOneAndLinksAreFollowed)
{
    TempDir dir;
    std::string strFile = dir.write("f.bin", std::string(1234, 'x'));
    std::string strEmpty = dir.write("empty", "");
    ASSERT_EQ(::symlink(strFile.c_str(), (dir.path() + "/link").c_str()), 0);
    ASSERT_EQ(::symlink("/nonexistent", (dir.path() + "/dangling").c_str()), 0);

    uint64_t size = 7;
    EXPECT_TRUE(getFileSize(strFile, size));
    EXPECT_EQ(size, 1234u);
    EXPECT_TRUE(getFileSize(strEmpty, size));
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(getFileSize(dir.path() + "/link", size));
    EXPECT_EQ(size, 1234u);
    size = 7;
    for (const std::string &strBad :
         {dir.path(), dir.path() + "/missing", dir.path() + "/dangling", std::string("/dev/null")}) {
        EXPECT_FALSE(getFileSize(strBad, size)) << strBad;
        EXPECT_EQ(size, 7u) << strBad;
    }
}

TEST(ResponseReport, PropertiesPrintEveryLineAbsentTextsAsNothing)
{
    S3NameValue meta[] = {{"color", "blue"}, {"n", ""}};
    S3ResponseProperties prop = {};
    prop.requestId = "REQ";
    prop.requestId2 = nullptr;
    prop.contentType = "application/xml";
    prop.contentLength = 18446744073709551615ull;
    prop.server = "AmazonS3";
    prop.eTag = "\"abc\"";
    prop.lastModified = -1;
    prop.metaDataCount = 2;
    prop.metaData = meta;

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(MyS3ResponsePropertiesCallback(&prop, nullptr), S3StatusOK);
    EXPECT_EQ(MyS3ResponsePropertiesCallback(nullptr, nullptr), S3StatusHttpErrorBadRequest);
    std::string strOut = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(strOut, "requestId:REQ\n"
                      "requestId2: \n"
                      "contentType:application/xml\n"
                      "contentLength:18446744073709551615\n"
                      "server: AmazonS3\n"
                      "eTag:\"abc\"\n"
                      "lastModified:-1\n"
                      "metaDataCount:2\n"
                      "color=blue\n"
                      "n=\n");
}

TEST(ResponseReport, CompletionPrintsSucceedOrStatusAndDetails)
{
    S3NameValue extra[] = {{"StringToSign", "GET\n"}, {"HostId", "h"}};
    S3ErrorDetails details = {};
    details.message = "Access Denied";
    details.resource = "/b/k";
    details.furtherDetails = nullptr;
    details.extraDetailsCount = 2;
    details.extraDetails = extra;

    ::testing::internal::CaptureStdout();
    MyS3ResponseCompleteCallback(S3StatusOK, &details, nullptr);
    MyS3ResponseCompleteCallback(S3StatusErrorAccessDenied, &details, nullptr);
    MyS3ResponseCompleteCallback(S3StatusFailedToConnect, nullptr, nullptr);
    std::string strOut = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(strOut, "succeed\n"
                      "status:48\n"
                      "resource:/b/k\n"
                      "message:Access Denied\n"
                      "furtherDetails:\n"
                      "StringToSign=GET\n\n"
                      "HostId=h\n"
                      "status:44\n");
}

TEST(PutObject, NothingIsSentForWhatIsNotAReadableRegularFile)
{
    TempDir dir;
    Settings settings;
    settings.strKeyFile = dir.write("s3key", "ID\nSECRET\n");
    settings.strEndpoint = "http://127.0.0.1:1"; // nothing may reach it
    settings.bQuiet = true;
    {
        Session session(settings);
        ::testing::internal::CaptureStdout();
        EXPECT_FALSE(putObject(session, "b.example", "k", dir.path(), S3CannedAclPublicRead));
        EXPECT_FALSE(
            putObject(session, "b.example", "k", dir.path() + "/missing", S3CannedAclPublicRead));
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    }
    settings.strKeyFile = dir.path() + "/no-key";
    std::string strFile = dir.write("page.html", "<p>");
    Session session(settings);
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(putObject(session, "b.example", "page.html", strFile, S3CannedAclPublicRead));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "cannot read key file: " + settings.strKeyFile + " (No such file or directory)\n");
}

} // namespace
