// service_request.cpp - one request to an AWS-style service other than S3
// (CloudFront's invalidation, say): composed and signed V4 here for the
// caller's service and region, sent through the request layer like every
// other operation, and its answer read with the streaming XML reader for the
// texts the caller names and the service's error document.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "error_parser.h"
#include "forward.h"
#include "request.h"
#include "request_compose.h"
#include "signature.h"
#include "simplexml.h"
#include "transfer_callbacks.h"
#include "util.h"

namespace {

// Lines the client sets itself: Host, X-Amz-Date, X-Amz-Security-Token and
// Authorization.
constexpr int kOwnLines = 4;
constexpr int kMaxLines = kOwnLines + S3_MAX_SERVICE_HEADER_COUNT;
// Every line with its terminator: "Host: " and the host, the date, the
// token, the caller's lines and the Authorization line.
constexpr int kLineStoreSize = (int) sizeof("Host: ") + S3_MAX_HOSTNAME_SIZE + 64 +
                               (int) sizeof("X-Amz-Security-Token: ") +
                               S3_MAX_SECURITY_TOKEN_SIZE + S3_MAX_SERVICE_HEADERS_SIZE +
                               (int) sizeof("Authorization: ") + AUTHORIZATION_HEADER_SIZE;

// Header names the caller may not give: the client's own, and the framing
// that libcurl writes from the body.
const char *const kReservedNames[] = {"host", "authorization", "x-amz-date",
                                      "x-amz-security-token", "content-length",
                                      "transfer-encoding"};

// One request in flight: allocated by S3_send_service_request, freed by
// service_complete_callback after the caller's complete callback.
struct ServiceRequestData {
    CallerHandler caller; // first member: see forward.h
    S3ServiceAnswerCallback answerCallback;

    // The body, borrowed from the caller until the complete callback.
    const char *body;
    int64_t bodySize;
    int64_t bodySent;

    // The request as sent.
    char uri[MAX_URI_SIZE];
    char lineStore[kLineStoreSize];
    int lineStoreLen;
    const char *lines[kMaxLines];
    int lineCount;
    PreparedRequest prepared;

    // The answer.
    int rawAnswer; // a bearer request: the body as it is, not XML
    char answerBody[S3_MAX_SERVICE_ANSWER_SIZE];
    SimpleXml simpleXml;
    int64_t answerSize;
    int answerUnreadable; // not an XML document
    int nameCount;
    char names[S3_MAX_SERVICE_ANSWER_NAMES][S3_MAX_SERVICE_NAME_SIZE];
    char texts[S3_MAX_SERVICE_ANSWER_NAMES][S3_MAX_SERVICE_ANSWER_TEXT_SIZE + 1];
    int textLens[S3_MAX_SERVICE_ANSWER_NAMES];
    int textsDone[S3_MAX_SERVICE_ANSWER_NAMES]; // the first element has ended
    char code[ERROR_TEXT_SIZE];
    int codeLen;
    char message[ERROR_TEXT_SIZE];
    int messageLen;
    S3ErrorDetails errorDetails;
};

bool is_token_char(char c)
{
    return ((c >= 'a') && (c <= 'z')) || ((c >= 'A') && (c <= 'Z')) ||
           ((c >= '0') && (c <= '9')) || (c && strchr("!#$%&'*+-.^_`|~", c));
}

// A header name as HTTP allows it: one or more token characters.
bool is_header_name(const char *name)
{
    if (!name || !*name) {
        return false;
    }
    for (; *name; ++name) {
        if (!is_token_char(*name)) {
            return false;
        }
    }
    return true;
}

// A header value that cannot end or fold its line: no control byte but tab.
bool is_header_value(const char *value)
{
    for (; *value; ++value) {
        const unsigned char c = (unsigned char) *value;
        if (((c < 0x20) && (c != '\t')) || (c == 0x7f)) {
            return false;
        }
    }
    return true;
}

bool is_reserved_name(const char *name)
{
    for (const char *reserved : kReservedNames) {
        if (!strcasecmp(name, reserved)) {
            return true;
        }
    }
    return false;
}

// A service, region or element name: letters, digits, "-", "_" and ".",
// fewer than S3_MAX_SERVICE_NAME_SIZE of them.
bool is_plain_name(const char *name)
{
    if (!name || !*name || (strlen(name) >= S3_MAX_SERVICE_NAME_SIZE)) {
        return false;
    }
    for (; *name; ++name) {
        const char c = *name;
        if (!(((c >= 'a') && (c <= 'z')) || ((c >= 'A') && (c <= 'Z')) ||
              ((c >= '0') && (c <= '9')) || (c == '-') || (c == '_') || (c == '.'))) {
            return false;
        }
    }
    return true;
}

// A host ("name", "name:port", "[v6]:port"): nothing that could end it and
// start a path, a query or another line.
bool is_host(const char *host)
{
    if (!host || !*host || (strlen(host) >= S3_MAX_HOSTNAME_SIZE)) {
        return false;
    }
    for (; *host; ++host) {
        const char c = *host;
        if (!(((c >= 'a') && (c <= 'z')) || ((c >= 'A') && (c <= 'Z')) ||
              ((c >= '0') && (c <= '9')) || (c && strchr("-._:[]", c)))) {
            return false;
        }
    }
    return true;
}

// A path or query already encoded: visible ASCII only, no fragment; a path
// starts with "/" and holds no "?".
bool is_encoded(const char *text, bool path)
{
    if (path && (text[0] != '/')) {
        return false;
    }
    for (; *text; ++text) {
        const unsigned char c = (unsigned char) *text;
        if ((c <= 0x20) || (c >= 0x7f) || (c == '#') || (path && (c == '?'))) {
            return false;
        }
    }
    return true;
}

HttpRequestType method_type(const char *method, bool *known)
{
    static const struct {
        const char *name;
        HttpRequestType type;
    } methods[] = {{"GET", HttpRequestTypeGET},
                   {"HEAD", HttpRequestTypeHEAD},
                   {"POST", HttpRequestTypePOST},
                   {"PUT", HttpRequestTypePUT},
                   {"DELETE", HttpRequestTypeDELETE}};
    for (const auto &m : methods) {
        if (method && !strcmp(method, m.name)) {
            *known = true;
            return m.type;
        }
    }
    *known = false;
    return HttpRequestTypeGET;
}

// Appends one terminated line "name: value" (or "name:" for an empty value)
// to the store and lists it; false when the store is full.
bool add_line(ServiceRequestData *data, const char *name, const char *value)
{
    char *line = &data->lineStore[data->lineStoreLen];
    const int room = kLineStoreSize - data->lineStoreLen;
    const int n = snprintf(line, (size_t) room, "%s:%s%s", name, value[0] ? " " : "", value);
    if ((n < 0) || (n >= room) || (data->lineCount == kMaxLines)) {
        return false;
    }
    data->lineStoreLen += n + 1;
    data->lines[data->lineCount++] = line;
    return true;
}

// libcurl drops a header given as "name:"; "name;" sends it empty.  Done
// after signing, which reads every line in its "name:" form.
void send_empty_values_as_empty(ServiceRequestData *data)
{
    for (int i = 0; i < data->lineCount; ++i) {
        char *line = const_cast<char *>(data->lines[i]);
        const size_t len = strlen(line);
        if (len && (line[len - 1] == ':') && (strchr(line, ':') == &line[len - 1])) {
            line[len - 1] = ';';
        }
    }
}

bool has_bearer(const S3ServiceRequest *request)
{
    return request->bearerToken && request->bearerToken[0];
}

// Checks what the caller asked for; S3StatusOK or why it cannot be sent.
S3Status check_request(const S3ServiceRequest *request, HttpRequestType *type)
{
    bool known = false;
    *type = method_type(request->method, &known);
    const bool bearer = has_bearer(request);
    if (!known || !is_host(request->hostName) || !request->path ||
        (!bearer && (!is_plain_name(request->service) || !is_plain_name(request->region))) ||
        (request->bodySize < 0) || (request->bodySize && !request->body) ||
        (request->bodySize && (*type != HttpRequestTypePOST) && (*type != HttpRequestTypePUT)) ||
        (request->headerCount < 0) || (request->headerCount && !request->headers) ||
        (request->answerElementCount < 0) ||
        (request->answerElementCount && !request->answerElementNames)) {
        return S3StatusErrorInvalidArgument;
    }
    if (!is_encoded(request->path, true) || (request->query && !is_encoded(request->query, false))) {
        return S3StatusErrorInvalidArgument;
    }
    if (strlen(request->path) + (request->query ? strlen(request->query) : 0) >= MAX_URI_SIZE) {
        return S3StatusUriTooLong;
    }
    if (request->answerElementCount > S3_MAX_SERVICE_ANSWER_NAMES) {
        return S3StatusErrorInvalidArgument;
    }
    for (int i = 0; i < request->answerElementCount; ++i) {
        if (!is_plain_name(request->answerElementNames[i])) {
            return S3StatusErrorInvalidArgument;
        }
    }

    if (bearer) {
        // Refused, never cut, as the keys are.
        if (strlen(request->bearerToken) > S3_MAX_SECURITY_TOKEN_SIZE) {
            return S3StatusHeadersTooLong;
        }
        if (!is_header_value(request->bearerToken)) {
            return S3StatusBadMetaData;
        }
    }
    // Credentials are refused, never cut: a cut key id signs as someone else.
    const char *id = request->accessKeyId ? request->accessKeyId : "";
    const char *secret = request->secretAccessKey ? request->secretAccessKey : "";
    const char *token = request->securityToken ? request->securityToken : "";
    if ((strlen(id) > S3_MAX_ACCESS_KEY_ID_SIZE) ||
        (strlen(secret) > S3_MAX_SECRET_ACCESS_KEY_SIZE) ||
        (strlen(token) > S3_MAX_SECURITY_TOKEN_SIZE)) {
        return S3StatusHeadersTooLong;
    }
    if (!is_header_value(id) || !is_header_value(token) || strchr(id, '/') || strchr(id, ',')) {
        return S3StatusBadMetaData;
    }

    if (request->headerCount > S3_MAX_SERVICE_HEADER_COUNT) {
        return S3StatusHeadersTooLong;
    }
    size_t size = 0;
    for (int i = 0; i < request->headerCount; ++i) {
        const S3NameValue &header = request->headers[i];
        if (!is_header_name(header.name) || is_reserved_name(header.name) || !header.value ||
            !is_header_value(header.value)) {
            return S3StatusBadMetaData;
        }
        size += strlen(header.name) + strlen(": ") + strlen(header.value) + 1;
    }
    if (size > S3_MAX_SERVICE_HEADERS_SIZE) {
        return S3StatusHeadersTooLong;
    }
    return S3StatusOK;
}

// The request is whole once its lines are: what it sends.
S3Status lines_composed(ServiceRequestData *data)
{
    send_empty_values_as_empty(data);
    data->prepared.uri = data->uri;
    data->prepared.headerLines = data->lines;
    data->prepared.headerCount = data->lineCount;
    return S3StatusOK;
}

// The URI and the header lines: signed V4, or with the caller's bearer token.
S3Status compose_request(ServiceRequestData *data, const S3ServiceRequest *request,
                         HttpRequestType type)
{
    const bool hasQuery = request->query && request->query[0];
    const int n = snprintf(data->uri, sizeof(data->uri), "http%s://%s%s%s%s",
                           (enum_int(request->protocol) == S3ProtocolHTTP) ? "" : "s",
                           request->hostName, request->path, hasQuery ? "?" : "",
                           hasQuery ? request->query : "");
    if ((n < 0) || (n >= (int) sizeof(data->uri))) {
        return S3StatusUriTooLong;
    }

    if (has_bearer(request)) {
        bool ok = add_line(data, "Host", request->hostName);
        for (int i = 0; ok && (i < request->headerCount); ++i) {
            ok = add_line(data, request->headers[i].name, request->headers[i].value);
        }
        char authorization[sizeof("Bearer ") + S3_MAX_SECURITY_TOKEN_SIZE];
        snprintf(authorization, sizeof(authorization), "Bearer %s", request->bearerToken);
        ok = ok && add_line(data, "Authorization", authorization);
        memset(authorization, 0, sizeof(authorization));
        return ok ? lines_composed(data) : S3StatusHeadersTooLong;
    }

    char amzDate[V4_DATE_SIZE];
    v4_format_date(amzDate, compose_clockG());
    bool ok = add_line(data, "Host", request->hostName) && add_line(data, "X-Amz-Date", amzDate);
    if (request->securityToken && request->securityToken[0]) {
        ok = ok && add_line(data, "X-Amz-Security-Token", request->securityToken);
    }
    for (int i = 0; ok && (i < request->headerCount); ++i) {
        ok = add_line(data, request->headers[i].name, request->headers[i].value);
    }
    if (!ok) {
        return S3StatusHeadersTooLong;
    }

    unsigned char digest[SHA256_DIGEST_SIZE];
    sha256_digest(digest, (const unsigned char *) (request->body ? request->body : ""),
                  (size_t) request->bodySize);
    char payloadHash[SHA256_HEX_SIZE];
    hex_encode(digest, SHA256_DIGEST_SIZE, payloadHash, 0);

    V4Request v4;
    v4.method = http_request_type_to_verb(type);
    v4.path = request->path;
    v4.query = request->query;
    v4.headerLines = data->lines;
    v4.headerCount = data->lineCount;
    v4.payloadHash = payloadHash;
    v4.amzDate = amzDate;
    v4.region = request->region;
    v4.secretAccessKey = request->secretAccessKey;
    v4.service = request->service;
    // Large (the canonical request); on the heap rather than the caller's stack.
    V4Signature *signature = static_cast<V4Signature *>(malloc(sizeof(V4Signature)));
    if (!signature) {
        return S3StatusOutOfMemory;
    }
    S3Status status = v4_sign(&v4, signature);
    char authorization[AUTHORIZATION_HEADER_SIZE];
    if ((status == S3StatusOK) &&
        !v4_authorization(authorization, (int) sizeof(authorization),
                          request->accessKeyId, amzDate, request->region, signature)) {
        status = S3StatusHeadersTooLong;
    }
    memset(signature, 0, sizeof(V4Signature));
    free(signature);
    if (status != S3StatusOK) {
        return status;
    }
    if (!add_line(data, "Authorization", authorization)) {
        return S3StatusHeadersTooLong;
    }
    return lines_composed(data);
}

// --------------------------------------------------------------- the answer

// An element's name without the path before it and any namespace prefix.
const char *local_name(const char *elementPath)
{
    const char *slash = strrchr(elementPath, '/');
    const char *name = slash ? slash + 1 : elementPath;
    const char *colon = strrchr(name, ':');
    return colon ? colon + 1 : name;
}

// The error document's texts: S3's "Error/X" or the query services'
// "ErrorResponse/Error/X".
bool is_error_child(const char *elementPath, const char *child)
{
    const char *rest = elementPath;
    if (!strncmp(rest, "ErrorResponse/", 14)) {
        rest += 14;
    }
    return !strncmp(rest, "Error/", 6) && !strcmp(rest + 6, child);
}

S3Status answer_xml_callback(const char *elementPath, const char *text, int textLen,
                             void *callbackData)
{
    ServiceRequestData *data = static_cast<ServiceRequestData *>(callbackData);
    const char *name = local_name(elementPath);
    for (int i = 0; i < data->nameCount; ++i) {
        if (data->textsDone[i] || strcmp(name, data->names[i])) {
            continue;
        }
        if (!text) {
            data->textsDone[i] = 1;
        } else {
            text_append(data->texts[i], &data->textLens[i], S3_MAX_SERVICE_ANSWER_TEXT_SIZE, text,
                        textLen);
        }
    }
    if (text && is_error_child(elementPath, "Code")) {
        text_append(data->code, &data->codeLen, ERROR_TEXT_SIZE - 1, text, textLen);
    } else if (text && is_error_child(elementPath, "Message")) {
        text_append(data->message, &data->messageLen, ERROR_TEXT_SIZE - 1, text, textLen);
    }
    return S3StatusOK;
}

// Every body byte of the answer, whatever its HTTP status.
S3Status answer_data_callback(int bufferSize, const char *buffer, void *callbackData)
{
    ServiceRequestData *data = static_cast<ServiceRequestData *>(callbackData);
    data->answerSize += bufferSize;
    if (data->answerSize > S3_MAX_SERVICE_ANSWER_SIZE) {
        return S3StatusXmlDocumentTooLarge;
    }
    if (data->rawAnswer) {
        memcpy(&data->answerBody[data->answerSize - bufferSize], buffer, (size_t) bufferSize);
        return S3StatusOK;
    }
    if (data->answerUnreadable) {
        return S3StatusOK;
    }
    // An answer that is no XML document (a gateway's page) is read to its
    // end all the same: its HTTP status still tells what happened.
    const S3Status status = simplexml_add(&data->simpleXml, buffer, bufferSize);
    if (status == S3StatusXmlParseFailure) {
        data->answerUnreadable = 1;
        return S3StatusOK;
    }
    return status;
}

void clear_texts(ServiceRequestData *data)
{
    for (int i = 0; i < data->nameCount; ++i) {
        data->texts[i][0] = 0;
        data->textLens[i] = 0;
    }
    data->code[0] = 0;
    data->codeLen = 0;
    data->message[0] = 0;
    data->messageLen = 0;
}

void service_complete_callback(S3Status status, const S3ErrorDetails *details,
                               void *callbackData)
{
    ServiceRequestData *data = static_cast<ServiceRequestData *>(callbackData);
    const int httpStatus = details ? details->httpStatus : 0;

    // S3StatusOK: an answer came whole, whatever its HTTP status.
    const bool whole = (status == S3StatusOK);
    if (data->rawAnswer) {
        // Nothing is read from the body here: the caller reads it.
        data->answerUnreadable = 1;
        if (whole && !is_success(httpStatus)) {
            status = request_http_status_to_status(httpStatus);
        }
    } else if (whole && (data->answerSize > 0) && !data->answerUnreadable &&
        (simplexml_finish(&data->simpleXml) != S3StatusOK)) {
        data->answerUnreadable = 1;
    }
    if (!whole || data->answerUnreadable) {
        clear_texts(data);
    }
    if (whole && !data->rawAnswer) {
        if (is_success(httpStatus)) {
            if (data->answerUnreadable) {
                status = S3StatusXmlParseFailure;
            }
            data->code[0] = 0;
            data->codeLen = 0;
            data->message[0] = 0;
            data->messageLen = 0;
        } else {
            status = data->codeLen ? error_code_status(data->code)
                                   : request_http_status_to_status(httpStatus);
        }
    }

    if (httpStatus && data->answerCallback) {
        const char *names[S3_MAX_SERVICE_ANSWER_NAMES];
        const char *texts[S3_MAX_SERVICE_ANSWER_NAMES];
        for (int i = 0; i < data->nameCount; ++i) {
            names[i] = data->names[i];
            texts[i] = data->texts[i];
        }
        S3ServiceAnswer answer;
        answer.httpStatus = httpStatus;
        answer.elementCount = data->nameCount;
        answer.elementNames = names;
        answer.elementTexts = texts;
        answer.body = data->rawAnswer ? data->answerBody : NULL;
        answer.bodySize = data->rawAnswer && whole ? (int) data->answerSize : 0;
        const S3Status answered = data->answerCallback(&answer, data->caller.callbackData);
        if (status == S3StatusOK) {
            status = answered;
        }
    }

    S3ErrorDetails *own = &data->errorDetails;
    memset(own, 0, sizeof(*own));
    own->code = data->codeLen ? data->code : NULL;
    own->message = data->messageLen ? data->message : NULL;
    own->httpStatus = httpStatus;
    data->caller.completeCallback(status, details ? own : NULL, data->caller.callbackData);
    simplexml_deinitialize(&data->simpleXml);
    // The lines hold the session token and the signature.
    memset(data->lineStore, 0, sizeof(data->lineStore));
    free(data);
}

int body_callback(int bufferSize, char *buffer, void *callbackData)
{
    ServiceRequestData *data = static_cast<ServiceRequestData *>(callbackData);
    return memory_body_read(data->body, data->bodySize, &data->bodySent, bufferSize, buffer);
}

int body_rewind_callback(void *callbackData)
{
    static_cast<ServiceRequestData *>(callbackData)->bodySent = 0;
    return 0;
}

} // namespace

void S3_send_service_request(const S3ServiceRequest *request, S3RequestContext *requestContext,
                             const S3ServiceRequestHandler *handler, void *callbackData)
{
    const S3ResponseCompleteCallback complete = handler->responseHandler.completeCallback;
    if (!request) {
        complete(S3StatusErrorInvalidArgument, NULL, callbackData);
        return;
    }
    HttpRequestType type = HttpRequestTypeGET;
    S3Status status = check_request(request, &type);
    if (status != S3StatusOK) {
        complete(status, NULL, callbackData);
        return;
    }

    ServiceRequestData *data = static_cast<ServiceRequestData *>(malloc(sizeof(ServiceRequestData)));
    if (!data) {
        complete(S3StatusOutOfMemory, NULL, callbackData);
        return;
    }
    caller_handler_set(&data->caller, &handler->responseHandler, callbackData);
    data->answerCallback = handler->answerCallback;
    data->body = request->body;
    data->bodySize = request->bodySize;
    data->bodySent = 0;
    data->lineStoreLen = 0;
    data->lineCount = 0;
    simplexml_initialize(&data->simpleXml, &answer_xml_callback, data);
    data->answerSize = 0;
    data->answerUnreadable = 0;
    data->rawAnswer = has_bearer(request) ? 1 : 0;
    data->nameCount = data->rawAnswer ? 0 : request->answerElementCount;
    for (int i = 0; i < data->nameCount; ++i) {
        // Checked to fit by check_request.
        snprintf(data->names[i], sizeof(data->names[i]), "%s", request->answerElementNames[i]);
        data->textsDone[i] = 0;
    }
    clear_texts(data);

    status = compose_request(data, request, type);
    if (status != S3StatusOK) {
        memset(data->lineStore, 0, sizeof(data->lineStore));
        free(data);
        complete(status, NULL, callbackData);
        return;
    }

    RequestParams params;
    memset(&params, 0, sizeof(params));
    params.httpRequestType = type;
    params.prepared = &data->prepared;
    params.propertiesCallback = &forward_properties;
    if (type == HttpRequestTypePOST || type == HttpRequestTypePUT) {
        params.toS3Callback = &body_callback;
        params.toS3CallbackTotalSize = data->bodySize;
        params.toS3RewindCallback = &body_rewind_callback;
    }
    params.fromS3Callback = &answer_data_callback;
    params.completeCallback = &service_complete_callback;
    params.callbackData = data;
    request_perform(&params, requestContext);
}
