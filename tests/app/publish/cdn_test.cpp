// The invalidation's paths for the changed keys, its request document, and
// its V4 signer against the published signature examples.
#include <gtest/gtest.h>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "cdn.h"
#include "s3client/vectors.h"

namespace {

TEST(InvalidationPaths, EachKeyBecomesItsEncodedAddressAndAFolderIndexAlsoItsFolder)
{
    struct Row {
        std::vector<std::string> keys;
        std::size_t nMax;
        std::vector<std::string> paths;
    };
    const Row rows[] = {
        {{"a.html"}, 100, {"/a.html"}},
        {{"dir/index.html"}, 100, {"/dir/", "/dir/index.html"}},
        {{"index.html"}, 100, {"/", "/index.html"}},
        {{"a/b/index.html"}, 100, {"/a/b/", "/a/b/index.html"}},
        // Only a whole name is a folder's index page.
        {{"myindex.html", "dir/myindex.html", "index.htm"},
         100,
         {"/dir/myindex.html", "/index.htm", "/myindex.html"}},
        // Encoded as the index page links them; a double quote as a browser sends it.
        {{"a b/caf\xc3\xa9.html", "q\"&<>#?%+.txt", "it's(1)*~_-.txt"},
         100,
         {"/a%20b/caf%C3%A9.html", "/it's(1)*~_-.txt", "/q%22%26%3C%3E%23%3F%25%2B.txt"}},
        {{"b", "a", "b", "a"}, 100, {"/a", "/b"}},
        // A folder's index page counts twice against the limit.
        {{"a", "b"}, 2, {"/a", "/b"}},
        {{"a", "b", "c"}, 2, {"/*"}},
        {{"dir/index.html"}, 1, {"/*"}},
        {{}, 100, {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.keys.empty() ? "(none)" : row.keys[0]);
        EXPECT_EQ(invalidationPaths(row.keys, row.nMax), row.paths);
    }
}

// The document read back with libxml2: what CloudFront would take from it.
TEST(InvalidationBatch, TheDocumentNamesEveryPathAndTheReferenceAsTheyAre)
{
    const std::vector<std::string> paths = {"/a&b", "/<x>", "/plain"};
    const std::string xml = invalidationBatchXml(paths, "ref&\"1\"");
    xmlDoc *doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                                XML_PARSE_NONET);
    ASSERT_NE(doc, nullptr) << xml;
    std::vector<std::string> seen;
    std::string quantity, reference;
    std::function<void(xmlNode *)> walk = [&](xmlNode *node) {
        for (; node; node = node->next) {
            if (node->type != XML_ELEMENT_NODE)
                continue;
            xmlChar *text = xmlNodeGetContent(node);
            const std::string name = reinterpret_cast<const char *>(node->name);
            const std::string value = reinterpret_cast<const char *>(text);
            xmlFree(text);
            if (name == "Path")
                seen.push_back(value);
            else if (name == "Quantity")
                quantity = value;
            else if (name == "CallerReference")
                reference = value;
            walk(node->children);
        }
    };
    xmlNode *root = xmlDocGetRootElement(doc);
    EXPECT_STREQ(reinterpret_cast<const char *>(root->name), "InvalidationBatch");
    ASSERT_NE(root->ns, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char *>(root->ns->href),
                 "http://cloudfront.amazonaws.com/doc/2020-05-31/");
    walk(root);
    xmlFreeDoc(doc);
    EXPECT_EQ(seen, paths);
    EXPECT_EQ(quantity, "3");
    EXPECT_EQ(reference, "ref&\"1\"");
}

vectors::Json loadVectors()
{
    std::ifstream in(SITEMIRROR_SOURCE_DIR "/tests/data/sigv4-vectors.json");
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();
    if (text.empty())
        throw std::runtime_error("cannot read the signature examples");
    return vectors::Reader(text).value();
}

// The signer is the service's general one: with the service "s3" it must give
// the published examples exactly.
TEST(InvalidationSigner, ThePublishedExamplesComeOutExactly)
{
    const vectors::Json doc = loadVectors();
    int nCases = 0;
    for (const vectors::Json &c : doc["cases"].items) {
        SCOPED_TRACE(c["name"].str());
        SigningRequest request;
        request.strMethod = c["method"].str();
        const std::string target = c["path"].str();
        const std::size_t q = target.find('?');
        request.strPath = target.substr(0, q);
        // The examples' queries are a single name with an empty value or
        // already in canonical order.
        if (q != std::string::npos) {
            std::string query = target.substr(q + 1);
            std::string canonical;
            std::istringstream parts(query);
            for (std::string part; std::getline(parts, part, '&');)
                canonical += (canonical.empty() ? "" : "&") + part +
                             (part.find('=') == std::string::npos ? "=" : "");
            request.strQuery = canonical;
        }
        for (const vectors::Json &h : c["headers"].items)
            request.headers.push_back({h.items[0].str(), h.items[1].str()});
        request.strPayloadHash = c["payload_hash"].str();
        request.strAmzDate = doc["amz_date"].str();
        request.strRegion = doc["region"].str();
        request.strService = doc["service"].str();
        request.strAccessKeyId = doc["access_key_id"].str();
        request.strSecretAccessKey = doc["secret_access_key"].str();

        const SigningResult result = signV4(request);
        EXPECT_EQ(result.strCanonicalRequest, c["canonical_request"].str());
        EXPECT_EQ(result.strStringToSign, c["string_to_sign"].str());
        EXPECT_EQ(result.strSignature, c["signature"].str());
        EXPECT_EQ(result.strAuthorization, c["authorization"].str());
        ++nCases;
    }
    EXPECT_EQ(nCases, 4);
}

} // namespace
