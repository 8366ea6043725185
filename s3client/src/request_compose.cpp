// request_compose.cpp: turns a RequestParams into the request's header lines,
// canonical forms, version 2 signature and URI; also the pre-signed URI.
#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "request.h"
#include "util.h"

static int64_t system_clock()
{
    return (int64_t) time(NULL);
}

int64_t (*compose_clockG)(void) = system_clock;

// The headers' dates use English names whatever the locale says.
static const char *const dayNames[] = {"Sun", "Mon", "Tue", "Wed",
                                       "Thu", "Fri", "Sat"};
static const char *const monthNames[] = {"Jan", "Feb", "Mar", "Apr",
                                         "May", "Jun", "Jul", "Aug",
                                         "Sep", "Oct", "Nov", "Dec"};

// "<Day>, dd <Mon> yyyy hh:mm:ss" of t in UTC into out; "" when the time
// cannot be represented.
static void format_date(char *out, size_t size, int64_t t)
{
    const time_t tt = (time_t) t;
    struct tm stm;
    if (!gmtime_r(&tt, &stm)) {
        out[0] = 0;
        return;
    }
    snprintf(out, size, "%s, %02d %s %04d %02d:%02d:%02d",
             dayNames[stm.tm_wday], stm.tm_mday, monthNames[stm.tm_mon],
             stm.tm_year + 1900, stm.tm_hour, stm.tm_min, stm.tm_sec);
}

#define DATE_TEXT_SIZE 64

// ------------------------------------------------------------ amz headers

namespace {

// Packs the "x-amz-" headers into amzHeadersRaw, one NUL-terminated header
// after the other.
struct AmzHeaderWriter
{
    RequestComputedValues *values;
    int len;

    // Starts a header at the current end; false when no slot is left.
    bool start()
    {
        if (values->amzHeadersCount >= MAX_AMZ_HEADERS) {
            return false;
        }
        values->amzHeaders[values->amzHeadersCount++] =
            &values->amzHeadersRaw[len];
        return true;
    }

    // Appends formatted text to the header being written; false when the
    // headers would need more than AMZ_HEADERS_RAW_SIZE - 1 bytes.
    bool vappend(const char *format, va_list args)
        __attribute__((format(printf, 2, 0)))
    {
        const int n = vsnprintf(&values->amzHeadersRaw[len],
                                AMZ_HEADERS_RAW_SIZE - len, format, args);
        if ((n < 0) || (len + n > AMZ_HEADERS_RAW_SIZE - 1)) {
            return false;
        }
        len += n;
        return true;
    }

    bool append(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list args;
        va_start(args, format);
        const bool ok = vappend(format, args);
        va_end(args);
        return ok;
    }

    // Ends the header: trailing spaces go, the terminator is counted.
    void finish()
    {
        while (len && values->amzHeadersRaw[len - 1] == ' ') {
            --len;
        }
        values->amzHeadersRaw[len++] = 0;
    }

    // A whole header.
    bool add(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        if (!start()) {
            return false;
        }
        va_list args;
        va_start(args, format);
        const bool ok = vappend(format, args);
        va_end(args);
        if (ok) {
            finish();
        }
        return ok;
    }
};

} // namespace

S3Status compose_amz_headers(const RequestParams *params,
                             RequestComputedValues *values)
{
    const S3PutProperties *properties = params->putProperties;

    values->amzHeadersCount = 0;
    values->amzHeadersRaw[0] = 0;
    AmzHeaderWriter writer = {values, 0};

    if (properties) {
        const int metaDataCount =
            properties->metaData ? properties->metaDataCount : 0;
        for (int i = 0; i < metaDataCount; ++i) {
            const S3NameValue *property = &properties->metaData[i];
            const char *name = property->name ? property->name : "";
            const char *value = property->value ? property->value : "";
            const size_t nameLen = strlen(name);
            // A name is never cut: a cut name would send a different header.
            if ((nameLen > METADATA_NAME_BUFFER_SIZE - 1) ||
                ((int) nameLen + writer.len > AMZ_HEADERS_RAW_SIZE - 1) ||
                !writer.start()) {
                return S3StatusMetaDataHeadersTooLong;
            }
            // The name is sent as the header name itself, lower-cased.
            for (size_t j = 0; j < nameLen; ++j) {
                const char c = name[j];
                values->amzHeadersRaw[writer.len++] =
                    ((c >= 'A') && (c <= 'Z')) ? (char) (c - 'A' + 'a') : c;
            }
            values->amzHeadersRaw[writer.len] = 0;
            if (!writer.append(": %s", value)) {
                return S3StatusMetaDataHeadersTooLong;
            }
            writer.finish();
        }

        const char *cannedAclString = NULL;
        switch (enum_int(properties->cannedAcl)) {
        case S3CannedAclPrivate:
            break;
        case S3CannedAclPublicRead:
            cannedAclString = "public-read";
            break;
        case S3CannedAclPublicReadWrite:
            cannedAclString = "public-read-write";
            break;
        default:
            cannedAclString = "authenticated-read";
            break;
        }
        if (cannedAclString &&
            !writer.add("x-amz-acl: %s", cannedAclString)) {
            return S3StatusMetaDataHeadersTooLong;
        }
    }

    char date[DATE_TEXT_SIZE];
    format_date(date, sizeof(date), compose_clockG());
    if (!writer.add("x-amz-date: %s GMT", date)) {
        return S3StatusMetaDataHeadersTooLong;
    }

    if (params->httpRequestType == HttpRequestTypeCOPY) {
        if (params->copySourceBucketName && params->copySourceBucketName[0] &&
            params->copySourceKey && params->copySourceKey[0]) {
            if (!writer.add("x-amz-copy-source: /%s/%s",
                            params->copySourceBucketName,
                            params->copySourceKey)) {
                return S3StatusMetaDataHeadersTooLong;
            }
        }
        if (properties &&
            !writer.add("%s", "x-amz-metadata-directive: REPLACE")) {
            return S3StatusMetaDataHeadersTooLong;
        }
    }

    return S3StatusOK;
}

// ------------------------------------------------------- standard headers

// One text-valued header: "" when there is no value; the value's leading
// blanks are skipped (nothing left: badStatus), the line must take fewer than
// HEADER_LINE_SIZE characters (else tooLongStatus), trailing blanks go.
static S3Status compose_text_header(char *field, const char *format,
                                    const char *value, S3Status badStatus,
                                    S3Status tooLongStatus)
{
    field[0] = 0;
    if (!value || !value[0]) {
        return S3StatusOK;
    }
    while (is_blank(*value)) {
        ++value;
    }
    if (!*value) {
        return badStatus;
    }
    // Every format has exactly one "%s".
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int n = snprintf(field, HEADER_LINE_SIZE, format, value);
#pragma GCC diagnostic pop
    if ((n < 0) || (n >= HEADER_LINE_SIZE)) {
        field[0] = 0;
        return tooLongStatus;
    }
    int len = n;
    while (len && is_blank(field[len - 1])) {
        --len;
    }
    field[len] = 0;
    return S3StatusOK;
}

static void compose_date_header(char *field, const char *name, int64_t t)
{
    field[0] = 0;
    if (t < 0) {
        return;
    }
    char date[DATE_TEXT_SIZE];
    format_date(date, sizeof(date), t);
    if (date[0]) {
        snprintf(field, HEADER_LINE_SIZE, "%s: %s UTC", name, date);
    }
}

S3Status compose_standard_headers(const RequestParams *params,
                                  RequestComputedValues *values)
{
    const S3PutProperties *p = params->putProperties;
    const S3GetConditions *g = params->getConditions;
    S3Status status;

#define TEXT_HEADER(field, format, value, bad, tooLong)                     \
    status = compose_text_header(values->field, format, value, bad, tooLong); \
    if (status != S3StatusOK) {                                               \
        return status;                                                        \
    }

    TEXT_HEADER(cacheControlHeader, "Cache-Control: %s",
                p ? p->cacheControl : NULL, S3StatusBadCacheControl,
                S3StatusCacheControlTooLong);
    TEXT_HEADER(contentTypeHeader, "Content-Type: %s",
                p ? p->contentType : NULL, S3StatusBadContentType,
                S3StatusContentTypeTooLong);
    TEXT_HEADER(md5Header, "Content-MD5: %s", p ? p->md5 : NULL,
                S3StatusBadMD5, S3StatusMD5TooLong);
    TEXT_HEADER(contentDispositionHeader,
                "Content-Disposition: attachment; filename=\"%s\"",
                p ? p->contentDispositionFilename : NULL,
                S3StatusBadContentDispositionFilename,
                S3StatusContentDispositionFilenameTooLong);
    TEXT_HEADER(contentEncodingHeader, "Content-Encoding: %s",
                p ? p->contentEncoding : NULL, S3StatusBadContentEncoding,
                S3StatusContentEncodingTooLong);

    compose_date_header(values->expiresHeader, "Expires",
                        p ? p->expires : -1);
    compose_date_header(values->ifModifiedSinceHeader, "If-Modified-Since",
                        g ? g->ifModifiedSince : -1);
    compose_date_header(values->ifUnmodifiedSinceHeader,
                        "If-Unmodified-Since", g ? g->ifNotModifiedSince : -1);

    TEXT_HEADER(ifMatchHeader, "If-Match: %s", g ? g->ifMatchETag : NULL,
                S3StatusBadIfMatchETag, S3StatusIfMatchETagTooLong);
    TEXT_HEADER(ifNoneMatchHeader, "If-None-Match: %s",
                g ? g->ifNotMatchETag : NULL, S3StatusBadIfNotMatchETag,
                S3StatusIfNotMatchETagTooLong);
#undef TEXT_HEADER

    if (params->byteCount) {
        snprintf(values->rangeHeader, HEADER_LINE_SIZE,
                 "Range: bytes=%" PRIu64 "-%" PRIu64, params->startByte,
                 params->startByte + params->byteCount - 1);
    }
    else if (params->startByte) {
        snprintf(values->rangeHeader, HEADER_LINE_SIZE,
                 "Range: bytes=%" PRIu64 "-", params->startByte);
    }
    else {
        values->rangeHeader[0] = 0;
    }

    return S3StatusOK;
}

// ------------------------------------------------------------------ key

S3Status encode_key(const RequestParams *params, RequestComputedValues *values)
{
    return urlEncode(values->urlEncodedKey, params->key, S3_MAX_KEY_SIZE)
               ? S3StatusOK
               : S3StatusUriTooLong;
}

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

const char *http_request_type_to_verb(HttpRequestType requestType)
{
    switch (enum_int(requestType)) {
    case HttpRequestTypeGET:
        return "GET";
    case HttpRequestTypeHEAD:
        return "HEAD";
    case HttpRequestTypePUT:
    case HttpRequestTypeCOPY:
        return "PUT";
    default:
        return "DELETE";
    }
}

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
    HMAC_SHA1(hmac, (const unsigned char *) (secret ? secret : ""),
              secret ? strlen(secret) : 0, (const unsigned char *) text,
              (size_t) textLen);
    const int len = base64Encode(hmac, SHA1_DIGEST_SIZE, out);
    out[len] = 0;
    return len;
}

#define SIGNATURE_SIZE 32  // 28 base64 characters and a terminator

S3Status compose_auth_header(const RequestParams *params,
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
    snprintf(values->authorizationHeader, HEADER_LINE_SIZE,
             "Authorization: AWS %s:%.*s", keyId ? keyId : "", sigLen,
             signature);
    return S3StatusOK;
}

S3Status request_compose(const RequestParams *params,
                         RequestComputedValues *values)
{
    S3Status status = compose_amz_headers(params, values);
    if (status == S3StatusOK) {
        status = compose_standard_headers(params, values);
    }
    if (status == S3StatusOK) {
        status = encode_key(params, values);
    }
    if (status != S3StatusOK) {
        return status;
    }
    canonicalize_amz_headers(values);
    canonicalize_resource(params->bucketContext.bucketName,
                          params->subResource, values->urlEncodedKey,
                          values->canonicalizedResource);
    return compose_auth_header(params, values);
}

// -------------------------------------------------------------------- URI

namespace {

// Appends to a URI buffer; fails once the text needs size characters or more.
struct UriWriter
{
    char *buffer;
    int size;
    int len;

    bool append(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list args;
        va_start(args, format);
        const int n = vsnprintf(&buffer[len], (size_t) (size - len), format,
                                args);
        va_end(args);
        if ((n < 0) || (len + n >= size)) {
            return false;
        }
        len += n;
        return true;
    }
};

} // namespace

S3Status compose_uri(char *buffer, int bufferSize,
                     const S3BucketContext *bucketContext,
                     const char *urlEncodedKey, const char *subResource,
                     const char *queryParams)
{
    if (bufferSize <= 0) {
        return S3StatusUriTooLong;
    }
    buffer[0] = 0;
    UriWriter uri = {buffer, bufferSize, 0};

    const char *host =
        bucketContext->hostName ? bucketContext->hostName : defaultHostNameG;
    const char *bucket = bucketContext->bucketName;

    const bool http = (enum_int(bucketContext->protocol) == S3ProtocolHTTP);
    bool ok = uri.append("http%s://", http ? "" : "s");
    if (ok) {
        if (bucket && bucket[0]) {
            ok = (enum_int(bucketContext->uriStyle) == S3UriStyleVirtualHost)
                     ? uri.append("%s.%s", bucket, host)
                     : uri.append("%s/%s", host, bucket);
        }
        else {
            ok = uri.append("%s", host);
        }
    }
    ok = ok && uri.append("/%s", urlEncodedKey ? urlEncodedKey : "");
    const bool hasSubResource = subResource && subResource[0];
    if (ok && hasSubResource) {
        ok = uri.append("?%s", subResource);
    }
    if (ok && queryParams) {
        ok = uri.append("%s%s", hasSubResource ? "&" : "?", queryParams);
    }
    return ok ? S3StatusOK : S3StatusUriTooLong;
}

// ------------------------------------------------------ pre-signed URI

#define MAX_EXPIRES 2147483647LL
#define QUERY_STRING_SIZE S3_MAX_AUTHENTICATED_QUERY_STRING_SIZE

S3Status S3_generate_authenticated_query_string(
    char *buffer, const S3BucketContext *bucketContext, const char *key,
    int64_t expires, const char *resource)
{
    if ((expires < 0) || (expires > MAX_EXPIRES)) {
        expires = MAX_EXPIRES;
    }

    // The key's length is checked before it is encoded.
    char urlEncodedKey[MAX_URLENCODED_KEY_SIZE];
    if (!urlEncode(urlEncodedKey, key, S3_MAX_KEY_SIZE)) {
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
    urlEncode(encodedSignature, signature, SIGNATURE_SIZE);

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
