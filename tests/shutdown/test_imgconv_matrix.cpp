// The shutdown matrix of the image conversions. Every call belongs on the
// main thread, the one that runs ThreadPoolV4::RunBaseLoop, and so do the
// results: the second thread does not stop anything itself but posts the
// main thread a message, which stops a job, the jobs of a callback, a
// callback (destroying it cancels its jobs), the family, or everything
// through Aux::Core::DoExit, between two results. The callbacks do the same
// from inside their results, and start further jobs. A stopped job is never
// reported afterwards: nothing runs beside the main thread to race it.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ShutdownMatrix.h"
#include "pelbo/core/CoreApi.h"
#include "pelbo/corekit/ThreadPool.h"
#include "pelbo/imgconv/ImgConvApi.h"
#include "imgconv/TestImages.h"
#include "support/HangWatchdog.h"
#include "support/LoopWatchdog.h"

namespace {

const char kConversions[] = "conversions";
const char kJob[] = "job";

constexpr int kRounds = 12;
// A message number the library does not use for the main thread.
constexpr unsigned kMsgStop = 7101;
constexpr unsigned kCallbackStops = 25;
constexpr unsigned kCallbackStarts = 40;
// A lost result leaves the loop waiting: after this the round gives up and
// the ledger names what is missing.
constexpr auto kLoopLimit = std::chrono::seconds(20);

class ImgConvMatrix;

// One job's callback; it knows its owner and its request.
class JobCallback : public Aux::ImgConv::CImgConvCallback {
public:
    JobCallback(ImgConvMatrix& owner, uint64_t serial) : m_owner(owner), m_serial(serial) {}
    void OnImgConvResult(const long& result, const wchar_t* srcFile, const wchar_t* dstFile) override;

    unsigned long long jobId = 0;
    // Job ids start at 1 again with each manager: the id names this job
    // only while the manager that gave it is the family's.
    uint64_t generation = 0;
    ShutdownMatrix::Id request = 0;

private:
    ImgConvMatrix& m_owner;
    const uint64_t m_serial;
};

ImgConvMatrix* g_running = nullptr;

class ImgConvMatrix : public ::testing::TestWithParam<uint32_t> {
public:
    void OnResult(uint64_t serial)
    {
        matrix->Report(kConversions, kJob, std::to_string(serial));
        // A further job before or after the stop: after an exit it goes to
        // a fresh manager while the old one still runs this result.
        const bool startFirst = matrix->Chance(50);
        if (startFirst && matrix->Chance(kCallbackStarts))
            StartJob();
        if (matrix->Chance(kCallbackStops))
            StopAtRandom(matrix->Draw(1u << 20));
        if (!startFirst && matrix->Chance(kCallbackStarts))
            StartJob();
    }

protected:
    void SetUp() override
    {
        dir = TestImages::ScratchDir("matrix");
        ASSERT_TRUE(TestImages::Screenshot(64, 48).Save((dir / "shot.png").string().c_str(), ImageCodec::Format::Png));
        ASSERT_TRUE(TestImages::Photo(64, 48).Save((dir / "photo.jpg").string().c_str(), ImageCodec::Format::Jpeg));
        sources = {(dir / "shot.png").wstring(), (dir / "photo.jpg").wstring(), (dir / "missing.png").wstring()};
        mainTask = ThreadPoolV4::GetCurrentTaskId();
        ASSERT_EQ(ThreadPoolV4::RegMsgSink(kMsgStop, &ImgConvMatrix::OnStopMessage, this), ThreadPoolV4::TaskOk);
        g_running = this;
    }

    void TearDown() override
    {
        ThreadPoolV4::UnregMsgSink(kMsgStop);
        g_running = nullptr;
        Aux::ImgConv::Exit();
        callbacks.clear();
        ThreadPoolV4::Shutdown();
    }

    static void OnStopMessage(uint64_t, unsigned, IXData*, unsigned choice, void* self)
    {
        static_cast<ImgConvMatrix*>(self)->StopAtRandom(choice);
    }

    static void QuitWhenSettled()
    {
        if (g_running != nullptr && g_running->matrix->Settled())
            ThreadPoolV4::SetExitLoop(1);
    }

    static void QuitWhenIdle() { ThreadPoolV4::SetExitLoop(1); }

    void StartJob()
    {
        const uint64_t serial = ++serialCounter;
        auto callback = std::make_unique<JobCallback>(*this, serial);
        const std::wstring& src = sources[matrix->Draw(static_cast<uint32_t>(sources.size()))];
        const std::wstring dst = (dir / ("out-" + std::to_string(serial) + ".png")).wstring();
        callback->request = matrix->Issue(kConversions, kJob, std::to_string(serial));
        callback->generation = generation;
        if (Aux::ImgConv::Start(src.c_str(), dst.c_str(), callback.get(), &callback->jobId) !=
            Aux::ImgConv::kResultOk)
            matrix->Withdraw(callback->request);
        callbacks[serial] = std::move(callback);
    }

    // Every stop runs on the main thread, where no call of a callback can
    // be running beside it: each one silences what it ends.
    void StopAtRandom(uint32_t choice)
    {
        const uint32_t what = choice % 16;
        if (what == 0) {
            const ShutdownMatrix::Stop stop(*matrix, "Aux::Core::DoExit", ShutdownMatrix::Scope::Everything(), true);
            Aux::Core::DoExit();
            ++generation;
            return;
        }
        if (what <= 3) {
            const ShutdownMatrix::Stop stop(*matrix, "Aux::ImgConv::Exit", ShutdownMatrix::Scope::Family(kConversions),
                                            true);
            Aux::ImgConv::Exit();
            ++generation;
            return;
        }
        if (callbacks.empty())
            return;
        auto it = callbacks.begin();
        std::advance(it, (choice / 16) % callbacks.size());
        JobCallback* callback = it->second.get();
        const ShutdownMatrix::Scope scope = ShutdownMatrix::Scope::Request(kConversions, callback->request);
        if (what <= 8 && callback->generation == generation) {
            const ShutdownMatrix::Stop stop(*matrix, "Aux::ImgConv::Stop(job)", scope, true);
            Aux::ImgConv::Stop(callback->jobId);
        } else if (what <= 12) {
            const ShutdownMatrix::Stop stop(*matrix, "Aux::ImgConv::Stop(callback)", scope, true);
            Aux::ImgConv::Stop(callback);
        } else {
            const ShutdownMatrix::Stop stop(*matrix, "the callback's destruction", scope, true);
            callbacks.erase(it);
        }
    }

    // Runs the main thread's loop until every result owed has come.
    void RunUntilSettled()
    {
        const TestSupport::LoopWatchdog guard(mainTask, kLoopLimit);
        ThreadPoolV4::RunBaseLoop(&ImgConvMatrix::QuitWhenSettled);
    }

    std::filesystem::path dir;
    std::vector<std::wstring> sources;
    uint64_t mainTask = 0;
    std::unique_ptr<ShutdownMatrix> matrix;
    uint64_t serialCounter = 0;
    // Counts the family's exits; only the main thread touches it.
    uint64_t generation = 0;
    // Destroyed by a stop, or at the end of the test.
    std::map<uint64_t, std::unique_ptr<JobCallback>> callbacks;
};

void JobCallback::OnImgConvResult(const long&, const wchar_t*, const wchar_t*)
{
    // The owner's handling may destroy this callback: nothing of it is
    // touched afterwards.
    m_owner.OnResult(m_serial);
}

TEST_P(ImgConvMatrix, Conversions)
{
    matrix = std::make_unique<ShutdownMatrix>(kConversions, GetParam());
    matrix->RunRounds(
        kRounds,
        [this](int) {
            const uint32_t count = 2 + matrix->Draw(5);
            for (uint32_t i = 0; i < count; ++i)
                StartJob();
            RunUntilSettled();
        },
        [this](std::mt19937& stopper) {
            ThreadPoolV4::PostMsg(mainTask, kMsgStop, nullptr, static_cast<unsigned>(stopper() & 0x7fffffff),
                                  nullptr);
        });
    {
        const TestSupport::HangWatchdog watchdog(matrix->Where() + " final exit");
        // Stops the second thread posted late are handled before the end.
        ThreadPoolV4::RunBaseLoop(&ImgConvMatrix::QuitWhenIdle);
        const ShutdownMatrix::Stop stop(*matrix, "the final exit", ShutdownMatrix::Scope::Everything(), true);
        Aux::ImgConv::Exit();
    }
    matrix->Check();
}

INSTANTIATE_TEST_SUITE_P(Shutdown, ImgConvMatrix, ::testing::Values(101u, 202u, 303u, 404u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             return "seed_" + std::to_string(info.param);
                         });

}  // namespace
