// report.cpp - the run's closing summary line.
#include "report.h"

#include <cstdio>

std::string groupedCount(long n)
{
    std::string strDigits = std::to_string(n < 0 ? -n : n);
    std::string str;
    for (std::size_t i = 0; i < strDigits.size(); ++i) {
        if (i > 0 && (strDigits.size() - i) % 3 == 0)
            str += ',';
        str += strDigits[i];
    }
    return n < 0 ? "-" + str : str;
}

namespace {

// Decimal units, one decimal place from kB on: "512 B", "1.4 MB".
std::string byteSize(uint64_t n)
{
    if (n < 1000)
        return std::to_string(n) + " B";
    const char *units[] = {"kB", "MB", "GB", "TB"};
    double value = static_cast<double>(n) / 1000.0;
    int unit = 0;
    while (value >= 999.95 && unit < 3) {
        value /= 1000.0;
        ++unit;
    }
    char sz[32];
    std::snprintf(sz, sizeof sz, "%.1f %s", value, units[unit]);
    return sz;
}

} // namespace

std::string summaryLine(const RunSummary &summary)
{
    char szSeconds[32];
    std::snprintf(szSeconds, sizeof szSeconds, "%.1f s", summary.seconds);
    return "summary: sent " + groupedCount(summary.nSent) + " (" + byteSize(summary.nBytesSent) +
           "), failed " + groupedCount(summary.nFailed) + ", unchanged " +
           groupedCount(summary.nUnchanged) + ", ignored " + groupedCount(summary.nIgnored) +
           ", " + szSeconds;
}

#include <cstring>
#include <set>

#include "s3client.h"

namespace {

std::string extraDetail(const S3ErrorDetails *details, const char *pszName)
{
    for (int i = 0; i < details->extraDetailsCount && details->extraDetails; ++i) {
        const S3NameValue &nv = details->extraDetails[i];
        if (nv.name && std::strcmp(nv.name, pszName) == 0)
            return nv.value ? nv.value : "";
    }
    return "";
}

} // namespace

std::string hintOnce(const S3ErrorDetails *details, bool bSentStorageClass)
{
    static std::set<std::string> given;
    if (!details || !details->code)
        return "";
    const std::string strCode = details->code;
    const std::string strMessage = details->message ? details->message : "";
    std::string strHint;
    if (strCode == "InvalidRequest" && strMessage.find("AWS4-HMAC-SHA256") != std::string::npos) {
        strHint = "hint: the store refuses signature V2: set SITEMIRROR_SIGNATURE=v4 and the "
                  "bucket's SITEMIRROR_REGION";
    } else if (strCode == "AuthorizationHeaderMalformed") {
        std::string strRegion = extraDetail(details, "Region");
        strHint = strRegion.empty()
                      ? "hint: the store expects another signing region: set SITEMIRROR_REGION"
                      : "hint: the bucket is in region " + strRegion + ": set SITEMIRROR_REGION=" +
                            strRegion;
    } else if (strCode == "AccessControlListNotSupported") {
        strHint = "hint: the bucket does not allow ACLs: set SITEMIRROR_ACL=none, and keep "
                  "\"personal\" private with a bucket policy";
    } else if (strCode == "InvalidStorageClass" ||
               (strCode == "NotImplemented" && bSentStorageClass)) {
        strHint = "hint: the store does not take this storage class: set "
                  "SITEMIRROR_STORAGE_CLASS (empty for none)";
    } else if (strCode == "PermanentRedirect") {
        std::string strEndpoint = extraDetail(details, "Endpoint");
        strHint = strEndpoint.empty()
                      ? "hint: the bucket is served by another endpoint: set SITEMIRROR_ENDPOINT"
                      : "hint: the bucket is served by " + strEndpoint +
                            ": set SITEMIRROR_ENDPOINT=" + strEndpoint;
    }
    if (strHint.empty() || !given.insert(strCode).second)
        return "";
    return strHint;
}
