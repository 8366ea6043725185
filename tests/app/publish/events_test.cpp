// The JSON lines of a run: strings escaped so that any bytes give valid JSON
// (bytes that are not UTF-8 as \u00XX), and events that a JSON reader takes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>

#include "events.h"
#include "report.h"

namespace {

TEST(JsonString, EveryByteGivesValidJsonAndUtf8StaysAsItIs)
{
    const struct {
        std::string in;
        std::string out;
    } rows[] = {
        {"", "\"\""},
        {"a/b c.html", "\"a/b c.html\""},
        {"say \"hi\" \\ there", "\"say \\\"hi\\\" \\\\ there\""},
        {"tab\tline\ncr\r", "\"tab\\tline\\ncr\\r\""},
        {std::string("nul\0x", 5), "\"nul\\u0000x\""},
        {"\x01\x1f\x7f", "\"\\u0001\\u001f\\u007f\""},
        // Well-formed UTF-8 of two, three and four bytes, as it is.
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
        // Latin-1, a lone continuation byte, an overlong form, a surrogate, a
        // byte that never starts a sequence, a sequence cut short.
        {"caf\xe9", "\"caf\\u00e9\""},
        {"\x80", "\"\\u0080\""},
        {"\xc0\xaf", "\"\\u00c0\\u00af\""},
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},
        {"\xf5\x80\x80\x80", "\"\\u00f5\\u0080\\u0080\\u0080\""},
        {"\xe2\x82", "\"\\u00e2\\u0082\""},
        {"\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""}, // above U+10FFFF
    };
    for (const auto &row : rows) {
        const std::string out = jsonString(row.in);
        EXPECT_EQ(out, row.out);
        // A strict reader takes it, and reads UTF-8 back as it was.
        const nlohmann::json parsed = nlohmann::json::parse(out, nullptr, false);
        ASSERT_FALSE(parsed.is_discarded()) << out;
    }
    EXPECT_EQ(nlohmann::json::parse(jsonString("caf\xc3\xa9")).get<std::string>(), "caf\xc3\xa9");
}

TEST(JsonEvent, FieldsFollowTheEventAndItsVersionInOrder)
{
    JsonEvent event("upload");
    event.text("key", "a\"b").number("bytes", uint64_t(18446744073709551615u)).number("n", -3);
    event.decimal("seconds", 1.23456).flag("forced", true);
    const std::string line = event.line();
    EXPECT_EQ(line, "{\"event\":\"upload\",\"v\":1,\"key\":\"a\\\"b\",\"bytes\":18446744073709551615,"
                    "\"n\":-3,\"seconds\":1.235,\"forced\":true}");
    const nlohmann::json parsed = nlohmann::json::parse(line);
    EXPECT_EQ(parsed["bytes"].get<uint64_t>(), 18446744073709551615u);
}

TEST(JsonEvent, ErrorsAreKeptForTheReportWhetherOrNotEventsAreWritten)
{
    const std::size_t nBefore = runErrors().size();
    setJsonEvents(false);
    emitError({"upload", "k", "/p", "AccessDenied", 403, "no", "hint"});
    ASSERT_EQ(runErrors().size(), nBefore + 1);
    EXPECT_EQ(runErrors().back().strCode, "AccessDenied");
    EXPECT_EQ(runErrors().back().nHttp, 403);
}

} // namespace
