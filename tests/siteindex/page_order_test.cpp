// The page written as the walk goes against the page of a sorted map of
// every row (how it was always composed): the same bytes for random trees of
// awkward names, sizes whose tags reorder names ("a.b[1K]" < "a[3K]"), and
// the awkward-names site of the tests.
#include "myListTool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/stat.h>

#include "../support/random_tree.h"
#include "../support/temp_dir.h"

namespace {

// File sizes (on both sides of the size tags' steps for the page).
const std::vector<std::size_t> kSizes = {0, 7, 1023, 1024, 2047, 2048, 3000};

const std::vector<std::string> kNames = {"a",  "a-b", "a0", "a.b", "a b", "-",  "~x", "\x01", "\xc3\xa9",
                                         "!", "a[1]", "a]", "Z", "b", "a-", "a.", ".hid", "x%y", "q\"",
                                         "a[", "0", "ab", "a.html", "a.html.bak", "personal", "repo.git"};


std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The page as composed from a sorted map of every row.
std::string pageOfMap(const std::string &root, const std::string &site)
{
    siteindex::StringMap rows;
    siteindex::walkRows(root, site, "", siteindex::PathFilter(),
                        [&rows](const std::string &key, const std::string &url) { rows.emplace(key, url); });
    char *buffer = nullptr;
    std::size_t size = 0;
    FILE *out = open_memstream(&buffer, &size);
    siteindex::writePage(out, rows, site);
    std::fclose(out);
    std::string page(buffer, size);
    std::free(buffer);
    return page;
}

TEST(PageOrder, TheWalkWritesTheRowsInTheOrderOfASortedMap)
{
    const std::string site = "https://www.example.org";
    for (unsigned seed = 1; seed <= 30; ++seed) {
        SCOPED_TRACE(seed);
        TempDir dir;
        std::mt19937 rng(seed);
        growRandomTree(dir.path(), kNames, kSizes, rng);
        std::vector<std::string> keys;
        siteindex::walkRows(dir.path(), site, "", siteindex::PathFilter(),
                            [&keys](const std::string &key, const std::string &) { keys.push_back(key); });
        EXPECT_TRUE(std::adjacent_find(keys.begin(), keys.end(), [](const std::string &a, const std::string &b) {
                        return !(a < b);
                    }) == keys.end());
        const std::string expected = pageOfMap(dir.path(), site);
        ASSERT_TRUE(myListTool(dir.path(), site));
        EXPECT_EQ(readFile(dir / siteindex::targetFileName), expected);
    }
}

TEST(PageOrder, TheAwkwardNamesSiteGivesTheSameBytesBothWays)
{
    // Names that need encoding, quoting or escaping, and names whose order
    // the size tag or a folder's "/" decides.
    const std::vector<std::pair<std::string, std::size_t>> files = {
        {"50%off.html", 5}, {"a%2Fb.html", 5}, {"\"quoted\".html", 5}, {"'single'.html", 5},
        {"ctl\x01.html", 5}, {"tab\tname.html", 5}, {"a+b c.html", 5}, {"amp&lt;.html", 5},
        {"x<y>.html", 5}, {"~tilde.html", 5}, {"nonchar\xef\xbf\xbe.html", 5}, {"\xc3\xbc-umlaut.html", 5},
        {"A.txt", 1024}, {"a.txt", 1024}, {"a/b.txt", 1024}, {"a.html.bak", 1024}, {"a.html", 3072},
        {"x[1].txt", 10}, {"docs/My File.txt", 3000}, {"a-b/c.txt", 1}, {"a0", 1}, {"a b/c", 1}};
    TempDir dir;
    for (const auto &file : files) {
        const std::string path = dir / file.first;
        ::mkdir(path.substr(0, path.rfind('/')).c_str(), 0755);
        std::ofstream(path, std::ios::binary) << std::string(file.second, 'x');
    }
    const std::string site = "https://www.example.org";
    const std::string expected = pageOfMap(dir.path(), site);
    ASSERT_TRUE(myListTool(dir.path(), site));
    EXPECT_EQ(readFile(dir / siteindex::targetFileName), expected);
    // The rows in the order the page's keys give them.
    const std::string page = readFile(dir / siteindex::targetFileName);
    EXPECT_LT(page.find("/A.txt[1K]"), page.find("/a.txt[1K]"));
    EXPECT_LT(page.find("/a.html.bak[1K]"), page.find("/a.html[3K]"));
    EXPECT_LT(page.find("/a-b/c.txt"), page.find("/a.html.bak"));
    EXPECT_LT(page.find("/a/b.txt[1K]"), page.find("/a0[1B]"));
}

} // namespace
