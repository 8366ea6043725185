// Bucket listing and bucket operations against the loopback store: paged
// listings return every key once, in order, with what was stored; batches
// have their sizes; refusals and failures end the listing as they should.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "harness.h"
#include "request.h"
#include "wire_support.h"

using namespace wire;

namespace {

struct Entry {
    std::string key, eTag;
    uint64_t size;
    int64_t lastModified;
    bool hasOwner;
};

// Everything one listing request delivered.
struct Listing {
    Outcome outcome;
    std::vector<Entry> entries;
    std::vector<std::string> prefixes;
    std::vector<int> batchContents, batchPrefixes;
    std::vector<int> truncatedFlags;
    std::vector<std::string> nextMarkers;
    int refuseAt = -1; // delivery index at which to answer refusal
    int deliveries = 0;

    static S3Status onList(int isTruncated, const char *nextMarker, int contentsCount,
                           const S3ListBucketContent *contents, int commonPrefixesCount,
                           const char **commonPrefixes, void *data)
    {
        Listing *l = static_cast<Listing *>(data);
        l->truncatedFlags.push_back(isTruncated);
        l->nextMarkers.push_back(nextMarker ? nextMarker : "(null)");
        l->batchContents.push_back(contentsCount);
        l->batchPrefixes.push_back(commonPrefixesCount);
        for (int i = 0; i < contentsCount; i++) {
            l->entries.push_back(Entry{contents[i].key, contents[i].eTag, contents[i].size,
                                       contents[i].lastModified,
                                       contents[i].ownerId != nullptr});
        }
        for (int i = 0; i < commonPrefixesCount; i++) {
            l->prefixes.push_back(commonPrefixes[i]);
        }
        return l->deliveries++ == l->refuseAt ? S3StatusAbortedByCallback : S3StatusOK;
    }
    static S3Status onProperties(const S3ResponseProperties *p, void *data)
    {
        return wire::onProperties(p, &static_cast<Listing *>(data)->outcome);
    }
    static void onComplete(S3Status status, const S3ErrorDetails *details, void *data)
    {
        wire::onComplete(status, details, &static_cast<Listing *>(data)->outcome);
    }
};

const S3ListBucketHandler kListHandler = {{&Listing::onProperties, &Listing::onComplete},
                                          &Listing::onList};

void list(const S3BucketContext &c, Listing *l, const char *prefix, const char *marker,
          const char *delimiter, int maxkeys)
{
    S3_list_bucket(&c, prefix, marker, delimiter, maxkeys, nullptr, &kListHandler, l);
}

class BucketWire : public StoreSuite {
protected:

    static S3BucketContext context(const std::string &bucket)
    {
        contexts_.emplace_back(new Context(store_->endpoint(), bucket));
        return contexts_.back()->get();
    }
    static std::vector<std::unique_ptr<Context>> contexts_;
};

std::vector<std::unique_ptr<Context>> BucketWire::contexts_;

// Sets a time zone far from UTC for the life of the object: listing times
// are UTC whatever the zone.
struct FarTimeZone {
    std::string saved;
    bool had;
    FarTimeZone() : had(getenv("TZ") != nullptr)
    {
        if (had) {
            saved = getenv("TZ");
        }
        setenv("TZ", "XST-9:30", 1);
        tzset();
    }
    ~FarTimeZone()
    {
        if (had) {
            setenv("TZ", saved.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
};

TEST_F(BucketWire, PagesWithAMarkerReturnEveryKeyOnceInOrderAsStored)
{
    const std::string bucket = "wire-list-2000";
    store_->createBucket(bucket);
    const int64_t before = time(nullptr);
    std::vector<std::string> bodies(2000);
    for (int i = 0; i < 2000; i++) {
        char key[32];
        snprintf(key, sizeof(key), "obj-%04d", i);
        bodies[i] = std::string(static_cast<size_t>(i % 13) * 7, static_cast<char>('a' + i % 26));
        store_->putObject(bucket, key, bodies[i]);
    }
    const int64_t after = time(nullptr);
    FarTimeZone zone;

    const S3BucketContext c = context(bucket);
    std::vector<Entry> all;
    std::vector<Listing> pages;
    std::string marker;
    for (int page = 0; page < 10; page++) {
        pages.emplace_back();
        Listing &l = pages.back();
        list(c, &l, nullptr, page ? marker.c_str() : nullptr, nullptr, 990);
        ASSERT_EQ(1, l.outcome.completes);
        ASSERT_EQ(S3StatusOK, l.outcome.status);
        if (l.entries.empty()) {
            break;
        }
        all.insert(all.end(), l.entries.begin(), l.entries.end());
        marker = l.entries.back().key;
    }

    ASSERT_EQ(2000u, all.size());
    for (int i = 0; i < 2000; i++) {
        char key[32];
        snprintf(key, sizeof(key), "obj-%04d", i);
        ASSERT_EQ(key, all[i].key);
        EXPECT_EQ(bodies[i].size(), all[i].size) << key;
        EXPECT_EQ("\"" + md5Hex(bodies[i]) + "\"", all[i].eTag) << key;
        EXPECT_GE(all[i].lastModified, before - 1) << key;
        EXPECT_LE(all[i].lastModified, after + 1) << key;
        EXPECT_TRUE(all[i].hasOwner) << key;
    }

    // 990 objects: 30 batches of 32 while reading, 30 at completion.
    ASSERT_EQ(4u, pages.size()); // the fourth brings nothing
    std::vector<int> fullPage(30, 32);
    fullPage.push_back(30);
    EXPECT_EQ(fullPage, pages[0].batchContents);
    EXPECT_EQ(fullPage, pages[1].batchContents);
    EXPECT_EQ(std::vector<int>{20}, pages[2].batchContents);
    EXPECT_TRUE(pages[3].batchContents.empty()) << "an empty page makes no delivery";
    EXPECT_EQ(std::vector<int>(31, 1), pages[0].truncatedFlags);
    EXPECT_EQ(std::vector<int>{0}, pages[2].truncatedFlags);
    for (const Listing &l : pages) {
        for (const std::string &m : l.nextMarkers) {
            EXPECT_EQ(l.nextMarkers.front(), m) << "the next marker belongs to the request";
        }
    }

    // One stored time checked against the store's own header.
    harness::StoredObject stored = store_->getObject(bucket, "obj-1234");
    struct tm tm = {};
    ASSERT_NE(nullptr, strptime(stored.headers["last-modified"].c_str(),
                                "%a, %d %b %Y %H:%M:%S GMT", &tm));
    EXPECT_EQ(static_cast<int64_t>(timegm(&tm)), all[1234].lastModified);
}

TEST_F(BucketWire, CommonPrefixesComeInBatchesOfEight)
{
    const std::string bucket = "wire-prefixes";
    store_->createBucket(bucket);
    for (int i = 0; i < 20; i++) {
        char key[32];
        snprintf(key, sizeof(key), "dir%02d/file", i);
        store_->putObject(bucket, key, "x");
    }
    store_->putObject(bucket, "top", "top level");
    const S3BucketContext c = context(bucket);

    Listing l;
    list(c, &l, nullptr, nullptr, "/", 0);
    EXPECT_EQ(1, l.outcome.completes);
    EXPECT_EQ(S3StatusOK, l.outcome.status);
    ASSERT_EQ(1u, l.entries.size());
    EXPECT_EQ("top", l.entries[0].key);
    ASSERT_EQ(20u, l.prefixes.size());
    for (int i = 0; i < 20; i++) {
        char prefix[32];
        snprintf(prefix, sizeof(prefix), "dir%02d/", i);
        EXPECT_EQ(prefix, l.prefixes[i]);
    }
    EXPECT_EQ((std::vector<int>{8, 8, 4}), l.batchPrefixes);

    Listing narrow;
    list(c, &narrow, "dir0", nullptr, "/", 0);
    EXPECT_EQ(S3StatusOK, narrow.outcome.status);
    EXPECT_EQ(10u, narrow.prefixes.size());
    EXPECT_TRUE(narrow.entries.empty());
}

TEST_F(BucketWire, AnEmptyBucketMakesNoDelivery)
{
    store_->createBucket("wire-empty");
    Listing l;
    list(context("wire-empty"), &l, "", nullptr, nullptr, 0);
    EXPECT_EQ(1, l.outcome.completes);
    EXPECT_EQ(S3StatusOK, l.outcome.status);
    EXPECT_EQ(1, l.outcome.propertiesCalls);
    EXPECT_EQ(0, l.deliveries);
}

TEST_F(BucketWire, ARefusedBatchStopsTheListing)
{
    const std::string bucket = "wire-refuse";
    store_->createBucket(bucket);
    for (int i = 0; i < 40; i++) {
        store_->putObject(bucket, "k" + std::to_string(100 + i), "v");
    }
    Listing l;
    l.refuseAt = 0;
    list(context(bucket), &l, nullptr, nullptr, nullptr, 0);
    EXPECT_EQ(1, l.outcome.completes);
    EXPECT_EQ(S3StatusAbortedByCallback, l.outcome.status);
    EXPECT_EQ((std::vector<int>{32}), l.batchContents);
}

TEST_F(BucketWire, ListingFailuresEndWithTheirStatus)
{
    {
        Listing l;
        list(context("wire-no-such-bucket"), &l, nullptr, nullptr, nullptr, 0);
        EXPECT_EQ(1, l.outcome.completes);
        EXPECT_EQ(S3StatusErrorNoSuchBucket, l.outcome.status);
        EXPECT_FALSE(l.outcome.errorMessage.empty());
        EXPECT_EQ(0, l.deliveries);
    }
    store_->createBucket("wire-params");
    const S3BucketContext c = context("wire-params");
    store_->resetCounters();
    const std::string longValue(1025, 'm');
    const std::string wideValue(1024, '%'); // three characters each once encoded
    struct Row {
        const char *what;
        const char *prefix, *marker, *delimiter;
    } rows[] = {
        {"a marker over 1024", nullptr, longValue.c_str(), nullptr},
        {"a string over 4096", wideValue.c_str(), wideValue.c_str(), nullptr},
    };
    for (const Row &row : rows) {
        Listing l;
        list(c, &l, row.prefix, row.marker, row.delimiter, 5);
        EXPECT_EQ(1, l.outcome.completes) << row.what;
        EXPECT_EQ(S3StatusQueryParamsTooLong, l.outcome.status) << row.what;
        EXPECT_FALSE(l.outcome.hadErrorDetails) << row.what;
    }
    EXPECT_EQ(0, store_->counters().requests);

    // The longest accepted marker still lists.
    Listing ok;
    list(c, &ok, nullptr, std::string(1024, 'z').c_str(), nullptr, 0);
    EXPECT_EQ(S3StatusOK, ok.outcome.status);
}

TEST_F(BucketWire, ListingFaultsFromAScriptedServer)
{
    {
        // A listing document that breaks off: what was read stands, nothing
        // unfinished is delivered, and the request ends once.
        harness::FaultServer server("malformed-xml");
        Context c(server.endpoint(), "bucket");
        Listing l;
        list(c.get(), &l, nullptr, nullptr, nullptr, 0);
        EXPECT_EQ(1, l.outcome.completes);
        EXPECT_EQ(S3StatusXmlParseFailure, l.outcome.status);
        EXPECT_EQ(0, l.deliveries);
    }
    {
        // A 500 whose body is plain text: the HTTP status decides.
        harness::FaultServer server("plain-error");
        Context c(server.endpoint(), "bucket");
        Listing l;
        list(c.get(), &l, nullptr, nullptr, nullptr, 0);
        EXPECT_EQ(1, l.outcome.completes);
        EXPECT_EQ(S3StatusHttpErrorInternalServerError, l.outcome.status);
        EXPECT_EQ(0, l.deliveries);
    }
}

// A store that leaves NextMarker unencoded in a URL-encoded page writes a
// control byte there as a character reference that XML forbids: the page is
// read, its keys exactly as stored; the same reference in a page that is not
// URL-encoded still fails it.
TEST_F(BucketWire, ControlCharacterReferencesInAUrlEncodedPageAreRead)
{
    const std::string data = SITEMIRROR_SOURCE_DIR "/tests/s3client/data/";
    {
        harness::FaultServer server("status:200:" + data + "listing-control-reference.xml");
        Context c(server.endpoint(), "bucket");
        Listing l;
        list(c.get(), &l, nullptr, nullptr, nullptr, 0);
        EXPECT_EQ(1, l.outcome.completes);
        ASSERT_EQ(S3StatusOK, l.outcome.status) << S3_get_status_name(l.outcome.status);
        ASSERT_EQ(2u, l.entries.size());
        EXPECT_EQ(std::string("a\x01" "b"), l.entries[0].key);
        EXPECT_EQ(3u, l.entries[0].size);
        EXPECT_EQ("a&#1;", l.entries[1].key);
        ASSERT_EQ(1u, l.nextMarkers.size());
        EXPECT_EQ(std::string("a\x01" "b"), l.nextMarkers[0]);
        EXPECT_EQ(1, l.truncatedFlags[0]);
    }
    {
        harness::FaultServer server("status:200:" + data +
                                    "listing-control-reference-unencoded.xml");
        Context c(server.endpoint(), "bucket");
        Listing l;
        list(c.get(), &l, nullptr, nullptr, nullptr, 0);
        EXPECT_EQ(1, l.outcome.completes);
        EXPECT_EQ(S3StatusXmlParseFailure, l.outcome.status);
        EXPECT_EQ(0, l.deliveries);
    }
}

// A 200 answer counts as a page only when it is a whole ListBucketResult:
// anything else would make the bucket look empty (or shorter) and send the
// whole site again.
TEST_F(BucketWire, AnAnswerThatIsNotAWholeListingIsAFailedListing)
{
    char dirTemplate[] = "/tmp/listing-bodies-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dirTemplate));
    const std::string dir = dirTemplate;
    auto write = [&](const std::string &name, const std::string &body) {
        FILE *f = fopen((dir + "/" + name).c_str(), "wb");
        fwrite(body.data(), 1, body.size(), f);
        fclose(f);
        return dir + "/" + name;
    };
    const std::string modes[] = {
        "listing-cut",
        "status:200",
        "status:200:error-nosuchkey.xml",
        "status:200:" + write("portal.html", "<html><body><p>Sign in to continue</p></body></html>"),
        "status:200:" + write("ok.txt", "OK"),
        "status:200:" + write("trailing.xml",
                              "<ListBucketResult><IsTruncated>false</IsTruncated>"
                              "</ListBucketResult><more/>"),
        "status:200:" + write("other-root.xml",
                              "<ListAllMyBucketsResult><Contents><Key>a</Key></Contents>"
                              "</ListAllMyBucketsResult>"),
    };
    for (const std::string &mode : modes) {
        harness::FaultServer server(mode);
        Context c(server.endpoint(), "bucket");
        Listing l;
        list(c.get(), &l, nullptr, nullptr, nullptr, 0);
        EXPECT_EQ(1, l.outcome.completes) << mode;
        EXPECT_EQ(S3StatusXmlParseFailure, l.outcome.status) << mode;
        EXPECT_EQ(0, l.deliveries) << mode;
    }

    {
        // The smallest whole listing is an empty page.
        harness::FaultServer server(
            "status:200:" + write("empty.xml", "<ListBucketResult></ListBucketResult>"));
        Context c(server.endpoint(), "bucket");
        Listing l;
        list(c.get(), &l, nullptr, nullptr, nullptr, 0);
        EXPECT_EQ(S3StatusOK, l.outcome.status);
        EXPECT_EQ(0, l.deliveries);
    }
    for (const char *name :
         {"portal.html", "ok.txt", "trailing.xml", "other-root.xml", "empty.xml"}) {
        unlink((dir + "/" + name).c_str());
    }
    rmdir(dir.c_str());
}

// Keys that XML 1.0 cannot carry (or would alter) come back byte for byte,
// page after page, with each page's last key as the next marker.
TEST_F(BucketWire, KeysOfAnyBytesListAsStoredAcrossPages)
{
    const std::string bucket = "wire-awkward";
    store_->createBucket(bucket);
    const std::vector<std::string> keys = {
        "\"quoted\"",   "+plus+",        "50%off.html",    "a b",
        "amp&lt;.txt",   "cr\r.txt",       "ctl\x01.html",   "esc\x1b",
        "tab\t",          "u\xef\xbf\xbe.html", "\xc3\xa9t\xc3\xa9",
    };
    const S3BucketContext c = context(bucket);
    for (const std::string &key : keys) {
        ASSERT_EQ(S3StatusOK, put(c, key, "v:" + key).status) << key;
    }
    std::vector<std::string> listed;
    const char *marker = nullptr;
    std::string last;
    for (int page = 0; page < 20; page++) {
        Listing l;
        list(c, &l, nullptr, marker, nullptr, 5);
        ASSERT_EQ(S3StatusOK, l.outcome.status);
        if (l.entries.empty()) {
            break;
        }
        for (const Entry &e : l.entries) {
            listed.push_back(e.key);
        }
        last = l.entries.back().key;
        marker = last.c_str();
    }
    std::vector<std::string> sorted = keys;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, listed);
}

// ---- bucket operations ----

struct Location {
    Outcome outcome;
    char constraint[64] = "untouched";
};

Location testBucket(const std::string &host, const std::string &bucket, int size = 64)
{
    Location l;
    S3_test_bucket(S3ProtocolHTTP, S3UriStylePath, harness::kAccessKeyId,
                   harness::kSecretAccessKey, host.c_str(), bucket.c_str(), size, l.constraint,
                   nullptr, &kResponseHandler, &l.outcome);
    return l;
}

Outcome createBucket(const std::string &host, const std::string &bucket,
                     const char *locationConstraint)
{
    Outcome o;
    S3_create_bucket(S3ProtocolHTTP, harness::kAccessKeyId, harness::kSecretAccessKey,
                     host.c_str(), bucket.c_str(), S3CannedAclPrivate, locationConstraint,
                     nullptr, &kResponseHandler, &o);
    return o;
}

Outcome deleteBucket(const std::string &host, const std::string &bucket)
{
    Outcome o;
    S3_delete_bucket(S3ProtocolHTTP, S3UriStylePath, harness::kAccessKeyId,
                     harness::kSecretAccessKey, host.c_str(), bucket.c_str(), nullptr,
                     &kResponseHandler, &o);
    return o;
}

TEST_F(BucketWire, BucketsAreCreatedTestedAndDeleted)
{
    const std::string host = store_->endpoint();

    Outcome created = createBucket(host, "wire-made", nullptr);
    EXPECT_EQ(1, created.completes);
    EXPECT_EQ(S3StatusOK, created.status);
    Location here = testBucket(host, "wire-made");
    EXPECT_EQ(S3StatusOK, here.outcome.status);
    EXPECT_STREQ("", here.constraint);

    Outcome placed = createBucket(host, "wire-placed", "eu-west-1");
    EXPECT_EQ(S3StatusOK, placed.status);
    Location there = testBucket(host, "wire-placed");
    EXPECT_EQ(S3StatusOK, there.outcome.status);
    EXPECT_STREQ("eu-west-1", there.constraint);
    Location cut = testBucket(host, "wire-placed", 4);
    EXPECT_STREQ("eu-", cut.constraint);

    store_->putObject("wire-made", "keeps-it", "x");
    Outcome notEmpty = deleteBucket(host, "wire-made");
    EXPECT_EQ(1, notEmpty.completes);
    EXPECT_EQ(S3StatusErrorBucketNotEmpty, notEmpty.status);

    Context c(host, "wire-made");
    ASSERT_EQ(S3StatusOK, del(c.get(), "keeps-it").status);
    EXPECT_EQ(S3StatusOK, deleteBucket(host, "wire-made").status);
    Location gone = testBucket(host, "wire-made");
    EXPECT_EQ(S3StatusErrorNoSuchBucket, gone.outcome.status);
    EXPECT_STREQ("", gone.constraint);
    EXPECT_EQ(S3StatusErrorNoSuchBucket, deleteBucket(host, "wire-made").status);

    Outcome badName = createBucket(host, "x", nullptr);
    EXPECT_EQ(S3StatusInvalidBucketNameTooShort, badName.status);
    EXPECT_FALSE(badName.hadErrorDetails);
}

} // namespace
