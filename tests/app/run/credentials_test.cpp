// Where a run's keys come from: each source in its order, what stops the
// lookup instead of falling through to the next, and the warnings for files
// others can read. Real files in a scratch folder; the environment is a map.
#include "credentials.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>

#include "tempdir.h"

namespace {

std::map<std::string, std::string> g_env;

const char *fakeEnv(const char *pszName)
{
    auto it = g_env.find(pszName);
    return it == g_env.end() ? nullptr : it->second.c_str();
}

class CredentialSources : public ::testing::Test {
protected:
    void SetUp() override
    {
        keyFile = dir.write("s3key", "KID\nKSECRET\n");
        chmod(keyFile.c_str(), 0600);
        shared = dir.write("credentials", "# CI profiles\n"
                                          "[default]\n"
                                          "aws_access_key_id = DID\n"
                                          "aws_secret_access_key = DSECRET\n"
                                          "\n"
                                          "[ci]\n"
                                          "AWS_Access_Key_Id=CID\n"
                                          "aws_secret_access_key=CSECRET\n"
                                          "aws_session_token = CTOKEN/+=\n"
                                          "[half]\n"
                                          "aws_access_key_id = HID\n");
        chmod(shared.c_str(), 0600);
        std::filesystem::create_directories(dir.path() + "/home/.aws");
        homeShared = dir.write("home/.aws/credentials", "[default]\naws_access_key_id = HOMEID\n"
                                                        "aws_secret_access_key = HOMESECRET\n");
        chmod(homeShared.c_str(), 0600);
    }

    TempDir dir;
    std::string keyFile, shared, homeShared;
};

TEST_F(CredentialSources, TheFirstSourceSetIsUsedAndOneSetButUnusableStopsTheLookup)
{
    const std::string missing = dir.path() + "/missing";
    const std::string home = dir.path() + "/home";
    struct Row {
        const char *what;
        bool bNamed;        // SITEMIRROR_KEY_FILE named the key file
        std::string keyFile;
        std::map<std::string, std::string> env;
        std::string id;     // "" = the lookup fails ...
        std::string token;
        std::string text;   // ... with this in its error; else in the source
    } rows[] = {
        {"a named key file goes before the environment", true, keyFile,
         {{"AWS_ACCESS_KEY_ID", "EID"}, {"AWS_SECRET_ACCESS_KEY", "ESECRET"}}, "KID", "",
         "key file " + keyFile + " (SITEMIRROR_KEY_FILE)"},
        {"a named key file that is missing is not passed over", true, missing,
         {{"AWS_ACCESS_KEY_ID", "EID"}, {"AWS_SECRET_ACCESS_KEY", "ESECRET"}}, "", "",
         "cannot read key file: " + missing},
        {"the environment's pair", false, keyFile,
         {{"AWS_ACCESS_KEY_ID", "EID"}, {"AWS_SECRET_ACCESS_KEY", "ESECRET"}, {"AWS_PROFILE", "ci"}},
         "EID", "", "environment (AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY)"},
        {"the environment's pair and token", false, keyFile,
         {{"AWS_ACCESS_KEY_ID", "EID"}, {"AWS_SECRET_ACCESS_KEY", "ESECRET"},
          {"AWS_SESSION_TOKEN", "ETOKEN"}},
         "EID", "ETOKEN", "environment (AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN)"},
        {"an id without its secret", false, keyFile, {{"AWS_ACCESS_KEY_ID", "EID"}}, "", "",
         "AWS_ACCESS_KEY_ID is set in the environment but AWS_SECRET_ACCESS_KEY is not"},
        {"a secret without its id", false, keyFile,
         {{"AWS_SECRET_ACCESS_KEY", "ESECRET"}, {"AWS_ACCESS_KEY_ID", ""}}, "", "",
         "AWS_SECRET_ACCESS_KEY is set in the environment but AWS_ACCESS_KEY_ID is not"},
        {"a token without keys", false, keyFile, {{"AWS_SESSION_TOKEN", "ETOKEN"}}, "", "",
         "AWS_SESSION_TOKEN is set in the environment but AWS_ACCESS_KEY_ID and "
         "AWS_SECRET_ACCESS_KEY are not"},
        {"a token too long to sign", false, keyFile,
         {{"AWS_ACCESS_KEY_ID", "EID"}, {"AWS_SECRET_ACCESS_KEY", "ESECRET"},
          {"AWS_SESSION_TOKEN", std::string(kMaxSessionTokenSize + 1, 't')}},
         "", "", "AWS_SESSION_TOKEN is longer than 2048 bytes"},
        {"empty variables are unset: the profile", false, keyFile,
         {{"AWS_ACCESS_KEY_ID", ""}, {"AWS_SECRET_ACCESS_KEY", ""}, {"AWS_SESSION_TOKEN", ""},
          {"AWS_PROFILE", "ci"}, {"AWS_SHARED_CREDENTIALS_FILE", shared}},
         "CID", "CTOKEN/+=", "profile [ci] in " + shared + " (AWS_PROFILE)"},
        {"a profile the file does not have", false, keyFile,
         {{"AWS_PROFILE", "nope"}, {"AWS_SHARED_CREDENTIALS_FILE", shared}}, "", "",
         "AWS_PROFILE=nope, but " + shared + " has no profile [nope]"},
        {"a profile without its secret", false, keyFile,
         {{"AWS_PROFILE", "half"}, {"AWS_SHARED_CREDENTIALS_FILE", shared}}, "", "",
         "profile [half] in " + shared + " has no aws_secret_access_key"},
        {"a profile in a file that is not there", false, keyFile,
         {{"AWS_PROFILE", "ci"}, {"AWS_SHARED_CREDENTIALS_FILE", missing}}, "", "",
         "AWS_PROFILE=ci, but " + missing + " does not exist"},
        {"the profile in ~/.aws/credentials", false, keyFile,
         {{"AWS_PROFILE", "default"}, {"HOME", home}}, "HOMEID", "",
         "profile [default] in " + homeShared + " (AWS_PROFILE)"},
        {"the designed key file when it exists", false, keyFile,
         {{"AWS_SHARED_CREDENTIALS_FILE", shared}}, "KID", "", "key file " + keyFile},
        {"else the default profile", false, missing, {{"AWS_SHARED_CREDENTIALS_FILE", shared}},
         "DID", "", "profile [default] in " + shared},
        {"else the default profile of ~/.aws/credentials", false, missing, {{"HOME", home}},
         "HOMEID", "", "profile [default] in " + homeShared},
        {"nothing anywhere: every place named", false, missing,
         {{"AWS_SHARED_CREDENTIALS_FILE", missing + "/credentials"}}, "", "",
         "no credentials found; looked at: SITEMIRROR_KEY_FILE (not set), AWS_ACCESS_KEY_ID and "
         "AWS_SECRET_ACCESS_KEY (not set), AWS_PROFILE (not set), key file " + missing +
             " (no such file), profile [default] in " + missing + "/credentials (no such file)"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        g_env = row.env;
        CredentialLookup lookup;
        const bool bFound = findCredentials(row.keyFile, row.bNamed, fakeEnv, lookup);
        EXPECT_EQ(bFound, !row.id.empty());
        if (!bFound) {
            EXPECT_NE(lookup.strError.find(row.text), std::string::npos) << lookup.strError;
            continue;
        }
        EXPECT_EQ(lookup.creds.strAccessKeyId, row.id);
        EXPECT_EQ(lookup.creds.strSessionToken, row.token);
        EXPECT_FALSE(lookup.creds.strSecretAccessKey.empty());
        EXPECT_EQ(lookup.strSource, row.text);
        EXPECT_EQ(lookup.strSource.find(lookup.creds.strSecretAccessKey), std::string::npos);
        EXPECT_TRUE(lookup.warnings.empty());
    }
}

// A key or credentials file that group or others can read still works, with
// one line saying how to close it; a file that is not INI names its line.
TEST_F(CredentialSources, FilesOthersCanReadAreNamedWithTheirChmodAndBrokenOnesWithTheirLine)
{
    const std::string spaced = dir.write("my key", "KID\nKSECRET\n");
    const struct {
        std::string path;
        mode_t mode;
        bool bNamed;
        std::map<std::string, std::string> env;
        std::string warning;
    } rows[] = {
        {keyFile, 0644, true, {},
         "warning: key file " + keyFile + " is readable by group or others (mode 644); to fix: "
         "chmod go-rwx " + keyFile},
        {spaced, 0640, true, {},
         "warning: key file " + spaced + " is readable by group or others (mode 640); to fix: "
         "chmod go-rwx '" + spaced + "'"},
        {shared, 0604, false, {{"AWS_PROFILE", "ci"}, {"AWS_SHARED_CREDENTIALS_FILE", shared}},
         "warning: credentials file " + shared + " is readable by group or others (mode 604); "
         "to fix: chmod go-rwx " + shared},
        {keyFile, 0600, true, {}, ""},
        {keyFile, 0620, true, {}, ""}, // writable by the group, but not readable
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.path);
        chmod(row.path.c_str(), row.mode);
        g_env = row.env;
        CredentialLookup lookup;
        ASSERT_TRUE(findCredentials(row.path, row.bNamed, fakeEnv, lookup)) << lookup.strError;
        if (row.warning.empty())
            EXPECT_TRUE(lookup.warnings.empty());
        else
            EXPECT_EQ(lookup.warnings, std::vector<std::string>{row.warning});
        chmod(row.path.c_str(), 0600);
    }

    const std::string broken = dir.write("broken", "[ci]\naws_access_key_id = X\nno equals sign\n");
    Credentials creds;
    std::string strError;
    EXPECT_EQ(readProfile(broken, "ci", creds, strError), ProfileUnusable);
    EXPECT_EQ(strError.rfind(broken + ":3: ", 0), 0u) << strError;
    g_env = {{"AWS_SHARED_CREDENTIALS_FILE", broken}};
    CredentialLookup lookup;
    EXPECT_FALSE(findCredentials(dir.path() + "/missing", false, fakeEnv, lookup));
    EXPECT_EQ(lookup.strError, strError); // a broken default profile is not passed over
    EXPECT_EQ(readProfile(dir.path(), "ci", creds, strError), ProfileUnusable);
    EXPECT_NE(strError.find("not a regular file"), std::string::npos);
    // /dev/null keeps the file out, as it does for the aws tool: it holds no
    // profile, and the lookup goes on to the next source.
    EXPECT_EQ(readProfile("/dev/null", "ci", creds, strError), ProfileNotInFile);
    g_env = {{"AWS_SHARED_CREDENTIALS_FILE", "/dev/null"}};
    CredentialLookup none;
    EXPECT_FALSE(findCredentials(dir.path() + "/missing", false, fakeEnv, none));
    EXPECT_NE(none.strError.find("profile [default] in /dev/null (no such profile)"), std::string::npos)
        << none.strError;
}

// Temporary credentials of a profile: an STS session token is 1,000 bytes and
// more, longer than the INI reader's own lines; it is read whole, and a line
// that is wrong is named by its own number and reason.
TEST_F(CredentialSources, LongLinesOfAProfileAreReadWholeAndFaultsNameTheirOwnLine)
{
    const std::string strToken(1000, 'T');
    const std::string strSecret(128, 'S');
    const std::string file = dir.write(
        "long", "[other]\naws_session_token = " + std::string(300, 'o') + "\n\n[ci]\r\n"
                "aws_access_key_id = AKIALONG\r\n"
                "aws_secret_access_key =  " + strSecret + "  ; kept beside the key\r\n"
                "aws_session_token=" + strToken + "\r\n");
    Credentials creds;
    std::string strError;
    ASSERT_EQ(readProfile(file, "ci", creds, strError), ProfileFound) << strError;
    EXPECT_EQ(creds.strAccessKeyId, "AKIALONG");
    EXPECT_EQ(creds.strSecretAccessKey, strSecret);
    EXPECT_EQ(creds.strSessionToken, strToken);

    const struct {
        std::string text;
        std::string error;
    } rows[] = {
        {"[ci]\naws_access_key_id = K\naws_secret_access_key = " + std::string(300, 's') + "\n",
         "profile [ci] in F: aws_secret_access_key is longer than 128 bytes"},
        {"[ci]\naws_session_token = " + strToken + "\nno equals sign\n",
         "F:3: not a line of a credentials file ([profile] or name = value)"},
        {"[ci]\naws_access_key_id = K\naws_secret_access_key = \x01" + std::string(125, 's') + "\n",
         "profile [ci] in F: aws_secret_access_key holds a control character"},
        {"[ci]\naws_access_key_id = K\naws_secret_access_key = \x01" "7\n",
         "profile [ci] in F: aws_secret_access_key holds a control character"},
    };
    for (const auto &row : rows) {
        const std::string bad = dir.write("bad", row.text);
        std::string strExpected = row.error;
        strExpected.replace(strExpected.find('F'), 1, bad);
        EXPECT_EQ(readProfile(bad, "ci", creds, strError), ProfileUnusable);
        EXPECT_EQ(strError, strExpected);
    }
}

} // namespace
