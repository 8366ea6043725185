// outcome_lines.cpp - formats the lines of one response.
#include "outcome_lines.h"

#include <cstdint>

#include "hints.h"

namespace {

std::string field(const char *pszLabel, const char *pszValue)
{
    return std::string(pszLabel) + (pszValue ? pszValue : "");
}

std::string nameValue(const S3NameValue &nv)
{
    return std::string(nv.name ? nv.name : "") + "=" + (nv.value ? nv.value : "");
}

} // namespace

std::vector<std::string> propertiesLines(const S3ResponseProperties &prop)
{
    std::vector<std::string> lines = {
        field("requestId:", prop.requestId),
        field("requestId2: ", prop.requestId2),
        field("contentType:", prop.contentType),
        "contentLength:" + std::to_string(static_cast<uint64_t>(prop.contentLength)),
        field("server: ", prop.server),
        field("eTag:", prop.eTag),
        "lastModified:" + std::to_string(static_cast<int64_t>(prop.lastModified)),
        "metaDataCount:" + std::to_string(prop.metaDataCount),
    };
    for (int i = 0; i < prop.metaDataCount && prop.metaData; ++i)
        lines.push_back(nameValue(prop.metaData[i]));
    return lines;
}

std::vector<std::string> outcomeLines(S3Status status, const S3ErrorDetails *details,
                                      HintLog *hints, bool bSentStorageClass)
{
    if (status == S3StatusOK)
        return {"succeed"};
    std::vector<std::string> lines = {"status:" + std::to_string(static_cast<int>(status))};
    if (details && details->code)
        lines.push_back(field("code:", details->code));
    else if (details && details->httpStatus > 0)
        lines.push_back("http:" + std::to_string(details->httpStatus));
    if (details) {
        lines.push_back(field("resource:", details->resource));
        lines.push_back(field("message:", details->message));
        lines.push_back(field("furtherDetails:", details->furtherDetails));
        for (int i = 0; i < details->extraDetailsCount && details->extraDetails; ++i)
            lines.push_back(nameValue(details->extraDetails[i]));
    }
    if (hints) {
        std::string strHint = hints->once(status, details, bSentStorageClass);
        if (!strHint.empty())
            lines.push_back(strHint);
    }
    return lines;
}
