// markdown_summary.h - the run's short report for a person reading a CI job:
// counts, bytes, time, the first changed keys as a table and the failures
// with their codes, appended to GITHUB_STEP_SUMMARY or --summary-markdown.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "events.h"
#include "report.h"

// Changed keys and failures listed at most.
constexpr std::size_t kMarkdownKeysShown = 50;

// The report as Markdown, ending in a newline. Keys, paths and messages are
// made safe for a table cell (no line breaks, "|" and Markdown's marks
// escaped, control bytes as \xHH).
std::string markdownSummary(const RunSummary &summary, bool bOk,
                            const std::vector<std::string> &changedKeys,
                            const std::vector<ErrorEvent> &errors);

// Appends strText to the file strPath (made when missing). False, after one
// line naming the file and the reason, when it cannot be written.
bool appendMarkdownSummary(const std::string &strPath, const std::string &strText);
