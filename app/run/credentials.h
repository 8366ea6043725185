// credentials.h - where the run's keys come from: a key file, the environment,
// a profile of the shared credentials file; the first source set wins.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "s3client.h"

// The longest access key id, secret access key and session token taken, the
// most the client can sign with; longer is refused, never cut.
constexpr std::size_t kMaxAccessKeyIdSize = S3_MAX_ACCESS_KEY_ID_SIZE;
constexpr std::size_t kMaxSecretAccessKeySize = S3_MAX_SECRET_ACCESS_KEY_SIZE;
constexpr std::size_t kMaxSessionTokenSize = S3_MAX_SECURITY_TOKEN_SIZE;

struct Credentials {
    std::string strAccessKeyId;
    std::string strSecretAccessKey;
    std::string strSessionToken; // temporary credentials only; "" = none
};

// Reads the key file strPath. Each line loses a leading byte-order mark (first
// line), surrounding blanks and a CR; blank lines before the id are skipped.
// True with creds filled when the file holds an id and a secret; otherwise
// false with strError holding one line naming the file and what is wrong
// (missing or unreadable, a folder, empty, no secret, binary, too long).
bool readCredentials(const std::string &strPath, Credentials &creds, std::string &strError);

// What a profile lookup in a shared credentials file found.
enum ProfileResult {
    ProfileFound,       // creds filled
    ProfileNoFile,      // the file does not exist
    ProfileNotInFile,   // the file has no section of that name
    ProfileUnusable,    // strError says why: unreadable, not INI, a key missing, too long
};

// Reads the profile strProfile ("[name]" section: aws_access_key_id,
// aws_secret_access_key, optional aws_session_token; names in any case) of the
// INI file strPath.
ProfileResult readProfile(const std::string &strPath, const std::string &strProfile,
                          Credentials &creds, std::string &strError);

class CredentialSource;

// The credentials of a run, and what -h may say of them.
struct CredentialLookup {
    Credentials creds;
    // A source of temporary keys (a role, a process, SSO, a container, the
    // instance): creds is then empty until it is fetched.
    std::shared_ptr<CredentialSource> source;
    std::string strSource;             // where they came from, never a secret
    std::string strPlace;              // what a hint names: the key file's path, else strSource
    std::vector<std::string> warnings; // e.g. a key file others can read, with its chmod
    std::string strError;              // one line when none could be had
};

// Finds the run's credentials, in this order: the key file named by
// SITEMIRROR_KEY_FILE (bKeyFileNamed: the environment or the rules file named
// strKeyFile); AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY (and
// AWS_SESSION_TOKEN) of the environment; the profile AWS_PROFILE names in the
// shared credentials file (AWS_SHARED_CREDENTIALS_FILE, else
// ~/.aws/credentials); the key file strKeyFile when it exists; the file's
// "default" profile. A source that is set but unusable (a half pair, a profile
// that is not there, a broken file) is an error, not a reason to go on to the
// next. Variables set but empty count as unset. True with lookup.creds filled;
// false with lookup.strError naming what is missing, or every place looked at.
// After them come the sources of temporary keys (findCredentialSource): for
// AWS_PROFILE, the profile of the config file when the credentials file has
// none; without it, the config file's default profile, web identity, a
// container's endpoint and, when asked, the instance's metadata.
struct CredentialOptions {
    std::string strCaFile;          // for the sources' https endpoints
    bool bInstanceMetadata = false; // SITEMIRROR_INSTANCE_METADATA=on
};
bool findCredentials(const std::string &strKeyFile, bool bKeyFileNamed,
                     const char *(*getVar)(const char *name), CredentialLookup &lookup,
                     const CredentialOptions &options = CredentialOptions());

// "" when the file at strPath is readable by its owner only; otherwise the
// warning line, naming the chmod that mends it. pszWhat names the file's kind.
std::string permissionWarning(const char *pszWhat, const std::string &strPath);
