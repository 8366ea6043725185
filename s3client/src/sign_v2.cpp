// sign_v2.cpp: signature version 2: the canonical "x-amz-" headers and
// resource, the string to sign, its HMAC-SHA1 in the Authorization header,
// and the pre-signed URI of that version.
#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include "request_compose.h"
#include "signature.h"
#include "util.h"

// ------------------------------------------------------ canonical headers

// Whether header a's name sorts strictly before header b's: byte by byte up
// to the colon, as signed bytes; a name that ends first sorts first.
static bool header_name_before(const char *a, const char *b)
{
    for (;; ++a, ++b) {
        const bool aEnd = (*a == ':') || !*a;
        const bool bEnd = (*b == ':') || !*b;
        if (aEnd || bEnd) {
            return aEnd && !bEnd;
        }
        if (*a != *b) {
            return (signed char) *a < (signed char) *b;
        }
    }
}

void canonicalize_amz_headers(RequestComputedValues *values)
{
    const int count = values->amzHeadersCount;
    const char *sorted[MAX_AMZ_HEADERS];
    for (int i = 0; i < count; ++i) {
        sorted[i] = values->amzHeaders[i];
    }

    // Stable insertion sort: headers of the same name keep the order in
    // which they are sent, so their joined value reads in that order too.
    for (int i = 1; i < count; ++i) {
        const char *header = sorted[i];
        int j = i;
        while (j > 0 && header_name_before(header, sorted[j - 1])) {
            sorted[j] = sorted[j - 1];
            --j;
        }
        sorted[j] = header;
    }

    char *buffer = values->canonicalizedAmzHeaders;
    char *const end = buffer + AMZ_HEADERS_RAW_SIZE - 1;  // room for the NUL
    int lastNameLen = 0;  // previous header's name and colon

    for (int i = 0; i < count; ++i) {
        const char *header = sorted[i];
        const char *c = header;

        if (i && lastNameLen &&
            !strncmp(header, sorted[i - 1], (size_t) lastNameLen)) {
            // Same name as before: the value joins the previous line.
            if (buffer > values->canonicalizedAmzHeaders) {
                buffer[-1] = ',';
            }
            c += lastNameLen;
        }
        else {
            while (*c && *c != ':' && buffer < end) {
                *buffer++ = *c++;
            }
            if (*c == ':' && buffer < end) {
                *buffer++ = *c++;
            }
            lastNameLen = (int) (c - header);
        }
        if (*c == ' ') {
            ++c;
        }

        // The value; a folded line (CR LF and a blank) is dropped with the
        // blanks on both sides of it.
        char *const valueStart = buffer;
        while (*c) {
            if (c[0] == '\r' && c[1] == '\n' && is_blank(c[2])) {
                c += 3;
                while (is_blank(*c)) {
                    ++c;
                }
                while (buffer > valueStart && is_blank(buffer[-1])) {
                    --buffer;
                }
                continue;
            }
            if (buffer < end) {
                *buffer++ = *c;
            }
            ++c;
        }
        if (buffer < end) {
            *buffer++ = '\n';
        }
    }
    *buffer = 0;
}

// ----------------------------------------------------- canonical resource

void canonicalize_resource(const char *bucketName, const char *subResource,
                           const char *urlEncodedKey, char *buffer)
{
    // Cut to the buffer rather than overrun it: a cut resource can only
    // give a signature the service refuses.
    snprintf(buffer, MAX_CANONICALIZED_RESOURCE_SIZE, "%s%s/%s%s%s",
             (bucketName && bucketName[0]) ? "/" : "",
             (bucketName && bucketName[0]) ? bucketName : "",
             (urlEncodedKey && urlEncodedKey[0]) ? urlEncodedKey : "",
             (subResource && subResource[0]) ? "?" : "",
             (subResource && subResource[0]) ? subResource : "");
}

// -------------------------------------------------------------- signature

int compose_string_to_sign(const RequestParams *params,
                           const RequestComputedValues *values, char *buffer,
                           int bufferSize)
{
    static const size_t md5Prefix = sizeof("Content-MD5: ") - 1;
    static const size_t contentTypePrefix = sizeof("Content-Type: ") - 1;

    const char *md5 = values->md5Header[0] ? &values->md5Header[md5Prefix] : "";
    const char *contentType = values->contentTypeHeader[0]
                                  ? &values->contentTypeHeader[contentTypePrefix]
                                  : "";
    // The date line stays empty: the time travels in x-amz-date.
    const int n = snprintf(buffer, (size_t) bufferSize, "%s\n%s\n%s\n\n%s%s",
                           http_request_type_to_verb(params->httpRequestType),
                           md5, contentType, values->canonicalizedAmzHeaders,
                           values->canonicalizedResource);
    if (n < 0) {
        buffer[0] = 0;
        return 0;
    }
    return (n < bufferSize) ? n : bufferSize - 1;
}

// base64 of the HMAC-SHA1 of text with secret into out (at least 29 bytes);
// returns the encoded length.
static int sign_text(const char *secret, const char *text, int textLen,
                     char *out)
{
    unsigned char hmac[SHA1_DIGEST_SIZE];
    hmac_sha1(hmac, (const unsigned char *) (secret ? secret : ""),
              secret ? strlen(secret) : 0, (const unsigned char *) text,
              (size_t) textLen);
    const int len = base64_encode(hmac, SHA1_DIGEST_SIZE, out);
    out[len] = 0;
    return len;
}

#define SIGNATURE_SIZE 32  // 28 base64 characters and a terminator

S3Status sign_v2_auth_header(const RequestParams *params,
                             RequestComputedValues *values)
{
    char signbuf[STRING_TO_SIGN_SIZE];
    const int len = compose_string_to_sign(params, values, signbuf,
                                           (int) sizeof(signbuf));

    char signature[SIGNATURE_SIZE];
    const int sigLen =
        sign_text(params->bucketContext.secretAccessKey, signbuf, len,
                  signature);

    const char *keyId = params->bucketContext.accessKeyId;
    const int n = snprintf(values->authorizationHeader,
                           sizeof(values->authorizationHeader),
                           "Authorization: AWS %s:%.*s", keyId ? keyId : "",
                           sigLen, signature);
    if ((n < 0) || (n >= (int) sizeof(values->authorizationHeader))) {
        values->authorizationHeader[0] = 0;
        return S3StatusHeadersTooLong;
    }
    return S3StatusOK;
}

// ------------------------------------------------------ pre-signed URI

#define MAX_EXPIRES 2147483647LL
#define QUERY_STRING_SIZE S3_MAX_AUTHENTICATED_QUERY_STRING_SIZE

S3Status sign_v2_query_string(char *buffer,
                              const S3BucketContext *bucketContext,
                              const char *key, int64_t expires,
                              const char *resource)
{
    if ((expires < 0) || (expires > MAX_EXPIRES)) {
        expires = MAX_EXPIRES;
    }

    // The key's length is checked before it is encoded.
    char urlEncodedKey[MAX_URLENCODED_KEY_SIZE];
    if (!url_encode(urlEncodedKey, key, S3_MAX_KEY_SIZE)) {
        buffer[0] = 0;
        return S3StatusUriTooLong;
    }

    char canonicalizedResource[MAX_CANONICALIZED_RESOURCE_SIZE];
    canonicalize_resource(bucketContext->bucketName, resource, urlEncodedKey,
                          canonicalizedResource);

    char signbuf[STRING_TO_SIGN_SIZE];
    int len = snprintf(signbuf, sizeof(signbuf), "GET\n\n\n%" PRId64 "\n%s",
                       expires, canonicalizedResource);
    if (len < 0) {
        len = 0;
    }
    if (len >= (int) sizeof(signbuf)) {
        len = (int) sizeof(signbuf) - 1;
    }

    char signature[SIGNATURE_SIZE];
    sign_text(bucketContext->secretAccessKey, signbuf, len, signature);

    char encodedSignature[3 * SIGNATURE_SIZE + 1];
    url_encode(encodedSignature, signature, SIGNATURE_SIZE);

    char queryParams[QUERY_STRING_SIZE];
    const char *keyId = bucketContext->accessKeyId;
    const int n = snprintf(queryParams, sizeof(queryParams),
                           "AWSAccessKeyId=%s&Expires=%" PRId64
                           "&Signature=%s",
                           keyId ? keyId : "", expires, encodedSignature);
    if ((n < 0) || (n >= (int) sizeof(queryParams))) {
        buffer[0] = 0;
        return S3StatusUriTooLong;
    }

    return compose_uri(buffer, S3_MAX_AUTHENTICATED_QUERY_STRING_SIZE,
                       bucketContext, urlEncodedKey, resource, queryParams);
}
