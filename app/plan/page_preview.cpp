// page_preview.cpp - the index page a run would write, digested as it is composed.
#include "page_preview.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "direntry.h"
#include "ignore.h"
#include "myListTool.h"
#include "myS3Common.h"

siteindex::PathFilter pageFilter(const IgnoreRules *ignore, std::size_t nKeyPrefixBytes)
{
    return [ignore, nKeyPrefixBytes](const std::string &strRel, bool bDir) {
        return (ignore && ignore->isIgnored(strRel, bDir)) ||
               (!bDir && keyRefusal(strRel, nKeyPrefixBytes) != nullptr);
    };
}

namespace {

// What the page's bytes come to as they are written: their MD5 and count.
struct PageDigest {
    MyMD5 md5;
    uint64_t size = 0;
};

ssize_t digestWrite(void *cookie, const char *pBuffer, size_t nSize)
{
    PageDigest &digest = *static_cast<PageDigest *>(cookie);
    digest.md5.update(pBuffer, nSize);
    digest.size += nSize;
    return static_cast<ssize_t>(nSize);
}

} // namespace

bool predictIndexPage(const std::string &strRoot, const std::string &strSiteUrl,
                      const IgnoreRules *ignore, std::size_t nKeyPrefixBytes, S3Obj &page)
{
    // The page's bytes are digested as the walk writes them, never held.
    PageDigest digest;
    cookie_io_functions_t functions = {nullptr, digestWrite, nullptr, nullptr};
    FILE *out = fopencookie(&digest, "w", functions);
    if (!out)
        return false;
    siteindex::PageWriter writer(out, strSiteUrl);
    siteindex::walkRows(strRoot, strSiteUrl, "", pageFilter(ignore, nKeyPrefixBytes),
                        [&writer](const std::string &strKey, const std::string &strUrl) { writer.row(strKey, strUrl); });
    const bool bWritten = writer.end();
    const bool bClosed = std::fclose(out) == 0;
    if (!bWritten || !bClosed)
        return false;
    page = S3Obj();
    page.key = siteindex::targetFileName;
    page.size = digest.size;
    page.tag = digest.md5.finalize();
    page.time = static_cast<int64_t>(std::time(nullptr));
    return true;
}
