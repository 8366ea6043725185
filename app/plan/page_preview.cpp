// page_preview.cpp - the index page a run would write, composed in memory.
#include "page_preview.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "ignore.h"
#include "myListTool.h"
#include "myS3Common.h"

bool predictIndexPage(const std::string &strRoot, const std::string &strSiteUrl,
                      const IgnoreRules *ignore, S3Obj &page)
{
    siteindex::PathFilter filter;
    if (ignore) {
        filter = [ignore](const std::string &strRel, bool bDir) {
            return ignore->isIgnored(strRel, bDir);
        };
    }
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
