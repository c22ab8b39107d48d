// fetcher against the in-process local server, over HTTP and over HTTPS with
// a throw-away CA: complete downloads, refusals by the server, transfers cut
// off or stopped half-way, refused arguments, events that go away while
// their download runs, and downloads that continue an earlier attempt.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Path.h"
#include "devserver/State.h"
#include "pelbo/fetcher/HttpDownload.h"
#include "support/HostileServer.h"
#include "support/ScopedEnvironment.h"
#include "support/TempDir.h"
#include "support/TestServer.h"

namespace {

namespace HD = Util::HttpDownload;
using namespace std::chrono_literals;

constexpr auto kWait = 30s;

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Files of megabytes: on a mismatch, where they part rather than all of both.
::testing::AssertionResult HoldsExactly(const std::filesystem::path& path, const std::string& expected)
{
    const std::string actual = ReadFile(path);
    if (actual == expected)
        return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
        ++at;
    return ::testing::AssertionFailure() << path.filename() << " holds " << actual.size() << " bytes, "
                                         << expected.size() << " expected; they part at byte " << at;
}

size_t CountFiles(const std::filesystem::path& folder)
{
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        (void)entry;
        ++count;
    }
    return count;
}

// Records what is delivered and lets the test wait for a result.
class RecordingEvent : public HD::CHttpDownloadEvent {
public:
    struct Progress {
        unsigned long long id, done, total;
    };

    ~RecordingEvent() override { DetachDownloadEvent(); }

    void OnHttpDownProgress(const unsigned long long& id, const unsigned long long& done,
                            const unsigned long long& total) override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_progress.push_back({id, done, total});
        }
        if (onProgress) {
            onProgress(id, done, total);
        }
    }

    void OnHttpDownResult(const unsigned long long& id, const unsigned int& code) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_results[id].push_back(code);
        m_changed.notify_all();
    }

    // The code of the download's result; -1 when none arrived in time.
    long WaitResult(unsigned long long id)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_changed.wait_for(lock, kWait, [&] { return m_results.count(id) != 0; })) {
            return -1;
        }
        return static_cast<long>(m_results[id].front());
    }

    size_t ResultCount(unsigned long long id)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_results.count(id) != 0 ? m_results[id].size() : 0;
    }

    std::vector<Progress> ProgressReports()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_progress;
    }

    std::function<void(unsigned long long, unsigned long long, unsigned long long)> onProgress;

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<unsigned long long, std::vector<unsigned>> m_results;
    std::vector<Progress> m_progress;
};

class HttpDownloadTest : public ::testing::TestWithParam<bool> {
protected:
    HttpDownloadTest() : m_server(GetParam() ? TestSupport::TestServer::Https() : TestSupport::TestServer::Http()) {}

    void SetUp() override
    {
        ASSERT_TRUE(m_server.Started()) << m_server.Error();
        ASSERT_FALSE(m_root.Path().empty());
        Util::Path::SetRootFolder(m_root.Path().wstring().c_str());
        Http::SetCaBundle(Widen(m_server.CaFile()).c_str());
        Http::SetConnectTimeoutMs(10000);
        Http::SetRequestTimeoutMs(30000);
        m_folder = m_root.Path() / "downloads";
        std::filesystem::create_directories(m_folder);
    }

    void TearDown() override
    {
        m_server.Server().ClearFaults();
        HD::Shutdown();
    }

    std::wstring Url(const std::string& pathAndQuery) const { return Widen(m_server.Url(pathAndQuery)); }
    std::filesystem::path Target(const char* name) const { return m_folder / name; }

    unsigned long long Start(RecordingEvent& event, const std::wstring& url, const std::filesystem::path& path)
    {
        unsigned long long id = 0;
        const unsigned accepted = HD::Download(url.c_str(), path.wstring().c_str(), &event, &id, HD::E_SAVE_REPLACE, 0, 0);
        EXPECT_EQ(accepted, HD::kAccepted);
        EXPECT_NE(id, 0u);
        return id;
    }

    TestSupport::TestServer m_server;
    TestSupport::TempDir m_root;
    std::filesystem::path m_folder;
};

TEST_P(HttpDownloadTest, CompleteDownloadLandsAtTheDestinationWithProgressToTheEnd)
{
    const size_t size = 3 * 1024 * 1024 + 17;
    RecordingEvent event;
    const auto target = Target("whole.bin");
    const auto id = Start(event, Url("/download/file?size=" + std::to_string(size)), target);

    ASSERT_EQ(event.WaitResult(id), static_cast<long>(HD::kDownOk));
    EXPECT_EQ(ReadFile(target), DevServer::DownloadShelf::Pattern(size));
    EXPECT_EQ(CountFiles(m_folder), 1u) << "no temporary file may stay behind";

    const auto reports = event.ProgressReports();
    ASSERT_FALSE(reports.empty());
    unsigned long long previous = 0;
    for (const auto& report : reports) {
        EXPECT_EQ(report.id, id);
        EXPECT_GE(report.done, previous);
        previous = report.done;
    }
    EXPECT_EQ(reports.back().done, size);
    EXPECT_EQ(reports.back().total, size);
    EXPECT_EQ(event.ResultCount(id), 1u);
}

TEST_P(HttpDownloadTest, ProxyVariablesOfTheEnvironmentAreNotRead)
{
    TestSupport::ScopedEnvironment environment;
    TestSupport::PointProxyVariablesNowhere(environment);
    RecordingEvent event;
    const auto target = Target("direct.bin");
    const auto id = Start(event, Url("/download/file?size=1000"), target);
    ASSERT_EQ(event.WaitResult(id), static_cast<long>(HD::kDownOk));
    EXPECT_EQ(ReadFile(target), DevServer::DownloadShelf::Pattern(1000));
}

TEST_P(HttpDownloadTest, FinishedDownloadReplacesAnOlderFile)
{
    const auto target = Target("installer.sh");
    std::ofstream(target) << "old contents";
    m_server.State().downloads.Put("fresh", "fresh contents");
    RecordingEvent event;
    const auto id = Start(event, Url("/download/file?name=fresh"), target);
    ASSERT_EQ(event.WaitResult(id), static_cast<long>(HD::kDownOk));
    EXPECT_EQ(ReadFile(target), "fresh contents");
}

TEST_P(HttpDownloadTest, RefusalByTheServerReportsItsStatusAndLeavesNothing)
{
    RecordingEvent event;
    const auto missing = Target("missing.bin");
    const auto id = Start(event, Url("/download/file?name=nothing-here"), missing);
    EXPECT_EQ(event.WaitResult(id), 404);
    EXPECT_FALSE(std::filesystem::exists(missing));

    // A refusal switched on for the route, over a file that was already there.
    const auto kept = Target("kept.bin");
    std::ofstream(kept) << "still here";
    DevServer::Fault fault;
    fault.httpStatus = 503;
    ASSERT_TRUE(m_server.Server().SetFault("GET", "/download/installer", fault));
    const auto second = Start(event, Url("/download/installer"), kept);
    EXPECT_EQ(event.WaitResult(second), 503);
    EXPECT_EQ(ReadFile(kept), "still here");
    EXPECT_EQ(CountFiles(m_folder), 1u);
}

TEST_P(HttpDownloadTest, RedirectsAreFollowedButNeverFromHttpsToPlainHttp)
{
    m_server.State().downloads.Put("moved", "moved contents");
    DevServer::Fault fault;
    fault.redirectTo = m_server.Url("/download/file?name=moved");
    ASSERT_TRUE(m_server.Server().SetFault("GET", "/download/installer", fault));
    RecordingEvent event;
    const auto sameScheme = Target("same-scheme.bin");
    ASSERT_EQ(event.WaitResult(Start(event, Url("/download/installer"), sameScheme)), static_cast<long>(HD::kDownOk));
    EXPECT_EQ(ReadFile(sameScheme), "moved contents");

    TestSupport::TestServer plain(TestSupport::TestServer::Http());
    ASSERT_TRUE(plain.Started()) << plain.Error();
    plain.State().downloads.Put("plain", "plain contents");
    fault.redirectTo = plain.Url("/download/file?name=plain");
    ASSERT_TRUE(m_server.Server().SetFault("GET", "/download/installer", fault));
    const auto toPlain = Target("to-plain.bin");
    const long result = event.WaitResult(Start(event, Url("/download/installer"), toPlain));
    if (GetParam()) {
        EXPECT_EQ(result, static_cast<long>(HD::kDownTransport));
        EXPECT_FALSE(std::filesystem::exists(toPlain));
        EXPECT_EQ(plain.Server().RequestCount(), 0u) << "nothing may be asked of the plain server";
    } else {
        ASSERT_EQ(result, static_cast<long>(HD::kDownOk));
        EXPECT_EQ(ReadFile(toPlain), "plain contents");
    }
    EXPECT_EQ(CountFiles(m_folder), GetParam() ? 1u : 2u) << "no temporary file may stay behind";
}

TEST_P(HttpDownloadTest, TransferCutOffHalfWayFailsAndLeavesNothing)
{
    DevServer::Fault fault;
    fault.closeMidResponse = true;
    ASSERT_TRUE(m_server.Server().SetFault("GET", "/download/file", fault));
    RecordingEvent event;
    const auto target = Target("cut.bin");
    const auto id = Start(event, Url("/download/file?size=2000000"), target);
    EXPECT_EQ(event.WaitResult(id), static_cast<long>(HD::kDownTransport));
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_EQ(CountFiles(m_folder), 0u);
}

TEST_P(HttpDownloadTest, StopFromTheProgressReportEndsTheTransferAsStopped)
{
    RecordingEvent event;
    std::atomic<bool> stopped{false};
    event.onProgress = [&stopped](unsigned long long id, unsigned long long done, unsigned long long) {
        if (done > 0 && !stopped.exchange(true)) {
            EXPECT_EQ(HD::Stop(id), 1u);
        }
    };
    const auto target = Target("stopped.bin");
    const auto id = Start(event, Url("/download/file?size=" + std::to_string(16 << 20)), target);
    EXPECT_EQ(event.WaitResult(id), static_cast<long>(HD::kDownStopped));
    EXPECT_TRUE(stopped.load());
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_EQ(CountFiles(m_folder), 0u);
    EXPECT_EQ(event.ResultCount(id), 1u);
    EXPECT_EQ(HD::Stop(id), 0u) << "an ended download is no longer known";
}

TEST_P(HttpDownloadTest, StopWhileWaitingForTheAnswer)
{
    DevServer::Fault fault;
    fault.delayMs = 20000;
    ASSERT_TRUE(m_server.Server().SetFault("GET", "/download/installer", fault));
    RecordingEvent event;
    const auto target = Target("waiting.bin");
    const auto id = Start(event, Url("/download/installer"), target);
    EXPECT_EQ(HD::Stop(id), 1u);
    EXPECT_EQ(event.WaitResult(id), static_cast<long>(HD::kDownStopped));
    EXPECT_EQ(CountFiles(m_folder), 0u);
}

TEST_P(HttpDownloadTest, BadArgumentsAreRefusedWithoutAFile)
{
    RecordingEvent event;
    unsigned long long id = 0;
    const std::wstring file = Target("refused.bin").wstring();
    const std::wstring good = Url("/download/installer");
    EXPECT_EQ(HD::Download(good.c_str(), L"", &event, &id, HD::E_SAVE_REPLACE, 0, 0), HD::kRefusedArgument);
    EXPECT_EQ(HD::Download(good.c_str(), nullptr, &event, &id, HD::E_SAVE_REPLACE, 0, 0), HD::kRefusedArgument);
    EXPECT_EQ(HD::Download(nullptr, file.c_str(), &event, &id, HD::E_SAVE_REPLACE, 0, 0), HD::kRefusedArgument);
    EXPECT_EQ(HD::Download(good.c_str(), file.c_str(), nullptr, &id, HD::E_SAVE_REPLACE, 0, 0), HD::kRefusedArgument);
    EXPECT_EQ(HD::Download(good.c_str(), file.c_str(), &event, nullptr, HD::E_SAVE_REPLACE, 0, 0),
              HD::kRefusedArgument);
    EXPECT_EQ(HD::Download(good.c_str(), file.c_str(), &event, &id, static_cast<HD::EFileSaveMode>(7), 0, 0),
              HD::kRefusedArgument);
    for (const wchar_t* url : {L"", L"ftp://127.0.0.1/x", L"file:///etc/passwd", L"httpx://host/x", L"/relative"}) {
        EXPECT_EQ(HD::Download(url, file.c_str(), &event, &id, HD::E_SAVE_REPLACE, 0, 0), HD::kRefusedArgument)
            << std::string(url, url + wcslen(url));
    }
    const std::wstring noFolder = (m_folder / "no-such-folder" / "x.bin").wstring();
    EXPECT_EQ(HD::Download(good.c_str(), noFolder.c_str(), &event, &id, HD::E_SAVE_REPLACE, 0, 0), HD::kRefusedFile);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(CountFiles(m_folder), 0u);
}

TEST_P(HttpDownloadTest, NonAsciiDestinationName)
{
    // Built by hand: the test's C locale cannot convert the wide name.
    RecordingEvent event;
    const std::wstring wide = m_folder.wstring() + L"/\x5347\x7EA7\x5305.bin";
    unsigned long long id = 0;
    const std::wstring url = Url("/download/file?size=1000");
    ASSERT_EQ(HD::Download(url.c_str(), wide.c_str(), &event, &id, HD::E_SAVE_REPLACE, 0, 0), HD::kAccepted);
    ASSERT_EQ(event.WaitResult(id), static_cast<long>(HD::kDownOk));
    const auto target = m_folder / std::filesystem::u8path("\xE5\x8D\x87\xE7\xBA\xA7\xE5\x8C\x85.bin");
    EXPECT_EQ(ReadFile(target), DevServer::DownloadShelf::Pattern(1000));
}

TEST_P(HttpDownloadTest, EventDestroyedDuringItsDownloadGetsNothingMore)
{
    DevServer::Fault fault;
    fault.delayMs = 300;
    fault.remaining = 1;
    ASSERT_TRUE(m_server.Server().SetFault("GET", "/download/installer", fault));
    auto doomed = std::make_unique<RecordingEvent>();
    Start(*doomed, Url("/download/installer"), Target("doomed.bin"));
    doomed.reset();

    // The service handles the stop before it can finish a later download, so
    // once that one is told, the first has left nothing behind.
    RecordingEvent witness;
    const auto id = Start(witness, Url("/download/file?size=10"), Target("witness.bin"));
    ASSERT_EQ(witness.WaitResult(id), static_cast<long>(HD::kDownOk));
    EXPECT_FALSE(std::filesystem::exists(Target("doomed.bin")));
    EXPECT_EQ(CountFiles(m_folder), 1u);
}

TEST_P(HttpDownloadTest, DestructorWaitsForARunningDelivery)
{
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool release = false;
    std::atomic<bool> callbackDone{false};
    auto event = new RecordingEvent();
    event->onProgress = [&](unsigned long long, unsigned long long done, unsigned long long) {
        if (done == 0) {
            return;
        }
        std::unique_lock<std::mutex> lock(mutex);
        if (entered) {
            return;
        }
        entered = true;
        changed.notify_all();
        changed.wait_for(lock, kWait, [&] { return release; });
        callbackDone = true;
    };
    Start(*event, Url("/download/file?size=" + std::to_string(4 << 20)), Target("slow.bin"));
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, kWait, [&] { return entered; }));
    }
    bool doneWhenDestroyed = false;
    std::thread destroyer([&] {
        delete event;
        doneWhenDestroyed = callbackDone.load();
    });
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    changed.notify_all();
    destroyer.join();
    EXPECT_TRUE(doneWhenDestroyed);
}

// An event may end its own life from inside its result without a deadlock.
class SelfDeletingEvent : public HD::CHttpDownloadEvent {
public:
    SelfDeletingEvent(std::mutex& mutex, std::condition_variable& done, unsigned& code)
        : m_mutex(mutex), m_done(done), m_code(code) {}
    ~SelfDeletingEvent() override { DetachDownloadEvent(); }
    void OnHttpDownResult(const unsigned long long&, const unsigned int& code) override
    {
        std::mutex& mutex = m_mutex;
        std::condition_variable& done = m_done;
        unsigned& out = m_code;
        delete this;
        std::lock_guard<std::mutex> lock(mutex);
        out = code;
        done.notify_all();
    }

private:
    std::mutex& m_mutex;
    std::condition_variable& m_done;
    unsigned& m_code;
};

TEST_P(HttpDownloadTest, EventMayDeleteItselfInItsResult)
{
    std::mutex mutex;
    std::condition_variable done;
    unsigned code = 99;
    auto* event = new SelfDeletingEvent(mutex, done, code);
    unsigned long long id = 0;
    const std::wstring url = Url("/download/file?size=100");
    const std::wstring path = Target("self.bin").wstring();
    ASSERT_EQ(HD::Download(url.c_str(), path.c_str(), event, &id, HD::E_SAVE_REPLACE, 0, 0), HD::kAccepted);
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(done.wait_for(lock, kWait, [&] { return code != 99; }));
    EXPECT_EQ(code, HD::kDownOk);
}

INSTANTIATE_TEST_SUITE_P(Transports, HttpDownloadTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Https" : "Http"; });

// E_SAVE_RESUME: a download that broke off is continued by the next one,
// which asks only for the rest; whatever makes the rest unusable starts the
// file over from byte 0, never appends to the wrong bytes.
class ResumableDownloadTest : public HttpDownloadTest {
protected:
    static constexpr size_t kSize = 300007;  // several writes, not a round number

    struct Attempt {
        long code = -1;
        uint64_t bytesServed = 0;  // body bytes the server sent for the attempt
        std::vector<RecordingEvent::Progress> reports;
    };

    void SetUp() override
    {
        HttpDownloadTest::SetUp();
        m_body = DevServer::DownloadShelf::Pattern(kSize);
        m_server.State().downloads.Put("resumable", m_body);
        m_partial = m_record = m_target = Target("ver_1009.exe");
        m_partial += ".partial";
        m_record += ".partial.meta";
    }

    Attempt Fetch(const HD::CDownloadLimits& limits = {}, const std::string& path = "/download/file?name=resumable")
    {
        RecordingEvent event;
        Attempt attempt;
        const uint64_t before = m_server.Server().BodyBytesSent();
        unsigned long long id = 0;
        const std::wstring url = Url(path);
        if (HD::Download(url.c_str(), m_target.wstring().c_str(), &event, &id, HD::E_SAVE_RESUME, limits) !=
            HD::kAccepted)
            return attempt;
        attempt.code = event.WaitResult(id);
        attempt.bytesServed = m_server.Server().BodyBytesSent() - before;
        attempt.reports = event.ProgressReports();
        return attempt;
    }

    void CutNextAnswer(long long afterBytes, const char* path = "/download/file")
    {
        DevServer::Fault fault;
        fault.cutAfterBytes = afterBytes;
        fault.remaining = 1;
        ASSERT_TRUE(m_server.Server().SetFault("GET", path, fault));
    }

    std::string m_body;
    std::filesystem::path m_target, m_partial, m_record;
};

TEST_P(ResumableDownloadTest, CutOffTransferIsContinuedToAByteExactFile)
{
    for (const size_t cut : {size_t{0}, size_t{1}, kSize - 1}) {
        SCOPED_TRACE("cut after " + std::to_string(cut));
        CutNextAnswer(static_cast<long long>(cut));
        EXPECT_EQ(Fetch().code, static_cast<long>(HD::kDownTransport));
        EXPECT_FALSE(std::filesystem::exists(m_target));
        // An empty partial file is not worth keeping.
        ASSERT_EQ(std::filesystem::exists(m_partial), cut > 0);
        EXPECT_EQ(std::filesystem::exists(m_record), cut > 0);
        if (cut > 0) {
            EXPECT_EQ(std::filesystem::file_size(m_partial), cut);
        }

        const Attempt second = Fetch();
        ASSERT_EQ(second.code, static_cast<long>(HD::kDownOk));
        EXPECT_EQ(second.bytesServed, kSize - cut) << "only the rest may travel";
        EXPECT_TRUE(HoldsExactly(m_target, m_body));
        EXPECT_EQ(CountFiles(m_folder), 1u) << "the partial file and its record go on success";
        ASSERT_FALSE(second.reports.empty());
        EXPECT_GE(second.reports.front().done, cut);
        unsigned long long previous = 0;
        for (const auto& report : second.reports) {
            EXPECT_GE(report.done, previous);
            EXPECT_EQ(report.total, kSize);
            previous = report.done;
        }
        EXPECT_EQ(previous, kSize);
        std::filesystem::remove(m_target);
    }
}

TEST_P(ResumableDownloadTest, WholeAnswerToARangeReplacesThePartialFile)
{
    const std::string changed = "a new release, of another size";
    struct Case {
        const char* name;
        std::function<void()> between;
        const std::string& expected;
    } cases[] = {
        {"the server ignores ranges",
         [this] {
             DevServer::Fault fault;
             fault.ignoreRange = true;
             fault.remaining = 1;
             ASSERT_TRUE(m_server.Server().SetFault("GET", "/download/file", fault));
         },
         m_body},
        {"the file changed", [&] { m_server.State().downloads.Put("resumable", changed); }, changed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CutNextAnswer(kSize / 2);
        ASSERT_EQ(Fetch().code, static_cast<long>(HD::kDownTransport));
        ASSERT_EQ(std::filesystem::file_size(m_partial), kSize / 2);
        c.between();
        const Attempt second = Fetch();
        ASSERT_EQ(second.code, static_cast<long>(HD::kDownOk));
        EXPECT_EQ(second.bytesServed, c.expected.size());
        EXPECT_TRUE(HoldsExactly(m_target, c.expected));
        EXPECT_EQ(CountFiles(m_folder), 1u);
        std::filesystem::remove(m_target);
    }
}

TEST_P(ResumableDownloadTest, RangeTheServerCannotServeStartsOverWithinTheDownload)
{
    // A route of the test's own: a whole answer with a weak ETag (no
    // validator) and a date, and a bad answer to any range.
    struct Case {
        const char* name;
        int status;
        std::string contentRange;
        std::string body;
    } cases[] = {
        {"416", 416, "bytes */" + std::to_string(kSize), ""},
        {"206 without Content-Range", 206, "", m_body.substr(kSize / 2)},
        {"206 from byte 0", 206, "bytes 0-" + std::to_string(kSize - 1) + "/" + std::to_string(kSize), m_body},
    };
    const std::string date = "Tue, 15 Nov 1994 12:45:26 GMT";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto ranged = std::make_shared<std::atomic<int>>(0);
        auto plain = std::make_shared<std::atomic<int>>(0);
        auto ifRange = std::make_shared<std::string>();
        m_server.Server().Route("GET", "/odd", [=](const DevServer::HttpRequest& request) {
            DevServer::HttpResponse response;
            response.contentType = "application/octet-stream";
            response.headers["ETag"] = "W/\"weak\"";
            response.headers["Last-Modified"] = date;
            response.body = m_body;
            if (request.headers.count("range") != 0) {
                ++*ranged;
                *ifRange = request.headers.at("if-range");
                response.status = c.status;
                if (!c.contentRange.empty())
                    response.headers["Content-Range"] = c.contentRange;
                response.body = c.body;
            } else {
                ++*plain;
            }
            return response;
        });
        CutNextAnswer(kSize / 2, "/odd");
        ASSERT_EQ(Fetch({}, "/odd").code, static_cast<long>(HD::kDownTransport));
        ASSERT_EQ(*plain, 1);
        ASSERT_EQ(Fetch({}, "/odd").code, static_cast<long>(HD::kDownOk));
        EXPECT_EQ(*ranged, 1);
        EXPECT_EQ(*plain, 2) << "the whole file asked for again within the same download";
        EXPECT_EQ(*ifRange, date) << "a weak ETag is no validator for a range";
        EXPECT_TRUE(HoldsExactly(m_target, m_body));
        EXPECT_EQ(CountFiles(m_folder), 1u);
        std::filesystem::remove(m_target);
    }
}

TEST_P(ResumableDownloadTest, FileOverTheLimitIsRefusedBeforeItsBodyAndLeavesNothing)
{
    HD::CDownloadLimits limits;
    limits.maxBytes = 64u << 10;
    m_server.State().downloads.Put("resumable", DevServer::DownloadShelf::Pattern(8u << 20));
    const Attempt fresh = Fetch(limits);
    EXPECT_EQ(fresh.code, static_cast<long>(HD::kDownTooLarge));
    EXPECT_TRUE(fresh.reports.empty()) << "not one byte of the body may be written";
    EXPECT_EQ(CountFiles(m_folder), 0u);

    // A partial file of it, continued under the limit: the whole size counts.
    CutNextAnswer(1000);
    ASSERT_EQ(Fetch().code, static_cast<long>(HD::kDownTransport));
    ASSERT_TRUE(std::filesystem::exists(m_record));
    const Attempt resumed = Fetch(limits);
    EXPECT_EQ(resumed.code, static_cast<long>(HD::kDownTooLarge));
    for (const auto& report : resumed.reports)
        EXPECT_EQ(report.done, 1000u);
    EXPECT_EQ(CountFiles(m_folder), 0u);
}

TEST_P(ResumableDownloadTest, StopKeepsThePartialFileForTheNextDownload)
{
    const std::string big = DevServer::DownloadShelf::Pattern(16u << 20);
    m_server.State().downloads.Put("resumable", big);
    RecordingEvent event;
    std::atomic<unsigned> secondOfTheSameFile{99};
    event.onProgress = [&](unsigned long long id, unsigned long long done, unsigned long long) {
        if (done == 0 || secondOfTheSameFile != 99)
            return;
        RecordingEvent other;
        unsigned long long otherId = 0;
        const std::wstring url = Url("/download/file?name=resumable");
        secondOfTheSameFile = HD::Download(url.c_str(), m_target.wstring().c_str(), &other, &otherId,
                                           HD::E_SAVE_RESUME, HD::CDownloadLimits());
        HD::Stop(id);
    };
    unsigned long long id = 0;
    const std::wstring url = Url("/download/file?name=resumable");
    ASSERT_EQ(HD::Download(url.c_str(), m_target.wstring().c_str(), &event, &id, HD::E_SAVE_RESUME, 0, 0),
              HD::kAccepted);
    ASSERT_EQ(event.WaitResult(id), static_cast<long>(HD::kDownStopped));
    EXPECT_EQ(secondOfTheSameFile, HD::kRefusedFile) << "one download at a time resumes a file";
    EXPECT_FALSE(std::filesystem::exists(m_target));
    ASSERT_TRUE(std::filesystem::exists(m_record));
    const auto kept = std::filesystem::file_size(m_partial);
    ASSERT_GT(kept, 0u);

    const Attempt next = Fetch();
    ASSERT_EQ(next.code, static_cast<long>(HD::kDownOk));
    EXPECT_EQ(next.bytesServed, big.size() - kept);
    EXPECT_TRUE(HoldsExactly(m_target, big));
}

TEST_P(ResumableDownloadTest, PartialFileWithoutAUsableRecordStartsOver)
{
    const std::string address = "/download/file?name=resumable";
    struct Case {
        const char* name;
        std::string cutAddress;
        std::function<void()> spoil;
    } cases[] = {
        {"no record", address, [this] { std::filesystem::remove(m_record); }},
        {"a record cut short", address,
         [this] { std::filesystem::resize_file(m_record, std::filesystem::file_size(m_record) - 1); }},
        // The route ignores the extra parameter: the same bytes at another address.
        {"a record of another address", address + "&mirror=1", [] {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CutNextAnswer(1000);
        ASSERT_EQ(Fetch({}, c.cutAddress).code, static_cast<long>(HD::kDownTransport));
        ASSERT_TRUE(std::filesystem::exists(m_record));
        c.spoil();
        std::ofstream(m_partial, std::ios::binary | std::ios::trunc) << std::string(1000, 'x');
        const Attempt next = Fetch();
        ASSERT_EQ(next.code, static_cast<long>(HD::kDownOk));
        EXPECT_EQ(next.bytesServed, kSize);
        EXPECT_TRUE(HoldsExactly(m_target, m_body));
        EXPECT_EQ(CountFiles(m_folder), 1u);
        std::filesystem::remove(m_target);
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, ResumableDownloadTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Https" : "Http"; });

// Servers on loopback that would hold a download for ever or fill the disk:
// the caller's limits end the download, and nothing of it stays behind.
class HttpDownloadLimits : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_root.Path().empty());
        Util::Path::SetRootFolder(m_root.Path().wstring().c_str());
        Http::SetCaBundle(L"");
        Http::SetConnectTimeoutMs(10000);
        Http::SetRequestTimeoutMs(30000);
        m_folder = m_root.Path() / "downloads";
        std::filesystem::create_directories(m_folder);
    }
    void TearDown() override { HD::Shutdown(); }

    // The code of a download of url within limits into the folder.
    long Fetch(const std::string& url, const HD::CDownloadLimits& limits, const char* name)
    {
        RecordingEvent event;
        unsigned long long id = 0;
        const std::wstring wide = Widen(url);
        const std::wstring path = (m_folder / name).wstring();
        if (HD::Download(wide.c_str(), path.c_str(), &event, &id, HD::E_SAVE_REPLACE, limits) != HD::kAccepted)
            return -2;
        return event.WaitResult(id);
    }

    TestSupport::TempDir m_root;
    std::filesystem::path m_folder;
};

TEST_F(HttpDownloadLimits, ATrickleBelowTheLowSpeedFails)
{
    // Four bytes a second would keep a download without limits alive for
    // minutes.
    TestSupport::HostileServer server(TestSupport::HostileServer::Trickle(1000, 250ms));
    ASSERT_TRUE(server.Started());
    HD::CDownloadLimits limits;
    limits.lowSpeedBytesPerSecond = 64;
    limits.lowSpeedSeconds = 1;
    EXPECT_EQ(Fetch(server.Url("/slow.png"), limits, "slow.png"), static_cast<long>(HD::kDownTransport));
    EXPECT_EQ(server.Requests(), 1u);
    EXPECT_EQ(CountFiles(m_folder), 0u);
}

TEST_F(HttpDownloadLimits, BodiesOverTheSizeLimitFail)
{
    HD::CDownloadLimits limits;
    limits.maxBytes = 1u << 20;
    struct Case {
        const char* name;
        long long announced;
        unsigned long long served;
        long code;
    } cases[] = {
        {"announced 300 MiB", 300ll << 20, 64u << 10, static_cast<long>(HD::kDownTooLarge)},
        {"unannounced", -1, 3u << 20, static_cast<long>(HD::kDownTooLarge)},
        {"a byte over", -1, (1u << 20) + 1, static_cast<long>(HD::kDownTooLarge)},
        {"exactly the limit", -1, 1u << 20, static_cast<long>(HD::kDownOk)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestSupport::HostileServer server(TestSupport::HostileServer::Flood(c.announced, c.served));
        ASSERT_TRUE(server.Started());
        EXPECT_EQ(Fetch(server.Url("/big.png"), limits, "big.png"), c.code);
        const bool stored = c.code == static_cast<long>(HD::kDownOk);
        EXPECT_EQ(CountFiles(m_folder), stored ? 1u : 0u);
        if (stored) {
            EXPECT_EQ(std::filesystem::file_size(m_folder / "big.png"), c.served);
            std::filesystem::remove(m_folder / "big.png");
        }
    }
}

TEST(HttpDownloadTls, UntrustedCertificateFails)
{
    TestSupport::TestServer server(TestSupport::TestServer::Https());
    ASSERT_TRUE(server.Started()) << server.Error();
    TestSupport::TempDir dir;
    Util::Path::SetRootFolder(dir.Path().wstring().c_str());
    Http::SetCaBundle(L"");
    RecordingEvent event;
    unsigned long long id = 0;
    const std::wstring url = Widen(server.Url("/download/installer"));
    const std::wstring path = (dir.Path() / "x.bin").wstring();
    ASSERT_EQ(HD::Download(url.c_str(), path.c_str(), &event, &id, HD::E_SAVE_REPLACE, 0, 0), HD::kAccepted);
    EXPECT_EQ(event.WaitResult(id), static_cast<long>(HD::kDownTransport));
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "x.bin"));
    HD::Shutdown();
}

}  // namespace
