// request_compose.cpp: turns a RequestParams into the request's header lines,
// encoded key and URI, and has it signed by the signature version its bucket
// context names (sign_v2.cpp, sign_v4.cpp); also the pre-signed URI.
#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "default_host.h"
#include "request_compose.h"
#include "signature.h"
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

// The derived sizes in request_params.h are the sizes every request is composed
// in; these hold them there.
static_assert(AMZ_HEADERS_RAW_SIZE == 2769, "x-amz- header budget");
static_assert(MAX_CANONICALIZED_RESOURCE_SIZE == 6429, "canonical resource");
static_assert(MAX_URI_SIZE == 6693, "request URI");

bool uses_signature_v4(const S3BucketContext *bucketContext)
{
    return enum_int(bucketContext->signatureVersion) == S3SignatureV4;
}

// Whether text holds a byte that would end or fold a header line, or that a
// header may not carry: a control byte, a tab excepted when tabOk.
static bool has_control_byte(const char *text, bool tabOk)
{
    for (; *text; ++text) {
        const unsigned char c = (unsigned char) *text;
        if (((c < 0x20) && !(tabOk && (c == '\t'))) || (c == 0x7f)) {
            return true;
        }
    }
    return false;
}

// Whether a value is nothing but blanks (or nothing at all).
static bool all_blank(const char *value)
{
    while (is_blank(*value)) {
        ++value;
    }
    return !*value;
}

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

// key encoded into dest (MAX_URLENCODED_KEY_SIZE bytes) as the signature
// version sends keys; false (dest empty) above S3_MAX_KEY_SIZE characters.
static bool encode_key_text(char *dest, const char *key, bool v4)
{
    if (!v4) {
        return url_encode(dest, key, S3_MAX_KEY_SIZE) != 0;
    }
    const size_t len = key ? strlen(key) : 0;
    if (len > S3_MAX_KEY_SIZE) {
        dest[0] = 0;
        return false;
    }
    uri_encode(dest, key ? key : "", (int) len, 1);
    return true;
}

S3Status compose_amz_headers(const RequestParams *params,
                             RequestComputedValues *values)
{
    const S3PutProperties *properties = params->putProperties;

    values->amzHeadersCount = 0;
    values->amzHeadersRaw[0] = 0;
    values->v4Date[0] = 0;
    AmzHeaderWriter writer = {values, 0};

    if (properties) {
        const int metaDataCount =
            properties->metaData ? properties->metaDataCount : 0;
        for (int i = 0; i < metaDataCount; ++i) {
            const S3NameValue *property = &properties->metaData[i];
            const char *name = property->name ? property->name : "";
            const char *value = property->value ? property->value : "";
            // A carriage return or line feed would end the header and start
            // another one of the caller's making: refused, unsent.
            if (has_control_byte(name, false) || has_control_byte(value, true)) {
                return S3StatusBadMetaData;
            }
            // A blank value is sent empty (libcurl cannot send blanks alone),
            // so it is signed empty too.
            if (all_blank(value)) {
                value = "";
            }
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
        case S3CannedAclBucketOwnerRead:
            cannedAclString = "bucket-owner-read";
            break;
        case S3CannedAclBucketOwnerFullControl:
            cannedAclString = "bucket-owner-full-control";
            break;
        case S3CannedAclAwsExecRead:
            cannedAclString = "aws-exec-read";
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

    const bool v4 = uses_signature_v4(&params->bucketContext);
    if (v4) {
        // V4 signs the time in its own form, and the payload hash.
        const char *payloadHash = v4_payload_hash(params);
        if (!payloadHash) {
            return S3StatusBadMetaData;
        }
        v4_format_date(values->v4Date, compose_clockG());
        if (!writer.add("x-amz-date: %s", values->v4Date) ||
            !writer.add("x-amz-content-sha256: %s", payloadHash)) {
            return S3StatusMetaDataHeadersTooLong;
        }
    }
    else {
        char date[DATE_TEXT_SIZE];
        format_date(date, sizeof(date), compose_clockG());
        if (!writer.add("x-amz-date: %s GMT", date)) {
            return S3StatusMetaDataHeadersTooLong;
        }
    }

    // Temporary credentials: the session token travels as an "x-amz-"
    // header, so both signature versions sign it with the others.  It is
    // never cut, and may not end the header early.
    const char *token = params->bucketContext.securityToken;
    if (token && token[0]) {
        if (strlen(token) > S3_MAX_SECURITY_TOKEN_SIZE) {
            return S3StatusHeadersTooLong;
        }
        if (has_control_byte(token, false) || all_blank(token)) {
            return S3StatusBadMetaData;
        }
        if (!writer.add("x-amz-security-token: %s", token)) {
            return S3StatusMetaDataHeadersTooLong;
        }
    }

    if (params->httpRequestType == HttpRequestTypeCOPY) {
        if (params->copySourceBucketName && params->copySourceBucketName[0] &&
            params->copySourceKey && params->copySourceKey[0]) {
            // The source key is a key like any other: encoded as the
            // request's own key is ("50%off.html" must reach the store as
            // "50%25off.html"), or the store looks up another name.
            char encodedSource[MAX_URLENCODED_KEY_SIZE];
            if (!encode_key_text(encodedSource, params->copySourceKey, v4)) {
                return S3StatusUriTooLong;
            }
            if (!writer.add("x-amz-copy-source: /%s/%s",
                            params->copySourceBucketName, encodedSource)) {
                return S3StatusMetaDataHeadersTooLong;
            }
        }
        if (params->copySourceRange &&
            !writer.add("x-amz-copy-source-range: %s", params->copySourceRange)) {
            return S3StatusMetaDataHeadersTooLong;
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
// blanks are skipped (nothing left, or a control byte other than a tab:
// badStatus), what is left may hold up to
// S3_MAX_HEADER_VALUE_SIZE characters (else tooLongStatus), trailing blanks
// go.
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
    if (!*value || has_control_byte(value, true)) {
        return badStatus;
    }
    if (strlen(value) > S3_MAX_HEADER_VALUE_SIZE) {
        return tooLongStatus;
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
    // An HTTP date names its zone GMT: a cache may take any other form
    // (such as "UTC") for a date already past.
    if (date[0]) {
        snprintf(field, HEADER_LINE_SIZE, "%s: %s GMT", name, date);
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
    // A whole Content-Disposition value takes the place of the file name form.
    if (p && p->contentDisposition) {
        TEXT_HEADER(contentDispositionHeader, "Content-Disposition: %s",
                    p->contentDisposition, S3StatusBadContentDispositionFilename,
                    S3StatusContentDispositionFilenameTooLong);
    }
    else {
        TEXT_HEADER(contentDispositionHeader,
                    "Content-Disposition: attachment; filename=\"%s\"",
                    p ? p->contentDispositionFilename : NULL,
                    S3StatusBadContentDispositionFilename,
                    S3StatusContentDispositionFilenameTooLong);
    }
    TEXT_HEADER(contentLanguageHeader, "Content-Language: %s",
                p ? p->contentLanguage : NULL, S3StatusBadMetaData,
                S3StatusMetaDataHeadersTooLong);
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
    return encode_key_text(values->urlEncodedKey, params->key,
                           uses_signature_v4(&params->bucketContext))
               ? S3StatusOK
               : S3StatusUriTooLong;
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
    case HttpRequestTypePOST:
        return "POST";
    default:
        return "DELETE";
    }
}

// Whether the context's keys are within the public limits: a longer key is
// refused, never cut (a cut key id would sign as someone else).
static bool keys_fit(const S3BucketContext *bucketContext)
{
    const char *id = bucketContext->accessKeyId;
    const char *secret = bucketContext->secretAccessKey;
    return (!id || strlen(id) <= S3_MAX_ACCESS_KEY_ID_SIZE) &&
           (!secret || strlen(secret) <= S3_MAX_SECRET_ACCESS_KEY_SIZE);
}

S3Status compose_auth_header(const RequestParams *params,
                             RequestComputedValues *values)
{
    if (!keys_fit(&params->bucketContext)) {
        values->authorizationHeader[0] = 0;
        return S3StatusHeadersTooLong;
    }
    if (uses_signature_v4(&params->bucketContext)) {
        values->canonicalizedAmzHeaders[0] = 0;
        values->canonicalizedResource[0] = 0;
        return sign_v4_auth_header(params, values);
    }
    values->hostHeader[0] = 0;
    canonicalize_amz_headers(values);
    canonicalize_resource(params->bucketContext.bucketName,
                          params->subResource, values->urlEncodedKey,
                          values->canonicalizedResource);
    return sign_v2_auth_header(params, values);
}

// libcurl reads "name:" as "do not send name": a header with an empty value
// is handed over as "name;", which libcurl sends as "name:".  Done after
// signing, which reads the headers in their "name:" form.
static void send_empty_values_as_empty(RequestComputedValues *values)
{
    for (int i = 0; i < values->amzHeadersCount; ++i) {
        char *header = values->amzHeaders[i];
        const size_t len = strlen(header);
        // Only the name's own colon: "name: a:" has a value.
        if (len && header[len - 1] == ':' &&
            strchr(header, ':') == &header[len - 1]) {
            header[len - 1] = ';';
        }
    }
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
    if (status == S3StatusOK) {
        status = compose_auth_header(params, values);
    }
    if (status == S3StatusOK) {
        send_empty_values_as_empty(values);
    }
    return status;
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

S3Status S3_generate_authenticated_query_string(
    char *buffer, const S3BucketContext *bucketContext, const char *key,
    int64_t expires, const char *resource)
{
    if (!keys_fit(bucketContext)) {
        buffer[0] = 0;
        return S3StatusUriTooLong;
    }
    return uses_signature_v4(bucketContext)
               ? sign_v4_query_string(buffer, bucketContext, key, expires,
                                      resource)
               : sign_v2_query_string(buffer, bucketContext, key, expires,
                                      resource);
}
