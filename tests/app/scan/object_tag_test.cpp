// A record's tag comes back exactly as it was given, and compares with text
// as the text itself would, whether it is held as a digest's bytes or not.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "object_tag.h"

namespace {

TEST(ObjTag, EveryTagComesBackAsGivenAndComparesAsItsText)
{
    const std::string kNul("ab\0cd", 5);
    const std::vector<std::string> tags = {
        "",
        "d41d8cd98f00b204e9800998ecf8427e",   // an MD5: held as its bytes
        "D41D8CD98F00B204E9800998ECF8427E",   // upper case is another text
        "d41d8cd98f00b204e9800998ecf8427e-2", // a multipart upload's
        "d41d8cd98f00b204e9800998ecf8427",    // 31 digits
        "d41d8cd98f00b204e9800998ecf8427g",   // not hex
        "abc",
        kNul,
        std::string(300, 'x'),
    };
    for (const std::string &given : tags) {
        SCOPED_TRACE(given);
        const ObjTag tag(given);
        EXPECT_EQ(tag.str(), given);
        EXPECT_EQ(tag.size(), given.size());
        EXPECT_EQ(tag.empty(), given.empty());
        for (const std::string &other : tags) {
            EXPECT_EQ(tag == other, given == other) << other;
            EXPECT_EQ(tag == ObjTag(other), given == other) << other;
            EXPECT_EQ(tag != other, given != other) << other;
        }
        // Copies and moves are independent values.
        ObjTag copy = tag;
        ObjTag moved = std::move(copy);
        copy = "later";
        EXPECT_EQ(moved.str(), given);
        EXPECT_EQ(copy.str(), "later");
        moved = moved;
        EXPECT_EQ(moved, tag);
    }
}

} // namespace
