// outcome_lines.cpp - formats the lines of one response.
#include "outcome_lines.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

#include "hints.h"
#include "request_runner.h"

namespace {

std::string field(const char *pszLabel, const char *pszValue)
{
    return std::string(pszLabel) + (pszValue ? pszValue : "");
}

// A detail's value as it may be printed: the store echoes the text it signed
// (StringToSign, CanonicalRequest), which holds the session token as an
// "x-amz-security-token:" line; that line's value is replaced, and a spelling
// of such a text in hexadecimal bytes (...Bytes) is replaced whole.
std::string printableDetail(const std::string &strName, const std::string &strValue)
{
    static const char kTokenLine[] = "x-amz-security-token:";
    static const char kTokenLineHex[] = "78 2d 61 6d 7a 2d 73 65 63 75 72 69 74 79 2d 74 6f 6b 65 6e 3a";
    std::string strLower = strValue;
    for (char &c : strLower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (strName.size() > 5 && strName.compare(strName.size() - 5, 5, "Bytes") == 0)
        return strLower.find(kTokenLineHex) == std::string::npos ? strValue : "<redacted>";
    std::string strOut;
    std::size_t from = 0;
    for (std::size_t at = strLower.find(kTokenLine); at != std::string::npos;
         at = strLower.find(kTokenLine, from)) {
        const std::size_t value = at + sizeof(kTokenLine) - 1;
        const std::size_t stop = std::min(strValue.find('\n', value), strValue.size());
        strOut += strValue.substr(from, value - from) + (stop > value ? "<redacted>" : "");
        from = stop;
    }
    return strOut + strValue.substr(from);
}

std::string nameValue(const S3NameValue &nv)
{
    const std::string strName = nv.name ? nv.name : "";
    return strName + "=" + printableDetail(strName, nv.value ? nv.value : "");
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

void partTryEnded(RunnerJob &part, bool bHasETag, S3Status status, const S3ErrorDetails *details,
                  HintLog *hints, bool bSentStorageClass)
{
    if (status == S3StatusOK && !bHasETag)
        status = S3StatusHttpErrorUnknown;
    if (status != S3StatusOK) {
        std::vector<std::string> lines = outcomeLines(status, details, hints, bSentStorageClass);
        part.lines.insert(part.lines.end(), lines.begin(), lines.end());
    }
    part.tryEnded(status, details);
}
