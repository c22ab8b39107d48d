// One engine carries every HTTP exchange: a REST request, a download and an
// upload are delivered on one thread, the process gains at most that one
// thread, and a shutdown with nothing else running leaves none behind. And
// each facade's own traffic follows the network rules.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
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

// What each delivery told, and the thread it came on.
class Deliveries {
public:
    void Add(const std::string& family)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_threads.emplace_back(family, TestSupport::CurrentThreadSystemId());
        m_changed.notify_all();
    }
    std::string WaitOne()
    {
        const auto all = WaitFor(1);
        std::lock_guard<std::mutex> lock(m_mutex);
        const std::string told = all.empty() ? "nothing" : all.back().first;
        m_threads.clear();
        return told;
    }
    std::vector<std::pair<std::string, uint64_t>> WaitFor(size_t count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_threads.size() >= count; });
        return m_threads;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::pair<std::string, uint64_t>> m_threads;
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
        m_seen.Add(code == Util::HttpDownload::kDownOk ? "download" : "download failed " + std::to_string(code));
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
            m_seen.Add(code == Util::OssUpload::kEndOk ? "upload" : "upload failed " + std::to_string(code));
    }

private:
    Deliveries& m_seen;
};

// A file of the given size to upload to the local server's storage.
Util::OssUpload::CFileObjExt UploadOf(TestSupport::TestServer& server, const TestSupport::TempDir& dir,
                                      const std::string& name, size_t size)
{
    Http::SetOssPathStyle(1);
    const std::string source = dir.File(name);
    std::ofstream(source, std::ios::binary) << std::string(size, 'd');
    const auto credentials = server.State().storage.Issue(DevServer::ObjectStore::kDocsBucket, "docs/9/");
    Util::OssUpload::CFileObjExt file;
    file.strLocalPath = W(source);
    file.strBucket = W(DevServer::ObjectStore::kDocsBucket);
    file.strObjectPath = W("docs/9/" + name);
    file.strAccessKeyId = W(credentials.accessKeyId);
    file.strAccessKeySecret = W(credentials.secret);
    file.strSecurityToken = W(credentials.token);
    file.strEndPoint = W("http://oss-local.localhost:" + std::to_string(server.Server().Port()));
    file.nOption1 = 1;
    return file;
}

void RouteOk(TestSupport::TestServer& server, const std::string& method, const std::string& path)
{
    server.Server().Route(method, path, [](const DevServer::HttpRequest&) {
        DevServer::HttpResponse response;
        response.body = "{\"code\":0}";
        return response;
    });
}

TEST(TransferEngine, OneThreadCarriesEveryFamilyAndShutdownLeavesNone)
{
    TestSupport::TestServer server;
    ASSERT_TRUE(server.Started()) << server.Error();
    RouteOk(server, "POST", "/v1/ping");
    server.State().downloads.Put("picture", "picture bytes");
    const TestSupport::TempDir dir;
    const Util::OssUpload::CFileObjExt file = UploadOf(server, dir, "document.pdf", 200000);

#if !defined(_WIN32)
    const size_t before = TestSupport::ProcessThreadCount();
#endif
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
    EXPECT_NE(threads[0].second, TestSupport::CurrentThreadSystemId());
#if !defined(_WIN32)
    EXPECT_LE(TestSupport::ProcessThreadCount(), before + 1);
#endif

    Util::HttpsRequest::Shutdown();
    EXPECT_FALSE(TestSupport::ThreadStillRuns(threads[0].second)) << "nothing else ran, so the engine's thread ends";
#if !defined(_WIN32)
    EXPECT_EQ(TestSupport::ProcessThreadCount(), before);
#endif
    Util::HttpDownload::Shutdown();
    Util::OssUpload::Shutdown();
    Http::ResetSettings();
}

// Every facade's bodies go without "Expect: 100-continue", and a download
// that steps up to https never comes back down to http.
TEST(TransferEngine, EachFacadeFollowsTheNetworkRules)
{
    TestSupport::TestServer plain;
    TestSupport::TestServer tls(TestSupport::TestServer::Https());
    ASSERT_TRUE(plain.Started()) << plain.Error();
    ASSERT_TRUE(tls.Started()) << tls.Error();
    Http::SetCaBundle(W(tls.CaFile()).c_str());
    std::mutex lock;
    std::vector<std::string> expects;
    const auto record = [&](const DevServer::HttpRequest& request) {
        std::lock_guard<std::mutex> guard(lock);
        const auto it = request.headers.find("expect");
        if (it != request.headers.end())
            expects.push_back(request.method + " " + request.path + ": " + it->second);
    };
    plain.Server().Route("POST", "/v1/big", [&](const DevServer::HttpRequest& request) {
        record(request);
        DevServer::HttpResponse response;
        response.body = "{\"code\":0}";
        return response;
    });
    plain.Server().RouteFallback([&](const DevServer::HttpRequest& request) {
        record(request);
        return plain.State().storage.Handle(request);
    });
    Deliveries seen;
    RestSink rest(seen);
    DownloadSink download(seen);
    UploadSink upload(seen);

    ST_HttpsReqInfo info;
    info.strUrl = W(plain.Url("/v1/big"));
    info.strContent = L"{\"notes\":\"" + std::wstring(2u << 20, L'n') + L"\"}";
    unsigned restId = 0;
    ASSERT_EQ(Util::HttpsRequest::Request(restId, &rest, info), 1);
    EXPECT_EQ(seen.WaitOne(), "rest");

    const TestSupport::TempDir dir;
    Util::OssUpload::CUploadTuning tuning;
    tuning.multipartThreshold = 1u << 20;
    tuning.partSize = 1u << 20;
    Util::OssUpload::SetTuning(tuning);
    for (const size_t size : {size_t(300000), size_t(3u << 20)}) {
        unsigned long long uploadId = 0;
        ASSERT_EQ(Util::OssUpload::Start(UploadOf(plain, dir, "doc" + std::to_string(size), size), uploadId, &upload),
                  size > tuning.multipartThreshold ? Util::OssUpload::kStartedMultipart
                                                   : Util::OssUpload::kStartedSingle);
        EXPECT_EQ(seen.WaitOne(), "upload") << size;
    }
    Util::OssUpload::SetTuning(Util::OssUpload::CUploadTuning());
    {
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_TRUE(expects.empty()) << expects.front();
    }

    plain.State().downloads.Put("file", "plain bytes");
    DevServer::Fault up;
    up.redirectTo = tls.Url("/download/installer");
    ASSERT_TRUE(plain.Server().SetFault("GET", "/download/start", up));
    DevServer::Fault down;
    down.redirectTo = plain.Url("/download/file?name=file");
    ASSERT_TRUE(tls.Server().SetFault("GET", "/download/installer", down));
    const uint64_t before = plain.Server().RequestCount();
    unsigned long long downloadId = 0;
    ASSERT_EQ(Util::HttpDownload::Download(W(plain.Url("/download/start")).c_str(), W(dir.File("x.bin")).c_str(),
                                           &download, &downloadId, Util::HttpDownload::E_SAVE_REPLACE, 0, 0),
              Util::HttpDownload::kAccepted);
    EXPECT_EQ(seen.WaitOne(), "download failed " + std::to_string(Util::HttpDownload::kDownTransport));
    EXPECT_EQ(plain.Server().RequestCount(), before + 1) << "only the first address may be asked";

    Util::HttpsRequest::Shutdown();
    Http::ResetSettings();
}

// Every family goes through the proxy of the settings, with its credentials,
// by HTTP CONNECT or SOCKS5; hosts on the no-proxy list go direct; a wrong
// password fails the exchange.
TEST(TransferEngine, EveryFamilyGoesThroughTheConfiguredProxy)
{
    DevServer::Options options = TestSupport::TestServer::Https();
    options.proxy = true;
    options.proxyUser = "alice";
    options.proxyPassword = "s3cret";
    TestSupport::TestServer server(options);
    ASSERT_TRUE(server.Started()) << server.Error();
    Http::SetCaBundle(W(server.CaFile()).c_str());
    ASSERT_NE(Http::SetOssScheme(L"https"), 0);
    RouteOk(server, "POST", "/v1/ping");
    server.State().downloads.Put("picture", "picture bytes");
    const TestSupport::TempDir dir;
    Util::OssUpload::CFileObjExt file = UploadOf(server, dir, "document.pdf", 200000);
    file.strEndPoint = W("https://oss-local.localhost:" + std::to_string(server.Server().Port()));
    Deliveries seen;
    RestSink rest(seen);
    DownloadSink download(seen);
    UploadSink upload(seen);
    ST_HttpsReqInfo info;
    info.strUrl = W(server.Url("/v1/ping"));
    info.strContent = L"{}";
    const auto everyFamily = [&] {
        std::vector<std::string> told;
        unsigned restId = 0;
        EXPECT_EQ(Util::HttpsRequest::Request(restId, &rest, info), 1);
        told.push_back(seen.WaitOne());
        unsigned long long downloadId = 0;
        EXPECT_EQ(Util::HttpDownload::Download(W(server.Url("/download/file?name=picture")).c_str(),
                                               W(dir.File("picture.png")).c_str(), &download, &downloadId,
                                               Util::HttpDownload::E_SAVE_REPLACE, 0, 0),
                  Util::HttpDownload::kAccepted);
        told.push_back(seen.WaitOne());
        unsigned long long uploadId = 0;
        EXPECT_EQ(Util::OssUpload::Start(file, uploadId, &upload), Util::OssUpload::kStartedSingle);
        told.push_back(seen.WaitOne());
        // Cached connections would hide the next setting's effect.
        Util::HttpsRequest::Shutdown();
        return told;
    };
    const std::vector<std::string> allWell = {"rest", "download", "upload"};

    for (const char* scheme : {"http", "socks5h"}) {
        ASSERT_NE(Http::SetProxy(W(server.ProxyUrl(scheme)).c_str()), 0);
        Http::SetProxyUser(L"alice");
        Http::SetProxyPassword(L"s3cret");
        const uint64_t tunnels = server.Server().ProxyTunnelCount();
        EXPECT_EQ(everyFamily(), allWell) << scheme;
        // One tunnel per host: the request and the download share theirs.
        EXPECT_EQ(server.Server().ProxyTunnelCount(), tunnels + 2) << scheme;
    }

    Http::SetNoProxy(L"127.0.0.1,localhost");
    const uint64_t tunnels = server.Server().ProxyTunnelCount();
    EXPECT_EQ(everyFamily(), allWell);
    EXPECT_EQ(server.Server().ProxyTunnelCount(), tunnels) << "listed hosts go direct";

    Http::SetNoProxy(L"");
    Http::SetProxyPassword(L"wrong");
    unsigned restId = 0;
    ASSERT_EQ(Util::HttpsRequest::Request(restId, &rest, info), 1);
    EXPECT_EQ(seen.WaitOne(), "rest failed");
    Util::HttpsRequest::Shutdown();
    Http::ResetSettings();
}

}  // namespace
