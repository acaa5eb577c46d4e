#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "mailbox.h"
#include "semaphore.h"
#include "thread_safe_queue.h"
#include "wait_for.h"

using namespace std::chrono_literals;
using testing_support::WaitFor;

namespace {

TEST(ThreadSafeQueue, FifoAcrossProducerThreads) {
    queue::ThreadSafeQueue<mailbox::Message> q;
    constexpr int kThreads = 4, kPerThread = 1000;
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([&q, t] {
            for (int i = 0; i < kPerThread; ++i)
                q.Push(mailbox::Make<int>(3007 + t, i));
        });
    }
    std::vector<int> next(kThreads, 0);
    int taken = 0;
    while (taken < kThreads * kPerThread) {
        mailbox::Message m;
        if (!q.TryPop(m))
            continue;
        int t = m.code - 3007;
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        // Each producer's messages come out in the order it pushed them.
        ASSERT_EQ(*m.As<int>(), next[t]++);
        ++taken;
    }
    for (auto& p : producers)
        p.join();
    EXPECT_TRUE(q.Empty());
}

TEST(ThreadSafeQueue, EmptyTakeReturnsAtOnce) {
    queue::ThreadSafeQueue<mailbox::Message> q;
    mailbox::Message m(42);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(q.TryPop(m));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
    EXPECT_EQ(m.code, 42) << "a failed take must not touch the message";
    q.Push(mailbox::Message(3003));
    EXPECT_FALSE(q.Empty());
    EXPECT_TRUE(q.TryPop(m));
    EXPECT_EQ(m.code, 3003);
    EXPECT_EQ(m.data, nullptr);
    EXPECT_TRUE(q.Empty());
}

TEST(Mailbox, PayloadFreedWhenMessageDroppedUnhandled) {
    auto payload = std::make_shared<int>(7);
    std::weak_ptr<int> watch = payload;
    {
        queue::ThreadSafeQueue<mailbox::Message> q;
        q.Push(mailbox::Message(3007, std::move(payload)));
    }
    EXPECT_TRUE(watch.expired());
}

TEST(Semaphore, TwoNotifiesReleaseTwoWaitsAndTheThirdBlocks) {
    mutex::Semaphore sem;
    sem.Notify();
    sem.Notify();
    sem.Wait();
    sem.Wait();
    std::atomic<bool> third{false};
    std::thread waiter([&] {
        sem.Wait();
        third = true;
    });
    EXPECT_FALSE(WaitFor([&] { return third.load(); }, 200ms)) << "third wait did not block";
    sem.Notify();
    EXPECT_TRUE(WaitFor([&] { return third.load(); }));
    waiter.join();
}

TEST(Semaphore, WaitUntilPastDeadlineReturnsAtOnceWithoutAUnit) {
    mutex::Semaphore sem;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(sem.WaitUntil(start - 1s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
    sem.Notify();
    EXPECT_TRUE(sem.WaitUntil(start - 1s)) << "an available unit is taken even when late";
    EXPECT_FALSE(sem.WaitUntil(std::chrono::steady_clock::now() + 20ms));
}

}  // namespace
