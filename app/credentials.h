// credentials.h - the key file: two lines, the access key id and the secret
// access key, read once per run.
#pragma once

#include <cstddef>
#include <string>

#include "s3client.h"

// The longest access key id and secret access key taken, the most the client
// can sign with; longer is refused, never cut.
constexpr std::size_t kMaxAccessKeyIdSize = S3_MAX_ACCESS_KEY_ID_SIZE;
constexpr std::size_t kMaxSecretAccessKeySize = S3_MAX_SECRET_ACCESS_KEY_SIZE;

struct Credentials {
    std::string strAccessKeyId;
    std::string strSecretAccessKey;
};

// Reads the key file strPath. Each line loses a leading byte-order mark (first
// line), surrounding blanks and a CR; blank lines before the id are skipped.
// True with creds filled when the file holds an id and a secret; otherwise
// false with strError holding one line naming the file and what is wrong
// (missing or unreadable, a folder, empty, no secret, binary, too long).
bool readCredentials(const std::string &strPath, Credentials &creds, std::string &strError);
