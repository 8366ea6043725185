// store_answer.cpp - reads what a refusal asks of the run from the store's
// error document.
#include "store_answer.h"

#include <cctype>
#include <cstring>

namespace {

// A region name as the settings take it: letters, digits, "-", at most 64.
bool isRegionName(const std::string &str)
{
    if (str.empty() || str.size() > 64)
        return false;
    for (char c : str) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-')
            return false;
    }
    return true;
}

} // namespace

std::string errorExtraDetail(const S3ErrorDetails *details, const char *pszName)
{
    for (int i = 0; details && i < details->extraDetailsCount && details->extraDetails; ++i) {
        const S3NameValue &nv = details->extraDetails[i];
        if (nv.name && std::strcmp(nv.name, pszName) == 0)
            return nv.value ? nv.value : "";
    }
    return "";
}

bool awsRegionalEndpoint(const std::string &strEndpoint, std::string &strHost,
                         std::string &strRegion)
{
    static const char kSuffix[] = ".amazonaws.com";
    const std::size_t nSuffix = sizeof(kSuffix) - 1;
    if (strEndpoint.size() <= nSuffix ||
        strEndpoint.compare(strEndpoint.size() - nSuffix, nSuffix, kSuffix) != 0)
        return false;
    // The labels before the suffix, from "s3" on (a bucket may come first).
    std::string strLabels = strEndpoint.substr(0, strEndpoint.size() - nSuffix);
    std::size_t at = strLabels.rfind("s3.");
    std::size_t atDash = strLabels.rfind("s3-");
    if (at == std::string::npos || (atDash != std::string::npos && atDash > at))
        at = atDash;
    if (at == std::string::npos || (at > 0 && strLabels[at - 1] != '.'))
        return false;
    std::string strRest = strLabels.substr(at + 3); // after "s3." or "s3-"
    if (strRest.compare(0, 10, "dualstack.") == 0)
        strRest.erase(0, 10);
    if (!isRegionName(strRest) || strRest.find('.') != std::string::npos)
        return false;
    strRegion = strRest;
    strHost = strLabels.substr(at) + kSuffix;
    return true;
}

StoreAsk readStoreAsk(S3Status, const S3ErrorDetails *details)
{
    StoreAsk ask;
    if (!details || !details->code)
        return ask;
    const std::string strCode = details->code;
    const std::string strMessage = details->message ? details->message : "";
    if (strCode == "InvalidRequest" && strMessage.find("AWS4-HMAC-SHA256") != std::string::npos) {
        ask.kind = StoreAsk::SignatureV4;
    } else if (strCode == "AuthorizationHeaderMalformed") {
        const std::string strRegion = errorExtraDetail(details, "Region");
        if (isRegionName(strRegion)) {
            ask.kind = StoreAsk::Region;
            ask.strRegion = strRegion;
        }
    } else if (strCode == "PermanentRedirect") {
        if (awsRegionalEndpoint(errorExtraDetail(details, "Endpoint"), ask.strHost, ask.strRegion))
            ask.kind = StoreAsk::Endpoint;
    }
    return ask;
}
