// Where a listing is cut into ranges: none below two pages' worth of keys,
// then every kKeysPerRange-th key in byte order, behind the prefix.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "listing_ranges.h"

namespace {

std::vector<std::string> cutsFor(std::size_t nKeys, const std::string &strPrefix)
{
    std::vector<std::string> keys;
    char sz[32];
    for (std::size_t i = 0; i < nKeys; ++i) {
        std::snprintf(sz, sizeof sz, "k%06zu", i);
        keys.push_back(sz);
    }
    std::vector<const std::string *> sorted;
    for (const std::string &key : keys)
        sorted.push_back(&key);
    return rangeCuts(sorted, strPrefix);
}

TEST(RangeCuts, NoneBelowTwoPagesThenEveryNineHundredthKeyBehindThePrefix)
{
    const struct {
        std::size_t nKeys;
        std::vector<std::string> cuts;
    } rows[] = {
        {0, {}},
        {1, {}},
        {2 * kListPageSize - 1, {}},
        {2 * kListPageSize, {"k000900", "k001800"}},
        {2700, {"k000900", "k001800"}},
        {2701, {"k000900", "k001800", "k002700"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.nKeys);
        EXPECT_EQ(cutsFor(row.nKeys, ""), row.cuts);
    }
    std::vector<std::string> cuts = cutsFor(2000, "site/");
    EXPECT_EQ(cuts, (std::vector<std::string>{"site/k000900", "site/k001800"}));
    // 100,000 keys: ranges of 900 each, the last one shorter.
    EXPECT_EQ(cutsFor(100000, "").size(), 111u);
}

} // namespace
