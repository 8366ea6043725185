// in_parts.cpp - the state shared by the jobs sent in parts.
#include "in_parts.h"

#include "console.h"
#include "stale_uploads.h"

std::string unquotedETag(const char *pszETag)
{
    std::string str = pszETag ? pszETag : "";
    if (str.size() >= 2 && str.front() == '"' && str.back() == '"')
        str = str.substr(1, str.size() - 2);
    return str;
}

std::string InParts::giveUp(const S3BucketContext &ctx, const std::string &strKey)
{
    std::string strWhy;
    std::string strLine;
    if (abortUploadInParts(ctx, strKey, strUploadId, strWhy))
        strLine = "upload in parts given up: " + consoleText(strKey);
    else
        strLine = "unfinished upload left: " + consoleText(strKey) + " (upload id " + consoleText(strUploadId) +
                  "; " + strWhy + ")";
    strUploadId.clear();
    return strLine;
}
