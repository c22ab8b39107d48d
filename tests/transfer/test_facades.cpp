// One engine carries every HTTP exchange: a REST request, a download and an
// upload are delivered on one thread; with a websocket session beside them
// the process gains at most that thread and the session's, and shutting
// both down leaves none behind. And each facade's own traffic follows the
// network rules.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devserver/ObjectStore.h"
#include "devserver/State.h"
#include "pelbo/bucketput/OssUpload.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/Event.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/XData.h"
#include "pelbo/fetcher/HttpDownload.h"
#include "pelbo/netcall/HttpsRequest.h"
#include "support/TempDir.h"
#include "support/TestServer.h"
#include "support/ThreadCount.h"
#include "pelbo/wirelink/CSCenter.h"
#include "pelbo/wirelink/CSSinkHelper.h"

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

// A websocket session: its connection state, and its answers as deliveries.
class WebsocketSession : public Aux::CSCenter::CConnectSink {
public:
    explicit WebsocketSession(Deliveries& seen) : m_seen(seen), m_marker(this)
    {
        m_commands.evtRecvReply.Subscribe(this, &WebsocketSession::OnReply, &m_marker);
        m_commands.evtTimeout.Subscribe(this, &WebsocketSession::OnTimeout, &m_marker);
    }
    ~WebsocketSession() override { DetachConnectSink(); }

    void OnConnectState(int state) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connected = state == Aux::CSCenter::CONN_STATE_CONNECTED;
        m_changed.notify_all();
    }
    void OnSerPsuhLastSeq(uint64_t) override {}

    bool WaitConnected()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(20), [this] { return m_connected; });
    }

    bool LogIn(const std::string& token)
    {
        XDataPtr<IXData> connect;
        CreateIXData(connect.Receive(), 0);
        connect->SetIXDataStr(L"CMDNO", L"connect");
        connect->SetIXDataStr(L"Token", W(token).c_str());
        connect->SetIXDataBool(L"Force", true);
        return m_commands.Send(connect.get(), nullptr) == 1;
    }

private:
    void OnReply(IXData* reply, IXData*)
    {
        int32_t result = -1;
        reply->GetIXDataI32(L"Result", result);
        m_seen.Add(result == 0 ? "websocket" : "websocket refused");
    }
    void OnTimeout(IXData*) { m_seen.Add("websocket timed out"); }

    Deliveries& m_seen;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_connected = false;
    Aux::CSCenter::CCSSinkHelper m_commands;
    Util::LivenessMarker m_marker;
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

TEST(TransferEngine, OneHttpThreadAndOneWebsocketThreadCarryEveryFamily)
{
    TestSupport::TestServer server;
    ASSERT_TRUE(server.Started()) << server.Error();
    RouteOk(server, "POST", "/v1/ping");
    server.State().downloads.Put("picture", "picture bytes");
    const TestSupport::TempDir dir;
    const Util::OssUpload::CFileObjExt file = UploadOf(server, dir, "document.pdf", 200000);
    const unsigned user = 9;
    const std::string token = server.State().IssueToken(user).token;

#if !defined(_WIN32)
    const size_t before = TestSupport::ProcessThreadCount();
#endif
    Deliveries seen;
    // By name, so that the host is looked up as a client's would be.
    WebsocketSession websocket(seen);
    ASSERT_EQ(Aux::CSCenter::LWS_Init(1, nullptr, user, L"0123456789abcdef0123456789abcdefguid", L""), 1);
    ASSERT_EQ(Aux::CSCenter::LWS_StartConn(
                  W("ws://localhost:" + std::to_string(server.Server().Port()) + "/ws").c_str(), &websocket),
              1);
    ASSERT_TRUE(websocket.WaitConnected());
    ASSERT_TRUE(websocket.LogIn(token));
    ASSERT_EQ(seen.WaitFor(1).size(), 1u);
#if !defined(_WIN32)
    // The session's thread, and none for looking the name up once that is
    // done.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (TestSupport::ProcessThreadCount() > before + 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(TestSupport::ProcessThreadCount(), before + 1);
#endif

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

    const auto threads = seen.WaitFor(4);
    ASSERT_EQ(threads.size(), 4u);
    EXPECT_EQ(threads[0].first, "websocket");
    const uint64_t websocketThread = threads[0].second;
    const uint64_t httpThread = threads[1].second;
    for (size_t i = 1; i < threads.size(); ++i) {
        EXPECT_EQ(threads[i].first.find("failed"), std::string::npos) << threads[i].first;
        EXPECT_EQ(threads[i].second, httpThread) << threads[i].first << " came on another thread";
    }
    EXPECT_NE(httpThread, websocketThread);
    EXPECT_NE(httpThread, TestSupport::CurrentThreadSystemId());
    EXPECT_NE(websocketThread, TestSupport::CurrentThreadSystemId());
#if !defined(_WIN32)
    EXPECT_LE(TestSupport::ProcessThreadCount(), before + 2);
#endif

    Util::HttpsRequest::Shutdown();
    EXPECT_FALSE(TestSupport::ThreadStillRuns(httpThread)) << "nothing else ran, so the engine's thread ends";
    Aux::CSCenter::DoExit();
    EXPECT_FALSE(TestSupport::ThreadStillRuns(websocketThread));
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
