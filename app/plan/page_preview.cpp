// page_preview.cpp - the index page a run would write, composed in memory.
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

bool predictIndexPage(const std::string &strRoot, const std::string &strSiteUrl,
                      const IgnoreRules *ignore, std::size_t nKeyPrefixBytes, S3Obj &page)
{
    const siteindex::PathFilter filter = pageFilter(ignore, nKeyPrefixBytes);
    siteindex::StringMap stringMap;
    siteindex::doDir(strRoot, strSiteUrl, "", stringMap, filter);

    char *pBuffer = nullptr;
    std::size_t nSize = 0;
    FILE *out = open_memstream(&pBuffer, &nSize);
    if (!out)
        return false;
    const bool bWritten = siteindex::writePage(out, stringMap, strSiteUrl);
    const bool bClosed = std::fclose(out) == 0;
    if (!bWritten || !bClosed) {
        std::free(pBuffer);
        return false;
    }
    MyMD5 md5;
    md5.update(pBuffer, nSize);
    std::free(pBuffer);
    page = S3Obj();
    page.key = siteindex::targetFileName;
    page.size = nSize;
    page.tag = md5.finalize();
    page.time = static_cast<int64_t>(std::time(nullptr));
    return true;
}
