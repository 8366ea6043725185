// myListObj.h - the paged listing of a bucket into object records.
#pragma once

#include <string>
#include <vector>

#include "listing_page.h"
#include "myDir.h"
#include "s3client.h"
#include "session.h"

// Lists the whole bucket (or only the keys that begin with strPrefix; keys
// come back whole) into s3List, page after page, starting at the beginning of
// the bucket and going on after the last key of each page until a page comes
// back empty. A key already in s3List keeps its earlier record. True only
// when the context could be set up and every page request ended with
// S3StatusOK. The lines of the requests are printed when the listing ends.
bool listObjects(Session &session, const std::string &strBucket, S3ObjSet &s3List);
bool listObjects(Session &session, const std::string &strBucket, const std::string &strPrefix,
                 S3ObjSet &s3List);

// The same in ranges listed side by side, cut at cuts (see rangeCuts in
// listing_ranges.h); the result equals the sequential one.
bool listObjects(Session &session, const std::string &strBucket, const std::string &strPrefix,
                 const std::vector<std::string> &cuts, S3ObjSet &s3List);

// One listing request for the page after marker (null: from the start),
// limited to keys beginning with pszPrefix (null: all). Appends to data.page
// and records the final status in data.status; true when it is S3StatusOK.
bool listObjectHelper(const S3BucketContext &ctx, const char *pszPrefix, const char *marker,
                      ListPageData &data);
