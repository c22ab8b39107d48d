#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "pelbo/drawhub/RecordTimeMeter.h"

namespace {

using AuxRenderOverall::RecordTimeMeter;

std::atomic<int64_t> g_now{1000};
int64_t FakeNow()
{
    return g_now.load();
}

class RecordTimeMeterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_now = 1000;
        RecordTimeMeter::SetClockSource(&FakeNow);
        RecordTimeMeter::Reset(0);
    }
    void TearDown() override { RecordTimeMeter::SetClockSource(nullptr); }
};

TEST_F(RecordTimeMeterTest, ResetHoldsTheServerTimeUntilStarted)
{
    RecordTimeMeter::Reset(1700000000123);
    g_now += 500;
    EXPECT_EQ(RecordTimeMeter::GetCurrentClock(), 1700000000123);
    EXPECT_FALSE(RecordTimeMeter::IsRunning());

    RecordTimeMeter::Start();
    g_now += 250;
    EXPECT_EQ(RecordTimeMeter::GetCurrentClock(), 1700000000373);
}

TEST_F(RecordTimeMeterTest, StartTwiceDoesNotRestartAndResetRebases)
{
    RecordTimeMeter::Reset(10);
    RecordTimeMeter::Start();
    g_now += 40;
    RecordTimeMeter::Start();
    g_now += 10;
    EXPECT_EQ(RecordTimeMeter::GetCurrentClock(), 60);

    // A ping reply resets and starts again from the newer server time.
    RecordTimeMeter::Reset(5000);
    RecordTimeMeter::Start();
    g_now += 7;
    EXPECT_EQ(RecordTimeMeter::GetCurrentClock(), 5007);
}

TEST_F(RecordTimeMeterTest, StopFreezesTheValue)
{
    RecordTimeMeter::Reset(100);
    RecordTimeMeter::Start();
    g_now += 30;
    RecordTimeMeter::Stop();
    g_now += 1000;
    EXPECT_EQ(RecordTimeMeter::GetCurrentClock(), 130);
}

TEST_F(RecordTimeMeterTest, SwitchingTheSourceKeepsARunningValue)
{
    RecordTimeMeter::Reset(100);
    RecordTimeMeter::Start();
    g_now += 20;
    RecordTimeMeter::SetClockSource(nullptr);
    const int64_t value = RecordTimeMeter::GetCurrentClock();
    EXPECT_GE(value, 120);
    // The steady clock never goes back.
    EXPECT_GE(RecordTimeMeter::GetCurrentClock(), value);
}

TEST(RecordTimeMeterThreads, ReadersSeeAMonotonicClockWhileOthersReset)
{
    RecordTimeMeter::SetClockSource(nullptr);
    RecordTimeMeter::Reset(1000000);
    RecordTimeMeter::Start();
    std::atomic<bool> bad{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < 2; ++i) {
        readers.emplace_back([&bad] {
            int64_t last = 0;
            for (int n = 0; n < 20000; ++n) {
                const int64_t now = RecordTimeMeter::GetCurrentClock();
                if (now < last)
                    bad = true;
                last = now;
            }
        });
    }
    // Resets only move forward here, so readers must never see time go back.
    for (int n = 1; n <= 200; ++n) {
        RecordTimeMeter::Reset(1000000 + int64_t{n} * 1000000);
        RecordTimeMeter::Start();
    }
    for (auto& t : readers)
        t.join();
    EXPECT_FALSE(bad);
}

}  // namespace
