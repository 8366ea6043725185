// credential_sources.h - the sources of temporary credentials, after the key
// pairs of the environment, the shared credentials file and the key file: a
// role assumed through STS, a web identity token, a credential_process, an
// SSO login, a container's endpoint, and (only when asked) the instance's
// metadata service. Each can be fetched again before its keys expire.
#pragma once

#include <memory>
#include <string>

#include "aws_config.h"
#include "credentials.h"

struct TemporaryCredentials {
    Credentials creds;
    long long expiration = 0; // seconds since 1970; 0: the keys do not expire
};

class CredentialSource {
public:
    virtual ~CredentialSource() = default;
    // Fetches the keys. False with strError one line that names the source
    // and the reason ("credentials: credential_process of profile [p] in F
    // exited with status 1").
    virtual bool fetch(TemporaryCredentials &out, std::string &strError) = 0;
    // What -h and the lines name: the source and where it is set, never a secret.
    const std::string &name() const { return strName; }

protected:
    std::string strName;
};

// How the sources reach their services.
struct SourceSettings {
    const char *(*getVar)(const char *name) = nullptr;
    AwsConfig config;                 // the config file and the run's profile
    std::string strCredentialsFile;   // the shared credentials file ("" = none)
    std::string strCaFile;            // for https endpoints ("" = the system's)
    bool bInstanceMetadata = false;   // SITEMIRROR_INSTANCE_METADATA=on
};

enum SourceLookup {
    SourceFound,   // source made
    SourceNotSet,  // nothing names one; strLooked lists what was looked at
    SourceBroken,  // one is named but cannot be used; strError says why
};

// The source for a run whose key pairs were not found: the profile's in the
// config file (role_arn, web_identity_token_file, credential_process, SSO,
// or aws_access_key_id there), AWS_WEB_IDENTITY_TOKEN_FILE with
// AWS_ROLE_ARN, a container's endpoint, the instance's metadata when asked.
// With bProfileOnly (AWS_PROFILE named the profile) only the profile counts.
SourceLookup findCredentialSource(const SourceSettings &settings, bool bProfileOnly,
                                  std::unique_ptr<CredentialSource> &source,
                                  std::string &strError, std::string &strLooked);

// Reads a credentials answer in JSON, as a credential_process prints it
// (Version 1: AccessKeyId, SecretAccessKey, SessionToken, Expiration) or a
// container's or instance's endpoint sends it (Token for SessionToken).
// False with strWhy saying what is wrong with it.
bool readCredentialsJson(const std::string &strJson, bool bProcess, TemporaryCredentials &out,
                         std::string &strWhy);
