// The notification mailbox: resets, posts, and a worker posting while the
// timer reads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "transfer/notify.h"

namespace bv {
namespace {

TEST(Notify, InitResetsAndMinusOneKeepsLines) {
    TNotify n;
    n.Init(NotifyCode::KeepList);
    n.AddLine(L"left over");
    n.SetStatus(L"12 bytes", 40);
    n.Init(NotifyCode::KeepList);
    TNotify::Fields f = n.Read();
    EXPECT_EQ(f.nfCode, NotifyCode::KeepList);
    EXPECT_EQ(f.nfReturnList, std::vector<std::wstring>{L"left over"});
    EXPECT_EQ(f.nfStatus, L"");
    EXPECT_EQ(f.nfProgress, 0);
    n.Init(NotifyCode::Download);
    f = n.Read();
    EXPECT_EQ(f.nfCode, NotifyCode::Download);
    EXPECT_TRUE(f.nfReturnList.empty());
    EXPECT_FALSE(f.nfReady);
}

TEST(Notify, TimerTakesAReadyResultAndResets) {
    TNotify n;
    n.Init(NotifyCode::KeepList);
    n.Init(NotifyCode::Download);
    n.SetStatus(L"100 bytes");
    // Not ready: the status is seen on every look and nothing is reset.
    EXPECT_EQ(n.TakeForTimer().nfStatus, L"100 bytes");
    EXPECT_EQ(n.TakeForTimer().nfStatus, L"100 bytes");
    n.Post({L"Failed", L"ResponseAbort"});
    TNotify::Fields f = n.TakeForTimer();
    EXPECT_TRUE(f.nfReady);
    EXPECT_EQ(f.nfCode, NotifyCode::Download);
    EXPECT_EQ(f.nfReturnList, (std::vector<std::wstring>{L"Failed", L"ResponseAbort"}));
    f = n.Read();
    EXPECT_EQ(f.nfCode, NotifyCode::Idle);
    EXPECT_FALSE(f.nfReady);
    EXPECT_TRUE(f.nfReturnList.empty());
    EXPECT_TRUE(f.nfStatus.empty());
}

TEST(Notify, DestroyListDropsIt) {
    TNotify n;
    n.Init(NotifyCode::KeepList);
    EXPECT_TRUE(n.Read().hasList);
    n.DestroyList();
    EXPECT_FALSE(n.Read().hasList);
}

// A worker posts numbered results while the "timer" reads and resets. Every
// post is seen exactly once and whole (its two lines together), or was made
// after a reset and is then seen under Idle; none is lost or torn.
TEST(Notify, WorkerPostsAreNeverLostOrTornByTheTimer) {
    TNotify n;
    n.Init(NotifyCode::KeepList);
    constexpr int kPosts = 3000;
    std::atomic<int> taken{0};
    std::atomic<bool> done{false};
    std::vector<int> seen;
    std::thread timer([&] {
        while (!done.load() || n.Read().nfReady) {
            TNotify::Fields f = n.TakeForTimer();
            if (!f.nfReady) continue;
            ASSERT_EQ(f.nfReturnList.size() % 2, 0u);
            for (size_t i = 0; i < f.nfReturnList.size(); i += 2) {
                int a = std::stoi(f.nfReturnList[i].substr(1));
                int b = std::stoi(f.nfReturnList[i + 1].substr(1));
                ASSERT_EQ(f.nfReturnList[i][0], L'a');
                ASSERT_EQ(f.nfReturnList[i + 1][0], L'b');
                ASSERT_EQ(a, b);
                seen.push_back(a);
            }
            taken.fetch_add(1);
        }
    });
    for (int i = 0; i < kPosts; ++i)
        n.Post({L"a" + std::to_wstring(i), L"b" + std::to_wstring(i)});
    done.store(true);
    timer.join();
    ASSERT_EQ(seen.size(), static_cast<size_t>(kPosts));
    for (int i = 0; i < kPosts; ++i) EXPECT_EQ(seen[i], i);
    EXPECT_GT(taken.load(), 0);
}

}  // namespace
}  // namespace bv
