/* Compiled as C: the public header must build without C++ and lay out its
   records exactly as C++ does. */
#include <stddef.h>

#include "s3client.h"

/* Out-of-range enumeration values, as only a C caller can pass them. */
const char *c_status_name(int status)
{
    return S3_get_status_name((S3Status) status);
}

int c_status_is_retryable(int status)
{
    return S3_status_is_retryable((S3Status) status);
}

S3Status c_validate_bucket_name(const char *bucketName, int uriStyle)
{
    return S3_validate_bucket_name(bucketName, (S3UriStyle) uriStyle);
}

size_t s3client_c_layout(size_t *out, size_t max)
{
    const size_t values[] = {
        sizeof(S3Status), sizeof(S3Protocol), sizeof(S3CannedAcl),
        (size_t) S3StatusHttpErrorUnknown, (size_t) S3StatusErrorUnknown,
        (size_t) S3StatusAbortedByCallback,
        sizeof(S3NameValue), sizeof(S3BucketContext), sizeof(S3PutProperties),
        offsetof(S3PutProperties, expires), offsetof(S3PutProperties, metaData),
        sizeof(S3GetConditions), sizeof(S3ResponseProperties),
        offsetof(S3ResponseProperties, lastModified),
        sizeof(S3ErrorDetails), sizeof(S3ListBucketContent),
        offsetof(S3ListBucketContent, size), sizeof(S3AclGrant),
        offsetof(S3AclGrant, permission), sizeof(S3ResponseHandler),
        sizeof(S3PutObjectHandler), sizeof(S3GetObjectHandler),
        sizeof(S3ListBucketHandler),
        (size_t) S3_MAX_METADATA_COUNT,
        (size_t) S3_MAX_AUTHENTICATED_QUERY_STRING_SIZE,
        sizeof(S3ServiceRequest), offsetof(S3ServiceRequest, bodySize),
        offsetof(S3ServiceRequest, answerElementCount), sizeof(S3ServiceAnswer),
        sizeof(S3ServiceRequestHandler), (size_t) S3_MAX_SERVICE_ANSWER_SIZE,
    };
    const size_t n = sizeof(values) / sizeof(values[0]);
    size_t i;
    for (i = 0; i < n && i < max; ++i) {
        out[i] = values[i];
    }
    return n;
}
