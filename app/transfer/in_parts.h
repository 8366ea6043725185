// in_parts.h - what a job sent in parts keeps between its create, its parts
// and its complete: a file's upload in parts and a copy in parts share it.
#pragma once

#include <string>
#include <vector>

#include "s3client.h"

// An ETag as the store gave it, its quotes taken off.
std::string unquotedETag(const char *pszETag);

struct InParts {
    std::string strUploadId; // from the create; "" once given up (or never begun)
    std::string strETag;     // from the complete, without quotes
    int nParts = 0;
    int nPartsEnded = 0;
    bool bPartFailed = false;
    std::vector<S3MultipartPart> partList; // what the complete sends, alive until it ends

    // Told by each part as it ends: true once the last one has.
    bool partEnded(bool bOk)
    {
        bPartFailed = bPartFailed || !bOk;
        return ++nPartsEnded == nParts;
    }
    // The complete's list from every part's number and ETag.
    template <class Part> void listParts(const Part *parts)
    {
        partList.clear();
        for (int i = 0; i < nParts; ++i)
            partList.push_back({parts[i].nNumber, parts[i].strETag.c_str()});
    }
    // Gives the open upload of strKey up (one request of its own): the line
    // that says so, or that it is left and why.
    std::string giveUp(const S3BucketContext &ctx, const std::string &strKey);
};

// The create's and the complete's callbacks for a job J that is InParts.
template <class J> S3Status uploadBegun(const char *pszUploadId, void *callbackData)
{
    static_cast<J *>(callbackData)->strUploadId = pszUploadId;
    return S3StatusOK;
}
template <class J> S3Status uploadJoined(const char *pszETag, void *callbackData)
{
    static_cast<J *>(callbackData)->strETag = unquotedETag(pszETag);
    return S3StatusOK;
}
