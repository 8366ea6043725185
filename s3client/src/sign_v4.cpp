// sign_v4.cpp: signature version 4 (AWS4-HMAC-SHA256): the canonical request,
// the string to sign, the signing key derived for the day, region and
// service, the Authorization header, and the pre-signed URI of that version.
#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>

#include "default_host.h"
#include "request_compose.h"
#include "signature.h"
#include "util.h"

namespace {

const char kAlgorithm[] = "AWS4-HMAC-SHA256";
const char kScopeTail[] = "s3/aws4_request";  // S3's service and terminator
const char kS3Service[] = "s3";
const char kTerminator[] = "aws4_request";
const char kDefaultRegion[] = "us-east-1";

// Longest expiry of a pre-signed URI: seven days.
const int64_t kMaxPresignedSeconds = 604800;
// Largest expiry time the pre-signed forms accept (as in V2).
const int64_t kMaxExpires = 2147483647LL;

// Headers one request can sign: the "x-amz-" ones, host, content-md5,
// content-type and range.
const int kMaxSignedHeaders = MAX_AMZ_HEADERS + 4;
// Parameters of one query string.
const int kMaxQueryParams = 256;
// The query re-encoded: every byte may become "%XX".
const int kCanonicalQuerySize = 3 * MAX_URI_SIZE;
// "yyyymmdd" and its terminator.
const int kDaySize = 9;
// The credential "ID/yyyymmdd/REGION/s3/aws4_request", encoded for a query.
const int kCredentialSize = 3 * (S3_MAX_HOSTNAME_SIZE + 64);
// The host alone, as the Host line holds it.
const int kHostSize = HOST_HEADER_SIZE - (int) (sizeof("Host: ") - 1);
// A region name; longer ones are refused.
const int kMaxRegionLength = 64;

// Appends to a fixed buffer, always terminated; once something does not
// fit, nothing more is written and full stays set.
struct TextWriter
{
    char *buffer;
    int size;
    int len;
    bool full;

    TextWriter(char *b, int s) : buffer(b), size(s), len(0), full(false)
    {
        buffer[0] = 0;
    }

    void put(const char *text, int n)
    {
        if (full || n > size - 1 - len) {
            full = true;
            return;
        }
        memcpy(buffer + len, text, (size_t) n);
        len += n;
        buffer[len] = 0;
    }
    void put(const char *text) { put(text, (int) strlen(text)); }
    void put(char c) { put(&c, 1); }
};

char lower(char c)
{
    return ((c >= 'A') && (c <= 'Z')) ? (char) (c - 'A' + 'a') : c;
}

// What V4 counts as white space in a header value.
bool is_space(char c)
{
    return (c == ' ') || (c == '\t') || (c == '\r') || (c == '\n') ||
           (c == '\f') || (c == '\v');
}

// ---------------------------------------------------------- canonical headers

struct HeaderRef
{
    const char *name;
    int nameLen;
    const char *value;  // up to the terminator
};

// Names compared without regard to case, as unsigned bytes; a name that ends
// first sorts first.
int compare_names(const HeaderRef &a, const HeaderRef &b)
{
    const int n = std::min(a.nameLen, b.nameLen);
    for (int i = 0; i < n; ++i) {
        const unsigned char x = (unsigned char) lower(a.name[i]);
        const unsigned char y = (unsigned char) lower(b.name[i]);
        if (x != y) {
            return (x < y) ? -1 : 1;
        }
    }
    return a.nameLen - b.nameLen;
}

// The value with its outer white space removed and every inner run of it
// written as one space.
void put_squeezed(TextWriter *out, const char *value)
{
    bool pending = false;
    bool any = false;
    for (; *value; ++value) {
        if (is_space(*value)) {
            pending = true;
            continue;
        }
        if (pending && any) {
            out->put(' ');
        }
        pending = false;
        any = true;
        out->put(*value);
    }
}

// "name:value" lines in name order (lower-cased, repeated names joined with
// "," in the order given), and the names joined with ";".
bool canonical_headers(const char *const *lines, int count, TextWriter *out,
                       TextWriter *signedHeaders)
{
    if (count > kMaxSignedHeaders) {
        return false;
    }
    HeaderRef refs[kMaxSignedHeaders];
    for (int i = 0; i < count; ++i) {
        const char *colon = strchr(lines[i], ':');
        const char *end = colon ? colon : lines[i] + strlen(lines[i]);
        refs[i].name = lines[i];
        refs[i].nameLen = (int) (end - lines[i]);
        refs[i].value = colon ? colon + 1 : end;
    }
    std::stable_sort(refs, refs + count,
                     [](const HeaderRef &a, const HeaderRef &b) {
                         return compare_names(a, b) < 0;
                     });

    for (int i = 0; i < count; ++i) {
        const bool repeated = i && !compare_names(refs[i], refs[i - 1]);
        if (repeated) {
            out->put(',');
        }
        else {
            if (i) {
                out->put('\n');
                signedHeaders->put(';');
            }
            for (int j = 0; j < refs[i].nameLen; ++j) {
                out->put(lower(refs[i].name[j]));
                signedHeaders->put(lower(refs[i].name[j]));
            }
            out->put(':');
        }
        put_squeezed(out, refs[i].value);
    }
    if (count) {
        out->put('\n');
    }
    return !out->full && !signedHeaders->full;
}

// ------------------------------------------------------------ canonical query

// src[0, len) with its %XX escapes decoded, then encoded as V4 signs it,
// appended to out.  An escape that is not one stays as its bytes.
void put_reencoded(TextWriter *out, const char *src, int len)
{
    char one[4];
    for (int i = 0; i < len; ++i) {
        char c = src[i];
        if ((c == '%') && (i + 2 < len) && (hex_value(src[i + 1]) >= 0) && (hex_value(src[i + 2]) >= 0)) {
            c = (char) (hex_value(src[i + 1]) * 16 + hex_value(src[i + 2]));
            i += 2;
        }
        uri_encode(one, &c, 1, 0);
        out->put(one);
    }
}

struct QueryParam
{
    int start;  // in the scratch text: "name=value" re-encoded
    int nameLen;
};

// The query's parameters re-encoded and sorted by name, then value, joined
// with "&"; a parameter without "=" gets an empty value.
bool canonical_query(const char *query, TextWriter *out)
{
    if (!query || !*query) {
        return true;
    }
    char scratch[kCanonicalQuerySize];
    TextWriter text(scratch, (int) sizeof(scratch));
    QueryParam params[kMaxQueryParams];
    int count = 0;

    const char *p = query;
    while (*p) {
        const char *end = strchr(p, '&');
        if (!end) {
            end = p + strlen(p);
        }
        if (end > p) {
            if (count == kMaxQueryParams) {
                return false;
            }
            const char *eq = (const char *) memchr(p, '=', (size_t) (end - p));
            const char *nameEnd = eq ? eq : end;
            params[count].start = text.len;
            put_reencoded(&text, p, (int) (nameEnd - p));
            params[count].nameLen = text.len - params[count].start;
            text.put('=');
            if (eq) {
                put_reencoded(&text, eq + 1, (int) (end - eq - 1));
            }
            text.put('\0');  // each parameter ends in a terminator
            ++count;
        }
        p = *end ? end + 1 : end;
    }
    if (text.full) {
        return false;
    }

    std::sort(params, params + count,
              [&scratch](const QueryParam &a, const QueryParam &b) {
                  const char *x = scratch + a.start;
                  const char *y = scratch + b.start;
                  const int n = std::min(a.nameLen, b.nameLen);
                  const int c = memcmp(x, y, (size_t) n);
                  if (c || (a.nameLen != b.nameLen)) {
                      return c ? (c < 0) : (a.nameLen < b.nameLen);
                  }
                  return strcmp(x + a.nameLen, y + b.nameLen) < 0;
              });
    for (int i = 0; i < count; ++i) {
        if (i) {
            out->put('&');
        }
        out->put(scratch + params[i].start);
    }
    return !out->full;
}

// ------------------------------------------------------------------- signing

void hmac(unsigned char out[SHA256_DIGEST_SIZE], const unsigned char *key,
          size_t keyLen, const char *text)
{
    hmac_sha256(out, key, keyLen, (const unsigned char *) text, strlen(text));
}

// The first eight characters of "yyyymmddThhmmssZ".
void day_of(char day[kDaySize], const char *amzDate)
{
    snprintf(day, kDaySize, "%.8s", amzDate ? amzDate : "");
}

// The host a request names: the bucket and a dot in front of the endpoint
// for a virtual-host address.
bool compose_host(char *out, int size, const S3BucketContext *bucketContext)
{
    const char *host =
        bucketContext->hostName ? bucketContext->hostName : defaultHostNameG;
    const char *bucket = bucketContext->bucketName;
    const bool virtualHost =
        bucket && bucket[0] &&
        (enum_int(bucketContext->uriStyle) == S3UriStyleVirtualHost);
    const int n = virtualHost ? snprintf(out, (size_t) size, "%s.%s", bucket, host)
                              : snprintf(out, (size_t) size, "%s", host);
    return (n >= 0) && (n < size);
}

// The path as compose_uri writes it: "/bucket/key" in path style, "/key"
// otherwise.
bool compose_path(char *out, int size, const S3BucketContext *bucketContext,
                  const char *encodedKey)
{
    const char *bucket = bucketContext->bucketName;
    const bool pathStyle =
        bucket && bucket[0] &&
        (enum_int(bucketContext->uriStyle) != S3UriStyleVirtualHost);
    const int n = pathStyle
                      ? snprintf(out, (size_t) size, "/%s/%s", bucket, encodedKey)
                      : snprintf(out, (size_t) size, "/%s", encodedKey);
    return (n >= 0) && (n < size);
}

// The query as compose_uri writes it: the sub-resource, then the parameters.
bool compose_query(char *out, int size, const char *subResource,
                   const char *queryParams)
{
    const bool sub = subResource && subResource[0];
    const int n = snprintf(out, (size_t) size, "%s%s%s", sub ? subResource : "",
                           (sub && queryParams) ? "&" : "",
                           queryParams ? queryParams : "");
    return (n >= 0) && (n < size);
}

} // namespace

const char *v4_region(const S3BucketContext *bucketContext)
{
    const char *region = bucketContext->region;
    return (region && region[0]) ? region : kDefaultRegion;
}

void v4_format_date(char *out, int64_t t)
{
    const time_t tt = (time_t) t;
    struct tm stm;
    if (!gmtime_r(&tt, &stm) ||
        !strftime(out, V4_DATE_SIZE, "%Y%m%dT%H%M%SZ", &stm)) {
        out[0] = 0;
    }
}

const char *v4_payload_hash(const RequestParams *params)
{
    if (params->httpRequestType != HttpRequestTypePUT &&
        params->httpRequestType != HttpRequestTypePOST) {
        return V4_EMPTY_PAYLOAD_HASH;  // no body: GET, HEAD, DELETE, copy
    }
    const char *given =
        params->putProperties ? params->putProperties->payloadSha256 : NULL;
    if (given) {
        for (int i = 0; i < SHA256_HEX_SIZE - 1; ++i) {
            const char c = given[i];
            if (!(((c >= '0') && (c <= '9')) || ((c >= 'a') && (c <= 'f')))) {
                return NULL;
            }
        }
        return given[SHA256_HEX_SIZE - 1] ? NULL : given;
    }
    return (params->toS3CallbackTotalSize > 0) ? V4_UNSIGNED_PAYLOAD
                                               : V4_EMPTY_PAYLOAD_HASH;
}

S3Status v4_sign(const V4Request *request, V4Signature *signature)
{
    TextWriter canonical(signature->canonicalRequest,
                         (int) sizeof(signature->canonicalRequest));
    TextWriter signedHeaders(signature->signedHeaders,
                             (int) sizeof(signature->signedHeaders));
    signature->stringToSign[0] = 0;
    signature->signature[0] = 0;
    signature->service[0] = 0;

    canonical.put(request->method);
    canonical.put('\n');
    canonical.put(request->path);
    canonical.put('\n');
    if (!canonical_query(request->query, &canonical)) {
        return S3StatusUriTooLong;
    }
    canonical.put('\n');
    if (!canonical_headers(request->headerLines, request->headerCount,
                           &canonical, &signedHeaders)) {
        return S3StatusHeadersTooLong;
    }
    canonical.put('\n');
    canonical.put(signature->signedHeaders);
    canonical.put('\n');
    canonical.put(request->payloadHash);
    if (canonical.full) {
        return S3StatusHeadersTooLong;
    }

    const char *service = request->service ? request->service : kS3Service;
    const size_t serviceLen = strlen(service);
    if (!serviceLen || (serviceLen >= sizeof(signature->service)) ||
        strchr(service, '/')) {
        return S3StatusHeadersTooLong;
    }
    memcpy(signature->service, service, serviceLen + 1);

    unsigned char digest[SHA256_DIGEST_SIZE];
    sha256_digest(digest, (const unsigned char *) signature->canonicalRequest,
                  (size_t) canonical.len);
    char digestHex[SHA256_HEX_SIZE];
    hex_encode(digest, SHA256_DIGEST_SIZE, digestHex, 0);

    char day[kDaySize];
    day_of(day, request->amzDate);
    const int n = snprintf(signature->stringToSign,
                           sizeof(signature->stringToSign),
                           "%s\n%s\n%s/%s/%s/%s\n%s", kAlgorithm,
                           request->amzDate, day, request->region, service,
                           kTerminator, digestHex);
    if ((n < 0) || (n >= (int) sizeof(signature->stringToSign))) {
        signature->stringToSign[0] = 0;
        return S3StatusHeadersTooLong;
    }

    // The signing key: the secret, then the day, region, service and
    // terminator, each an HMAC keyed by the one before.
    char secretKey[sizeof("AWS4") + 256];
    const char *secret = request->secretAccessKey ? request->secretAccessKey : "";
    const int keyLen = snprintf(secretKey, sizeof(secretKey), "AWS4%s", secret);
    if ((keyLen < 0) || (keyLen >= (int) sizeof(secretKey))) {
        return S3StatusHeadersTooLong;
    }
    unsigned char key[SHA256_DIGEST_SIZE];
    hmac(key, (const unsigned char *) secretKey, (size_t) keyLen, day);
    hmac(key, key, SHA256_DIGEST_SIZE, request->region);
    hmac(key, key, SHA256_DIGEST_SIZE, service);
    hmac(key, key, SHA256_DIGEST_SIZE, kTerminator);
    memset(secretKey, 0, sizeof(secretKey));

    hmac(digest, key, SHA256_DIGEST_SIZE, signature->stringToSign);
    hex_encode(digest, SHA256_DIGEST_SIZE, signature->signature, 0);
    return S3StatusOK;
}

bool v4_authorization(char *buffer, int bufferSize, const char *accessKeyId,
                      const char *amzDate, const char *region,
                      const V4Signature *signature)
{
    char day[kDaySize];
    day_of(day, amzDate);
    const int n = snprintf(buffer, (size_t) bufferSize,
                           "%s Credential=%s/%s/%s/%s/%s,SignedHeaders=%s,"
                           "Signature=%s",
                           kAlgorithm, accessKeyId ? accessKeyId : "", day,
                           region, signature->service, kTerminator,
                           signature->signedHeaders, signature->signature);
    if ((n < 0) || (n >= bufferSize)) {
        buffer[0] = 0;
        return false;
    }
    return true;
}

S3Status sign_v4_auth_header(const RequestParams *params,
                             RequestComputedValues *values)
{
    const S3BucketContext *context = &params->bucketContext;
    const char *region = v4_region(context);
    if (strlen(region) > (size_t) kMaxRegionLength) {
        return S3StatusHeadersTooLong;
    }

    char host[kHostSize];
    if (!compose_host(host, (int) sizeof(host), context)) {
        return S3StatusUriTooLong;
    }
    snprintf(values->hostHeader, sizeof(values->hostHeader), "Host: %s", host);

    char path[MAX_URI_SIZE];
    char query[MAX_URI_SIZE];
    if (!compose_path(path, (int) sizeof(path), context, values->urlEncodedKey) ||
        !compose_query(query, (int) sizeof(query), params->subResource,
                       params->queryParams)) {
        return S3StatusUriTooLong;
    }

    // What is signed: host, every "x-amz-" header, and the standard headers
    // whose values the store checks, when they are sent.
    const char *lines[kMaxSignedHeaders];
    int count = 0;
    lines[count++] = values->hostHeader;
    for (int i = 0; i < values->amzHeadersCount; ++i) {
        lines[count++] = values->amzHeaders[i];
    }
    for (const char *line :
         {values->md5Header, values->contentTypeHeader, values->rangeHeader}) {
        if (line[0]) {
            lines[count++] = line;
        }
    }

    V4Request request;
    request.method = http_request_type_to_verb(params->httpRequestType);
    request.path = path;
    request.query = query;
    request.headerLines = lines;
    request.headerCount = count;
    request.payloadHash = v4_payload_hash(params);
    request.amzDate = values->v4Date;
    request.region = region;
    request.secretAccessKey = context->secretAccessKey;
    if (!request.payloadHash) {
        return S3StatusBadMetaData;
    }

    V4Signature signature;
    const S3Status status = v4_sign(&request, &signature);
    if (status != S3StatusOK) {
        return status;
    }

    static const char prefix[] = "Authorization: ";
    memcpy(values->authorizationHeader, prefix, sizeof(prefix));
    if (!v4_authorization(values->authorizationHeader + sizeof(prefix) - 1,
                          (int) (sizeof(values->authorizationHeader) -
                                 sizeof(prefix) + 1),
                          context->accessKeyId, values->v4Date, region,
                          &signature)) {
        values->authorizationHeader[0] = 0;
        return S3StatusHeadersTooLong;
    }
    return S3StatusOK;
}

S3Status sign_v4_query_string(char *buffer,
                              const S3BucketContext *bucketContext,
                              const char *key, int64_t expires,
                              const char *resource)
{
    buffer[0] = 0;
    const char *region = v4_region(bucketContext);
    if (strlen(region) > (size_t) kMaxRegionLength) {
        return S3StatusUriTooLong;
    }

    const int64_t now = compose_clockG();
    if ((expires < 0) || (expires > kMaxExpires)) {
        expires = kMaxExpires;
    }
    // V4 counts seconds from the signing time, seven days at most.  A time
    // already past cannot be given: such a URI is refused, not made one that
    // lives a second.
    if (expires <= now) {
        return S3StatusErrorInvalidArgument;
    }
    const int64_t seconds = std::min(kMaxPresignedSeconds, expires - now);

    const size_t keyLen = key ? strlen(key) : 0;
    if (keyLen > S3_MAX_KEY_SIZE) {
        return S3StatusUriTooLong;
    }
    char encodedKey[MAX_URLENCODED_KEY_SIZE];
    uri_encode(encodedKey, key ? key : "", (int) keyLen, 1);

    char host[kHostSize];
    char hostLine[HOST_HEADER_SIZE];
    char path[MAX_URI_SIZE];
    if (!compose_host(host, (int) sizeof(host), bucketContext) ||
        !compose_path(path, (int) sizeof(path), bucketContext, encodedKey)) {
        return S3StatusUriTooLong;
    }
    snprintf(hostLine, sizeof(hostLine), "Host: %s", host);

    char amzDate[V4_DATE_SIZE];
    v4_format_date(amzDate, now);
    char day[kDaySize];
    day_of(day, amzDate);

    char credential[kCredentialSize];
    char encodedCredential[3 * kCredentialSize + 1];
    const char *keyId = bucketContext->accessKeyId ? bucketContext->accessKeyId : "";
    int n = snprintf(credential, sizeof(credential), "%s/%s/%s/%s", keyId, day,
                     region, kScopeTail);
    if ((n < 0) || (n >= (int) sizeof(credential))) {
        return S3StatusUriTooLong;
    }
    uri_encode(encodedCredential, credential, n, 0);

    char queryParams[S3_MAX_AUTHENTICATED_QUERY_STRING_SIZE];
    n = snprintf(queryParams, sizeof(queryParams),
                 "X-Amz-Algorithm=%s&X-Amz-Credential=%s&X-Amz-Date=%s"
                 "&X-Amz-Expires=%" PRId64 "&X-Amz-SignedHeaders=host",
                 kAlgorithm, encodedCredential, amzDate, seconds);
    if ((n < 0) || (n >= (int) sizeof(queryParams))) {
        return S3StatusUriTooLong;
    }
    char query[S3_MAX_AUTHENTICATED_QUERY_STRING_SIZE];
    if (!compose_query(query, (int) sizeof(query), resource, queryParams)) {
        return S3StatusUriTooLong;
    }

    const char *lines[] = {hostLine};
    V4Request request;
    request.method = "GET";
    request.path = path;
    request.query = query;
    request.headerLines = lines;
    request.headerCount = 1;
    request.payloadHash = V4_UNSIGNED_PAYLOAD;
    request.amzDate = amzDate;
    request.region = region;
    request.secretAccessKey = bucketContext->secretAccessKey;

    V4Signature signature;
    const S3Status status = v4_sign(&request, &signature);
    if (status != S3StatusOK) {
        return status;
    }
    const int len = (int) strlen(queryParams);
    n = snprintf(queryParams + len, sizeof(queryParams) - (size_t) len,
                 "&X-Amz-Signature=%s", signature.signature);
    if ((n < 0) || (n >= (int) sizeof(queryParams) - len)) {
        return S3StatusUriTooLong;
    }
    return compose_uri(buffer, S3_MAX_AUTHENTICATED_QUERY_STRING_SIZE,
                       bucketContext, encodedKey, resource, queryParams);
}
