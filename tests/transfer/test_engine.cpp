// One engine carries every HTTP exchange: a REST request, a download and an
// upload are delivered on one thread, the process gains at most that one
// thread, and a shutdown with nothing else running leaves none behind.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devserver/ObjectStore.h"
#include "devserver/State.h"
#include "pelbo/bucketput/OssUpload.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/fetcher/HttpDownload.h"
#include "pelbo/netcall/HttpsRequest.h"
#include "support/TempDir.h"
#include "support/TestServer.h"
#include "support/ThreadCount.h"

namespace {

std::wstring W(const std::string& text)
{
    return ToWide(text.c_str(), CP_UTF8);
}

// The thread each family's last delivery came on.
class Deliveries {
public:
    void Add(const std::string& family)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_threads.emplace_back(family, std::this_thread::get_id());
        m_changed.notify_all();
    }
    std::vector<std::pair<std::string, std::thread::id>> WaitFor(size_t count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_threads.size() >= count; });
        return m_threads;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::pair<std::string, std::thread::id>> m_threads;
};

class RestSink : public IHttpsRequestSink {
public:
    explicit RestSink(Deliveries& seen) : m_seen(seen) {}
    ~RestSink() override { DetachHttpsSink(); }
    void OnHttpsReqResult(unsigned&, const std::wstring&, const std::wstring&, int& completed) override
    {
        m_seen.Add(completed == 1 ? "rest" : "rest failed");
    }

private:
    Deliveries& m_seen;
};

class DownloadSink : public Util::HttpDownload::CHttpDownloadEvent {
public:
    explicit DownloadSink(Deliveries& seen) : m_seen(seen) {}
    ~DownloadSink() override { DetachDownloadEvent(); }
    void OnHttpDownResult(const unsigned long long&, const unsigned int& code) override
    {
        m_seen.Add(code == Util::HttpDownload::kDownOk ? "download" : "download failed");
    }

private:
    Deliveries& m_seen;
};

class UploadSink : public Util::OssUpload::CUploadEvent {
public:
    explicit UploadSink(Deliveries& seen) : m_seen(seen) {}
    ~UploadSink() override { DetachUploadEvent(); }
    void OnFileEvent(int& kind, int&, int& code, const Util::OssUpload::CFileObjExt&) override
    {
        if (kind == Util::OssUpload::kEventEnd)
            m_seen.Add(code == Util::OssUpload::kEndOk ? "upload" : "upload failed");
    }

private:
    Deliveries& m_seen;
};

TEST(TransferEngine, OneThreadCarriesEveryFamilyAndShutdownLeavesNone)
{
    TestSupport::TestServer server;
    ASSERT_TRUE(server.Started()) << server.Error();
    server.Server().Route("POST", "/v1/ping", [](const DevServer::HttpRequest&) {
        DevServer::HttpResponse response;
        response.body = "{\"code\":0}";
        return response;
    });
    server.State().downloads.Put("picture", "picture bytes");
    Http::SetOssPathStyle(1);
    const TestSupport::TempDir dir;
    const std::string source = dir.File("document.pdf");
    std::ofstream(source, std::ios::binary) << std::string(200000, 'd');
    const auto credentials = server.State().storage.Issue(DevServer::ObjectStore::kDocsBucket, "docs/9/");
    Util::OssUpload::CFileObjExt file;
    file.strLocalPath = W(source);
    file.strBucket = W(DevServer::ObjectStore::kDocsBucket);
    file.strObjectPath = L"docs/9/document.pdf";
    file.strAccessKeyId = W(credentials.accessKeyId);
    file.strAccessKeySecret = W(credentials.secret);
    file.strSecurityToken = W(credentials.token);
    file.strEndPoint = W("http://oss-local.localhost:" + std::to_string(server.Server().Port()));

    const size_t before = TestSupport::ProcessThreadCount();
    Deliveries seen;
    RestSink rest(seen);
    DownloadSink download(seen);
    UploadSink upload(seen);
    ST_HttpsReqInfo info;
    info.strUrl = W(server.Url("/v1/ping"));
    info.strContent = L"{}";
    unsigned restId = 0;
    ASSERT_EQ(Util::HttpsRequest::Request(restId, &rest, info), 1);
    unsigned long long downloadId = 0;
    ASSERT_EQ(Util::HttpDownload::Download(W(server.Url("/download/file?name=picture")).c_str(),
                                           W(dir.File("picture.png")).c_str(), &download, &downloadId,
                                           Util::HttpDownload::E_SAVE_REPLACE, 0, 0),
              Util::HttpDownload::kAccepted);
    unsigned long long uploadId = 0;
    ASSERT_EQ(Util::OssUpload::Start(file, uploadId, &upload), Util::OssUpload::kStartedSingle);

    const auto threads = seen.WaitFor(3);
    ASSERT_EQ(threads.size(), 3u);
    for (const auto& delivery : threads) {
        EXPECT_EQ(delivery.first.find("failed"), std::string::npos) << delivery.first;
        EXPECT_EQ(delivery.second, threads[0].second) << delivery.first << " came on another thread";
    }
    EXPECT_NE(threads[0].second, std::this_thread::get_id());
    EXPECT_LE(TestSupport::ProcessThreadCount(), before + 1);

    Util::HttpsRequest::Shutdown();
    EXPECT_EQ(TestSupport::ProcessThreadCount(), before) << "nothing else ran, so the engine's thread ends";
    Util::HttpDownload::Shutdown();
    Util::OssUpload::Shutdown();
    Http::ResetSettings();
}

}  // namespace
