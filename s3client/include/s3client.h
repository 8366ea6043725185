/*
 * s3client.h: the whole public interface of the S3 REST client.
 *
 * A small procedural client for the S3 REST interface, with version 2 or
 * version 4 request signatures (S3BucketContext.signatureVersion).  Every
 * network operation returns nothing and reports its outcome
 * through the complete callback of the handler it was given, exactly once.
 *
 * Ownership: every record is owned by the caller.  Texts and arrays the caller
 * passes are borrowed and must stay valid until the operation's complete
 * callback has run; the client never frees or keeps them.  Texts the client
 * hands to a callback live only for the duration of that callback.
 *
 * The header compiles as C and as C++.
 */
#ifndef SITEMIRROR_S3CLIENT_H
#define SITEMIRROR_S3CLIENT_H

#include <stdint.h>
#include <sys/select.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ limits */

/* Default host name buffer: 254 characters and the terminator. */
#define S3_MAX_HOSTNAME_SIZE 255
/* Longest bucket name in path style (63 in virtual-host style). */
#define S3_MAX_BUCKET_NAME_SIZE 255
/* Longest object key, in characters before URL encoding. */
#define S3_MAX_KEY_SIZE 1024
/* Metadata budget; a metadata header name is formatted in 2044 bytes. */
#define S3_MAX_METADATA_SIZE 2048
/* Longest access key id, secret access key and session token that requests
   are signed with; a longer one is refused, never cut. */
#define S3_MAX_ACCESS_KEY_ID_SIZE 128
#define S3_MAX_SECRET_ACCESS_KEY_SIZE 128
#define S3_MAX_SECURITY_TOKEN_SIZE 2048
/* Longest value of each header that S3PutProperties gives (Content-Type,
   Cache-Control, Content-Disposition, Content-Encoding, ...); a longer one is
   refused with the status named after the header. */
#define S3_MAX_HEADER_VALUE_SIZE 1024
/* Prefix by which response metadata headers are recognised. */
#define S3_METADATA_HEADER_NAME_PREFIX "x-amz-meta-"
/* S3_MAX_METADATA_SIZE / 13 (the prefix and two characters): size of the
   response metadata table and of the header sort table. */
#define S3_MAX_METADATA_COUNT (S3_MAX_METADATA_SIZE / 13)
/* Buffer of a pre-signed URI:
 * "https:///" (10) + "?AWSAccessKeyId=" (17) + "&Expires=" (10) +
 * "&Signature=" (12) + host 255 + encoded key 3072 + key id 32 +
 * expiry 32 + signature 28 + 1. */
#define S3_MAX_AUTHENTICATED_QUERY_STRING_SIZE \
    (10 + 17 + 10 + 12 + 255 + 3072 + 32 + 32 + 28 + 1)
/* Flag bits of S3_initialize. */
#define S3_INIT_WINSOCK 1
#define S3_INIT_ALL (S3_INIT_WINSOCK)
/* Host used when neither S3_initialize nor the bucket context names one. */
#define S3_DEFAULT_HOSTNAME "s3.amazonaws.com"

/* Access-control-list limits (S3_convert_acl). */
#define S3_MAX_ACL_GRANT_COUNT 100
#define S3_MAX_GRANTEE_EMAIL_ADDRESS_SIZE 128
#define S3_MAX_GRANTEE_USER_ID_SIZE 128
#define S3_MAX_GRANTEE_DISPLAY_NAME_SIZE 128

/* ---------------------------------------------------------------- statuses */

/* The numbering is part of the interface: applications print the numbers. */
typedef enum
{
    /* client-side conditions */
    S3StatusOK                                              = 0,
    S3StatusInternalError                                   = 1,
    S3StatusOutOfMemory                                     = 2,
    S3StatusInterrupted                                     = 3,
    S3StatusInvalidBucketNameTooLong                        = 4,
    S3StatusInvalidBucketNameFirstCharacter                 = 5,
    S3StatusInvalidBucketNameCharacter                      = 6,
    S3StatusInvalidBucketNameCharacterSequence              = 7,
    S3StatusInvalidBucketNameTooShort                       = 8,
    S3StatusInvalidBucketNameDotQuadNotation                = 9,
    S3StatusQueryParamsTooLong                              = 10,
    S3StatusFailedToInitializeRequest                       = 11,
    S3StatusMetaDataHeadersTooLong                          = 12,
    S3StatusBadMetaData                                     = 13,
    S3StatusBadContentType                                  = 14,
    S3StatusContentTypeTooLong                              = 15,
    S3StatusBadMD5                                          = 16,
    S3StatusMD5TooLong                                      = 17,
    S3StatusBadCacheControl                                 = 18,
    S3StatusCacheControlTooLong                             = 19,
    S3StatusBadContentDispositionFilename                   = 20,
    S3StatusContentDispositionFilenameTooLong               = 21,
    S3StatusBadContentEncoding                              = 22,
    S3StatusContentEncodingTooLong                          = 23,
    S3StatusBadIfMatchETag                                  = 24,
    S3StatusIfMatchETagTooLong                              = 25,
    S3StatusBadIfNotMatchETag                               = 26,
    S3StatusIfNotMatchETagTooLong                           = 27,
    S3StatusHeadersTooLong                                  = 28,
    S3StatusKeyTooLong                                      = 29,
    S3StatusUriTooLong                                      = 30,
    S3StatusXmlParseFailure                                 = 31,
    S3StatusEmailAddressTooLong                             = 32,
    S3StatusUserIdTooLong                                   = 33,
    S3StatusUserDisplayNameTooLong                          = 34,
    S3StatusGroupUriTooLong                                 = 35,
    S3StatusPermissionTooLong                               = 36,
    S3StatusTargetBucketTooLong                             = 37,
    S3StatusTargetPrefixTooLong                             = 38,
    S3StatusTooManyGrants                                   = 39,
    S3StatusBadGrantee                                      = 40,
    S3StatusBadPermission                                   = 41,
    S3StatusXmlDocumentTooLarge                             = 42,
    S3StatusNameLookupError                                 = 43,
    S3StatusFailedToConnect                                 = 44,
    S3StatusServerFailedVerification                        = 45,
    S3StatusConnectionFailed                                = 46,
    S3StatusAbortedByCallback                               = 47,

    /* codes of the service's error document */
    S3StatusErrorAccessDenied                               = 48,
    S3StatusErrorAccountProblem                             = 49,
    S3StatusErrorAmbiguousGrantByEmailAddress               = 50,
    S3StatusErrorBadDigest                                  = 51,
    S3StatusErrorBucketAlreadyExists                        = 52,
    S3StatusErrorBucketAlreadyOwnedByYou                    = 53,
    S3StatusErrorBucketNotEmpty                             = 54,
    S3StatusErrorCredentialsNotSupported                    = 55,
    S3StatusErrorCrossLocationLoggingProhibited             = 56,
    S3StatusErrorEntityTooSmall                             = 57,
    S3StatusErrorEntityTooLarge                             = 58,
    S3StatusErrorExpiredToken                               = 59,
    S3StatusErrorIncompleteBody                             = 60,
    S3StatusErrorIncorrectNumberOfFilesInPostRequest        = 61,
    S3StatusErrorInlineDataTooLarge                         = 62,
    S3StatusErrorInternalError                              = 63,
    S3StatusErrorInvalidAccessKeyId                         = 64,
    S3StatusErrorInvalidAddressingHeader                    = 65,
    S3StatusErrorInvalidArgument                            = 66,
    S3StatusErrorInvalidBucketName                          = 67,
    S3StatusErrorInvalidDigest                              = 68,
    S3StatusErrorInvalidLocationConstraint                  = 69,
    S3StatusErrorInvalidPayer                               = 70,
    S3StatusErrorInvalidPolicyDocument                      = 71,
    S3StatusErrorInvalidRange                               = 72,
    S3StatusErrorInvalidSecurity                            = 73,
    S3StatusErrorInvalidSOAPRequest                         = 74,
    S3StatusErrorInvalidStorageClass                        = 75,
    S3StatusErrorInvalidTargetBucketForLogging              = 76,
    S3StatusErrorInvalidToken                               = 77,
    S3StatusErrorInvalidURI                                 = 78,
    S3StatusErrorKeyTooLong                                 = 79,
    S3StatusErrorMalformedACLError                          = 80,
    S3StatusErrorMalformedXML                               = 81,
    S3StatusErrorMaxMessageLengthExceeded                   = 82,
    S3StatusErrorMaxPostPreDataLengthExceededError          = 83,
    S3StatusErrorMetadataTooLarge                           = 84,
    S3StatusErrorMethodNotAllowed                           = 85,
    S3StatusErrorMissingAttachment                          = 86,
    S3StatusErrorMissingContentLength                       = 87,
    S3StatusErrorMissingSecurityElement                     = 88,
    S3StatusErrorMissingSecurityHeader                      = 89,
    S3StatusErrorNoLoggingStatusForKey                      = 90,
    S3StatusErrorNoSuchBucket                               = 91,
    S3StatusErrorNoSuchKey                                  = 92,
    S3StatusErrorNotImplemented                             = 93,
    S3StatusErrorNotSignedUp                                = 94,
    S3StatusErrorOperationAborted                           = 95,
    S3StatusErrorPermanentRedirect                          = 96,
    S3StatusErrorPreconditionFailed                         = 97,
    S3StatusErrorRedirect                                   = 98,
    S3StatusErrorRequestIsNotMultiPartContent               = 99,
    S3StatusErrorRequestTimeout                             = 100,
    S3StatusErrorRequestTimeTooSkewed                       = 101,
    S3StatusErrorRequestTorrentOfBucketError                = 102,
    S3StatusErrorSignatureDoesNotMatch                      = 103,
    S3StatusErrorSlowDown                                   = 104,
    S3StatusErrorTemporaryRedirect                          = 105,
    S3StatusErrorTokenRefreshRequired                       = 106,
    S3StatusErrorTooManyBuckets                             = 107,
    S3StatusErrorUnexpectedContent                          = 108,
    S3StatusErrorUnresolvableGrantByEmailAddress            = 109,
    S3StatusErrorUserKeyMustBeSpecified                     = 110,
    S3StatusErrorUnknown                                    = 111,

    /* HTTP statuses that came without an error document */
    S3StatusHttpErrorMovedTemporarily                       = 112,
    S3StatusHttpErrorBadRequest                             = 113,
    S3StatusHttpErrorForbidden                              = 114,
    S3StatusHttpErrorNotFound                               = 115,
    S3StatusHttpErrorConflict                               = 116,
    S3StatusHttpErrorUnknown                                = 117,

    /* An answer of these HTTP statuses whose body is not an error document
       (a gateway's, a proxy's or a load balancer's page, or no body). */
    S3StatusHttpErrorInternalServerError                    = 118,
    S3StatusHttpErrorBadGateway                             = 119,
    S3StatusHttpErrorServiceUnavailable                     = 120,
    S3StatusHttpErrorGatewayTimeout                         = 121,
    /* The TLS handshake failed (for example an https:// endpoint that
       answers plain HTTP). */
    S3StatusTlsFailed                                       = 122
} S3Status;

/* Number of S3Status values (0 to 122). */
#define S3_STATUS_COUNT 123

/* ------------------------------------------------------- small enumerations */

typedef enum
{
    S3ProtocolHTTPS = 0,
    S3ProtocolHTTP  = 1
} S3Protocol;

/* Any value other than S3UriStyleVirtualHost counts as path style. */
typedef enum
{
    S3UriStyleVirtualHost = 0,
    S3UriStylePath        = 1
} S3UriStyle;

/* How requests are signed.  Zero (a zero-initialised bucket context) is V2. */
typedef enum
{
    S3SignatureV2 = 0,           /* "Authorization: AWS id:signature", HMAC-SHA1 */
    S3SignatureV4 = 1            /* "AWS4-HMAC-SHA256", with a region */
} S3SignatureVersion;

/* S3CannedAclPrivate sends no ACL header at all. */
typedef enum
{
    S3CannedAclPrivate           = 0,
    S3CannedAclPublicRead        = 1,
    S3CannedAclPublicReadWrite   = 2,
    S3CannedAclAuthenticatedRead = 3,
    /* Added after the original four. */
    S3CannedAclBucketOwnerRead        = 4,
    S3CannedAclBucketOwnerFullControl = 5,
    S3CannedAclAwsExecRead            = 6
} S3CannedAcl;

typedef enum
{
    S3GranteeTypeAmazonCustomerByEmail = 0,
    S3GranteeTypeCanonicalUser         = 1,
    S3GranteeTypeAllAwsUsers           = 2,
    S3GranteeTypeAllUsers              = 3,
    S3GranteeTypeLogDelivery           = 4
} S3GranteeType;

typedef enum
{
    S3PermissionRead        = 0,
    S3PermissionWrite       = 1,
    S3PermissionReadACP     = 2,
    S3PermissionWriteACP    = 3,
    S3PermissionFullControl = 4
} S3Permission;

/* ------------------------------------------------------------------ records */

/* A name/value pair: a header, a metadata entry or an error-document child. */
typedef struct S3NameValue
{
    const char *name;
    const char *value;
} S3NameValue;

/* Where and as whom a request is made. */
typedef struct S3BucketContext
{
    const char *hostName;        /* NULL: the default host of S3_initialize */
    const char *bucketName;      /* NULL or "": a request on the service */
    S3Protocol protocol;
    S3UriStyle uriStyle;
    const char *accessKeyId;
    const char *secretAccessKey;
    /* Added after the original six fields, so a zero-initialised context
       keeps signature V2. */
    S3SignatureVersion signatureVersion;
    const char *region;          /* V4 only; NULL or "": "us-east-1" */
    /* The session token of temporary credentials, sent as
       x-amz-security-token and signed in both versions; NULL or "": none. */
    const char *securityToken;
} S3BucketContext;

/* Optional properties of an object being stored; each becomes a header. */
typedef struct S3PutProperties
{
    const char *contentType;                /* may be NULL */
    const char *md5;                        /* base64 MD5 of the body, may be NULL */
    const char *cacheControl;               /* may be NULL */
    const char *contentDispositionFilename; /* may be NULL */
    const char *contentEncoding;            /* may be NULL */
    int64_t expires;                        /* negative: none */
    S3CannedAcl cannedAcl;
    int metaDataCount;
    /* Extra headers: each name is sent lower-cased as the header name itself,
       with no prefix added, so "x-amz-storage-class" can be set here. */
    const S3NameValue *metaData;
    /* Added after the original fields.  Signature V4 only: the SHA-256 of
       the body as 64 lower-case hex digits, signed as the payload hash; NULL
       sends the body unsigned ("UNSIGNED-PAYLOAD", the Content-MD5 still
       holds it).  Anything but 64 lower-case hex digits fails the request
       with S3StatusBadMetaData. */
    const char *payloadSha256;
    /* Added after payloadSha256; each may be NULL.  contentDisposition is the
       whole Content-Disposition value and takes the place of the
       "attachment; filename" form of contentDispositionFilename. */
    const char *contentDisposition;
    const char *contentLanguage;
} S3PutProperties;

/* Optional preconditions of a fetch. */
typedef struct S3GetConditions
{
    int64_t ifModifiedSince;     /* negative: none */
    int64_t ifNotModifiedSince;  /* negative: none */
    const char *ifMatchETag;     /* may be NULL */
    const char *ifNotMatchETag;  /* may be NULL */
} S3GetConditions;

/* What the client read from the response headers.  The texts live in the
   request's own storage and are valid only during the properties callback. */
typedef struct S3ResponseProperties
{
    const char *requestId;       /* x-amz-request-id, may be NULL */
    const char *requestId2;      /* x-amz-id-2, may be NULL */
    const char *contentType;     /* may be NULL */
    uint64_t contentLength;      /* 0 when absent */
    const char *server;          /* may be NULL */
    const char *eTag;            /* quotes included as received, may be NULL */
    int64_t lastModified;        /* -1 when unknown */
    int metaDataCount;
    const S3NameValue *metaData; /* names without "x-amz-meta-", may be NULL */
    /* Added after the original fields; each may be NULL. */
    const char *cacheControl;    /* Cache-Control */
    const char *contentEncoding; /* Content-Encoding */
    const char *storageClass;    /* x-amz-storage-class (a store leaves out STANDARD) */
    /* Added after storageClass; each may be NULL. */
    const char *contentDisposition;      /* Content-Disposition */
    const char *contentLanguage;         /* Content-Language */
    const char *expires;                 /* Expires, as received */
    const char *serverSideEncryption;    /* x-amz-server-side-encryption */
    const char *websiteRedirectLocation; /* x-amz-website-redirect-location */
} S3ResponseProperties;

/* Details of the service's error document.  Valid only during the complete
   callback. */
typedef struct S3ErrorDetails
{
    const char *message;         /* may be NULL */
    const char *resource;        /* may be NULL */
    const char *furtherDetails;  /* may be NULL */
    int extraDetailsCount;
    const S3NameValue *extraDetails;
    const char *code;            /* the document's <Code> as sent, may be NULL */
    int httpStatus;              /* the answer's HTTP status, 0 when none came */
} S3ErrorDetails;

/* One object of a bucket listing; valid only during the list callback. */
typedef struct S3ListBucketContent
{
    const char *key;
    int64_t lastModified;
    const char *eTag;            /* as listed, quotes included */
    uint64_t size;
    const char *ownerId;         /* may be NULL */
    const char *ownerDisplayName;/* may be NULL */
} S3ListBucketContent;

/* One grant of an access control list (S3_convert_acl). */
typedef struct S3AclGrant
{
    S3GranteeType granteeType;
    union
    {
        struct
        {
            char emailAddress[S3_MAX_GRANTEE_EMAIL_ADDRESS_SIZE];
        } amazonCustomerByEmail;
        struct
        {
            char id[S3_MAX_GRANTEE_USER_ID_SIZE];
            char displayName[S3_MAX_GRANTEE_DISPLAY_NAME_SIZE];
        } canonicalUser;
    } grantee;
    S3Permission permission;
} S3AclGrant;

/* Queue of requests on one libcurl multi handle; opaque.  Requests given a
   context are only queued by their operation call and run when the context
   is run; they share the context's connection cache.  Pass NULL instead to
   perform a request before the call returns. */
typedef struct S3RequestContext S3RequestContext;

/* ---------------------------------------------------------- callback types */

/* Every callback receives the caller's callbackData as its last argument. */

/* At most once per request, before the first body byte, only for an HTTP
   status of 200 to 299.  Anything but S3StatusOK stops the transfer and
   becomes the operation's final status. */
typedef S3Status (*S3ResponsePropertiesCallback)
    (const S3ResponseProperties *properties, void *callbackData);

/* Exactly once per operation, last.  errorDetails is NULL when the operation
   failed before its HTTP request was created. */
typedef void (*S3ResponseCompleteCallback)
    (S3Status status, const S3ErrorDetails *errorDetails, void *callbackData);

/* Fills buffer with up to bufferSize body bytes and returns the count:
   0 ends the body, a negative value aborts (S3StatusAbortedByCallback). */
typedef int (*S3PutObjectDataCallback)
    (int bufferSize, char *buffer, void *callbackData);

/* Asked when the body has to be sent again from its first byte (libcurl found
   a kept connection closed after it had sent some of the body, and retries on
   a new one).  Returns 0 when the next put-data calls will give the body again
   from byte 0, anything else when they cannot: the upload then ends with
   S3StatusConnectionFailed, as it does without this callback. */
typedef int (*S3PutObjectRewindCallback)(void *callbackData);

/* Receives the next bufferSize body bytes; anything but S3StatusOK stops
   the transfer and becomes the final status. */
typedef S3Status (*S3GetObjectDataCallback)
    (int bufferSize, const char *buffer, void *callbackData);

/* Receives one batch of a listing; anything but S3StatusOK stops it. */
typedef S3Status (*S3ListBucketCallback)
    (int isTruncated, const char *nextMarker,
     int contentsCount, const S3ListBucketContent *contents,
     int commonPrefixesCount, const char **commonPrefixes,
     void *callbackData);

/* ----------------------------------------------------------------- handlers */

typedef struct S3ResponseHandler
{
    S3ResponsePropertiesCallback propertiesCallback; /* may be NULL */
    S3ResponseCompleteCallback completeCallback;
} S3ResponseHandler;

typedef struct S3PutObjectHandler
{
    S3ResponseHandler responseHandler;
    S3PutObjectDataCallback putObjectDataCallback;
    /* Added after the original fields; may be NULL.  See
       S3PutObjectRewindCallback. */
    S3PutObjectRewindCallback putObjectRewindCallback;
    /* Added after the original fields; may be NULL.  Called once with the
       response headers of an upload the store accepted (its ETag), after
       its final answer and before the complete callback; its status becomes
       the request's. */
    S3ResponsePropertiesCallback putObjectAnswerCallback;
} S3PutObjectHandler;

typedef struct S3GetObjectHandler
{
    S3ResponseHandler responseHandler;
    S3GetObjectDataCallback getObjectDataCallback;
} S3GetObjectHandler;

typedef struct S3ListBucketHandler
{
    S3ResponseHandler responseHandler;
    S3ListBucketCallback listBucketCallback;
} S3ListBucketHandler;

/* -------------------------------------------------- set-up and tear-down */

/* Counted: only the first call initialises (HTTP library, default host, user
   agent, request pool); later calls return S3StatusOK and change nothing.
   userAgentInfo NULL or "" means "Unknown"; defaultS3HostName NULL means
   S3_DEFAULT_HOSTNAME.  Every call, also a failed one, is to be matched by
   one S3_deinitialize. */
S3Status S3_initialize(const char *userAgentInfo, int flags,
                       const char *defaultS3HostName);

/* Undoes one S3_initialize; the last one empties the request pool.  Called
   from a complete callback, the tear-down waits until the outermost complete
   callback has returned (an S3_initialize before then cancels it). */
void S3_deinitialize(void);

/* PEM bundle of certificate authorities used to verify the server's
   certificate.  The path is copied; NULL or "" means the system's default
   store.  Returns S3StatusUriTooLong for a path that does not fit (the
   previous setting stays), and S3StatusServerFailedVerification for a path
   that is not a readable file: it is kept all the same, so that later
   requests fail with S3StatusServerFailedVerification rather than trust the
   system's store. */
S3Status S3_set_ca_file(const char *caFile);

/* ------------------------------------------------------- request contexts */

/* One thread at a time per context.  Every request queued on a context ends
   in exactly one complete callback, called from S3_runall_request_context or
   S3_runonce_request_context (or from S3_destroy_request_context, with
   S3StatusInterrupted, for requests still queued). */

/* S3StatusOK and a new context in *requestContextReturn, or
   S3StatusOutOfMemory / S3StatusInternalError. */
S3Status S3_create_request_context(S3RequestContext **requestContextReturn);

/* Ends every request still queued (complete callback with
   S3StatusInterrupted) and frees the context.  NULL is ignored.  Called from
   a complete callback of one of the context's own requests, the destruction
   waits until that callback has returned: the run that made the callback
   then ends the remaining requests, frees the context and returns
   S3StatusInterrupted (the context must not be used after that). */
void S3_destroy_request_context(S3RequestContext *requestContext);

/* Runs the queued requests, and any that their callbacks queue, until none
   is left.  S3StatusOK, or S3StatusInternalError when the multi interface
   fails (the requests then end with that status). */
S3Status S3_runall_request_context(S3RequestContext *requestContext);

/* Does the work that is ready now without waiting; *requestsRemainingReturn
   (may be NULL) gets the number of requests still running. */
S3Status S3_runonce_request_context(S3RequestContext *requestContext,
                                    int *requestsRemainingReturn);

/* For an outside event loop: the descriptors the context waits on (as
   curl_multi_fdset: the sets are added to, *maxFdReturn is -1 when there is
   none to wait on yet) and the longest wait in milliseconds before
   S3_runonce_request_context must be called again (-1: no limit set). */
S3Status S3_get_request_context_fdsets(S3RequestContext *requestContext,
                                        fd_set *readFdSet, fd_set *writeFdSet,
                                        fd_set *exceptFdSet, int *maxFdReturn);
int64_t S3_get_request_context_timeout(S3RequestContext *requestContext);

/* Waits up to timeoutMs milliseconds (0: not at all) until one of the
   context's transfers has work, with libcurl's own poll (no descriptor
   limit, unlike the fd_set form above), then returns so that
   S3_runonce_request_context can be called.  S3StatusOK, or
   S3StatusInternalError when the multi interface fails. */
S3Status S3_wait_request_context(S3RequestContext *requestContext, int timeoutMs);

/* ----------------------------------------------------- transfer time limits */

/* Process-wide limits of every later request (0 keeps the built-in value):
   connectTimeoutSeconds bounds the connection set-up (built-in 10 s);
   requestTimeoutSeconds bounds one whole request (built-in 300 s), raised
   for a large body by the time the body takes at the low-speed floor. */
void S3_set_timeouts(long connectTimeoutSeconds, long requestTimeoutSeconds);

/* libcurl's trace of every transfer on standard error, on unless switched
   off; signatures in it are replaced by "<redacted>". */
void S3_set_trace(int enabled);

/* ------------------------------------------------------------ small services */

/* S3StatusOK or one of S3StatusInvalidBucketName... (the first rule broken). */
S3Status S3_validate_bucket_name(const char *bucketName, S3UriStyle uriStyle);

/* The enumerator's name without "S3Status"; "Unknown" outside 0 to
   S3_STATUS_COUNT - 1. */
const char *S3_get_status_name(S3Status status);

/* 1 for the transient failures worth a retry, else 0: NameLookupError,
   FailedToConnect, ConnectionFailed, ErrorInternalError,
   ErrorOperationAborted, ErrorRequestTimeout and the gateway answers
   HttpErrorInternalServerError, HttpErrorBadGateway,
   HttpErrorServiceUnavailable and HttpErrorGatewayTimeout.

   How a transfer's failure becomes a status: no name found (host or proxy):
   NameLookupError; connection refused: FailedToConnect; a time limit
   reached, a connection that broke, closed without an answer or gave an
   empty reply, a body cut short, and a body that had to be sent again but
   could not be rewound (see S3PutObjectRewindCallback): ConnectionFailed;
   the server's certificate not verified, or the CA bundle unreadable:
   ServerFailedVerification; no TLS session (the endpoint speaks plain HTTP,
   no acceptable cipher or certificate): TlsFailed; libcurl out of memory:
   OutOfMemory; anything else: InternalError. */
int S3_status_is_retryable(S3Status status);

/* Writes into buffer (S3_MAX_AUTHENTICATED_QUERY_STRING_SIZE bytes) a URI
   that lets anyone fetch the object until expires (seconds since the epoch;
   out of 0..2147483647 means 2147483647).  resource is an optional
   sub-resource.  Signature V4 URIs live seven days at most; an expiry that is
   not in the future gives S3StatusErrorInvalidArgument. */
S3Status S3_generate_authenticated_query_string
    (char *buffer, const S3BucketContext *bucketContext, const char *key,
     int64_t expires, const char *resource);

/* Reads an AccessControlPolicy document.  ownerId must hold
   S3_MAX_GRANTEE_USER_ID_SIZE bytes, ownerDisplayName
   S3_MAX_GRANTEE_DISPLAY_NAME_SIZE bytes, aclGrants S3_MAX_ACL_GRANT_COUNT
   entries. */
S3Status S3_convert_acl(const char *aclXml, char *ownerId,
                        char *ownerDisplayName, int *aclGrantCountReturn,
                        S3AclGrant *aclGrants);

/* -------------------------------------------------------- object operations */

/* requestContext NULL performs the request before the call returns. */

void S3_put_object(const S3BucketContext *bucketContext, const char *key,
                   uint64_t contentLength,
                   const S3PutProperties *putProperties,
                   S3RequestContext *requestContext,
                   const S3PutObjectHandler *handler, void *callbackData);

void S3_get_object(const S3BucketContext *bucketContext, const char *key,
                   const S3GetConditions *getConditions,
                   uint64_t startByte, uint64_t byteCount,
                   S3RequestContext *requestContext,
                   const S3GetObjectHandler *handler, void *callbackData);

void S3_head_object(const S3BucketContext *bucketContext, const char *key,
                    S3RequestContext *requestContext,
                    const S3ResponseHandler *handler, void *callbackData);

void S3_delete_object(const S3BucketContext *bucketContext, const char *key,
                      S3RequestContext *requestContext,
                      const S3ResponseHandler *handler, void *callbackData);

/* destinationBucket / destinationKey NULL: the source's.  eTagReturn gets
   eTagReturnSize bytes at most (0 or NULL: not wanted). */
void S3_copy_object(const S3BucketContext *bucketContext, const char *key,
                    const char *destinationBucket, const char *destinationKey,
                    const S3PutProperties *putProperties,
                    int64_t *lastModifiedReturn, int eTagReturnSize,
                    char *eTagReturn, S3RequestContext *requestContext,
                    const S3ResponseHandler *handler, void *callbackData);

/* -------------------------------------------------- multi-object delete */

/* Most keys one S3_delete_objects request may name. */
#define S3_MAX_DELETE_OBJECTS_COUNT 1000

/* One key the store did not delete, with the code and message it gave
   ("" when it gave none); the texts are valid only during the call.
   Anything but S3StatusOK stops reading the answer and becomes the
   operation's status. */
typedef S3Status (*S3DeleteObjectsRefusedCallback)(const char *key, const char *code,
                                                   const char *message, void *callbackData);

typedef struct S3DeleteObjectsHandler
{
    S3ResponseHandler responseHandler;
    S3DeleteObjectsRefusedCallback refusedCallback; /* may be NULL */
} S3DeleteObjectsHandler;

/* Deletes keyCount keys of the bucket in one request: POST ?delete with the
   keys, XML-escaped, in a quiet-mode Delete document, sent with its
   Content-MD5 (and, for V4, its signed SHA-256).  The store answers only
   for the keys it refused: each reaches refusedCallback, and the operation
   still ends with S3StatusOK when the request itself succeeded.  A key
   the store does not hold counts as deleted.  keyCount below 1 or above
   S3_MAX_DELETE_OBJECTS_COUNT, or a NULL key, ends in S3StatusInternalError
   and a key longer than S3_MAX_KEY_SIZE in S3StatusKeyTooLong, each with no
   request and NULL error details.  The keys are copied before the call
   returns. */
void S3_delete_objects(const S3BucketContext *bucketContext, int keyCount,
                       const char *const *keys, S3RequestContext *requestContext,
                       const S3DeleteObjectsHandler *handler, void *callbackData);

/* ------------------------------------------------------ uploads in parts */

/* The store's limits: parts are numbered 1 to S3_MAX_PART_COUNT, every part
   but the last holds at least S3_MIN_PART_SIZE bytes, and neither one PUT
   nor one part nor one copy may exceed S3_MAX_SINGLE_UPLOAD_SIZE. */
#define S3_MAX_PART_COUNT 10000
#define S3_MIN_PART_SIZE (5ULL * 1024 * 1024)
#define S3_MAX_SINGLE_UPLOAD_SIZE (5ULL * 1024 * 1024 * 1024)
/* Longest upload id the client sends or hands on; a longer one is refused
   (S3StatusUriTooLong) or, in an answer, ends it with S3StatusXmlParseFailure. */
#define S3_MAX_UPLOAD_ID_SIZE 1024

/* Called once with the id of the upload the store began, before the complete
   callback; anything but S3StatusOK becomes the operation's status. */
typedef S3Status (*S3MultipartInitialCallback)(const char *uploadId, void *callbackData);

typedef struct S3MultipartInitialHandler
{
    S3ResponseHandler responseHandler;
    S3MultipartInitialCallback initialCallback;
} S3MultipartInitialHandler;

/* Begins an upload in parts of key: POST ?uploads with every header that
   putProperties gives a single S3_put_object (content type, Cache-Control,
   Content-Encoding, ACL, metadata such as the storage class), except the
   body's own Content-MD5 and payloadSha256, which a part carries instead.
   The operation succeeds only when the answer names the upload's id. */
void S3_initiate_multipart(const S3BucketContext *bucketContext, const char *key,
                           const S3PutProperties *putProperties,
                           S3RequestContext *requestContext,
                           const S3MultipartInitialHandler *handler, void *callbackData);

/* Sends part partNumber (1 to S3_MAX_PART_COUNT) of upload uploadId: a PUT
   of partContentLength bytes from the handler's put-data callback.  Of
   putProperties (may be NULL) only md5 (the part's Content-MD5) and
   payloadSha256 (V4) are sent.  The part's ETag, which completing the
   upload names, reaches the handler's putObjectAnswerCallback. */
void S3_upload_part(const S3BucketContext *bucketContext, const char *key,
                    const S3PutProperties *putProperties,
                    const S3PutObjectHandler *handler, int partNumber,
                    const char *uploadId, uint64_t partContentLength,
                    S3RequestContext *requestContext, void *callbackData);

/* One part as completing an upload names it. */
typedef struct S3MultipartPart
{
    int partNumber;
    const char *eTag;            /* as the store answered it, quotes or not */
} S3MultipartPart;

/* Called once with the ETag of the whole object (quotes included as sent),
   before the complete callback; anything but S3StatusOK becomes the
   operation's status. */
typedef S3Status (*S3MultipartCompleteCallback)(const char *eTag, void *callbackData);

typedef struct S3MultipartCompleteHandler
{
    S3ResponseHandler responseHandler;
    S3MultipartCompleteCallback completeResultCallback; /* may be NULL */
} S3MultipartCompleteHandler;

/* Joins the parts (in ascending partNumber order, 1 to S3_MAX_PART_COUNT of
   them) into the object: POST ?uploadId with the CompleteMultipartUpload
   document.  The store may answer 200 and then fail, with an Error document
   in place of the result: that is the failure its code names.  An answer
   that is no whole CompleteMultipartUploadResult is no success either. */
void S3_complete_multipart_upload(const S3BucketContext *bucketContext, const char *key,
                                  const char *uploadId, int partCount,
                                  const S3MultipartPart *parts,
                                  S3RequestContext *requestContext,
                                  const S3MultipartCompleteHandler *handler,
                                  void *callbackData);

/* Copies bytes firstByte to lastByte (both included; at most
   S3_MAX_SINGLE_UPLOAD_SIZE of them) of the object sourceKey of the bucket
   sourceBucket into part partNumber of upload uploadId of key, on the store
   (UploadPartCopy): a PUT ?partNumber&uploadId with x-amz-copy-source and
   x-amz-copy-source-range and no body.  The part's ETag, which completing
   the upload names, reaches the handler's completeResultCallback; as with
   completing, a 200 whose body is an Error document is that error, and an
   answer that is no whole CopyPartResult is no success. */
void S3_upload_part_copy(const S3BucketContext *bucketContext, const char *key,
                         const char *uploadId, int partNumber, const char *sourceBucket,
                         const char *sourceKey, uint64_t firstByte, uint64_t lastByte,
                         S3RequestContext *requestContext,
                         const S3MultipartCompleteHandler *handler, void *callbackData);

/* Gives up upload uploadId: DELETE ?uploadId; the parts sent are dropped. */
void S3_abort_multipart_upload(const S3BucketContext *bucketContext, const char *key,
                               const char *uploadId, S3RequestContext *requestContext,
                               const S3ResponseHandler *handler, void *callbackData);

/* One unfinished upload of a listing; valid only during the callback. */
typedef struct S3ListMultipartUpload
{
    const char *key;
    const char *uploadId;
    int64_t initiated;           /* -1 when not given */
    const char *storageClass;    /* may be NULL */
} S3ListMultipartUpload;

/* One page of unfinished uploads, after the whole page was read.  Anything
   but S3StatusOK becomes the operation's status. */
typedef S3Status (*S3ListMultipartUploadsCallback)
    (int isTruncated, const char *nextKeyMarker, const char *nextUploadIdMarker,
     int uploadsCount, const S3ListMultipartUpload *uploads, void *callbackData);

typedef struct S3ListMultipartUploadsHandler
{
    S3ResponseHandler responseHandler;
    S3ListMultipartUploadsCallback listMultipartUploadsCallback;
} S3ListMultipartUploadsHandler;

/* One page of the bucket's unfinished uploads: GET ?uploads, under prefix
   (may be NULL), after keyMarker and uploadIdMarker (may be NULL; the next
   page's are what the callback was given), maxUploads per page (0: the
   store's default). */
void S3_list_multipart_uploads(const S3BucketContext *bucketContext, const char *prefix,
                               const char *keyMarker, const char *uploadIdMarker,
                               int maxUploads, S3RequestContext *requestContext,
                               const S3ListMultipartUploadsHandler *handler,
                               void *callbackData);

/* -------------------------------------------------------- bucket operations */

/* One page of a listing; maxkeys 0 sends no max-keys parameter. */
void S3_list_bucket(const S3BucketContext *bucketContext, const char *prefix,
                    const char *marker, const char *delimiter, int maxkeys,
                    S3RequestContext *requestContext,
                    const S3ListBucketHandler *handler, void *callbackData);

/* The bucket's website configuration.  S3_set_bucket_website replaces it
   with one that serves indexSuffix (such as "index.html") as every folder's
   page and, when errorKey is given, that object for a missing key.
   S3_get_bucket_website hands what the bucket has to websiteCallback (each
   NULL when not set; valid only during the call) before the complete
   callback; a bucket without one ends in S3StatusHttpErrorNotFound or the
   store's NoSuchWebsiteConfiguration. */
typedef S3Status (S3BucketWebsiteCallback)(const char *indexSuffix, const char *errorKey,
                                           void *callbackData);
typedef struct S3BucketWebsiteHandler
{
    S3ResponseHandler responseHandler;
    S3BucketWebsiteCallback *websiteCallback;
} S3BucketWebsiteHandler;

void S3_set_bucket_website(const S3BucketContext *bucketContext, const char *indexSuffix,
                           const char *errorKey, S3RequestContext *requestContext,
                           const S3ResponseHandler *handler, void *callbackData);
void S3_get_bucket_website(const S3BucketContext *bucketContext, S3RequestContext *requestContext,
                           const S3BucketWebsiteHandler *handler, void *callbackData);

void S3_test_bucket(S3Protocol protocol, S3UriStyle uriStyle,
                    const char *accessKeyId, const char *secretAccessKey,
                    const char *hostName, const char *bucketName,
                    int locationConstraintReturnSize,
                    char *locationConstraintReturn,
                    S3RequestContext *requestContext,
                    const S3ResponseHandler *handler, void *callbackData);

void S3_create_bucket(S3Protocol protocol, const char *accessKeyId,
                      const char *secretAccessKey, const char *hostName,
                      const char *bucketName, S3CannedAcl cannedAcl,
                      const char *locationConstraint,
                      S3RequestContext *requestContext,
                      const S3ResponseHandler *handler, void *callbackData);

void S3_delete_bucket(S3Protocol protocol, S3UriStyle uriStyle,
                      const char *accessKeyId, const char *secretAccessKey,
                      const char *hostName, const char *bucketName,
                      S3RequestContext *requestContext,
                      const S3ResponseHandler *handler, void *callbackData);

/* --------------------------------------- requests to other AWS-style services */

/* Limits of S3_send_service_request.  A request beyond one is refused with
   the status named, before anything is sent:
   service and region names: S3_MAX_SERVICE_NAME_SIZE - 1 characters of
   letters, digits, "-", "_" and "." (S3StatusErrorInvalidArgument);
   extra headers: S3_MAX_SERVICE_HEADER_COUNT, their "Name: value" lines
   S3_MAX_SERVICE_HEADERS_SIZE bytes together (S3StatusHeadersTooLong);
   answer element names: S3_MAX_SERVICE_ANSWER_NAMES, each
   S3_MAX_SERVICE_NAME_SIZE - 1 characters (S3StatusErrorInvalidArgument). */
#define S3_MAX_SERVICE_NAME_SIZE 64
#define S3_MAX_SERVICE_HEADER_COUNT 16
#define S3_MAX_SERVICE_HEADERS_SIZE 4096
#define S3_MAX_SERVICE_ANSWER_NAMES 8
/* The longest text kept of one answer element; a longer one is cut.  Room
   for a session token longer than the longest taken, so that one is seen
   as too long rather than cut. */
#define S3_MAX_SERVICE_ANSWER_TEXT_SIZE (2 * S3_MAX_SECURITY_TOKEN_SIZE)
/* The largest answer body read; a longer one ends the request with
   S3StatusXmlDocumentTooLarge. */
#define S3_MAX_SERVICE_ANSWER_SIZE (64 * 1024)

/* One request to a service other than S3 that signs like it (CloudFront,
   for example), signed V4 for service and region. */
typedef struct S3ServiceRequest
{
    const char *method;            /* "GET", "HEAD", "POST", "PUT" or "DELETE" */
    S3Protocol protocol;
    const char *hostName;          /* "host" or "host:port", sent as Host */
    const char *path;              /* from "/", already encoded; sent and
                                      signed as it is (as S3 signs a path) */
    const char *query;             /* without "?", already encoded; NULL or
                                      "": none */
    /* Extra headers, sent and signed ("Content-Type" for a body, say).  The
       client sets Host, X-Amz-Date, X-Amz-Security-Token and Authorization
       itself: naming one of them, Content-Length or Transfer-Encoding, a name
       that is no header name or a value holding a control byte is refused
       with S3StatusBadMetaData. */
    const S3NameValue *headers;    /* may be NULL */
    int headerCount;
    /* The body, POST and PUT only; its SHA-256 is signed. */
    const char *body;              /* may be NULL when bodySize is 0 */
    int64_t bodySize;
    const char *service;           /* of the credential scope: "cloudfront" */
    const char *region;            /* "us-east-1" */
    const char *accessKeyId;       /* S3_MAX_ACCESS_KEY_ID_SIZE at most */
    const char *secretAccessKey;   /* S3_MAX_SECRET_ACCESS_KEY_SIZE at most */
    /* The session token of temporary credentials, sent and signed as
       x-amz-security-token; NULL or "": none. */
    const char *securityToken;
    /* The elements of the answer whose texts the caller wants ("Id"): each
       the text of the first element of that name (a name without its
       namespace prefix, at any depth), "" when there is none. */
    const char *const *answerElementNames; /* may be NULL */
    int answerElementCount;
    /* A service that takes a bearer token instead of a signature (an API
       such as Cloudflare's): when neither NULL nor "", the request carries
       "Authorization: Bearer " and the token (S3_MAX_SECURITY_TOKEN_SIZE at
       most, no control byte) and is not signed: service, region, keys and
       security token are not used.  Its answer is not read as XML: the whole
       body (S3_MAX_SERVICE_ANSWER_SIZE at most) is handed to the answer
       callback as body, and the final status is S3StatusOK for an answer of
       200 to 299, else that of its HTTP status. */
    const char *bearerToken;
} S3ServiceRequest;

/* What came back: the HTTP status and the texts asked for, in the order of
   the names; every text is "" unless the whole answer was read as an XML
   document.  Valid only during the answer callback. */
typedef struct S3ServiceAnswer
{
    int httpStatus;
    int elementCount;
    const char *const *elementNames;
    const char *const *elementTexts;
    /* The whole body of the answer to a request with a bearer token; NULL
       (and 0) for any other. */
    const char *body;
    int bodySize;
} S3ServiceAnswer;

/* Once, before the complete callback, when an answer came (whatever its
   HTTP status).  Anything but S3StatusOK becomes the operation's status
   when that was S3StatusOK. */
typedef S3Status (*S3ServiceAnswerCallback)
    (const S3ServiceAnswer *answer, void *callbackData);

typedef struct S3ServiceRequestHandler
{
    /* propertiesCallback: the headers of an answer of 200 to 299 to a
       request without a body (as for S3, a request with a body latches its
       headers when the body is first asked for, before the answer) */
    S3ResponseHandler responseHandler;
    S3ServiceAnswerCallback answerCallback; /* may be NULL */
} S3ServiceRequestHandler;

/* Sends one request to an AWS-style service.  The final status: S3StatusOK
   for an answer of 200 to 299 that is empty or an XML document
   (S3StatusXmlParseFailure when it is neither); for any other answer the
   status of the code of its error document ("Error/Code" or
   "ErrorResponse/Error/Code"; S3StatusErrorUnknown for a code no status is
   named after), or without one the status of the HTTP status, as for S3;
   a transfer that failed gives its status as S3_status_is_retryable tells.
   The error details carry the error document's Code and Message (NULL for
   a success) and the HTTP status.

   Everything of request but body is read before the call returns: the
   request is composed and signed then (also when it is queued on
   requestContext).  body is read until the complete callback has run.
   The trace of S3_set_trace is never written for this request: its lines
   carry the signature and the session token. */
void S3_send_service_request(const S3ServiceRequest *request,
                             S3RequestContext *requestContext,
                             const S3ServiceRequestHandler *handler,
                             void *callbackData);

#ifdef __cplusplus
}
#endif

#endif /* SITEMIRROR_S3CLIENT_H */
