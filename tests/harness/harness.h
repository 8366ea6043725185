// harness.h - loopback servers for the tests: moto_server behind our own
// signature-checking proxy (plain HTTP or HTTPS), and a scripted fault server.
// Every server is started by its constructor on a free 127.0.0.1 port and
// stopped (and waited for) by its destructor. A server that cannot start makes
// the constructor throw std::runtime_error, so the test fails, never skips.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace harness {

// The key pair the checking proxy accepts.
extern const char *const kAccessKeyId;
extern const char *const kSecretAccessKey;

// What the proxy has seen since start or the last resetCounters().
struct Counters {
    int connections = 0; // TCP connections accepted from clients
    int requests = 0;    // requests received (all methods)
    int puts = 0;        // PUT requests received
    int rejected = 0;    // requests the proxy answered itself with an error document: a
                         // signature refused (SignatureDoesNotMatch, InvalidAccessKeyId,
                         // AuthorizationHeaderMalformed, ...), a body that does not match its
                         // Content-MD5 or payload hash (InvalidDigest, BadDigest,
                         // XAmzContentSHA256Mismatch), or a refusal of a store mode below
    int maxInFlight = 0; // most requests being handled at the same moment
};

// An object as moto holds it, read straight from moto (not through the proxy).
struct StoredObject {
    bool exists = false;
    std::string body;
    std::string contentType;
    std::string storageClass;                  // x-amz-storage-class, "" when moto reports none
    std::string etag;                          // without quotes
    std::map<std::string, std::string> headers; // every response header, names lower-cased
};

// The proxy forwards what it accepts to moto unchanged (a "+" in a path stays a
// plus sign, as in every store that follows RFC 3986). moto's "Connection: close"
// is not passed on, so clients keep their connection. See sigproxy.py for what is signed.
//
// The proxy checks signature V2 and V4 alike. The other options make it behave like
// the stores in use today; each refusal is the store's own error document.
struct StoreOptions {
    bool tls = false; // proxy speaks HTTPS with a certificate of a CA made at start
    bool refuseV2 = false; // V2: 400 InvalidRequest "The authorization mechanism you have
                           // provided is not supported. Please use AWS4-HMAC-SHA256."
    std::string region = "us-east-1"; // V4 signing region; another one: 400
                                      // AuthorizationHeaderMalformed naming it in <Region>
    bool aclsDisabled = false; // a request with x-amz-acl: 400 AccessControlListNotSupported
                               // "The bucket does not allow ACLs"
    std::vector<std::string> storageClasses; // when not empty, the classes a PUT may name;
                                             // another: 400 InvalidStorageClass
    bool storageClassNotImplemented = false; // ... answered 501 NotImplemented instead
    std::string redirectEndpoint; // not empty: every request answered 301 PermanentRedirect
                                  // naming this host in <Endpoint>
    int slowDownPuts = 0; // the first N tries of each key's PUT answered 503 SlowDown;
                          // -1: every try (tries counted from start or resetCounters())
    std::string dropMidBodyKey; // the first PUT of this key (decoded, without the bucket):
                                // half of its body read, then the connection closed unanswered
    int dropMidBodyTries = 1;   // ... the first N PUTs of it
    bool gatewayFirstTries = false; // the first try of every upload and listing page answered by
                                    // a gateway, in turn 502 HTML, 503 plain text, 504 empty
    int blipAfterPuts = 0; // when the Nth PUT arrives the proxy acts as restarted: every
                           // open client connection reset, new ones reset for blipMs
    int blipMs = 300;
    std::string sessionToken; // not empty: the keys are temporary and go with this token; a
                              // request without x-amz-security-token: 403 InvalidAccessKeyId,
                              // with another: 400 InvalidToken. Empty: a request carrying
                              // a token gets that InvalidToken
    bool opaqueETags = false; // every ETag answered (headers, listings, copy results) is
                              // 32 hex digits that are not the object's MD5, as under SSE-KMS
};

class Store {
public:
    explicit Store(StoreOptions options = {});
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    std::string endpoint() const;     // "127.0.0.1:PORT" of the proxy (what the client talks to)
    std::string motoEndpoint() const; // "127.0.0.1:PORT" of moto itself
    std::string caFile() const;       // PEM of the CA that signed the proxy's certificate (tls only)

    void createBucket(const std::string &bucket);          // straight to moto; throws on failure
    StoredObject getObject(const std::string &bucket, const std::string &key);
    std::string getAclXml(const std::string &bucket, const std::string &key); // the ?acl document
    bool isPublicRead(const std::string &bucket, const std::string &key);    // AllUsers READ grant
    void putObject(const std::string &bucket, const std::string &key, const std::string &body);

    Counters counters();
    void resetCounters();

    // The heads of the last requests the proxy saw (since start or reset), oldest
    // first, as a JSON array of {"method","target","headers":[[name,value],...],
    // "verdict"}; header names and values exactly as received.
    std::string requestsJson();
    std::vector<int> pids() const; // process ids of moto_server and the proxy

private:
    struct Impl;
    Impl *impl_;
};

// Whether an ?acl document grants READ to AllUsers.
bool grantsPublicRead(const std::string &aclXml);

struct Response;

// A real S3 store (Ceph's radosgw) that runs for the whole test run, started
// outside the test process by scripts/test (scripts/rgw-start) and named by
// SITEMIRROR_TEST_RGW_ENDPOINT ("127.0.0.1:PORT", plain HTTP),
// SITEMIRROR_TEST_RGW_ACCESS_KEY and SITEMIRROR_TEST_RGW_SECRET_KEY. The
// constructor throws std::runtime_error when a variable is missing or the
// store does not answer or refuses the keys, so the test fails, never skips.
// Every request is signed (V4); there is no proxy, so no counters or request log.
class RealStore {
public:
    RealStore();
    ~RealStore();
    RealStore(const RealStore &) = delete;
    RealStore &operator=(const RealStore &) = delete;

    std::string endpoint() const { return endpoint_; }
    std::string accessKeyId() const { return accessKeyId_; }
    std::string secretAccessKey() const { return secretAccessKey_; }

    void createBucket(const std::string &bucket); // throws on failure
    StoredObject getObject(const std::string &bucket, const std::string &key);
    std::string getAclXml(const std::string &bucket, const std::string &key);
    bool isPublicRead(const std::string &bucket, const std::string &key);
    void putObject(const std::string &bucket, const std::string &key, const std::string &body);

private:
    std::string url(const std::string &bucket, const std::string &key = "") const;
    Response signedRequest(const std::string &method, const std::string &target,
                           const std::vector<std::string> &headers, const std::string *body) const;

    std::string endpoint_;
    std::string accessKeyId_;
    std::string secretAccessKey_;
};

// Scripted misbehaviour, one mode per server (see faultserver.py for each).
class FaultServer {
public:
    explicit FaultServer(const std::string &mode);
    ~FaultServer();
    FaultServer(const FaultServer &) = delete;
    FaultServer &operator=(const FaultServer &) = delete;

    std::string endpoint() const; // "127.0.0.1:PORT"
    int requestsSeen();           // requests whose head was read completely
    int64_t bodyBytesReceived();  // request body bytes read in all
    int pid() const;              // process id of the server
    void release();               // held-listing: the requests held, and all later ones, are answered

private:
    struct Impl;
    Impl *impl_;
};

// The services that hand out temporary keys, on loopback (see credserver.py):
// STS (AssumeRole checked against a V4 signature for service sts,
// AssumeRoleWithWebIdentity against a token), an SSO portal, a container's
// credentials endpoint and IMDSv2, all on one port. Each hands out the keys
// of its options, valid for lifetimeSeconds from the moment they are asked for.
struct CredentialServerOptions {
    std::string sourceAccessKey, sourceSecretKey; // the keys AssumeRole must be signed with
    std::string region = "us-east-1";            // STS's signing region
    std::string roleArn = "arn:aws:iam::123456789012:role/site-deployer";
    std::string webToken = "web-identity-token";
    std::string ssoToken = "sso-access-token";
    std::string containerToken;                  // "" = no Authorization asked for
    std::string imdsRole = "site-deployer";
    std::string giveKey, giveSecret, giveToken;  // what every service hands out
    double lifetimeSeconds = 3600;
};

class CredentialServer {
public:
    explicit CredentialServer(const CredentialServerOptions &options);
    ~CredentialServer();
    CredentialServer(const CredentialServer &) = delete;
    CredentialServer &operator=(const CredentialServer &) = delete;

    std::string url() const; // "http://127.0.0.1:PORT"
    // Keys handed out by one service ("sts", "web", "sso", "container", "imds"),
    // or requests refused ("refused").
    int count(const std::string &kind);

private:
    struct Impl;
    Impl *impl_;
};

// A loopback port that nothing listens on (for "connection refused").
int refusedPort();

// Runs a command line through /bin/sh with the environment plus `env`; returns its
// exit status (128 + signal number when killed by a signal, -1 when it ran past
// timeoutSeconds and was killed), fills stdout/stderr.
int runCommand(const std::string &command, std::string *out, std::string *err,
               const std::map<std::string, std::string> &env = {}, int timeoutSeconds = 120);

} // namespace harness
