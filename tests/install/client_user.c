/* A program of someone else's, built against the installed client alone:
   it signs a query-string URI (no request is sent) and prints it, with the
   name of a status and the verdict on a bucket name. */
#include <stdio.h>
#include <stdlib.h>

#include <s3client.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: client_user EXPIRES\n");
        return 2;
    }
    /* A loopback endpoint that is never reached: signing needs no network. */
    S3Status status = S3_initialize("client_user", S3_INIT_ALL, "127.0.0.1:9");
    if (status != S3StatusOK) {
        fprintf(stderr, "S3_initialize: %s\n", S3_get_status_name(status));
        S3_deinitialize();
        return 1;
    }
    S3BucketContext bucket = {0};
    bucket.bucketName = "example-bucket";
    bucket.protocol = S3ProtocolHTTP;
    bucket.uriStyle = S3UriStylePath;
    bucket.accessKeyId = "AKIDEXAMPLE";
    bucket.secretAccessKey = "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY";
    char uri[S3_MAX_AUTHENTICATED_QUERY_STRING_SIZE];
    status = S3_generate_authenticated_query_string(uri, &bucket, "dir/page.html",
                                                    strtoll(argv[1], NULL, 10), NULL);
    printf("%s %s\n", S3_get_status_name(status), uri);
    printf("%s\n", S3_get_status_name(S3_validate_bucket_name("Not_A_Bucket", S3UriStyleVirtualHost)));
    S3_deinitialize();
    return status == S3StatusOK ? 0 : 1;
}
