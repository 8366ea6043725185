// markdown_summary.cpp - the Markdown report of a run for a CI job's page.
#include "markdown_summary.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "console.h"

namespace {

// A text as one table cell: nothing that ends the cell or the row, nothing
// Markdown or HTML would read as markup.
std::string cell(const std::string &strText)
{
    std::string strOut;
    for (char c : consoleText(strText)) {
        if (std::strchr("\\`*_[]<>|#!~&", c))
            strOut += '\\';
        strOut += c;
    }
    return strOut;
}

std::string codeCell(const std::string &strText)
{
    return strText.empty() ? std::string() : cell(strText);
}

// "\n**Title** (63, the first 50 shown)\n\n" over a list of n rows.
std::string listHeading(const char *pszTitle, std::size_t n)
{
    return std::string("\n**") + pszTitle + "** (" + groupedCount(static_cast<long>(n)) +
           (n > kMarkdownKeysShown ? ", the first " + std::to_string(kMarkdownKeysShown) + " shown"
                                   : std::string()) +
           ")\n\n";
}

} // namespace

std::string markdownSummary(const RunSummary &summary, bool bOk,
                            const std::vector<std::string> &changedKeys,
                            const std::vector<ErrorEvent> &errors)
{
    char szSeconds[32];
    std::snprintf(szSeconds, sizeof szSeconds, "%.1f s", summary.seconds);
    std::string strText = std::string("### sitemirror: ") +
                          (summary.bDryRun ? "dry run" : bOk ? "deployed" : "failed") + "\n\n";
    strText += "| sent | bytes | failed | unchanged | ignored | updated | deleted | time |\n"
               "|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    strText += "| " + groupedCount(summary.nSent) + " | " + byteSize(summary.nBytesSent) + " | " +
               groupedCount(summary.nFailed) + " | " + groupedCount(summary.nUnchanged) + " | " +
               groupedCount(summary.nIgnored) + " | " + groupedCount(summary.nUpdated) + " | " +
               groupedCount(summary.nDeleted) + " | " + szSeconds + " |\n";
    if (summary.bForcing)
        strText += "\n" + forcedLine(summary) + "\n";

    if (!changedKeys.empty()) {
        strText += listHeading("Changed keys", changedKeys.size()) + "| key |\n|---|\n";
        for (std::size_t i = 0; i < changedKeys.size() && i < kMarkdownKeysShown; ++i)
            strText += "| " + cell(changedKeys[i]) + " |\n";
    }
    if (!errors.empty()) {
        strText += listHeading("Failures", errors.size()) +
                   "| stage | key or file | code | HTTP | message |\n|---|---|---|---:|---|\n";
        for (std::size_t i = 0; i < errors.size() && i < kMarkdownKeysShown; ++i) {
            const ErrorEvent &error = errors[i];
            strText += "| " + error.strStage + " | " +
                       cell(error.strKey.empty() ? error.strPath : error.strKey) + " | " +
                       codeCell(error.strCode) + " | " +
                       (error.nHttp > 0 ? std::to_string(error.nHttp) : std::string()) + " | " +
                       cell(error.strMessage) +
                       (error.strHint.empty() ? std::string() : " (" + cell(error.strHint) + ")") +
                       " |\n";
        }
    }
    return strText;
}

bool appendMarkdownSummary(const std::string &strPath, const std::string &strText)
{
    const int fd = ::open(strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    bool bOk = fd >= 0;
    int nErrno = errno;
    for (std::size_t done = 0; bOk && done < strText.size();) {
        const ssize_t n = ::write(fd, strText.data() + done, strText.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            nErrno = errno;
            bOk = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (fd >= 0 && ::close(fd) != 0 && bOk) {
        nErrno = errno;
        bOk = false;
    }
    if (!bOk)
        printLine("cannot write the Markdown summary: " + consoleText(strPath) + " (" +
                  std::strerror(nErrno) + ")");
    return bOk;
}
