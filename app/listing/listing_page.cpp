// listing_page.cpp - the records of one listing page.
#include "listing_page.h"

#include "myS3Common.h"

S3Status listBucketCallback(int isTruncated, const char *, int contentsCount,
                            const S3ListBucketContent *contents, int, const char **,
                            void *callbackData)
{
    auto *data = static_cast<ListPageData *>(callbackData);
    data->bTruncated = isTruncated != 0;
    for (int i = 0; i < contentsCount; ++i) {
        const S3ListBucketContent &content = contents[i];
        S3Obj obj;
        // A key is kept exactly as listed: quotes may be part of it. Only the
        // entity tag comes quoted.
        obj.key = content.key ? content.key : "";
        obj.tag = trimQuote(content.eTag ? content.eTag : "");
        obj.size = content.size;
        obj.time = content.lastModified;
        data->page.push_back(obj);
    }
    return S3StatusOK;
}
