// What the credential sources read from their services' answers: the JSON of
// a credential_process or a credentials endpoint, the times they expire, an
// STS document, and the form values they send.
#include "credential_http.h"
#include "credential_sources.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CredentialAnswers, TheJsonOfAProcessOrAnEndpointIsTakenOnlyWhenComplete)
{
    const std::string strToken(2049, 't');
    const struct {
        const char *what;
        std::string json;
        bool bProcess;
        std::string why; // "" when taken
        long long expiration;
    } rows[] = {
        {"a process's keys with their expiry",
         R"({"Version": 1, "AccessKeyId": "AKID", "SecretAccessKey": "S", "SessionToken": "T",)"
         R"( "Expiration": "2030-01-02T03:04:05Z"})",
         true, "", 1893553445},
        {"long-lived keys: no token, no expiry", R"({"Version": 1, "AccessKeyId": "A", "SecretAccessKey": "S"})",
         true, "", 0},
        {"another version", R"({"Version": 2, "AccessKeyId": "A", "SecretAccessKey": "S"})", true,
         "Version is not 1", 0},
        {"no secret", R"({"Version": 1, "AccessKeyId": "A"})", true, "no secret access key", 0},
        {"not JSON", "AKID SECRET", true, "not a JSON object", 0},
        {"an expiry that is no time",
         R"({"Version": 1, "AccessKeyId": "A", "SecretAccessKey": "S", "Expiration": "soon"})", true,
         "an Expiration that is no ISO 8601 time: soon", 0},
        {"a token too long to sign",
         R"({"Version": 1, "AccessKeyId": "A", "SecretAccessKey": "S", "SessionToken": ")" + strToken +
             R"("})",
         true, "a session token longer than 2048 bytes", 0},
        {"an endpoint's Token, with fractions and an offset",
         R"({"AccessKeyId": "A", "SecretAccessKey": "S", "Token": "T",)"
         R"( "Expiration": "2030-01-02T05:04:05.123+02:00"})",
         false, "", 1893553445},
        {"an id holding a line break", R"({"AccessKeyId": "A\nB", "SecretAccessKey": "S"})", false,
         "an access key id holding a control character", 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        TemporaryCredentials out;
        std::string strWhy;
        EXPECT_EQ(readCredentialsJson(row.json, row.bProcess, out, strWhy), row.why.empty());
        EXPECT_EQ(strWhy, row.why);
        if (row.why.empty()) {
            EXPECT_EQ(out.expiration, row.expiration);
        }
    }
}

TEST(CredentialAnswers, TimesFormValuesAndStsDocuments)
{
    EXPECT_EQ(parseIsoTime("1970-01-01T00:00:00Z"), 0);
    EXPECT_EQ(parseIsoTime("1970-01-01T01:00:00-01:00"), 7200);
    EXPECT_EQ(parseIsoTime("1970-01-01T00:00:00"), 0);
    EXPECT_EQ(parseIsoTime("1970-01-01T00:00:00Z trailing"), -1);
    EXPECT_EQ(parseIsoTime("tomorrow"), -1);

    EXPECT_EQ(formEncode("arn:aws:iam::1:role/a b+c~"), "arn%3Aaws%3Aiam%3A%3A1%3Arole%2Fa%20b%2Bc~");

    const std::string strAnswer =
        "<AssumeRoleResponse xmlns=\"https://sts.amazonaws.com/doc/2011-06-15/\"><AssumeRoleResult>"
        "<Credentials><AccessKeyId>ASIA</AccessKeyId><SessionToken>a&amp;b</SessionToken>"
        "</Credentials></AssumeRoleResult></AssumeRoleResponse>";
    EXPECT_EQ(xmlElementText(strAnswer, "AccessKeyId"), "ASIA");
    EXPECT_EQ(xmlElementText(strAnswer, "SessionToken"), "a&b");
    EXPECT_EQ(xmlElementText(strAnswer, "Expiration"), "");
    EXPECT_EQ(xmlElementText("not xml", "Code"), "");
}

} // namespace
