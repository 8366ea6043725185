// Request contexts against the loopback store: many transfers in flight on
// one thread, each ending in one complete callback with what was stored,
// over connections the context keeps; driven by runall, by an outside
// select() loop, or ended by destroying the context.
#include <gtest/gtest.h>
#include <sys/select.h>

#include <chrono>
#include <string>
#include <vector>

#include "harness.h"
#include "request_pool.h"
#include "wire_support.h"

using namespace wire;

namespace {

class ContextWire : public StoreSuite {
protected:
    static void SetUpTestSuite()
    {
        StoreSuite::SetUpTestSuite();
        store_->createBucket("wire-context");
    }
    void SetUp() override
    {
        StoreSuite::SetUp();
        ASSERT_EQ(S3StatusOK, S3_create_request_context(&context_));
    }
    void TearDown() override
    {
        S3_destroy_request_context(context_);
        StoreSuite::TearDown();
    }
    S3RequestContext *context_ = nullptr;
    Context bucket_{store_->endpoint(), "wire-context"};
};


// Bodies of many sizes: empty, below and above the buffers of libcurl and of
// the continue threshold.
size_t bodySize(int i)
{
    static const size_t sizes[] = {0, 1, 1000, 16384, 70001, 300000, 1100000};
    return sizes[i % 7] + static_cast<size_t>(i);
}

TEST_F(ContextWire, ManyTransfersInFlightEachEndOnceIntactOverKeptConnections)
{
    constexpr int kCount = 40;
    const S3BucketContext ctx = bucket_.get();
    std::vector<Outcome> puts(kCount);
    std::vector<std::string> keys;
    store_->resetCounters();
    for (int i = 0; i < kCount; i++) {
        keys.push_back("many/" + std::to_string(i));
        puts[i].upload = patternBytes(bodySize(i), static_cast<unsigned>(i));
        S3_put_object(&ctx, keys[i].c_str(), puts[i].upload.size(), nullptr, context_,
                      &kPutHandler, &puts[i]);
    }
    for (const Outcome &o : puts) {
        ASSERT_EQ(0, o.completes) << "queued, not run";
    }
    ASSERT_EQ(S3StatusOK, S3_runall_request_context(context_));
    // Transfers ran side by side, each on a connection of its own.
    harness::Counters counters = store_->counters();
    EXPECT_GT(counters.connections, 1);
    EXPECT_LE(counters.connections, kCount);
    for (int i = 0; i < kCount; i++) {
        EXPECT_EQ(1, puts[i].completes) << keys[i];
        EXPECT_EQ(S3StatusOK, puts[i].status) << keys[i];
        harness::StoredObject stored = store_->getObject("wire-context", keys[i]);
        EXPECT_TRUE(stored.exists) << keys[i];
        EXPECT_TRUE(stored.body == puts[i].upload) << keys[i];
    }
    // Every request was out of the pool at once, and each one is kept.
    EXPECT_EQ(kCount, request_pool_count());

    // The second wave runs on the connections of the first.
    store_->resetCounters();
    std::vector<Outcome> gets(kCount);
    for (int i = 0; i < kCount; i++) {
        S3_get_object(&ctx, keys[i].c_str(), nullptr, 0, 0, context_, &kGetHandler, &gets[i]);
    }
    ASSERT_EQ(S3StatusOK, S3_runall_request_context(context_));
    for (int i = 0; i < kCount; i++) {
        EXPECT_EQ(1, gets[i].completes) << keys[i];
        EXPECT_EQ(S3StatusOK, gets[i].status) << keys[i];
        EXPECT_TRUE(gets[i].body == puts[i].upload) << keys[i];
    }
    EXPECT_EQ(0, store_->counters().connections);
    EXPECT_EQ(kCount, request_pool_count());
}

// A complete callback that queues the next request on the same context.  The
// data callbacks of wire_support see the record as its first Outcome.
struct Chain {
    Outcome put, get;
    S3RequestContext *context;
    S3BucketContext bucket;
    std::string key;
};

void onChainedPutComplete(S3Status status, const S3ErrorDetails *details, void *data)
{
    Chain *chain = static_cast<Chain *>(data);
    onComplete(status, details, &chain->put);
    S3_get_object(&chain->bucket, chain->key.c_str(), nullptr, 0, 0, chain->context,
                  &kGetHandler, &chain->get);
}

TEST_F(ContextWire, RequestsQueuedByCallbacksRunInTheSameRun)
{
    const S3PutObjectHandler chainedPut = {{&onProperties, &onChainedPutComplete}, &onPutData, nullptr, nullptr};
    std::vector<Chain> chains(12);
    for (size_t i = 0; i < chains.size(); i++) {
        Chain &chain = chains[i];
        chain.context = context_;
        chain.bucket = bucket_.get();
        chain.key = "chain/" + std::to_string(i);
        chain.put.upload = patternBytes(5000 + i, static_cast<unsigned>(i));
        S3_put_object(&chain.bucket, chain.key.c_str(), chain.put.upload.size(), nullptr,
                      context_, &chainedPut, &chain);
    }
    ASSERT_EQ(S3StatusOK, S3_runall_request_context(context_));
    for (const Chain &chain : chains) {
        EXPECT_EQ(1, chain.put.completes) << chain.key;
        EXPECT_EQ(S3StatusOK, chain.put.status) << chain.key;
        EXPECT_EQ(1, chain.get.completes) << chain.key;
        EXPECT_EQ(S3StatusOK, chain.get.status) << chain.key;
        EXPECT_TRUE(chain.get.body == chain.put.upload) << chain.key;
    }
}

TEST_F(ContextWire, AnOutsideSelectLoopDrivesTheContext)
{
    const S3BucketContext ctx = bucket_.get();
    std::vector<Outcome> puts(10);
    for (size_t i = 0; i < puts.size(); i++) {
        puts[i].upload = patternBytes(20000, static_cast<unsigned>(i));
        const std::string key = "select/" + std::to_string(i);
        S3_put_object(&ctx, key.c_str(), puts[i].upload.size(), nullptr, context_, &kPutHandler,
                      &puts[i]);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int remaining = 1;
    int waits = 0;
    while (remaining && std::chrono::steady_clock::now() < deadline) {
        ASSERT_EQ(S3StatusOK, S3_runonce_request_context(context_, &remaining));
        if (!remaining) {
            break;
        }
        fd_set readFds, writeFds, exceptFds;
        FD_ZERO(&readFds);
        FD_ZERO(&writeFds);
        FD_ZERO(&exceptFds);
        int maxFd = -1;
        ASSERT_EQ(S3StatusOK,
                  S3_get_request_context_fdsets(context_, &readFds, &writeFds, &exceptFds, &maxFd));
        int64_t timeoutMs = S3_get_request_context_timeout(context_);
        if (timeoutMs < 0 || timeoutMs > 1000) {
            timeoutMs = 1000;
        }
        struct timeval tv = {static_cast<time_t>(timeoutMs / 1000),
                             static_cast<suseconds_t>((timeoutMs % 1000) * 1000)};
        ASSERT_GE(select(maxFd + 1, &readFds, &writeFds, &exceptFds, &tv), 0);
        ++waits;
    }
    EXPECT_EQ(0, remaining);
    EXPECT_GT(waits, 0);
    for (const Outcome &o : puts) {
        EXPECT_EQ(1, o.completes);
        EXPECT_EQ(S3StatusOK, o.status);
    }
}

void onRequeueComplete(S3Status status, const S3ErrorDetails *details, void *data)
{
    Chain *chain = static_cast<Chain *>(data);
    onComplete(status, details, &chain->put);
    if (chain->put.completes == 1) {
        S3_head_object(&chain->bucket, chain->key.c_str(), chain->context, &kResponseHandler,
                       &chain->get);
    }
}

TEST_F(ContextWire, DestroyingTheContextEndsEveryQueuedRequestOnce)
{
    const S3ResponseHandler requeue = {&onProperties, &onRequeueComplete};
    std::vector<Chain> chains(5);
    store_->resetCounters();
    for (size_t i = 0; i < chains.size(); i++) {
        Chain &chain = chains[i];
        chain.context = context_;
        chain.bucket = bucket_.get();
        chain.key = "destroy/" + std::to_string(i);
        S3_head_object(&chain.bucket, chain.key.c_str(), context_, &requeue, &chain);
    }
    S3_destroy_request_context(context_);
    context_ = nullptr;
    for (const Chain &chain : chains) {
        EXPECT_EQ(1, chain.put.completes);
        EXPECT_EQ(S3StatusInterrupted, chain.put.status);
        // Queued by the callback while the context was going away.
        EXPECT_EQ(1, chain.get.completes);
        EXPECT_EQ(S3StatusInterrupted, chain.get.status);
    }
    EXPECT_EQ(0, store_->counters().requests);
}

// What a complete callback that ends things is given.
struct Ender {
    S3RequestContext *context = nullptr;
    std::vector<Outcome> outcomes{4};
    int destroyCalls = 0;
};

Ender *enderG = nullptr;

void onCompleteDestroyingTheContext(S3Status status, const S3ErrorDetails *details, void *data)
{
    onComplete(status, details, data);
    if (enderG->destroyCalls++ == 0) {
        S3_destroy_request_context(enderG->context);
    }
}

void onCompleteTearingDown(S3Status status, const S3ErrorDetails *details, void *data)
{
    onComplete(status, details, data);
    S3_deinitialize();
}

void onCompleteTearingDownAndSettingUpAgain(S3Status status, const S3ErrorDetails *details,
                                            void *data)
{
    onComplete(status, details, data);
    S3_deinitialize();
    S3_initialize("context test", 0, nullptr);
}

// Ending the context, or the client, from inside a complete callback waits
// until that callback has returned: every request still ends exactly once,
// and nothing is used after it has been freed.
TEST_F(ContextWire, ACompleteCallbackMayDestroyItsContextOrTearTheClientDown)
{
    ASSERT_EQ(S3StatusOK, put(bucket_.get(), "ender", "x").status);

    Ender ender;
    ender.context = context_;
    enderG = &ender;
    const S3ResponseHandler destroying = {&onProperties, &onCompleteDestroyingTheContext};
    const S3BucketContext bucket = bucket_.get();
    for (Outcome &o : ender.outcomes) {
        S3_head_object(&bucket, "ender", context_, &destroying, &o);
    }
    EXPECT_EQ(S3StatusInterrupted, S3_runall_request_context(context_));
    context_ = nullptr;
    int ok = 0;
    for (const Outcome &o : ender.outcomes) {
        EXPECT_EQ(1, o.completes);
        EXPECT_TRUE(o.status == S3StatusOK || o.status == S3StatusInterrupted)
            << S3_get_status_name(o.status);
        ok += o.status == S3StatusOK;
    }
    EXPECT_GE(ok, 1);
    EXPECT_EQ(4, ender.destroyCalls);
    enderG = nullptr;

    // The last S3_deinitialize inside a complete callback: the pool goes once
    // the request is back in it; the client can then be set up again.
    const S3ResponseHandler tearingDown = {&onProperties, &onCompleteTearingDown};
    Outcome last;
    S3_head_object(&bucket, "ender", nullptr, &tearingDown, &last);
    EXPECT_EQ(1, last.completes);
    EXPECT_EQ(S3StatusOK, last.status);
    ASSERT_EQ(S3StatusOK, S3_initialize("context test", 0, nullptr));
    EXPECT_EQ(0, request_pool_count());

    // Set up again inside the callback: nothing is torn down after all.
    const S3ResponseHandler again = {&onProperties, &onCompleteTearingDownAndSettingUpAgain};
    Outcome both;
    S3_head_object(&bucket, "ender", nullptr, &again, &both);
    EXPECT_EQ(S3StatusOK, both.status);
    EXPECT_EQ(1, request_pool_count());
    EXPECT_EQ(S3StatusOK, head(bucket, "ender").status);
}

} // namespace
