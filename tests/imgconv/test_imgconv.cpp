#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "TestImages.h"
#include "pelbo/corekit/ThreadPool.h"
#include "pelbo/imgconv/ImgConvApi.h"
#include "service/LogCapture.h"
#include "support/LoopWatchdog.h"

namespace {

using Aux::ImgConv::kResultFail;
using Aux::ImgConv::kResultOk;
using ImageCodec::CImage;
using ImageCodec::Format;
namespace fs = std::filesystem;

constexpr auto kPatience = std::chrono::seconds(60);
// Whether pngsqueeze was built with libimagequant (lossy) or without it.
constexpr bool kLossyPng = PELBO_WITH_LIBIMAGEQUANT;

struct Outcome {
    long result = 0;
    std::wstring src;
    std::wstring dst;
    std::thread::id thread;
};

// Results seen by every recorder, and how many the loop waits for. Only
// the main thread touches them.
size_t g_arrived = 0;
size_t g_awaited = 0;

class Recorder : public Aux::ImgConv::CImgConvCallback {
public:
    explicit Recorder(std::shared_ptr<size_t> calls = std::make_shared<size_t>(0)) : m_calls(std::move(calls)) {}

    void OnImgConvResult(const long& result, const wchar_t* srcFile, const wchar_t* dstFile) override
    {
        outcomes.push_back({result, srcFile, dstFile, std::this_thread::get_id()});
        ++*m_calls;
        if (++g_arrived >= g_awaited)
            ThreadPoolV4::SetExitLoop(1);
    }

    std::vector<Outcome> outcomes;

private:
    std::shared_ptr<size_t> m_calls;
};

void QuitWhenIdle()
{
    ThreadPoolV4::SetExitLoop(1);
}

class ImgConvTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_arrived = 0;
        g_awaited = 0;
        dir = TestImages::ScratchDir("conv");
    }
    void TearDown() override
    {
        Aux::ImgConv::Exit();
        ThreadPoolV4::Shutdown();
    }

    std::wstring At(const std::string& name) const { return (dir / name).wstring(); }

    // Runs the main thread's loop until `count` more results arrived.
    bool RunUntil(size_t count)
    {
        g_awaited = g_arrived + count;
        const TestSupport::LoopWatchdog watchdog(ThreadPoolV4::GetCurrentTaskId(), kPatience);
        ThreadPoolV4::RunBaseLoop(nullptr);
        return g_arrived >= g_awaited;
    }

    // Handles whatever messages are already queued for the main thread.
    static void Drain() { ThreadPoolV4::RunBaseLoop(QuitWhenIdle); }

    void SavePng(const CImage& image, const std::string& name) { ASSERT_TRUE(image.Save(Narrow(name).c_str(), Format::Png)); }
    void SaveJpeg(const CImage& image, const std::string& name)
    {
        ASSERT_TRUE(image.Save(Narrow(name).c_str(), Format::Jpeg));
    }
    std::string Narrow(const std::string& name) const { return (dir / name).string(); }

    unsigned long long StartJob(const std::string& src, const std::string& dst, Recorder& recorder)
    {
        unsigned long long id = 0;
        EXPECT_EQ(Aux::ImgConv::Start(At(src).c_str(), At(dst).c_str(), &recorder, &id), kResultOk);
        return id;
    }

    fs::path dir;
};

TEST_F(ImgConvTest, PngIsFoundByContentAndJpgIsReencodedWithResultsOnTheMainThread)
{
    SavePng(TestImages::Screenshot(320, 200), "shot.jpg");  // a PNG despite its name
    CImage photo = TestImages::Photo(200, 150);
    photo.SetJpegQuality(95);
    SaveJpeg(photo, "photo.jpg");

    Recorder recorder;
    EXPECT_EQ(StartJob("shot.jpg", "shot-out.jpg", recorder), 1u);
    EXPECT_EQ(StartJob("photo.jpg", "photo-out.jpg", recorder), 2u);
    ASSERT_TRUE(RunUntil(2));

    ASSERT_EQ(recorder.outcomes.size(), 2u);
    for (const Outcome& outcome : recorder.outcomes) {
        EXPECT_EQ(outcome.result, kResultOk);
        EXPECT_EQ(outcome.thread, std::this_thread::get_id());
    }
    EXPECT_EQ(TestImages::PngColourType(dir / "shot-out.jpg"), 3);
    EXPECT_TRUE(TestImages::IsJpegFile(dir / "photo-out.jpg"));
    EXPECT_LT(fs::file_size(dir / "photo-out.jpg"), fs::file_size(dir / "photo.jpg"));
    const Outcome& first = recorder.outcomes[0].src == At("shot.jpg") ? recorder.outcomes[0] : recorder.outcomes[1];
    EXPECT_EQ(first.dst, At("shot-out.jpg"));
}

TEST_F(ImgConvTest, ExtensionsAreMatchedExactlyAndCaseSensitively)
{
    CImage photo = TestImages::Photo(64, 48);
    for (const char* name : {"upper.JPG", "long.jpeg", "other.gif", "none", "jpeg-content.png"})
        SaveJpeg(photo, name);
    SavePng(photo, "png-content.JPG");
    SavePng(photo, "png-content.txt");

    Recorder recorder;
    for (const char* name : {"upper.JPG", "long.jpeg", "other.gif", "none", "jpeg-content.png", "png-content.JPG",
                             "png-content.txt"})
        StartJob(name, std::string(name) + ".out", recorder);
    ASSERT_TRUE(RunUntil(7));

    for (const Outcome& outcome : recorder.outcomes) {
        const bool pngByContent = outcome.src.find(L"png-content") != std::wstring::npos;
        EXPECT_EQ(outcome.result, pngByContent ? kResultOk : kResultFail);
        EXPECT_EQ(fs::exists(fs::path(outcome.dst)), pngByContent);
    }
}

TEST_F(ImgConvTest, BadInputsAndDestinationsFail)
{
    CImage photo = TestImages::Photo(160, 120);
    SavePng(photo, "good.png");
    SaveJpeg(photo, "good.jpg");
    TestImages::Truncate(dir / "good.png", dir / "cut.png");
    TestImages::Truncate(dir / "good.jpg", dir / "cut.jpg");
    TestImages::WriteBytes(dir / "empty.png", {});
    TestImages::WriteBytes(dir / "empty.jpg", {});
    TestImages::WriteBytes(dir / "text.png", {'<', 'h', 't', 'm', 'l', '>'});
    TestImages::WriteBytes(dir / "huge.png", TestImages::PngDeclaring(100000, 100000));

    Recorder recorder;
    for (const char* name :
         {"missing.png", "missing.jpg", "cut.png", "cut.jpg", "empty.png", "empty.jpg", "text.png", "huge.png"})
        StartJob(name, std::string("out-") + name, recorder);
    StartJob("good.png", "no-such-folder/out.png", recorder);
    StartJob("good.jpg", "no-such-folder/out.jpg", recorder);
    ASSERT_TRUE(RunUntil(10));

    for (const Outcome& outcome : recorder.outcomes) {
        EXPECT_EQ(outcome.result, kResultFail) << ToMultiByte(outcome.src.c_str(), CP_UTF8);
        EXPECT_FALSE(fs::exists(fs::path(outcome.dst))) << ToMultiByte(outcome.dst.c_str(), CP_UTF8);
    }
}

TEST_F(ImgConvTest, PngThatNoPaletteBringsToTheQualityFloorFails)
{
    if (!kLossyPng)
        GTEST_SKIP() << "checks a lossy result: this build has no libimagequant (PELBO_WITH_LIBIMAGEQUANT=OFF) and "
                        "recompresses every PNG losslessly, so no floor is out of reach";
    SavePng(TestImages::Noise(96, 96), "noise.png");
    Recorder recorder;
    StartJob("noise.png", "out-noise.png", recorder);
    ASSERT_TRUE(RunUntil(1));
    ASSERT_EQ(recorder.outcomes.size(), 1u);
    EXPECT_EQ(recorder.outcomes[0].result, kResultFail);
    EXPECT_FALSE(fs::exists(dir / "out-noise.png"));
}

TEST_F(ImgConvTest, ReadOnlyDestinationFolderFails)
{
    CImage photo = TestImages::Photo(80, 60);
    SavePng(photo, "good.png");
    SaveJpeg(photo, "good.jpg");
    fs::create_directories(dir / "ro");
    fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    bool enforced = false;
    Recorder recorder;
    {
        // The conversion tasks start inside this scope and inherit it.
        TestImages::ObeyFilePermissions obey;
        enforced = TestImages::ReadOnlyIsEnforced(dir / "ro");
        StartJob("good.png", "ro/out.png", recorder);
        StartJob("good.jpg", "ro/out.jpg", recorder);
        EXPECT_TRUE(RunUntil(2));
    }
    fs::permissions(dir / "ro", fs::perms::owner_all);
    if (!enforced)
        GTEST_SKIP() << "this user writes into read-only folders";
    ASSERT_EQ(recorder.outcomes.size(), 2u);
    for (const Outcome& outcome : recorder.outcomes)
        EXPECT_EQ(outcome.result, kResultFail) << ToMultiByte(outcome.dst.c_str(), CP_UTF8);
    EXPECT_EQ(TestImages::FileCount(dir / "ro"), 0u);
}

TEST_F(ImgConvTest, EachConversionWritesItsFiveLogLines)
{
    SavePng(TestImages::Screenshot(100, 80), "shot.png");
    TestImages::Truncate(dir / "shot.png", dir / "cut.png");
    const auto shotSize = std::to_string(fs::file_size(dir / "shot.png"));
    const auto cutSize = std::to_string(fs::file_size(dir / "cut.png"));
    LogCapture log;

    Recorder recorder;
    StartJob("shot.png", "shot-out.png", recorder);
    StartJob("cut.png", "cut-out.png", recorder);
    StartJob("missing.jpg", "missing-out.jpg", recorder);
    ASSERT_TRUE(RunUntil(3));
    const auto outSize = std::to_string(fs::file_size(dir / "shot-out.png"));
    // The paths as the job was given them (with "\\" on Windows).
    const auto at = [this](const char* name) { return (dir / name).u8string(); };

    EXPECT_EQ(log.Count("src_file: " + at("shot.png") + ", dst_file: " + at("shot-out.png")), 1u);
    EXPECT_EQ(log.Count("is png src_file: " + at("shot.png") + ", Cost: "), 1u);
    EXPECT_EQ(log.Count("png strImage: " + at("shot.png") + ", ret: 1, " + shotSize + "->" + outSize + ", Cost: "),
              1u);
    EXPECT_EQ(log.Count("png strImage: " + at("cut.png") + ", ret: 0, " + cutSize + "->0, Cost: "), 1u);
    EXPECT_EQ(log.Count("is png src_file: " + at("missing.jpg") + ", Cost: "), 1u);
    EXPECT_EQ(log.Count("non_png strImage: " + at("missing.jpg") + ", ret: 0, 0->0, Cost: "), 1u);
}

TEST_F(ImgConvTest, StoppedJobsAreNeverReported)
{
    SavePng(TestImages::Screenshot(64, 64), "small.png");
    SavePng(TestImages::Photo(400, 300), "big.png");
    EXPECT_EQ(Aux::ImgConv::Stop(99ull), 1);

    Recorder stopped;
    Recorder sentinel;
    const auto first = StartJob("small.png", "first.png", stopped);
    const auto second = StartJob("small.png", "second.png", stopped);
    EXPECT_EQ(Aux::ImgConv::Stop(first), 0);
    EXPECT_EQ(Aux::ImgConv::Stop(first), 1);
    EXPECT_EQ(StartJob("big.png", "big-out.png", sentinel), 3u);
    EXPECT_EQ(Aux::ImgConv::Stop(&stopped), 0);
    EXPECT_EQ(Aux::ImgConv::Stop(second), 1);

    // The small jobs, if they ran at all, finished long before the big one.
    ASSERT_TRUE(RunUntil(1));
    Drain();
    EXPECT_TRUE(stopped.outcomes.empty());
    ASSERT_EQ(sentinel.outcomes.size(), 1u);
    EXPECT_EQ(sentinel.outcomes[0].result, kResultOk);
}

TEST_F(ImgConvTest, DestroyingACallbackCancelsItsJobs)
{
    SavePng(TestImages::Screenshot(64, 64), "small.png");
    SavePng(TestImages::Photo(400, 300), "big.png");
    auto calls = std::make_shared<size_t>(0);
    auto doomed = std::make_unique<Recorder>(calls);
    StartJob("small.png", "a.png", *doomed);
    StartJob("small.png", "b.png", *doomed);
    doomed.reset();  // its jobs are running now; a late call would touch freed memory

    Recorder sentinel;
    StartJob("big.png", "big-out.png", sentinel);
    ASSERT_TRUE(RunUntil(1));
    Drain();
    EXPECT_EQ(*calls, 0u);
    EXPECT_EQ(sentinel.outcomes.size(), 1u);
}

#ifdef __linux__
size_t ThreadCount()
{
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/task")) {
        (void)entry;
        ++count;
    }
    return count;
}

// A joined thread may still be listed for a moment while the kernel finishes
// taking it down: the count once it has held still for 100 ms.
size_t SettledThreadCount()
{
    size_t count = ThreadCount();
    for (int still = 0, i = 0; still < 10 && i < 300; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const size_t now = ThreadCount();
        still = now == count ? still + 1 : 0;
        count = now;
    }
    return count;
}
#endif

TEST_F(ImgConvTest, ExitWithJobsRunningDropsThemAndLeavesNoThreadBehind)
{
    SavePng(TestImages::Photo(400, 300), "big.png");
    {
        // Warm up whatever the log and the pool start once per process.
        Recorder warm;
        StartJob("big.png", "warm.png", warm);
        ASSERT_TRUE(RunUntil(1));
        Aux::ImgConv::Exit();
        ThreadPoolV4::Shutdown();
    }
#ifdef __linux__
    const size_t threadsBefore = SettledThreadCount();
#endif

    auto calls = std::make_shared<size_t>(0);
    Recorder dropped(calls);
    for (int i = 0; i < 6; ++i)
        StartJob("big.png", "dropped-" + std::to_string(i) + ".png", dropped);
    Aux::ImgConv::Exit();

    Recorder after;
    EXPECT_EQ(StartJob("big.png", "after.png", after), 1u) << "a new manager starts counting anew";
    ASSERT_TRUE(RunUntil(1));
    Drain();
    EXPECT_EQ(*calls, 0u);
    EXPECT_EQ(after.outcomes.size(), 1u);

    Aux::ImgConv::Exit();
    ThreadPoolV4::Shutdown();
#ifdef __linux__
    EXPECT_EQ(SettledThreadCount(), threadsBefore);
#endif
    for (int i = 0; i < 6; ++i) {
        const fs::path out = dir / ("dropped-" + std::to_string(i) + ".png");
        EXPECT_TRUE(!fs::exists(out) || CImage().Load(out.string().c_str(), Format::Png)) << "a partial file was left";
    }
}

TEST_F(ImgConvTest, ManyJobsAtOnceAreEachReportedExactlyOnce)
{
    SavePng(TestImages::Screenshot(120, 90), "shot.png");
    SaveJpeg(TestImages::Photo(120, 90), "photo.jpg");
    constexpr int kJobs = 24;
    Recorder recorder;
    std::map<std::wstring, long> expected;
    for (int i = 0; i < kJobs; ++i) {
        const std::string src = i % 3 == 0 ? "shot.png" : i % 3 == 1 ? "photo.jpg" : "missing.png";
        const std::string dst = "out-" + std::to_string(i);
        EXPECT_EQ(StartJob(src, dst, recorder), static_cast<unsigned long long>(i + 1));
        expected[At(dst)] = i % 3 == 2 ? kResultFail : kResultOk;
    }
    ASSERT_TRUE(RunUntil(kJobs));
    Drain();

    ASSERT_EQ(recorder.outcomes.size(), static_cast<size_t>(kJobs));
    std::map<std::wstring, int> seen;
    for (const Outcome& outcome : recorder.outcomes) {
        ++seen[outcome.dst];
        EXPECT_EQ(outcome.result, expected[outcome.dst]);
        EXPECT_EQ(outcome.thread, std::this_thread::get_id());
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kJobs));
}

// Ends the family from inside its first result.
class ExitingRecorder : public Recorder {
public:
    void OnImgConvResult(const long& result, const wchar_t* srcFile, const wchar_t* dstFile) override
    {
        Recorder::OnImgConvResult(result, srcFile, dstFile);
        Aux::ImgConv::Exit();
    }
};

TEST_F(ImgConvTest, ACallbackMayEndTheFamilyOrItselfFromInsideItsResult)
{
    SavePng(TestImages::Screenshot(64, 64), "small.png");
    ExitingRecorder exiting;
    StartJob("small.png", "a.png", exiting);
    StartJob("small.png", "b.png", exiting);
    ASSERT_TRUE(RunUntil(1));
    EXPECT_EQ(exiting.outcomes.size(), 1u);

    struct SelfDeleting : Recorder {
        explicit SelfDeleting(std::shared_ptr<size_t> calls) : Recorder(std::move(calls)) {}
        void OnImgConvResult(const long& result, const wchar_t* src, const wchar_t* dst) override
        {
            Recorder::OnImgConvResult(result, src, dst);
            delete this;
        }
    };
    auto calls = std::make_shared<size_t>(0);
    StartJob("small.png", "c.png", *new SelfDeleting(calls));
    ASSERT_TRUE(RunUntil(1));
    Drain();
    EXPECT_EQ(*calls, 1u);
    EXPECT_EQ(exiting.outcomes.size(), 1u) << "the second job was dropped with the family";
}

// A callback that ends the family and starts a job at once: the job goes to
// a fresh manager while the old one is still running the result, and its
// result arrives like any other when the old manager has gone.
TEST_F(ImgConvTest, JobStartedRightAfterAnExitInsideAResultIsReported)
{
    SavePng(TestImages::Screenshot(64, 64), "small.png");
    Recorder next;
    struct Restarting : Recorder {
        void OnImgConvResult(const long& result, const wchar_t* src, const wchar_t* dst) override
        {
            Recorder::OnImgConvResult(result, src, dst);
            Aux::ImgConv::Exit();
            EXPECT_EQ(Aux::ImgConv::Start(src, restartedDst.c_str(), restarted, nullptr), kResultOk);
        }
        std::wstring restartedDst;
        Recorder* restarted = nullptr;
    } restarting;
    restarting.restartedDst = At("again.png");
    restarting.restarted = &next;
    StartJob("small.png", "first.png", restarting);
    ASSERT_TRUE(RunUntil(2)) << "the job started after the exit was never reported";
    ASSERT_EQ(next.outcomes.size(), 1u);
    EXPECT_EQ(next.outcomes[0].result, kResultOk);
    EXPECT_EQ(next.outcomes[0].dst, At("again.png"));
}

}  // namespace
