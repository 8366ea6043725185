// The invalidation's paths for the changed keys and its request document.
#include <gtest/gtest.h>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <functional>
#include <string>
#include <vector>

#include "cdn.h"

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

} // namespace
