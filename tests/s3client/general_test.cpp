// Client set-up and its small services: initialisation counting, the user
// agent, bucket-name rules, status names, retryable statuses, the CA file,
// and the public header as seen from C.
#include <gtest/gtest.h>

#include <set>
#include <stddef.h>
#include <string>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include "client_settings.h"
#include "request_api.h"
#include "request_pool.h"
#include "user_agent.h"

extern "C" {
size_t s3client_c_layout(size_t *out, size_t max);
const char *c_status_name(int status);
int c_status_is_retryable(int status);
S3Status c_validate_bucket_name(const char *bucketName, int uriStyle);
}

namespace {

TEST(PublicHeader, CompilesAsCWithTheSameLayout)
{
    const size_t expected[] = {
        sizeof(S3Status), sizeof(S3Protocol), sizeof(S3CannedAcl),
        (size_t) S3StatusHttpErrorUnknown, (size_t) S3StatusErrorUnknown,
        (size_t) S3StatusAbortedByCallback,
        sizeof(S3NameValue), sizeof(S3BucketContext), sizeof(S3PutProperties),
        offsetof(S3PutProperties, expires), offsetof(S3PutProperties, metaData),
        sizeof(S3GetConditions), sizeof(S3ResponseProperties),
        offsetof(S3ResponseProperties, lastModified),
        sizeof(S3ErrorDetails), sizeof(S3ListBucketContent),
        offsetof(S3ListBucketContent, size), sizeof(S3AclGrant),
        offsetof(S3AclGrant, permission), sizeof(S3ResponseHandler),
        sizeof(S3PutObjectHandler), sizeof(S3GetObjectHandler),
        sizeof(S3ListBucketHandler),
        (size_t) S3_MAX_METADATA_COUNT,
        (size_t) S3_MAX_AUTHENTICATED_QUERY_STRING_SIZE,
        sizeof(S3ServiceRequest), offsetof(S3ServiceRequest, bodySize),
        offsetof(S3ServiceRequest, answerElementCount), sizeof(S3ServiceAnswer),
        sizeof(S3ServiceRequestHandler), (size_t) S3_MAX_SERVICE_ANSWER_SIZE,
    };
    const size_t n = sizeof(expected) / sizeof(expected[0]);
    size_t seen[64];
    ASSERT_EQ(s3client_c_layout(seen, 64), n);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(seen[i], expected[i]) << "entry " << i;
    }
    EXPECT_EQ(sizeof(S3Status), 4u);
    EXPECT_EQ(S3_MAX_METADATA_COUNT, 157);
    EXPECT_EQ(S3_MAX_AUTHENTICATED_QUERY_STRING_SIZE, 3469);
    EXPECT_EQ(S3StatusHttpErrorUnknown, 117);
    EXPECT_EQ(S3StatusErrorAccessDenied, 48);
}

TEST(BucketNames, Rules)
{
    const std::string l63(63, 'a'), l64(64, 'a'), l255(255, 'b'),
        l256(256, 'b');
    const struct
    {
        std::string name;
        S3Status virtualHost;
        S3Status path;
    } rows[] = {
        {"abc", S3StatusOK, S3StatusOK},
        {"ABC-1.x", S3StatusOK, S3StatusOK},
        {l63, S3StatusOK, S3StatusOK},
        {l64, S3StatusInvalidBucketNameTooLong, S3StatusOK},
        {l255, S3StatusInvalidBucketNameTooLong, S3StatusOK},
        {l256, S3StatusInvalidBucketNameTooLong,
         S3StatusInvalidBucketNameTooLong},
        {"ab", S3StatusInvalidBucketNameTooShort,
         S3StatusInvalidBucketNameTooShort},
        {"", S3StatusInvalidBucketNameTooShort,
         S3StatusInvalidBucketNameTooShort},
        {"192.168.1.1", S3StatusInvalidBucketNameDotQuadNotation,
         S3StatusInvalidBucketNameDotQuadNotation},
        {"192.168.1.1a", S3StatusOK, S3StatusOK},
        {"12345", S3StatusOK, S3StatusOK},
        {"a_b", S3StatusInvalidBucketNameCharacter, S3StatusOK},
        {"a.-b", S3StatusInvalidBucketNameCharacterSequence, S3StatusOK},
        {"a-.b", S3StatusInvalidBucketNameCharacterSequence, S3StatusOK},
        {"a..b-", S3StatusOK, S3StatusOK},
        {"-ab", S3StatusInvalidBucketNameFirstCharacter,
         S3StatusInvalidBucketNameFirstCharacter},
        {".ab", S3StatusInvalidBucketNameFirstCharacter,
         S3StatusInvalidBucketNameFirstCharacter},
        {"_ab", S3StatusInvalidBucketNameFirstCharacter,
         S3StatusInvalidBucketNameFirstCharacter},
        {"a b", S3StatusInvalidBucketNameCharacter,
         S3StatusInvalidBucketNameCharacter},
        {"ab/c", S3StatusInvalidBucketNameCharacter,
         S3StatusInvalidBucketNameCharacter},
        {"ab\xc3\xa9", S3StatusInvalidBucketNameCharacter,
         S3StatusInvalidBucketNameCharacter},
        // The first broken rule, from the left, decides.
        {"a b" + l64, S3StatusInvalidBucketNameCharacter,
         S3StatusInvalidBucketNameCharacter},
        {l64 + " ", S3StatusInvalidBucketNameTooLong,
         S3StatusInvalidBucketNameCharacter},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(S3_validate_bucket_name(r.name.c_str(), S3UriStyleVirtualHost),
                  r.virtualHost)
            << r.name;
        EXPECT_EQ(S3_validate_bucket_name(r.name.c_str(), S3UriStylePath),
                  r.path)
            << r.name;
        // Any style but virtual-host counts as path style.
        EXPECT_EQ(c_validate_bucket_name(r.name.c_str(), 9),
                  r.path)
            << r.name;
    }
    EXPECT_EQ(S3_validate_bucket_name(nullptr, S3UriStylePath),
              S3StatusInvalidBucketNameTooShort);
}

TEST(Statuses, NamesAndRetryableSet)
{
    EXPECT_STREQ(S3_get_status_name(S3StatusOK), "OK");
    EXPECT_STREQ(S3_get_status_name(S3StatusInternalError), "InternalError");
    EXPECT_STREQ(S3_get_status_name(S3StatusAbortedByCallback),
                 "AbortedByCallback");
    EXPECT_STREQ(S3_get_status_name(S3StatusErrorUnknown), "ErrorUnknown");
    EXPECT_STREQ(S3_get_status_name(S3StatusHttpErrorMovedTemporarily),
                 "HttpErrorMovedTemporarily");
    EXPECT_STREQ(S3_get_status_name(S3StatusHttpErrorUnknown),
                 "HttpErrorUnknown");
    EXPECT_STREQ(c_status_name(S3_STATUS_COUNT), "Unknown");
    EXPECT_STREQ(c_status_name(-1), "Unknown");
    EXPECT_STREQ(c_status_name(1000000), "Unknown");

    std::set<std::string> names;
    std::set<int> retryable;
    for (int s = 0; s < S3_STATUS_COUNT; ++s) {
        const std::string name = S3_get_status_name((S3Status) s);
        EXPECT_NE(name, "Unknown");
        EXPECT_FALSE(name.empty());
        names.insert(name);
        if (S3_status_is_retryable((S3Status) s)) {
            retryable.insert(s);
        }
    }
    EXPECT_EQ(names.size(), (size_t) S3_STATUS_COUNT);
    EXPECT_EQ(retryable,
              (std::set<int>{S3StatusNameLookupError, S3StatusFailedToConnect,
                             S3StatusConnectionFailed,
                             S3StatusErrorInternalError,
                             S3StatusErrorOperationAborted,
                             S3StatusErrorRequestTimeout,
                             S3StatusHttpErrorInternalServerError,
                             S3StatusHttpErrorBadGateway,
                             S3StatusHttpErrorServiceUnavailable,
                             S3StatusHttpErrorGatewayTimeout}));
    EXPECT_EQ(c_status_is_retryable(500), 0);
    EXPECT_EQ(c_status_is_retryable(-43), 0);
}

TEST(UserAgent, Form)
{
    const struct
    {
        const char *info, *sysname, *machine, *expected;
    } rows[] = {
        {"ubuntu 10.04", "Linux", "x86_64",
         "Mozilla/4.0 (Compatible; ubuntu 10.04; strato 2.0; Linux x86_64)"},
        {nullptr, "Linux", "", "Mozilla/4.0 (Compatible; Unknown; strato 2.0; Linux)"},
        {"", "Linux", nullptr, "Mozilla/4.0 (Compatible; Unknown; strato 2.0; Linux)"},
        {"x", nullptr, nullptr, "Mozilla/4.0 (Compatible; x; strato 2.0; Unknown)"},
    };
    for (const auto &r : rows) {
        char agent[USER_AGENT_SIZE];
        compose_user_agent(agent, (int) sizeof(agent), r.info, r.sysname,
                           r.machine);
        EXPECT_STREQ(agent, r.expected);
    }

    // Long texts are cut: the platform at 95, the whole at 255 characters.
    char agent[USER_AGENT_SIZE];
    const std::string longText(300, 'p');
    compose_user_agent(agent, (int) sizeof(agent), "i", longText.c_str(), "m");
    EXPECT_NE(std::string(agent).find("; " + std::string(95, 'p') + ")"),
              std::string::npos);
    compose_user_agent(agent, (int) sizeof(agent), longText.c_str(), "s", "m");
    EXPECT_EQ(strlen(agent), 255u);
}

TEST(Initialize, CountedSetUpAndTearDown)
{
    struct utsname uts;
    ASSERT_EQ(uname(&uts), 0);
    const std::string platform =
        std::string(uts.sysname) + (uts.machine[0] ? " " : "") + uts.machine;

    ASSERT_EQ(S3_initialize("ubuntu 10.04", 0, nullptr), S3StatusOK);
    EXPECT_STREQ(defaultHostNameG, S3_DEFAULT_HOSTNAME);
    EXPECT_EQ(std::string(userAgentG),
              "Mozilla/4.0 (Compatible; ubuntu 10.04; strato 2.0; " + platform +
                  ")");
    // A nested call only counts.
    ASSERT_EQ(S3_initialize("other", S3_INIT_ALL, "other.host"), S3StatusOK);
    EXPECT_STREQ(defaultHostNameG, S3_DEFAULT_HOSTNAME);
    S3_deinitialize();
    S3_deinitialize();

    // After a full tear-down the next call sets up again.
    ASSERT_EQ(S3_initialize(nullptr, 0, "store.local"), S3StatusOK);
    EXPECT_STREQ(defaultHostNameG, "store.local");
    EXPECT_NE(std::string(userAgentG).find("(Compatible; Unknown;"),
              std::string::npos);
    S3_deinitialize();

    // A host of 255 characters fails, but still counts.
    const std::string h254(254, 'h'), h255(255, 'h');
    EXPECT_EQ(S3_initialize("x", 0, h255.c_str()), S3StatusUriTooLong);
    EXPECT_EQ(S3_initialize("x", 0, "ignored"), S3StatusOK);
    S3_deinitialize();
    S3_deinitialize();
    // Unmatched tear-downs do not push the count below zero.
    S3_deinitialize();
    ASSERT_EQ(S3_initialize("x", 0, h254.c_str()), S3StatusOK);
    EXPECT_EQ(std::string(defaultHostNameG), h254);
    S3_deinitialize();
}

// A caller that never tears down after a failed set-up still gets a working
// client from its next call: host, user agent and pool are all set then.
TEST(Initialize, AFailedSetUpIsDoneByTheNextCall)
{
    const std::string h255(255, 'h');
    ASSERT_EQ(S3_initialize("x", 0, h255.c_str()), S3StatusUriTooLong);
    ASSERT_EQ(S3_initialize("second try", 0, "store.local"), S3StatusOK);
    EXPECT_STREQ(defaultHostNameG, "store.local");
    EXPECT_NE(std::string(userAgentG).find("(Compatible; second try;"), std::string::npos);
    EXPECT_EQ(0, request_pool_count());
    // A nested call once it is set up changes nothing.
    ASSERT_EQ(S3_initialize("third", 0, "other.host"), S3StatusOK);
    EXPECT_STREQ(defaultHostNameG, "store.local");
    S3_deinitialize();
    S3_deinitialize();
    S3_deinitialize();
    // All three calls matched: the next one sets up anew.
    ASSERT_EQ(S3_initialize(nullptr, 0, nullptr), S3StatusOK);
    EXPECT_STREQ(defaultHostNameG, S3_DEFAULT_HOSTNAME);
    S3_deinitialize();
}

TEST(CaFile, SetClearAndRefuse)
{
    const char *saved = request_ca_file();
    const std::string savedCopy = saved ? saved : "";

    char bundle[] = "/tmp/ca-file-test-XXXXXX";
    const int fd = mkstemp(bundle);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(S3_set_ca_file(bundle), S3StatusOK);
    EXPECT_STREQ(request_ca_file(), bundle);
    const std::string tooLong(CA_FILE_SIZE, 'c');
    EXPECT_EQ(S3_set_ca_file(tooLong.c_str()), S3StatusUriTooLong);
    EXPECT_STREQ(request_ca_file(), bundle);
    ASSERT_EQ(S3_set_ca_file(""), S3StatusOK);
    EXPECT_EQ(request_ca_file(), nullptr);

    // A bundle that cannot be read is reported, and kept, so that no request
    // quietly trusts the system's store in its place.
    for (const char *bad : {"/nonexistent/ca.pem", "/tmp"}) {
        EXPECT_EQ(S3_set_ca_file(bad), S3StatusServerFailedVerification) << bad;
        EXPECT_STREQ(request_ca_file(), bad);
    }
    // Unreadable to the process that sets it: an unprivileged child.
    ASSERT_EQ(chmod(bundle, 0600), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(2);
        }
        _exit(S3_set_ca_file(bundle) == S3StatusServerFailedVerification ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    unlink(bundle);

    ASSERT_EQ(S3_set_ca_file(nullptr), S3StatusOK);
    EXPECT_EQ(request_ca_file(), nullptr);

    S3_set_ca_file(savedCopy.c_str());
}

} // namespace
