// Uploads through libService's exported functions against the local server
// over real sockets: tickets from "/v1/account/ramupload" and
// "/v1/account/uploadlog", transfers into its signature-checking storage,
// and the faults on either leg.

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "LocalObjectStore.h"
#include "UploadSinks.h"
#include "pelbo/account/UserCache.h"
#include "pelbo/bucketput/OssUpload.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/CoreApi.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Path.h"
#include "devserver/ObjectStore.h"
#include "devserver/State.h"
#include "pelbo/netcall/HttpsRequest.h"
#include "service/LogCapture.h"
#include "support/HangWatchdog.h"
#include "support/HttpClient.h"
#include "support/TestServer.h"
#include "pelbo/transfers/OssUploadApi.h"
#include "pelbo/transfers/OssUploadLogApi.h"

namespace {

using DevServer::ObjectStore;

std::wstring W(const std::string& text) { return ToWide(text.c_str(), CP_UTF8); }
std::string N(const std::wstring& text) { return ToMultiByte(text.c_str(), CP_UTF8); }

class UploadsIntegration : public ::testing::Test {
protected:
    explicit UploadsIntegration(DevServer::Options options = TestSupport::TestServer::Http()) : server(options) {}

    static void TearDownTestSuite()
    {
        Util::OssUpload::Shutdown();
        Util::HttpsRequest::Shutdown();
    }

    void SetUp() override
    {
        ASSERT_TRUE(server.Started()) << server.Error();
        Util::Path::SetRootFolder(server.Dir().Path().wstring().c_str());
        Http::SetHttpUrlHead(W(server.BaseUrl()).c_str());
        UseLocalObjectStore(server.Server().Port());
        // A guest sign-in keeps the token in memory only.
        Aux::UserCache::SetUserID(17, 1);
        Aux::UserCache::SetToken(CStringW(W(server.State().IssueToken(17).token)));
    }

    void TearDown() override
    {
        Aux::Core::DoExit();
        Util::OssUpload::SetTuning(Util::OssUpload::CUploadTuning());
        Http::ResetSettings();
        server.Server().ClearFaults();
    }

    CStringW MakeFile(const std::string& name, size_t size, std::string* bytes = nullptr)
    {
        std::string content(size, '\0');
        for (size_t i = 0; i < size; ++i)
            content[i] = static_cast<char>((i * 7919) >> 3);
        std::ofstream(server.Dir().File(name), std::ios::binary).write(content.data(), static_cast<std::streamsize>(size));
        if (bytes != nullptr)
            *bytes = content;
        return CStringW(W(server.Dir().File(name)));
    }

    TestSupport::TestServer server;
    SinkLog log;
};

// The same local server over TLS only: its object store is reached as
// https://oss-local.localhost:<port>, verified against the server's CA.
class UploadsOverTls : public UploadsIntegration {
protected:
    UploadsOverTls() : UploadsIntegration(TestSupport::TestServer::Https()) {}

    void SetUp() override
    {
        UploadsIntegration::SetUp();
        Http::SetCaBundle(W(server.CaFile()).c_str());
    }
};

TEST_F(UploadsIntegration, DocumentAndLogReachStorageAndTheirUrls)
{
    std::string docBytes;
    std::string logBytes;
    const CStringW doc = MakeFile("Minutes.docx", 700 << 10, &docBytes);
    const CStringW logFile = MakeFile("client.log", 3000, &logBytes);
    FileSink docSink(log, "doc");
    LogSink logSink(log, "log");
    ASSERT_EQ(OssUploadApi::AddUpLoadFile(doc, &docSink), 0);
    ASSERT_EQ(OssUploadLogApi::AddUploadLog(logFile, &logSink), 0);
    ASSERT_TRUE(docSink.WaitResults(1));
    ASSERT_TRUE(logSink.WaitResults(1));

    TestSupport::HttpClient client;
    auto check = [&client](int code, unsigned long long fileId, const std::wstring& url, const std::string& bytes) {
        EXPECT_EQ(code, 0);
        EXPECT_NE(fileId, 0u);
        const auto read = client.Get(N(url));
        ASSERT_TRUE(read.Ok()) << read.error << " " << N(url);
        EXPECT_EQ(read.status, 200);
        EXPECT_TRUE(read.body == bytes);
    };
    const auto doc0 = docSink.Results()[0];
    const auto log0 = logSink.Results()[0];
    check(doc0.code, doc0.fileId, doc0.url, docBytes);
    check(log0.code, log0.fileId, log0.url, logBytes);
    EXPECT_GE(docSink.ProgressCount(), 1);
    EXPECT_EQ(docSink.LastSent(), 700u << 10);
}

// A sink may end its family from inside its own progress or result: the
// event that called it finishes in a whole manager, and the next add makes
// a fresh one whose upload is reported as usual.
TEST_F(UploadsIntegration, SinksMayEndTheFamilyFromTheirProgressAndResult)
{
    const CStringW big = MakeFile("Slides.pptx", 700 << 10);
    FileSink stopping(log, "stopping");
    stopping.onProgress = [] { OssUploadApi::DoExit(); };
    ASSERT_EQ(OssUploadApi::AddUpLoadFile(big, &stopping), 0);
    ASSERT_TRUE(stopping.WaitProgress(1));
    stopping.WaitIdle();
    EXPECT_EQ(stopping.ProgressCount(), 1) << "the family ended by the first progress went on reporting";

    const CStringW small = MakeFile("notes.txt", 2000);
    FileSink ending(log, "ending");
    ending.onResult = [](int) { OssUploadApi::DoExit(); };
    ASSERT_EQ(OssUploadApi::AddUpLoadFile(small, &ending), 0);
    ASSERT_TRUE(ending.WaitResults(1));
    EXPECT_EQ(ending.Results()[0].code, 0);

    const CStringW logFile = MakeFile("client.log", 2000);
    LogSink logEnding(log, "log");
    logEnding.onResult = [](int) { OssUploadLogApi::DoExit(); };
    ASSERT_EQ(OssUploadLogApi::AddUploadLog(logFile, &logEnding), 0);
    ASSERT_TRUE(logEnding.WaitResults(1));
    EXPECT_EQ(logEnding.Results()[0].code, 0);

    FileSink after(log, "after");
    ASSERT_EQ(OssUploadApi::AddUpLoadFile(small, &after), 0);
    ASSERT_TRUE(after.WaitResults(1));
    EXPECT_EQ(after.Results()[0].code, 0);
    EXPECT_EQ(stopping.Results().size(), 0u);
}

// DoExit while a sink of a path is told its result, on bucketput's thread,
// by a delivery that holds the manager past the exit: the exit waits for
// that call, and the path's other sink, which the delivery was still to
// tell, hears nothing once DoExit has returned, when the client may free it.
TEST_F(UploadsIntegration, DoExitWaitsForASinksCallAndTheOtherSinksHearNothingAfterIt)
{
    for (const bool logs : {false, true}) {
        SCOPED_TRACE(logs ? "logs" : "documents");
        const CStringW path = MakeFile(logs ? "client.log" : "Agenda.pdf", 2000);
        std::promise<void> entered;
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        std::atomic<bool> exited{false};
        std::promise<void> heardAfterExit;
        auto first = [&](int) {
            entered.set_value();
            released.wait();
        };
        auto second = [&](int) {
            if (exited.load())
                heardAfterExit.set_value();
        };
        FileSink firstDocument(log, "first");
        FileSink secondDocument(log, "second");
        LogSink firstLog(log, "first");
        LogSink secondLog(log, "second");
        if (logs) {
            firstLog.onResult = first;
            secondLog.onResult = second;
            ASSERT_EQ(OssUploadLogApi::AddUploadLog(path, &firstLog), 0);
            ASSERT_EQ(OssUploadLogApi::AddUploadLog(path, &secondLog), 0);
        } else {
            firstDocument.onResult = first;
            secondDocument.onResult = second;
            ASSERT_EQ(OssUploadApi::AddUpLoadFile(path, &firstDocument), 0);
            ASSERT_EQ(OssUploadApi::AddUpLoadFile(path, &secondDocument), 0);
        }
        entered.get_future().wait();
        std::thread exiting([&exited, logs] {
            logs ? OssUploadLogApi::DoExit() : OssUploadApi::DoExit();
            exited = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(exited.load()) << "DoExit returned while a sink was being told";
        release.set_value();
        exiting.join();
        EXPECT_EQ(heardAfterExit.get_future().wait_for(std::chrono::milliseconds(500)), std::future_status::timeout)
            << "a sink let go by DoExit heard its result after DoExit returned";
    }
}

// An exit from inside a sink's callback ends the family without waiting,
// and that call goes on. A stop made afterwards outside any callback, with
// no manager left or on a fresh one, still waits for it: the client may
// free the sink once that stop has returned.
TEST_F(UploadsIntegration, StopsAfterAnExitInsideACallbackWaitForTheCallItLeftRunning)
{
    const CStringW path = MakeFile("Plan.pdf", 2000);
    const char* const stops[] = {"DoExit", "StopAllUploadFile", "StopUploadFile"};
    for (const char* stop : stops) {
        SCOPED_TRACE(stop);
        std::promise<void> exitedInside;
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        FileSink sink(log, "sink");
        sink.onResult = [&](int) {
            OssUploadApi::DoExit();
            exitedInside.set_value();
            released.wait();
        };
        ASSERT_EQ(OssUploadApi::AddUpLoadFile(path, &sink), 0);
        exitedInside.get_future().wait();
        std::atomic<bool> returned{false};
        std::thread stopping([&returned, &path, &sink, stop] {
            if (std::string(stop) == "DoExit")
                OssUploadApi::DoExit();
            else if (std::string(stop) == "StopAllUploadFile")
                OssUploadApi::StopAllUploadFile();
            else
                OssUploadApi::StopUploadFile(path, &sink);
            returned = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(returned.load()) << "the stop returned while the sink was being told";
        release.set_value();
        stopping.join();
    }
}

// A sink whose progress throws: the exception stays in the library, the
// other sink is still told, and a stop afterwards has no call to wait for.
TEST_F(UploadsIntegration, ThrowingSinkLeavesNoCallOpen)
{
    class ThrowingSink : public OssUploadApi::IUploadFileSink {
    public:
        virtual ~ThrowingSink() = default;
        void OnUploadProgress(unsigned long long, CStringW, unsigned long long, unsigned long long,
                              unsigned long long) override
        {
            ++progress;
            throw std::runtime_error("window gone");
        }
        void OnUploadResult(int, unsigned long long, CStringW, CStringW) override { ++results; }
        std::atomic<int> progress{0};
        std::atomic<int> results{0};
    };
    const CStringW doc = MakeFile("Report.docx", 700 << 10);
    ThrowingSink throwing;
    FileSink other(log, "other");
    ASSERT_EQ(OssUploadApi::AddUpLoadFile(doc, &throwing), 0);
    ASSERT_EQ(OssUploadApi::AddUpLoadFile(doc, &other), 0);
    ASSERT_TRUE(other.WaitResults(1));
    EXPECT_EQ(other.Results()[0].code, 0);
    EXPECT_GE(throwing.progress.load(), 1);
    EXPECT_EQ(throwing.results.load(), 1);
    const TestSupport::HangWatchdog watchdog("a stop after a sink threw");
    OssUploadApi::StopAllUploadFile();
    OssUploadApi::StopUploadFile(doc, &throwing);
}

TEST_F(UploadsIntegration, RefusedAndGarbledTicketsAreReported)
{
    const CStringW doc = MakeFile("a.pdf", 100);
    const CStringW logFile = MakeFile("a.log", 100);
    FileSink docSink(log, "doc");
    LogSink logSink(log, "log");

    // Each refusal says why in the log: no token at all (the client saved
    // no login item), the service's code and text, an answer that is not JSON.
    const LogCapture capture;
    Aux::UserCache::SetToken(CStringW(L""));
    ASSERT_EQ(OssUploadApi::AddUpLoadFile(doc, &docSink), 0);
    ASSERT_TRUE(docSink.WaitResults(1));
    EXPECT_EQ(docSink.Results()[0].code, 4);
    EXPECT_EQ(capture.Count("upload ticket: no token to send: user 17 has no login item"), 1u) << capture.Text();

    Aux::UserCache::SetToken(CStringW(L"not-a-token"));
    ASSERT_EQ(OssUploadApi::AddUpLoadFile(doc, &docSink), 0);
    ASSERT_TRUE(docSink.WaitResults(2));
    EXPECT_EQ(docSink.Results()[1].code, 4);
    EXPECT_EQ(capture.Count("upload ticket refused: code 1002, msg \"token invalid"), 2u) << capture.Text();

    DevServer::Fault garbage;
    garbage.garbageBody = true;
    ASSERT_TRUE(server.Server().SetFault("POST", "/v1/account/ramupload", garbage));
    ASSERT_TRUE(server.Server().SetFault("POST", "/v1/account/uploadlog", garbage));
    ASSERT_EQ(OssUploadApi::AddUpLoadFile(doc, &docSink), 0);
    ASSERT_EQ(OssUploadLogApi::AddUploadLog(logFile, &logSink), 0);
    ASSERT_TRUE(docSink.WaitResults(3));
    ASSERT_TRUE(logSink.WaitResults(1));
    EXPECT_EQ(docSink.Results()[2].code, 4);
    EXPECT_EQ(logSink.Results()[0].code, 2);
    EXPECT_EQ(capture.Count("upload ticket failed: the answer is not a JSON object"), 2u) << capture.Text();

    DevServer::Fault down;
    down.httpStatus = 503;
    ASSERT_TRUE(server.Server().SetFault("POST", "/v1/account/uploadlog", down));
    ASSERT_EQ(OssUploadLogApi::AddUploadLog(logFile, &logSink), 0);
    ASSERT_TRUE(logSink.WaitResults(2));
    EXPECT_EQ(logSink.Results()[1].code, 2);
}

TEST_F(UploadsIntegration, StorageRefusalsAndCutTransfersEndWithCode3)
{
    const CStringW doc = MakeFile("s.pdf", 300 << 10);
    FileSink sink(log, "doc");
    ObjectStore& storage = server.State().storage;

    storage.SetIssueWrongSecret(true);
    ASSERT_EQ(OssUploadApi::AddUpLoadFile(doc, &sink), 0);
    ASSERT_TRUE(sink.WaitResults(1));
    storage.SetIssueWrongSecret(false);

    storage.SetCredentialLifetime(std::chrono::seconds(0));
    ASSERT_EQ(OssUploadApi::AddUpLoadFile(doc, &sink), 0);
    ASSERT_TRUE(sink.WaitResults(2));
    storage.SetCredentialLifetime(ObjectStore::kCredentialLifetime);

    DevServer::Fault cut;
    cut.closeMidResponse = true;
    ASSERT_TRUE(server.Server().SetFault("PUT", "/pelbo-docs/*", cut));
    ASSERT_EQ(OssUploadApi::AddUpLoadFile(doc, &sink), 0);
    ASSERT_TRUE(sink.WaitResults(3));
    for (const auto& result : sink.Results()) {
        EXPECT_EQ(result.code, 3);
        EXPECT_EQ(result.fileId, 0u);
        EXPECT_TRUE(result.url.empty());
    }

    // Cut once: the part is sent again and the upload succeeds.
    cut.remaining = 1;
    ASSERT_TRUE(server.Server().SetFault("PUT", "/pelbo-docs/*", cut));
    ASSERT_EQ(OssUploadApi::AddUpLoadFile(doc, &sink), 0);
    ASSERT_TRUE(sink.WaitResults(4));
    EXPECT_EQ(sink.Results()[3].code, 0);
}

// Documents go to storage encrypted once the scheme says https; the plain
// http default cannot reach a storage that speaks TLS only: the storage
// failure 3, and nothing stored.
TEST_F(UploadsOverTls, StorageSchemeHttpsCarriesTheDocumentOverVerifiedTls)
{
    std::string bytes;
    const CStringW doc = MakeFile("Budget.xlsx", 300 << 10, &bytes);
    FileSink sink(log, "doc");
    ASSERT_NE(Http::SetOssScheme(L"https"), 0);
    ASSERT_EQ(OssUploadApi::AddUpLoadFile(doc, &sink), 0);
    ASSERT_TRUE(sink.WaitResults(1));
    ASSERT_EQ(sink.Results()[0].code, 0);
    const auto objects = server.State().storage.ListObjects(ObjectStore::kDocsBucket);
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_TRUE(server.State().storage.ObjectBytes(ObjectStore::kDocsBucket, objects.begin()->first) == bytes);
    // The stored file's address is one this server answers: https too.
    TestSupport::HttpClient client;
    client.SetCaFile(server.CaFile());
    const auto read = client.Get(N(sink.Results()[0].url));
    ASSERT_TRUE(read.Ok()) << read.error << " " << N(sink.Results()[0].url);
    EXPECT_EQ(read.status, 200);
    EXPECT_TRUE(read.body == bytes);

    ASSERT_NE(Http::SetOssScheme(L"http"), 0);
    ASSERT_EQ(OssUploadApi::AddUpLoadFile(doc, &sink), 0);
    ASSERT_TRUE(sink.WaitResults(2));
    EXPECT_EQ(sink.Results()[1].code, 3);

    EXPECT_EQ(server.State().storage.ListObjects(ObjectStore::kDocsBucket).size(), 1u);
}

}  // namespace
