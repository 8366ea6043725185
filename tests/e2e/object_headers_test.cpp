// What a publisher sets per object and per run: the rules' further headers
// (disposition, language, expiry, metadata, storage class, canned ACL), a
// canned ACL for every file, a charset for text types, and encryption on
// every kind of upload and on copies in place. "personal" stays private.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness.h"
#include "site.h"

namespace {

using e2e::ToolRun;

// The heads the proxy saw, as (method, target, headers by lower-case name).
struct SeenRequest {
    std::string method;
    std::string target;
    std::map<std::string, std::string> headers;
};

std::vector<SeenRequest> seenRequests(harness::Store &proxy)
{
    std::vector<SeenRequest> seen;
    for (const auto &entry : nlohmann::json::parse(proxy.requestsJson())) {
        SeenRequest request;
        request.method = entry["method"];
        request.target = entry["target"];
        for (const auto &field : entry["headers"]) {
            std::string name = field[0];
            for (char &c : name)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            std::string value = field[1];
            value.erase(0, value.find_first_not_of(' '));
            request.headers[name] = value;
        }
        seen.push_back(request);
    }
    return seen;
}

class ObjectHeaders : public e2e::OnEachStore {};

INSTANTIATE_TEST_SUITE_P(Stores, ObjectHeaders, ::testing::ValuesIn(e2e::kEachStore), e2e::storeCaseName);

// Every rule header lands on the object; a canned ACL for the run and one
// per rule apply outside "personal" only; the charset is added to text
// types (the index page's too) and not to others; a second run sends
// nothing; a changed header reaches the object by a copy in place.
TEST_P(ObjectHeaders, RuleHeadersCannedAclsAndCharsetReachStoredObjects)
{
    site.write("docs/guide.pdf", "%PDF-1.4 guide\n");
    site.write("page.html", "<p>page</p>\n");
    site.write("data.json", "{}\n");
    site.write("logo.png", "png");
    site.write("personal/notes.html", "<p>mine</p>\n");
    writeRulesFile("rules = [\n"
                   "  { match = \"personal/**\", acl = \"public-read\", content_language = \"en\" },\n"
                   "  { match = \"*.pdf\", content_disposition = \"attachment; filename=\\\"guide.pdf\\\"\","
                   " content_language = \"en\", expires = \"Fri, 01 Jan 2038 00:00:00 GMT\","
                   " metadata = { owner = \"docs-team\", review = \"2026\" }, acl = \"public-read\" },\n"
                   "  { match = \"*.html\", cache_control = \"max-age=60\", storage_class = \"STANDARD\" },\n"
                   "]\n");
    const std::map<std::string, std::string> vars = {{"SITEMIRROR_ACL", "authenticated-read"},
                                                     {"SITEMIRROR_CHARSET", "utf-8"}};
    for (int i = 0; i < 3; ++i) { // the index page settles on its own size
        ToolRun mirror = run("", vars);
        ASSERT_EQ(mirror.status, 0) << mirror.out;
    }

    harness::StoredObject pdf = store->getObject(bucket, "docs/guide.pdf");
    EXPECT_EQ(e2e::storedHeader(pdf, "content-disposition"), "attachment; filename=\"guide.pdf\"");
    EXPECT_EQ(e2e::storedHeader(pdf, "content-language"), "en");
    EXPECT_EQ(e2e::storedHeader(pdf, "expires"), "Fri, 01 Jan 2038 00:00:00 GMT");
    EXPECT_EQ(e2e::storedHeader(pdf, "x-amz-meta-owner"), "docs-team");
    EXPECT_EQ(e2e::storedHeader(pdf, "x-amz-meta-review"), "2026");
    EXPECT_EQ(pdf.contentType, "application/pdf"); // no charset for a binary type
    EXPECT_TRUE(store->isPublicRead(bucket, "docs/guide.pdf")); // the rule's ACL

    harness::StoredObject page = store->getObject(bucket, "page.html");
    EXPECT_EQ(page.contentType, "text/html; charset=utf-8");
    EXPECT_EQ(page.storageClass, onRgw() ? "STANDARD" : "");
    EXPECT_EQ(e2e::storedHeader(page, "cache-control"), "max-age=60");
    EXPECT_EQ(store->getObject(bucket, "fileLists.html").contentType, "text/html; charset=utf-8");
    EXPECT_EQ(store->getObject(bucket, "data.json").contentType, "application/json; charset=utf-8");
    EXPECT_EQ(store->getObject(bucket, "logo.png").contentType, "image/png");

    // The run's canned ACL: readable by authenticated users, not by everyone.
    const std::string pageAcl = store->getAclXml(bucket, "page.html");
    EXPECT_NE(pageAcl.find("AuthenticatedUsers"), std::string::npos) << pageAcl;
    EXPECT_FALSE(harness::grantsPublicRead(pageAcl)) << pageAcl;
    // "personal" stays private whatever the rule and the setting say.
    const std::string personalAcl = store->getAclXml(bucket, "personal/notes.html");
    EXPECT_FALSE(harness::grantsPublicRead(personalAcl)) << personalAcl;
    EXPECT_EQ(personalAcl.find("AuthenticatedUsers"), std::string::npos) << personalAcl;
    EXPECT_EQ(e2e::storedHeader(store->getObject(bucket, "personal/notes.html"), "content-language"), "en");

    ToolRun again = run("", vars);
    ASSERT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(e2e::uploadedKeys(again.out), std::set<std::string>()) << again.out;
    EXPECT_EQ(again.out.find("update headers:"), std::string::npos) << again.out;

    // A changed header is mended in place; the other headers stay.
    writeRulesFile("rules = [\n"
                   "  { match = \"personal/**\", acl = \"public-read\", content_language = \"en\" },\n"
                   "  { match = \"*.pdf\", content_disposition = \"inline\","
                   " content_language = \"en\", expires = \"Fri, 01 Jan 2038 00:00:00 GMT\","
                   " metadata = { owner = \"web\" }, acl = \"public-read\" },\n"
                   "  { match = \"*.html\", cache_control = \"max-age=60\", storage_class = \"STANDARD\" },\n"
                   "]\n");
    ToolRun mend = run("", vars);
    ASSERT_EQ(mend.status, 0) << mend.out;
    EXPECT_NE(mend.out.find("update headers: docs/guide.pdf\nsucceed\n"), std::string::npos) << mend.out;
    EXPECT_EQ(e2e::uploadedKeys(mend.out), std::set<std::string>()) << mend.out;
    pdf = store->getObject(bucket, "docs/guide.pdf");
    EXPECT_EQ(e2e::storedHeader(pdf, "content-disposition"), "inline");
    EXPECT_EQ(e2e::storedHeader(pdf, "x-amz-meta-owner"), "web");
    EXPECT_EQ(e2e::storedHeader(pdf, "x-amz-meta-review"), "");
    EXPECT_EQ(e2e::storedHeader(pdf, "expires"), "Fri, 01 Jan 2038 00:00:00 GMT");
    EXPECT_EQ(pdf.body, "%PDF-1.4 guide\n");
    EXPECT_TRUE(store->isPublicRead(bucket, "docs/guide.pdf"));

    // Without a record, a HEAD shows the same: nothing left to mend.
    ToolRun refresh = run("--refresh-headers", {{"SITEMIRROR_ACL", "authenticated-read"},
                                                {"SITEMIRROR_CHARSET", "utf-8"},
                                                {"SITEMIRROR_DIGEST_CACHE", "off"}});
    ASSERT_EQ(refresh.status, 0) << refresh.out;
    EXPECT_EQ(refresh.out.find("update headers:"), std::string::npos) << refresh.out;
}

// SITEMIRROR_ACL=private: no file is readable by everyone, and no ACL
// header is sent (the store's default, private, applies).
TEST_P(ObjectHeaders, PrivateAclKeepsEveryObjectPrivate)
{
    site.write("index.html", "<p>home</p>\n");
    if (proxy())
        proxy()->resetCounters();
    ToolRun mirror = run("", {{"SITEMIRROR_ACL", "private"}});
    ASSERT_EQ(mirror.status, 0) << mirror.out;
    EXPECT_FALSE(harness::grantsPublicRead(store->getAclXml(bucket, "index.html")));
    EXPECT_FALSE(harness::grantsPublicRead(store->getAclXml(bucket, "fileLists.html")));
    if (proxy()) {
        for (const SeenRequest &request : seenRequests(*proxy()))
            EXPECT_EQ(request.headers.count("x-amz-acl"), 0u) << request.method << " " << request.target;
    }
}

// Encryption is asked for by every upload, the creation of every upload in
// parts (not its parts, which a store refuses it on) and every copy in
// place, signed in both versions (the proxy checks); moto keeps it. (radosgw
// takes it only over HTTPS with keys configured, so this runs on moto.)
TEST(Encryption, GoesWithEveryKindOfUploadAndCopy)
{
    e2e::StoreRun run;
    std::map<std::string, std::string> vars = {{"SITEMIRROR_SSE", "AES256"},
                                               {"SITEMIRROR_MULTIPART_THRESHOLD", "5MiB"},
                                               {"SITEMIRROR_PART_SIZE", "5MiB"}};
    for (const char *signature : {"v2", "v4"}) {
        vars["SITEMIRROR_SIGNATURE"] = signature;
        run.site.write("small.txt", std::string("small ") + signature + "\n");
        run.site.write("big.bin", std::string(6 * 1024 * 1024 + 17, signature[1]));
        run.store.resetCounters();
        ToolRun mirror = run.mirror(vars);
        ASSERT_EQ(mirror.status, 0) << mirror.out;
        EXPECT_EQ(run.store.counters().rejected, 0) << signature;
        int nCreates = 0, nParts = 0, nPlain = 0;
        for (SeenRequest &request : seenRequests(run.store)) {
            const bool bSse = request.headers.count("x-amz-server-side-encryption") != 0;
            if (request.method == "POST" && request.target.find("?uploads") != std::string::npos) {
                ++nCreates;
                EXPECT_TRUE(bSse) << request.target;
            } else if (request.method == "PUT" && request.target.find("partNumber=") != std::string::npos) {
                ++nParts;
                EXPECT_FALSE(bSse) << request.target;
            } else if (request.method == "PUT") {
                ++nPlain;
                EXPECT_EQ(request.headers["x-amz-server-side-encryption"], "AES256") << request.target;
            }
        }
        EXPECT_EQ(nCreates, 1) << signature;
        EXPECT_EQ(nParts, 2) << signature;
        EXPECT_GE(nPlain, 2) << signature; // small.txt and the index page
    }
    for (const char *key : {"small.txt", "big.bin", "fileLists.html"})
        EXPECT_EQ(e2e::storedHeader(run.store.getObject(run.bucket, key), "x-amz-server-side-encryption"), "AES256")
            << key;

    // A copy in place keeps the object encrypted.
    e2e::writeRulesFileOf(run.site.base(), "rules = [ { match = \"*.txt\", cache_control = \"no-cache\" } ]\n");
    run.store.resetCounters();
    ToolRun mend = run.mirror(vars);
    ASSERT_EQ(mend.status, 0) << mend.out;
    EXPECT_NE(mend.out.find("update headers: small.txt\nsucceed\n"), std::string::npos) << mend.out;
    harness::StoredObject small = run.store.getObject(run.bucket, "small.txt");
    EXPECT_EQ(e2e::storedHeader(small, "cache-control"), "no-cache");
    EXPECT_EQ(e2e::storedHeader(small, "x-amz-server-side-encryption"), "AES256");
    EXPECT_EQ(run.store.counters().rejected, 0);
}

} // namespace
