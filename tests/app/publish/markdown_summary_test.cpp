// The Markdown summary for a CI job: the counts, the first changed keys and
// the failures as tables whose cells no name can break.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "markdown_summary.h"
#include "tempdir.h"

namespace {

std::size_t count(const std::string &text, const std::string &part)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

TEST(MarkdownSummary, CountsKeysAndFailuresWithNamesThatCannotBreakTheTable)
{
    RunSummary summary;
    summary.nSent = 1234;
    summary.nBytesSent = 1400000;
    summary.nFailed = 1;
    summary.seconds = 2.05;
    std::vector<std::string> keys = {"a|b.html", "x\ny.html", "<script>.html"};
    for (int i = 0; i < 60; ++i)
        keys.push_back("k" + std::to_string(i));
    const std::string md = markdownSummary(
        summary, false, keys, {{"upload", "k|1", "/p", "AccessDenied", 403, "Access | Denied", "fix it"}});
    EXPECT_EQ(md.rfind("### sitemirror: failed\n", 0), 0u) << md;
    EXPECT_NE(md.find("| 1,234 | 1.4 MB | 1 | 0 | 0 | 0 | 0 | 2.0 s |\n"), std::string::npos) << md;
    EXPECT_NE(md.find("**Changed keys** (63, the first 50 shown)"), std::string::npos) << md;
    // 50 rows: the three above and k0 to k46.
    EXPECT_NE(md.find("\n| k46 |\n"), std::string::npos) << md;
    EXPECT_EQ(md.find("\n| k47 |\n"), std::string::npos) << md;
    EXPECT_EQ(count(md, "\n| upload |"), 1u);
    EXPECT_NE(md.find("| a\\|b.html |\n"), std::string::npos) << md;
    EXPECT_NE(md.find("| x\\\\x0Ay.html |\n"), std::string::npos) << md;
    EXPECT_NE(md.find("| \\<script\\>.html |\n"), std::string::npos) << md;
    EXPECT_NE(md.find("| upload | k\\|1 | AccessDenied | 403 | Access \\| Denied (fix it) |\n"),
              std::string::npos)
        << md;

    summary = RunSummary();
    summary.bDryRun = true;
    const std::string dry = markdownSummary(summary, true, {}, {});
    EXPECT_EQ(dry.rfind("### sitemirror: dry run\n", 0), 0u);
    EXPECT_EQ(dry.find("Changed keys"), std::string::npos);
    EXPECT_EQ(dry.find("Failures"), std::string::npos);
}

TEST(MarkdownSummary, IsAppendedAndAFileThatCannotBeWrittenFails)
{
    TempDir dir;
    const std::string strPath = dir.write("summary.md", "before\n");
    ASSERT_TRUE(appendMarkdownSummary(strPath, "after\n"));
    std::ifstream in(strPath);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "before\nafter\n");
    EXPECT_FALSE(appendMarkdownSummary(dir.path() + "/no/such/dir/s.md", "x"));
}

} // namespace
