// The scan and the listing walked in step: the walk's order against a plain
// sort of the tree's keys, the merge against a set lookup, the plan made
// from the merge against the same files given in another order, and the
// filter of scanned keys.
#include "merge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>
#include <sys/stat.h>

#include "compress.h"
#include "myS3Common.h"
#include "run_plan.h"
#include "settings.h"
#include "tempdir.h"
#include "../../support/random_tree.h"

namespace {

// File sizes (on both sides of the size tags' steps for the page).
const std::vector<std::size_t> kSizes = {0, 1, 100, 2999};

// Names that sort between a folder and its files ("a-b" < "a/..." < "a0"),
// punctuation, control and multi-byte characters.
const std::vector<std::string> kNames = {"a",  "a-b", "a0", "a.b", "a b", "-",  "~x",     "\x01", "\x7f",
                                         "\xc3\xa9", "\xe6\x97\xa5", "!", "a[1]", "a]", "Z", "b", "a-", "a.",
                                         ".hid", "x%y", "q\"", "a[", "0", "ab"};


// The keys of the tree's regular files, sorted as plain byte strings.
std::vector<std::string> sortedKeys(const std::string &root)
{
    std::vector<std::string> keys;
    for (auto it = std::filesystem::recursive_directory_iterator(root);
         it != std::filesystem::recursive_directory_iterator(); ++it)
        if (it->is_regular_file() && !it->is_symlink())
            keys.push_back(it->path().string().substr(root.size() + 1));
    std::sort(keys.begin(), keys.end());
    return keys;
}

TEST(MergeWalk, TheWalkAndTheScanGiveTheTreeInByteOrderOfKeys)
{
    for (unsigned seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE(seed);
        TempDir dir;
        std::mt19937 rng(seed);
        growRandomTree(dir.path(), kNames, kSizes, rng);
        const std::vector<std::string> expected = sortedKeys(dir.path());

        std::vector<std::string> walked;
        TreeWalk walk(dir.path() + "/", ScanOptions());
        ScanName name;
        while (walk.next(name))
            walked.push_back(name.strKey);
        EXPECT_TRUE(walk.whole());
        EXPECT_EQ(walked, expected);

        std::vector<std::string> scanned;
        TreeScan scan(dir.path() + "/", ScanOptions());
        S3Obj obj;
        while (scan.next(obj))
            scanned.push_back(obj.key);
        EXPECT_FALSE(scan.failed());
        EXPECT_EQ(scanned, expected);
        EXPECT_EQ(scan.count(), expected.size());
    }
}

TEST(MergeWalk, AScanStopsAtAFolderItCannotOpen)
{
    TempDir dir;
    ::mkdir((dir / "a").c_str(), 0755);
    dir.write("a/x.html", "x");
    dir.write("b.html", "b");
    TreeScan scan(dir.path() + "/gone/", ScanOptions());
    S3Obj obj;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(scan.next(obj));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(scan.failed());
    EXPECT_NE(err.find("gone"), std::string::npos) << err;
}

// What the merge tells its visitor, as (kind, key): L local only, R listed
// only, B both.
struct Recorder : MergeVisitor {
    std::vector<std::pair<char, std::string>> seen;
    void both(const S3Obj &local, const S3Obj &remote) override
    {
        EXPECT_EQ(local.key, remote.key);
        seen.emplace_back('B', local.key);
    }
    void localOnly(const S3Obj &local) override { seen.emplace_back('L', local.key); }
    void remoteOnly(const S3Obj &remote) override { seen.emplace_back('R', remote.key); }
};

RecordSource fromKeys(const std::vector<std::string> &keys)
{
    auto next = std::make_shared<std::size_t>(0);
    return [keys, next](S3Obj &obj) {
        if (*next == keys.size())
            return false;
        obj = S3Obj();
        obj.key = keys[(*next)++];
        return true;
    };
}

std::string randomKey(std::mt19937 &rng)
{
    static const char kBytes[] = {'a', 'b', '-', '/', '0', '.', ' ', '\x01', '\x7f', '\xc3', '\xff', '['};
    std::string key(1 + rng() % 5, 'a');
    for (char &c : key)
        c = kBytes[rng() % sizeof kBytes];
    return key;
}

TEST(MergeWalk, TheMergeMeetsEachKeyOnceAsASetLookupWould)
{
    for (unsigned seed = 1; seed <= 200; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        std::set<std::string> local, remote;
        for (int i = static_cast<int>(rng() % 60); i > 0; --i)
            local.insert(randomKey(rng));
        for (int i = static_cast<int>(rng() % 60); i > 0; --i)
            remote.insert(randomKey(rng));
        // The plain model: every key of either side, in set order, looked up.
        std::set<std::string> all(local);
        all.insert(remote.begin(), remote.end());
        std::vector<std::pair<char, std::string>> expected;
        for (const std::string &key : all)
            expected.emplace_back(local.count(key) ? (remote.count(key) ? 'B' : 'L') : 'R', key);

        Recorder recorder;
        const std::size_t nPassed =
            mergeInKeyOrder(fromKeys({local.begin(), local.end()}), fromKeys({remote.begin(), remote.end()}),
                            recorder);
        EXPECT_EQ(nPassed, 0u);
        EXPECT_EQ(recorder.seen, expected);
    }
}

TEST(MergeWalk, KeysThatDoNotRiseArePassedOverAndTheFirstOfAKeyWins)
{
    Recorder recorder;
    const std::size_t nPassed = mergeInKeyOrder(fromKeys({"a", "a", "c", "b", "d"}),
                                                fromKeys({"a-b", "a/b", "a-b", "a0"}), recorder);
    EXPECT_EQ(nPassed, 3u);
    const std::vector<std::pair<char, std::string>> expected = {
        {'L', "a"}, {'R', "a-b"}, {'R', "a/b"}, {'R', "a0"}, {'L', "c"}, {'L', "d"}};
    EXPECT_EQ(recorder.seen, expected);
}

S3Obj record(const std::string &key, uint64_t size, const std::string &tag)
{
    S3Obj obj;
    obj.key = key;
    obj.size = size;
    obj.tag = tag;
    return obj;
}

// A plan as text: every upload with why, every header update, in its order.
std::vector<std::string> planText(const Plan &plan)
{
    std::vector<std::string> text = dryRunLines(plan);
    for (std::size_t i = 0; i < plan.uploads.size(); ++i) {
        const UploadItem item = uploadOf(plan, i);
        for (const std::string &line : item.leadLines)
            text.push_back(item.strKey + " -> " + line);
    }
    text.push_back("unchanged " + std::to_string(plan.nUnchanged) + " tags " + std::to_string(plan.nDigestTags));
    return text;
}

TEST(MergeWalk, ThePlanIsTheSameWhateverOrderTheFilesComeIn)
{
    const std::string md5a = "0cc175b9c0f1b6a831c399e269772661";
    const std::string md5b = "92eb5ffee6ae2fec3ad71c777531578f";
    for (unsigned seed = 1; seed <= 50; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        std::vector<std::pair<S3Obj, S3Obj>> files; // local, remote (empty key: none)
        std::set<std::string> keys;
        for (int i = 0; i < 40; ++i)
            keys.insert(randomKey(rng));
        for (const std::string &key : keys) {
            const S3Obj local = record(key, 10, md5a);
            S3Obj remote;
            switch (rng() % 5) {
            case 0: break;                                  // new
            case 1: remote = record(key, 10, md5a); break;  // unchanged
            case 2: remote = record(key, 11, md5a); break;  // size
            case 3: remote = record(key, 10, md5b); break;  // another file's digest
            default: remote = record(key, 10, md5a + "-2"); // sent in parts: asked
            }
            files.emplace_back(local, remote);
        }
        Settings settings;
        settings.strPrefix = "site/";
        PlanInput input;
        input.strRootPath = "/srv/site/";
        input.settings = &settings;
        input.strIndexPageKey = "site/fileLists.html";

        auto planFor = [&](const std::vector<std::pair<S3Obj, S3Obj>> &order, std::vector<std::string> &asks) {
            PlanBuilder builder(input);
            for (const auto &file : order)
                builder.add(file.first, file.second.key.empty() ? nullptr : &file.second);
            asks = builder.asks();
            std::vector<HeadResult> heads(asks.size());
            for (std::size_t i = 0; i < heads.size(); i += 2) { // every other object names its bytes
                heads[i].bFound = true;
                heads[i].strMd5Meta = md5a;
                heads[i].size = 10;
            }
            return planText(builder.finish(heads));
        };
        std::vector<std::string> asksInOrder, asksShuffled;
        const std::vector<std::string> inOrder = planFor(files, asksInOrder);
        std::shuffle(files.begin(), files.end(), rng);
        EXPECT_EQ(planFor(files, asksShuffled), inOrder);
        EXPECT_EQ(asksShuffled, asksInOrder);
        EXPECT_TRUE(std::is_sorted(asksInOrder.begin(), asksInOrder.end()));
    }
}

// Files a rule sends encoded are encoded on the pool while later files come:
// each is still decided on the digest of its own encoded bytes, none is lost
// or taken twice, and a file that changed since the scan is sent (its
// encoded digest cannot be known).
TEST(MergeWalk, FilesEncodedOnThePoolAreDecidedOnTheirOwnEncodedBytes)
{
    TempDir dir;
    Settings settings;
    settings.strPrefix = "site/";
    settings.cacheRules = {{"*.html", "max-age=60", "", "gzip"}};
    PlanInput input;
    input.strRootPath = dir.path() + "/";
    input.settings = &settings;
    input.strIndexPageKey = "site/fileLists.html";
    input.bEncodeNow = true;

    PlanBuilder builder(input);
    std::vector<std::string> expected;
    long nUnchanged = 0;
    std::vector<std::pair<S3Obj, S3Obj>> files;
    for (int i = 0; i < 90; ++i) {
        const std::string key = "p" + std::to_string(100 + i) + ".html";
        const std::string bytes = "<p>" + std::string(static_cast<std::size_t>(i * 37 % 500), 'a' + i % 26) + "</p>";
        dir.write(key, i == 49 ? bytes + "changed since the scan" : bytes);
        MyMD5 md5(true);
        md5.update(bytes);
        S3Obj local = record(key, bytes.size(), md5.finalize());
        EncodedFile encoded;
        ASSERT_TRUE(encodeBytes(bytes, "gzip", encoded));
        S3Obj remote;
        switch (i % 3) {
        case 0:
            expected.push_back("would upload: site/" + key + " (new)");
            break;
        case 1:
            remote = record(key, encoded.size, encoded.strMd5Hex);
            if (i == 49)
                expected.push_back("would upload: site/" + key + " (digest)");
            else
                ++nUnchanged;
            break;
        default:
            remote = record(key, encoded.size, "0123456789abcdef0123456789abcdef");
            expected.push_back("would upload: site/" + key + " (digest)");
        }
        files.emplace_back(local, remote);
    }
    for (const auto &file : files)
        builder.add(file.first, file.second.key.empty() ? nullptr : &file.second);
    EXPECT_TRUE(builder.asks().empty());
    const Plan plan = builder.finish({});
    EXPECT_EQ(dryRunLines(plan), expected);
    EXPECT_EQ(plan.nUnchanged, nUnchanged);
}

TEST(MergeWalk, TheFilterOfScannedKeysNeverForgetsOneAndRarelyInventsOne)
{
    KeyFilter filter(20000);
    for (int i = 0; i < 20000; ++i)
        filter.add("docs/page-" + std::to_string(i) + ".html");
    for (int i = 0; i < 20000; ++i)
        ASSERT_TRUE(filter.mayHold("docs/page-" + std::to_string(i) + ".html")) << i;
    int nFalse = 0;
    for (int i = 0; i < 20000; ++i)
        nFalse += filter.mayHold("gone/page-" + std::to_string(i) + ".html");
    EXPECT_LT(nFalse, 20000 * 3 / 100);
}

} // namespace
