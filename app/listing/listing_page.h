// listing_page.h - one page of a bucket listing as its callbacks fill it,
// shared by the sequential and the ranged listing.
#pragma once

#include <string>

#include "myDir.h"
#include "myPutObj.h"
#include "s3client.h"

// Keys asked for per listing page.
constexpr int kListPageSize = 990;

// One page of a listing as the callbacks fill it: the records in listing
// order, the request's final status, its error document's code ("" when
// none came) and the answer's HTTP status.
struct ListPageData {
    S3ObjVect page;
    S3Status status = S3StatusInternalError;
    std::string strCode;
    int httpStatus = 0; // the answer's HTTP status, 0 when none came
    bool bTruncated = false; // the store said more keys follow this page
    MyS3Context *context = nullptr; // the listing's view of the session (hints)
};

// The list callback: one record per entry, key and ETag without their
// enclosing quotes, appended to the ListPageData given as callbackData.
S3Status listBucketCallback(int isTruncated, const char *nextMarker, int contentsCount,
                            const S3ListBucketContent *contents, int commonPrefixesCount,
                            const char **commonPrefixes, void *callbackData);
