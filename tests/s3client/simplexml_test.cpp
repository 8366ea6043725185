// The streaming XML reader: the same calls whatever the piece sizes, sticky
// failures and refusals, path limits, entities and CDATA; and the access
// control list conversion built on it.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "simplexml.h"

namespace {

// One callback as seen by the user: text (joined when consecutive for the
// same path) or an end.
struct Event
{
    std::string path;
    bool end;
    std::string text;
    bool operator==(const Event &o) const
    {
        return path == o.path && end == o.end && text == o.text;
    }
};

std::ostream &operator<<(std::ostream &os, const Event &e)
{
    return os << (e.end ? "end " : "text ") << e.path << " [" << e.text << "]";
}

struct Recorder
{
    std::vector<Event> events;
    int calls = 0;
    int textCalls = 0;
    int refuseAtCall = -1;           // 0-based; -1: never
    S3Status refusal = S3StatusAbortedByCallback;
};

S3Status record(const char *path, const char *data, int len, void *cbData)
{
    Recorder *r = (Recorder *) cbData;
    const int call = r->calls++;
    if (data) {
        ++r->textCalls;
        if (!r->events.empty() && !r->events.back().end &&
            r->events.back().path == path) {
            r->events.back().text.append(data, (size_t) len);
        }
        else {
            r->events.push_back({path, false, std::string(data, (size_t) len)});
        }
    }
    else {
        EXPECT_EQ(len, 0);
        r->events.push_back({path, true, ""});
    }
    return (call == r->refuseAtCall) ? r->refusal : S3StatusOK;
}

// Feeds doc cut at the given sizes (cycled); returns the last status.
S3Status feed(const std::string &doc, const std::vector<size_t> &sizes,
              Recorder *rec)
{
    SimpleXml xml;
    simplexml_initialize(&xml, record, rec);
    S3Status status = S3StatusOK;
    size_t i = 0, k = 0;
    while (i < doc.size()) {
        const size_t n = std::min(sizes[k++ % sizes.size()], doc.size() - i);
        status = simplexml_add(&xml, doc.data() + i, (int) n);
        i += n;
    }
    simplexml_deinitialize(&xml);
    return status;
}

std::vector<std::vector<size_t>> piece_plans(size_t docSize)
{
    std::vector<std::vector<size_t>> plans = {{docSize}, {1}, {2}, {7}};
    std::mt19937 rng(4242);
    for (int p = 0; p < 5; ++p) {
        std::vector<size_t> plan;
        for (int i = 0; i < 50; ++i) {
            plan.push_back(1 + rng() % 40);
        }
        plans.push_back(plan);
    }
    return plans;
}

TEST(SimpleXml, SameCallsWhateverThePieces)
{
    const struct
    {
        std::string doc;
        std::vector<Event> expected;
    } rows[] = {
        {"<a><b>x</b><c/></a>",
         {{"a/b", false, "x"}, {"a/b", true, ""}, {"a/c", true, ""},
          {"a", true, ""}}},
        // Whitespace between elements belongs to the enclosing element;
        // entities, character references and CDATA join the text.
        {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<ListBucketResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">\n"
         "  <Contents><Key>a &amp; b &lt;&#67;&#x44;&gt; &quot;&apos;</Key>"
         "<Size>42</Size></Contents>\n"
         "  <Key><![CDATA[<raw> & ]]>tail</Key>\n"
         "</ListBucketResult>",
         {{"ListBucketResult", false, "\n  "},
          {"ListBucketResult/Contents/Key", false, "a & b <CD> \"'"},
          {"ListBucketResult/Contents/Key", true, ""},
          {"ListBucketResult/Contents/Size", false, "42"},
          {"ListBucketResult/Contents/Size", true, ""},
          {"ListBucketResult/Contents", true, ""},
          {"ListBucketResult", false, "\n  "},
          {"ListBucketResult/Key", false, "<raw> & tail"},
          {"ListBucketResult/Key", true, ""},
          {"ListBucketResult", false, "\n"},
          {"ListBucketResult", true, ""}}},
        // Prefixes stay part of the name; attributes are not reported.
        {"<s3:R xmlns:s3='u' a='1'><s3:E b=\"2\">t</s3:E></s3:R>",
         {{"s3:R/s3:E", false, "t"}, {"s3:R/s3:E", true, ""},
          {"s3:R", true, ""}}},
        // Multi-byte UTF-8 text split anywhere arrives whole.
        {"<k>fran\xc3\xa7" "ais \xe2\x82\xac</k>",
         {{"k", false, "fran\xc3\xa7" "ais \xe2\x82\xac"}, {"k", true, ""}}},
    };
    for (const auto &r : rows) {
        for (const auto &plan : piece_plans(r.doc.size())) {
            Recorder rec;
            EXPECT_EQ(feed(r.doc, plan, &rec), S3StatusOK);
            EXPECT_EQ(rec.events, r.expected) << "first piece " << plan[0];
        }
    }
}

TEST(SimpleXml, EntityTextComesInSeveralCalls)
{
    Recorder rec;
    ASSERT_EQ(feed("<a>x &amp; y</a>", {100}, &rec), S3StatusOK);
    EXPECT_GT(rec.textCalls, 1);
    ASSERT_FALSE(rec.events.empty());
    EXPECT_EQ(rec.events[0].text, "x & y");
}

TEST(SimpleXml, MalformedDocumentsFail)
{
    const char *const docs[] = {
        "<a></b>",
        "<a><b></a></b>",
        "plain text, not XML",
        "<a>&bogus;</a>",
        "<a x='1' x='2'/>",
        "<a></a><b></b>",
        "<a>\x01</a>",
        "<a>\xff\xfe</a>",
        "</a>",
    };
    for (const char *doc : docs) {
        for (const auto &plan : piece_plans(strlen(doc))) {
            Recorder rec;
            EXPECT_EQ(feed(doc, plan, &rec), S3StatusXmlParseFailure) << doc;
        }
    }
}

// On request, references to the control characters XML forbids read as their
// URL encoding, whatever the pieces; every other reference is left to the
// parser, and so are the forbidden ones when not asked.
TEST(SimpleXml, ControlCharacterReferencesReadAsTheirUrlEncoding)
{
    const struct {
        const char *doc;
        const char *text; // nullptr: the document fails
        int escaped;
    } rows[] = {
        {"<a>x&#x01;y&#2;z&#x1F;</a>", "x%01y%02z%1F", 3},
        {"<a>&#x41;&#65;&amp;&#x9;&#10;&lt;</a>", "AA&\t\n<", 0},
        {"<a>&#x;&#1</a>", nullptr, 0},
        {"<a>&#xD800;</a>", nullptr, 0},
        {"<a>&#x0000000001;</a>", "%01", 1},
        {"<a>&&#x01;</a>", nullptr, 1},
        // Written raw: control bytes and the two noncharacters XML forbids;
        // other characters that begin with the same byte stay as they are.
        {"<a>x\x01y\x1f</a>", "x%01y%1F", 2},
        {"<a>n\xef\xbf\xbe.\xef\xbf\xbf</a>", "n%EF%BF%BE.%EF%BF%BF", 2},
        {"<a>\xef\xbf\xbd\xef\xbc\x81</a>", "\xef\xbf\xbd\xef\xbc\x81", 0},
    };
    for (const auto &row : rows) {
        for (const auto &plan : piece_plans(strlen(row.doc))) {
            Recorder rec;
            SimpleXml xml;
            simplexml_initialize(&xml, record, &rec);
            simplexml_escape_control_references(&xml);
            const std::string doc = row.doc;
            S3Status status = S3StatusOK;
            size_t i = 0, k = 0;
            while (i < doc.size() && status == S3StatusOK) {
                const size_t n = std::min(plan[k++ % plan.size()], doc.size() - i);
                status = simplexml_add(&xml, doc.data() + i, (int) n);
                i += n;
            }
            if (status == S3StatusOK) {
                status = simplexml_finish(&xml);
            }
            if (row.text) {
                ASSERT_EQ(S3StatusOK, status) << row.doc;
                ASSERT_FALSE(rec.events.empty());
                EXPECT_EQ(row.text, rec.events[0].text) << row.doc;
                EXPECT_EQ(row.escaped, xml.controlReferencesEscaped) << row.doc;
            } else {
                EXPECT_EQ(S3StatusXmlParseFailure, status) << row.doc;
            }
            simplexml_deinitialize(&xml);
        }
        Recorder plain;
        if (row.escaped) {
            EXPECT_EQ(S3StatusXmlParseFailure, feed(row.doc, {strlen(row.doc)}, &plain)) << row.doc;
        }
    }
}

TEST(SimpleXml, DocumentTypeDeclarationsDefineNothing)
{
    const char *const docs[] = {
        "<!DOCTYPE a [<!ENTITY e \"boom\">]><a>&e;</a>",
        "<!DOCTYPE a [<!ENTITY e SYSTEM \"file:///etc/hostname\">]><a>&e;</a>",
        "<!DOCTYPE a [<!ENTITY x \"xx\"><!ENTITY y \"&x;&x;&x;&x;\">]>"
        "<a>&y;</a>",
    };
    for (const char *doc : docs) {
        Recorder rec;
        feed(doc, {1000}, &rec);
        for (const Event &e : rec.events) {
            EXPECT_EQ(e.text, "") << doc;
        }
    }
}

TEST(SimpleXml, ARefusalStopsEverythingForGood)
{
    // Refuse at the first text, at an end call, at the last end.
    for (int refuseAt : {0, 1, 3}) {
        Recorder rec;
        rec.refuseAtCall = refuseAt;
        rec.refusal = S3StatusErrorSlowDown;
        SimpleXml xml;
        simplexml_initialize(&xml, record, &rec);
        const std::string doc = "<a><b>x</b><c/></a>";
        std::vector<S3Status> results;
        for (char c : doc) {
            results.push_back(simplexml_add(&xml, &c, 1));
        }
        results.push_back(simplexml_add(&xml, " \n", 2));
        simplexml_deinitialize(&xml);

        EXPECT_EQ(rec.calls, refuseAt + 1);
        EXPECT_EQ(results.back(), S3StatusErrorSlowDown);
        // Once refused, every later piece reports the refusal.
        bool refused = false;
        for (S3Status s : results) {
            if (s != S3StatusOK) {
                refused = true;
            }
            if (refused) {
                EXPECT_EQ(s, S3StatusErrorSlowDown);
            }
        }
    }
}

TEST(SimpleXml, PathLimits)
{
    // The outermost name counts one separator: 510 fit, 511 do not.
    for (size_t n : {510u, 511u}) {
        const std::string name(n, 'r');
        Recorder rec;
        const S3Status s = feed("<" + name + ">t</" + name + ">", {4096}, &rec);
        if (n == 510) {
            EXPECT_EQ(s, S3StatusOK);
            EXPECT_EQ(rec.events.size(), 2u);
        }
        else {
            EXPECT_EQ(s, S3StatusXmlParseFailure);
            EXPECT_TRUE(rec.events.empty());
        }
    }
    // A nested path of exactly 511 characters, then one more.
    const std::string outer(255, 'o');
    for (size_t n : {255u, 256u}) {
        const std::string inner(n, 'i');
        Recorder rec;
        const S3Status s = feed("<" + outer + "><" + inner + ">t</" + inner +
                                    "></" + outer + ">",
                                {3}, &rec);
        EXPECT_EQ(s, n == 255 ? S3StatusOK : S3StatusXmlParseFailure);
        if (n == 255) {
            ASSERT_FALSE(rec.events.empty());
            EXPECT_EQ(rec.events[0].path.size(), 511u);
        }
    }
}

TEST(SimpleXml, LifecycleWithoutDataAndReuse)
{
    SimpleXml xml;
    Recorder rec;
    simplexml_initialize(&xml, record, &rec);
    simplexml_deinitialize(&xml);  // never received data
    EXPECT_EQ(xml.xmlParser, nullptr);

    // Initialised again, the reader reads a new document from scratch.
    simplexml_initialize(&xml, record, &rec);
    EXPECT_EQ(simplexml_add(&xml, "<a>1</a>", 8), S3StatusOK);
    simplexml_deinitialize(&xml);
    simplexml_initialize(&xml, record, &rec);
    EXPECT_EQ(simplexml_add(&xml, "<b>2</b>", 8), S3StatusOK);
    simplexml_deinitialize(&xml);
    EXPECT_EQ(rec.events,
              (std::vector<Event>{{"a", false, "1"}, {"a", true, ""},
                                  {"b", false, "2"}, {"b", true, ""}}));

    // A truncated document keeps what was read; open elements get no end.
    Recorder partial;
    EXPECT_EQ(feed("<a><b>x</b><c>y", {5}, &partial), S3StatusOK);
    EXPECT_EQ(partial.events.size(), 2u);
}

// --------------------------------------------------- access control lists

std::string grant(const std::string &grantee, const std::string &permission)
{
    return "<Grant><Grantee xmlns:xsi=\"http://www.w3.org/2001/"
           "XMLSchema-instance\" xsi:type=\"X\">" +
           grantee + "</Grantee><Permission>" + permission +
           "</Permission></Grant>";
}

std::string acl_doc(const std::string &ownerId, const std::string &grants)
{
    return "<AccessControlPolicy><Owner><ID>" + ownerId +
           "</ID><DisplayName>owner name</DisplayName></Owner>"
           "<AccessControlList>" +
           grants + "</AccessControlList></AccessControlPolicy>";
}

struct AclResult
{
    S3Status status;
    char ownerId[S3_MAX_GRANTEE_USER_ID_SIZE];
    char ownerDisplayName[S3_MAX_GRANTEE_DISPLAY_NAME_SIZE];
    int count;
    S3AclGrant grants[S3_MAX_ACL_GRANT_COUNT];
};

void convert(const std::string &doc, AclResult *r)
{
    r->status = S3_convert_acl(doc.c_str(), r->ownerId, r->ownerDisplayName,
                               &r->count, r->grants);
}

TEST(ConvertAcl, EveryGranteeKindAndPermission)
{
    const std::string doc = acl_doc(
        "owner-id",
        grant("<EmailAddress>who@example.com</EmailAddress>", "READ") +
            grant("<ID>user-id</ID><DisplayName>User</DisplayName>", "WRITE") +
            grant("<URI>http://acs.amazonaws.com/groups/global/"
                  "AuthenticatedUsers</URI>",
                  "READ_ACP") +
            grant("<URI>http://acs.amazonaws.com/groups/global/AllUsers</URI>",
                  "WRITE_ACP") +
            grant("<URI>http://acs.amazonaws.com/groups/s3/LogDelivery</URI>",
                  "FULL_CONTROL"));
    AclResult r;
    convert(doc, &r);
    ASSERT_EQ(r.status, S3StatusOK);
    EXPECT_STREQ(r.ownerId, "owner-id");
    EXPECT_STREQ(r.ownerDisplayName, "owner name");
    ASSERT_EQ(r.count, 5);
    EXPECT_EQ(r.grants[0].granteeType, S3GranteeTypeAmazonCustomerByEmail);
    EXPECT_STREQ(r.grants[0].grantee.amazonCustomerByEmail.emailAddress,
                 "who@example.com");
    EXPECT_EQ(r.grants[1].granteeType, S3GranteeTypeCanonicalUser);
    EXPECT_STREQ(r.grants[1].grantee.canonicalUser.id, "user-id");
    EXPECT_STREQ(r.grants[1].grantee.canonicalUser.displayName, "User");
    EXPECT_EQ(r.grants[2].granteeType, S3GranteeTypeAllAwsUsers);
    EXPECT_EQ(r.grants[3].granteeType, S3GranteeTypeAllUsers);
    EXPECT_EQ(r.grants[4].granteeType, S3GranteeTypeLogDelivery);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(r.grants[i].permission, (S3Permission) i);
    }
}

TEST(ConvertAcl, RefusedDocuments)
{
    const std::string user = "<ID>u</ID>";
    const std::string s127(127, 's'), s128(128, 's');
    std::string grants100, grants101;
    for (int i = 0; i < 100; ++i) {
        grants100 += grant(user, "READ");
    }
    grants101 = grants100 + grant(user, "READ");

    const struct
    {
        std::string doc;
        S3Status status;
    } rows[] = {
        {acl_doc("o", grants100), S3StatusOK},
        {acl_doc("o", grants101), S3StatusTooManyGrants},
        {acl_doc("o", grant("<URI>http://example.com/group</URI>", "READ")),
         S3StatusBadGrantee},
        {acl_doc("o", grant("", "READ")), S3StatusBadGrantee},
        {acl_doc("o", grant(user, "read")), S3StatusBadPermission},
        {acl_doc("o", grant(user, std::string(31, 'P'))), S3StatusBadPermission},
        {acl_doc("o", grant(user, std::string(32, 'P'))),
         S3StatusPermissionTooLong},
        {acl_doc(s127, ""), S3StatusOK},
        {acl_doc(s128, ""), S3StatusUserIdTooLong},
        {acl_doc("o", grant("<EmailAddress>" + s127 + "</EmailAddress>",
                            "READ")),
         S3StatusOK},
        {acl_doc("o", grant("<EmailAddress>" + s128 + "</EmailAddress>",
                            "READ")),
         S3StatusEmailAddressTooLong},
        {acl_doc("o", grant("<ID>" + s128 + "</ID>", "READ")),
         S3StatusUserIdTooLong},
        {acl_doc("o", grant("<ID>i</ID><DisplayName>" + s128 +
                                "</DisplayName>",
                            "READ")),
         S3StatusUserDisplayNameTooLong},
        {acl_doc("o", grant("<URI>" + s128 + "</URI>", "READ")),
         S3StatusGroupUriTooLong},
        {"<AccessControlPolicy><Owner>", S3StatusOK},
        {"<AccessControlPolicy></Owner>", S3StatusXmlParseFailure},
        {"", S3StatusOK},
    };
    for (const auto &row : rows) {
        AclResult r;
        convert(row.doc, &r);
        EXPECT_EQ(r.status, row.status) << row.doc.substr(0, 200);
        EXPECT_LE(r.count, S3_MAX_ACL_GRANT_COUNT);
    }

    AclResult r;
    convert(acl_doc(s127, grants100), &r);
    EXPECT_EQ(r.count, 100);
    EXPECT_EQ(strlen(r.ownerId), 127u);
}

// Only a complete, well-formed document finishes well; the end of every
// element has been reported by then.
TEST(SimpleXmlFinish, OnlyAWholeDocumentFinishesWell)
{
    struct Row {
        const char *doc;
        S3Status want;
    } rows[] = {
        {"<a><b>x</b></a>", S3StatusOK},
        {"<a><b>x</b></a>\n  ", S3StatusOK},
        {"", S3StatusXmlParseFailure},
        {"<a><b>x</b>", S3StatusXmlParseFailure},
        {"<a><b>x</b></a><a/>", S3StatusXmlParseFailure},
        {"<a><b>x</b></a", S3StatusXmlParseFailure},
        {"OK", S3StatusXmlParseFailure},
    };
    for (const Row &row : rows) {
        Recorder r;
        SimpleXml xml;
        simplexml_initialize(&xml, record, &r);
        const std::string doc = row.doc;
        if (!doc.empty()) {
            simplexml_add(&xml, doc.data(), (int) doc.size());
        }
        EXPECT_EQ(row.want, simplexml_finish(&xml)) << row.doc;
        if (row.want == S3StatusOK) {
            ASSERT_FALSE(r.events.empty());
            EXPECT_EQ((Event{"a", true, ""}), r.events.back()) << row.doc;
        }
        simplexml_deinitialize(&xml);
    }
}

} // namespace
