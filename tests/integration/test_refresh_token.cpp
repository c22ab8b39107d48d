// LoginApi::RefreshToken through libService against the local server on
// loopback: over HTTPS (trusting the server's throw-away CA) and plain HTTP,
// a token the server does not know, and a port where nothing listens.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pelbo/account/LoginApi.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/CoreApi.h"
#include "pelbo/core/RequestKind.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Log.h"
#include "pelbo/corekit/Path.h"
#include "devserver/DevServer.h"
#include "devserver/State.h"
#include "pelbo/netcall/HttpsRequest.h"

namespace {

struct Outcome {
    int code = 0;
    unsigned kind = 0;
    bool hasRecord = false;
    std::string token;
};

// Receives HttpsServiceEvent on the HTTPS service's thread and hands the
// outcome to the test thread.
class ResultWaiter {
public:
    ResultWaiter()
        : m_connection(ServiceEvent::HttpsServiceEvent().connect([this](int code, unsigned kind, IXData* record) {
              Outcome o;
              o.code = code;
              o.kind = kind;
              o.hasRecord = record != nullptr;
              CStringW token;
              if (record != nullptr && record->GetIXDataStr(L"Token", token))
                  o.token = ToMultiByte(token, CP_UTF8);
              std::lock_guard<std::mutex> guard(m_lock);
              m_outcomes.push_back(o);
              m_arrived.notify_all();
          }))
    {
    }

    bool Wait(Outcome& outcome)
    {
        std::unique_lock<std::mutex> guard(m_lock);
        if (!m_arrived.wait_for(guard, std::chrono::seconds(30), [this] { return !m_outcomes.empty(); }))
            return false;
        outcome = m_outcomes.front();
        m_outcomes.erase(m_outcomes.begin());
        return true;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::vector<Outcome> m_outcomes;
    event::scoped_connection m_connection;
};

class RefreshTokenIntegration : public ::testing::TestWithParam<bool> {
protected:
    static void SetUpTestSuite()
    {
        s_root = std::filesystem::temp_directory_path() /
                 ("pelbo-refresh-it-" + std::to_string(std::random_device()()));
        std::filesystem::create_directories(s_root);
        Util::Path::SetRootFolder(s_root.wstring().c_str());
    }
    static void TearDownTestSuite()
    {
        // The client's last step at shutdown: the HTTPS service's thread and
        // its connections go before the process does.
        Util::HttpsRequest::Shutdown();
        // Windows deletes no file that is still open: the log goes first.
        Util::Log::Close();
        std::error_code ec;
        std::filesystem::remove_all(s_root, ec);
        EXPECT_FALSE(ec) << ec.message();
    }

    void SetUp() override
    {
        DevServer::Options options;
        options.tls = GetParam();
        if (options.tls)
            options.caCertOut = (s_root / "devserver-ca.pem").string();
        server = std::make_unique<DevServer::Server>(options);
        std::string error;
        ASSERT_TRUE(server->Start(&error)) << error;
        if (options.tls)
            Http::SetCaBundle(ToWide(server->CaCertFile().c_str(), CP_UTF8).c_str());
        Http::SetHttpUrlHead(ToWide(server->BaseUrl().c_str(), CP_UTF8).c_str());
    }

    void TearDown() override
    {
        Aux::Core::DoExit();
        server.reset();
        Http::ResetSettings();
    }

    static std::filesystem::path s_root;
    std::unique_ptr<DevServer::Server> server;
    ResultWaiter waiter;
};

std::filesystem::path RefreshTokenIntegration::s_root;

TEST_P(RefreshTokenIntegration, LiveTokenIsExchangedForANewOne)
{
    const std::string old = server->GetState().IssueToken(7).token;
    ASSERT_NE(LoginApi::RefreshToken(ToWide(old.c_str(), CP_UTF8).c_str()), 0);
    Outcome outcome;
    ASSERT_TRUE(waiter.Wait(outcome));
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.kind, RequestKind::kRefreshToken);
    ASSERT_TRUE(outcome.hasRecord);
    EXPECT_FALSE(outcome.token.empty());
    EXPECT_NE(outcome.token, old);
    EXPECT_EQ(server->GetState().UserOfToken(outcome.token), std::optional<uint32_t>(7u));
    EXPECT_FALSE(server->GetState().UserOfToken(old).has_value()) << "the old token stops working";
}

TEST_P(RefreshTokenIntegration, UnknownTokenIsReportedWithTheServersCode)
{
    ASSERT_NE(LoginApi::RefreshToken(L"never-issued"), 0);
    Outcome outcome;
    ASSERT_TRUE(waiter.Wait(outcome));
    EXPECT_EQ(outcome.kind, RequestKind::kRefreshToken);
    EXPECT_NE(outcome.code, 0);
    EXPECT_NE(outcome.code, -1);
    ASSERT_TRUE(outcome.hasRecord);
    EXPECT_TRUE(outcome.token.empty());
}

TEST_P(RefreshTokenIntegration, GarbageAnswerIsReportedAsMinusOneWithoutRecord)
{
    DevServer::Fault fault;
    fault.garbageBody = true;
    ASSERT_TRUE(server->SetFault("POST", "/v1/account/refreshtoken", fault));
    ASSERT_NE(LoginApi::RefreshToken(L"whatever"), 0);
    Outcome outcome;
    ASSERT_TRUE(waiter.Wait(outcome));
    EXPECT_EQ(outcome.code, -1);
    EXPECT_FALSE(outcome.hasRecord);
}

TEST_P(RefreshTokenIntegration, RefusedConnectionIsReportedAsMinusOne)
{
    // The server's port, once it has stopped, has nobody listening.
    const std::string url = server->BaseUrl();
    server->Stop();
    Http::SetHttpUrlHead(ToWide(url.c_str(), CP_UTF8).c_str());
    ASSERT_NE(LoginApi::RefreshToken(L"abc"), 0);
    Outcome outcome;
    ASSERT_TRUE(waiter.Wait(outcome));
    EXPECT_EQ(outcome.code, -1);
    EXPECT_EQ(outcome.kind, RequestKind::kRefreshToken);
    EXPECT_FALSE(outcome.hasRecord);
}

// A hostile server's answers: one too large (refused, nothing of it
// delivered), one of megabytes that is not JSON, and the same cut short.
// Each is reported as -1, and none is written into the log whole, where it
// would push the older lines out.
TEST_P(RefreshTokenIntegration, HugeAnswersFailAndStayOutOfTheLog)
{
    std::mutex bodyLock;
    std::string body;
    server->Route("POST", "/v1/account/refreshtoken", [&bodyLock, &body](const DevServer::HttpRequest&) {
        DevServer::HttpResponse response;
        response.contentType = "text/plain";
        std::lock_guard<std::mutex> guard(bodyLock);
        response.body = body;
        return response;
    });
    const std::filesystem::path logFile(Util::Log::GetLogFilePath());
    std::error_code ec;
    const auto logStart = std::filesystem::file_size(logFile, ec);
    struct Case {
        const char* name;
        size_t size;
        bool cut;
    };
    for (const Case& c : {Case{"over the limit", 6u << 20, false}, Case{"not JSON", 3u << 20, false},
                          Case{"cut short", 3u << 20, true}}) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard<std::mutex> guard(bodyLock);
            body.assign(c.size, 'x');
        }
        DevServer::Fault fault;
        fault.closeMidResponse = c.cut;
        fault.remaining = c.cut ? -1 : 0;
        ASSERT_TRUE(server->SetFault("POST", "/v1/account/refreshtoken", fault));
        ASSERT_NE(LoginApi::RefreshToken(L"whatever"), 0);
        Outcome outcome;
        ASSERT_TRUE(waiter.Wait(outcome));
        EXPECT_EQ(outcome.code, -1);
        EXPECT_FALSE(outcome.hasRecord);
    }
    std::ifstream in(logFile, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(ec ? 0 : logStart));
    size_t longest = 0;
    size_t cutLines = 0;
    for (std::string line; std::getline(in, line);) {
        longest = std::max(longest, line.size());
        cutLines += line.find("[line cut: 4096 of ") != std::string::npos ? 1 : 0;
    }
    EXPECT_LT(longest, 4096u + 200u);
    EXPECT_GE(cutLines, 2u) << "the two answers that arrived are quoted cut";
}

INSTANTIATE_TEST_SUITE_P(Transport, RefreshTokenIntegration, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Https" : "Http"; });

}  // namespace
