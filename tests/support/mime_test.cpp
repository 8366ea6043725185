// Content types chosen from file names.
#include "mime.h"

#include <cctype>
#include <map>
#include <string>

#include <gtest/gtest.h>

namespace {

struct TypeCase {
    const char *path;
    const char *type;
};

std::string upper(std::string s)
{
    for (char &c : s) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

TEST(ContentType, CurrentWebFormatsInAnyCase)
{
    const TypeCase cases[] = {
        {".svg", "image/svg+xml"},
        {".webp", "image/webp"},
        {".avif", "image/avif"},
        {".json", "application/json"},
        {".webmanifest", "application/manifest+json"},
        {".mjs", "text/javascript"},
        {".wasm", "application/wasm"},
        {".woff", "font/woff"},
        {".woff2", "font/woff2"},
        {".ttf", "font/ttf"},
        {".otf", "font/otf"},
        {".mp4", "video/mp4"},
        {".m4v", "video/mp4"},
        {".webm", "video/webm"},
        {".ogg", "audio/ogg"},
        {".m4a", "audio/mp4"},
        {".ics", "text/calendar"},
        {".md", "text/markdown"},
        {".rss", "application/rss+xml"},
        {".atom", "application/atom+xml"},
        {".epub", "application/epub+zip"},
        {".css", "text/css"},
    };
    for (const TypeCase &c : cases) {
        const std::string lower = std::string("/site/assets/file") + c.path;
        EXPECT_EQ(getFileContentType(lower), c.type) << lower;
        EXPECT_EQ(getFileContentType(upper(lower)), c.type) << upper(lower);
    }
}

TEST(ContentType, LongstandingRowsKeepTheirTypes)
{
    const TypeCase cases[] = {
        {"/site/index.html", "text/html"},
        {"/site/old/page.htm", "text/html"},
        {"/site/PHOTO.JPG", "image/jpeg"},
        {"/site/Photo.JpEg", "image/jpeg"},
        {"/site/logo.png", "image/png"},
        {"/site/app.js", "application/x-javascript"},
        {"/site/song.mp3", "audio/mpeg3"},
        {"/site/feed.xml", "application/xml"},
        {"/site/model.3dm", "x-world/x-3dmf"},
        {"/site/cache.pyc", "applicaiton/x-bytecodep.ython"},
        {"/site/plan.dwf", "drawing/x-dwf (old)"},
        {"/site/site.tar.gz", "application/x-compressed"},
        {"/site/src/main.c++", "text/plain"},
        {"/site/src/Main.JAVA", "text/plain"},
        // A source map keeps the older row that came first in the table.
        {"/site/app.js.map", "application/x-navimap"},
        // A name that is only an extension is looked up as one.
        {"/site/.c", "text/plain"},
    };
    for (const TypeCase &c : cases) {
        EXPECT_EQ(getFileContentType(c.path), c.type) << c.path;
    }
}

TEST(ContentType, MissingOrUnknownExtensionGivesDefault)
{
    const char *const paths[] = {
        "",
        "README",
        "/site/README",
        "/site/release.2/README",  // the last full stop is in a folder name
        "/site/archive.",
        "/site/file.unknownext",
        "/site/file.htmlx",
        "/site/file.HTM ",
        ".",
        "/site/image.jpg/",
    };
    for (const char *p : paths) {
        EXPECT_EQ(getFileContentType(p), "application/octet-stream") << '"' << p << '"';
    }
    // Bytes outside ASCII never match a row, and are not case-folded.
    EXPECT_EQ(getFileContentType(std::string("a.\xC3\xA9")), "application/octet-stream");
}

TEST(ContentType, TableRowsAreWellFormedAndFirstRowWins)
{
    // 447 longstanding extensions plus the 21 newer ones that do not repeat
    // an older row.
    EXPECT_EQ(mimeTypeCount(), 468u);
    EXPECT_EQ(mimeTypeMapSize, 469u);

    std::map<std::string, std::string> firstRow;
    for (std::size_t i = 0; i < mimeTypeMapSize; ++i) {
        const std::string ext = mimeTypeMap[i].ext;
        ASSERT_GE(ext.size(), 2u) << i;
        EXPECT_EQ(ext[0], '.') << ext;
        EXPECT_EQ(ext.find('/'), std::string::npos) << ext;
        EXPECT_EQ(ext.rfind('.'), 0u) << ext;
        for (char c : ext) {
            EXPECT_FALSE(c >= 'A' && c <= 'Z') << ext;
        }
        EXPECT_NE(std::string(mimeTypeMap[i].type), "") << ext;
        firstRow.emplace(ext, mimeTypeMap[i].type);
    }
    EXPECT_EQ(firstRow.size(), mimeTypeCount());
    for (const auto &row : firstRow) {
        EXPECT_EQ(getFileContentType("f" + row.first), row.second) << row.first;
    }
}

TEST(ContentType, MapOrderIgnoresAsciiCase)
{
    const MimeMapComp less;
    EXPECT_FALSE(less(".JPG", ".jpg"));
    EXPECT_FALSE(less(".jpg", ".JPG"));
    EXPECT_TRUE(less(".jpg", ".jpeg"));  // shorter first
    EXPECT_FALSE(less(".jpeg", ".jpg"));
    EXPECT_TRUE(less(".a", ".B"));
}

}  // namespace
