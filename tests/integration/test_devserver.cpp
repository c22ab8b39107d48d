// The local server from the outside: real sockets, a real HTTP client,
// HTTPS verified against the throw-away CA, and every fault switch.

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <future>
#include <initializer_list>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include "devserver/CertificateAuthority.h"
#include "devserver/Routes.h"
#include "devserver/State.h"
#include "support/HttpClient.h"
#include "support/RawConnection.h"
#include "support/TempDir.h"
#include "support/TestServer.h"

namespace {

using DevServer::Fault;
using TestSupport::HttpClient;
using TestSupport::RawConnection;
using TestSupport::TempDir;
using TestSupport::TestServer;

const char kRefreshPath[] = "/v1/account/refreshtoken";
// A limit for waits on the server that should end at once; reaching it
// means the server hangs.
constexpr std::chrono::seconds kHangLimit{30};

bool ParseJson(const std::string& text, Json::Value* out)
{
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), out, &errors);
}

std::string RefreshBody(const std::string& token)
{
    Json::Value body(Json::objectValue);
    body["token"] = token;
    return body.toStyledString();
}

// Polls a condition until it holds or the hang limit passes.
template <class Predicate>
bool WaitUntil(Predicate predicate)
{
    const auto deadline = std::chrono::steady_clock::now() + kHangLimit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class DevServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_server.Started()) << m_server.Error(); }

    HttpClient::Result Refresh(const std::string& token, HttpClient* client = nullptr)
    {
        HttpClient& use = client ? *client : m_client;
        return use.Post(m_server.Url(kRefreshPath), RefreshBody(token));
    }

    std::string IssueToken(uint32_t userId = 42) { return m_server.State().IssueToken(userId).token; }

    TestServer m_server;
    HttpClient m_client;
};

// --- refresh token -----------------------------------------------------

TEST_F(DevServerTest, RefreshReplacesALiveTokenAndRevokesTheOldOne)
{
    const std::string old = IssueToken(42);

    const auto result = Refresh(old);
    ASSERT_TRUE(result.Ok()) << result.error;
    EXPECT_EQ(200, result.status);
    Json::Value answer;
    ASSERT_TRUE(ParseJson(result.body, &answer)) << result.body;
    EXPECT_EQ(0, answer["code"].asInt());
    const std::string fresh = answer["token"].asString();
    EXPECT_FALSE(fresh.empty());
    EXPECT_NE(old, fresh);
    EXPECT_EQ(7200, answer["expire"].asInt64());
    EXPECT_EQ(42u, m_server.State().UserOfToken(fresh).value_or(0));
    EXPECT_FALSE(m_server.State().UserOfToken(old).has_value());

    const auto again = Refresh(old);
    ASSERT_TRUE(ParseJson(again.body, &answer)) << again.body;
    EXPECT_EQ(DevServer::ResultCode::TokenInvalid, answer["code"].asInt());

    const auto next = Refresh(fresh);
    ASSERT_TRUE(ParseJson(next.body, &answer)) << next.body;
    EXPECT_EQ(0, answer["code"].asInt());
}

TEST_F(DevServerTest, RefreshRefusesUnknownEmptyAndExpiredTokens)
{
    const std::string expired = m_server.State().IssueToken(5, std::chrono::seconds(0)).token;
    for (const std::string& token : {std::string(), std::string("not-a-token"), expired}) {
        const auto result = Refresh(token);
        ASSERT_TRUE(result.Ok()) << result.error;
        EXPECT_EQ(200, result.status);
        Json::Value answer;
        ASSERT_TRUE(ParseJson(result.body, &answer)) << result.body;
        EXPECT_EQ(DevServer::ResultCode::TokenInvalid, answer["code"].asInt()) << "token '" << token << "'";
        EXPECT_EQ("token invalid", answer["message"].asString());
        EXPECT_FALSE(answer.isMember("token"));
    }
}

TEST_F(DevServerTest, RefreshAnswersMalformedBodiesWith400)
{
    const std::string live = IssueToken();
    const std::vector<std::string> bodies = {
        "",
        "not json",
        "[\"" + live + "\"]",
        "{\"token\": 5}",
        "{}",
        "{\"token\": \"" + live + "\"} trailing",
        "{\"token\": \"x\", \"token\": \"" + live + "\"}",
    };
    for (const std::string& body : bodies) {
        const auto result = m_client.Post(m_server.Url(kRefreshPath), body);
        ASSERT_TRUE(result.Ok()) << result.error;
        EXPECT_EQ(400, result.status) << body;
        Json::Value answer;
        ASSERT_TRUE(ParseJson(result.body, &answer)) << result.body;
        EXPECT_EQ(400, answer["code"].asInt()) << body;
    }
    // None of them touched the live token.
    EXPECT_TRUE(m_server.State().UserOfToken(live).has_value());
}

TEST_F(DevServerTest, OneTokenRefreshedConcurrentlySucceedsOnce)
{
    constexpr int kThreads = 4;
    constexpr int kChain = 10;
    const std::string shared = IssueToken(1);
    std::promise<void> go;
    std::shared_future<void> start = go.get_future().share();
    std::atomic<int> winners{0};
    std::atomic<int> refused{0};
    std::atomic<int> chainFailures{0};

    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        std::string own = IssueToken(100 + i);
        threads.emplace_back([&, own]() mutable {
            HttpClient client;
            start.wait();
            Json::Value answer;
            const auto result = Refresh(shared, &client);
            if (result.Ok() && ParseJson(result.body, &answer)) {
                if (answer["code"].asInt() == 0)
                    ++winners;
                else if (answer["code"].asInt() == DevServer::ResultCode::TokenInvalid)
                    ++refused;
            }
            for (int n = 0; n < kChain; ++n) {
                const auto step = Refresh(own, &client);
                if (!step.Ok() || !ParseJson(step.body, &answer) || answer["code"].asInt() != 0) {
                    ++chainFailures;
                    return;
                }
                own = answer["token"].asString();
            }
        });
    }
    go.set_value();
    for (std::thread& thread : threads)
        thread.join();

    EXPECT_EQ(1, winners.load());
    EXPECT_EQ(kThreads - 1, refused.load());
    EXPECT_EQ(0, chainFailures.load());
}

// --- routing -----------------------------------------------------------

TEST_F(DevServerTest, UnknownRoutesAre404WithAJsonBody)
{
    for (const auto& [method, path] : std::vector<std::pair<std::string, std::string>>{
             {"GET", "/nowhere"}, {"GET", kRefreshPath}, {"POST", "/v1/account/refreshtoken/"}}) {
        const auto result = m_client.Request(method, m_server.Url(path), "{}");
        ASSERT_TRUE(result.Ok()) << result.error;
        EXPECT_EQ(404, result.status) << method << " " << path;
        Json::Value answer;
        ASSERT_TRUE(ParseJson(result.body, &answer)) << result.body;
        EXPECT_EQ(404, answer["code"].asInt());
    }
}

TEST_F(DevServerTest, PathsAreDecodedAndQueriesParsed)
{
    m_server.Server().Route("GET", "/echo path", [](const DevServer::HttpRequest& request) {
        DevServer::HttpResponse response;
        response.contentType = "text/plain";
        response.body = request.query.count("name") ? request.query.at("name") : "<none>";
        return response;
    });
    const auto result = m_client.Get(m_server.Url("/echo%20path?name=a+b%26c&other"));
    ASSERT_TRUE(result.Ok()) << result.error;
    EXPECT_EQ(200, result.status);
    EXPECT_EQ("a b&c", result.body);

    const auto bad = m_client.Get(m_server.Url("/echo%2"));
    ASSERT_TRUE(bad.Ok()) << bad.error;
    EXPECT_EQ(400, bad.status);
}

TEST_F(DevServerTest, AThrowingHandlerIsAnswered500AndTheServerGoesOn)
{
    m_server.Server().Route("POST", "/boom", [](const DevServer::HttpRequest&) -> DevServer::HttpResponse {
        throw std::runtime_error("handler broke");
    });
    const auto result = m_client.Post(m_server.Url("/boom"), "{}");
    ASSERT_TRUE(result.Ok()) << result.error;
    EXPECT_EQ(500, result.status);
    Json::Value answer;
    ASSERT_TRUE(ParseJson(result.body, &answer)) << result.body;
    EXPECT_EQ(500, answer["code"].asInt());

    const auto after = Refresh(IssueToken());
    ASSERT_TRUE(after.Ok()) << after.error;
    EXPECT_EQ(200, after.status);
}

TEST_F(DevServerTest, KeepAliveServesManyRequestsOnOneConnection)
{
    for (int i = 0; i < 3; ++i) {
        const auto result = Refresh("unknown");
        ASSERT_TRUE(result.Ok()) << result.error;
    }
    EXPECT_EQ(3u, m_server.Server().RequestCount());
    EXPECT_EQ(1u, m_server.Server().ConnectionCount());
    EXPECT_EQ(0u, m_server.Server().TlsHandshakeCount());
}

TEST_F(DevServerTest, AMalformedRequestIsAnswered400AndClosed)
{
    RawConnection raw;
    ASSERT_TRUE(raw.Connect("127.0.0.1", m_server.Server().Port()));
    ASSERT_TRUE(raw.Send("THIS IS NOT HTTP\r\n\r\n"));
    bool closed = false;
    const std::string answer = raw.ReadUntilClosed(kHangLimit, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(0u, answer.rfind("HTTP/1.1 400", 0)) << answer;
}

TEST(DevServer, ABodyOverTheLimitIsAnswered413AndClosed)
{
    DevServer::Options options = TestServer::Http();
    options.bodyLimit = 1024;
    TestServer server(options);
    ASSERT_TRUE(server.Started()) << server.Error();

    RawConnection raw;
    ASSERT_TRUE(raw.Connect("127.0.0.1", server.Server().Port()));
    ASSERT_TRUE(raw.Send("POST /v1/account/refreshtoken HTTP/1.1\r\nHost: x\r\nContent-Length: 4096\r\n\r\n" +
                         std::string(2048, 'a')));
    bool closed = false;
    const std::string answer = raw.ReadUntilClosed(kHangLimit, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(0u, answer.rfind("HTTP/1.1 413", 0)) << answer;
}

TEST(DevServer, StartTwiceFailsAndAStoppedServerStartsAgain)
{
    TestServer server;
    ASSERT_TRUE(server.Started()) << server.Error();
    std::string error;
    EXPECT_FALSE(server.Server().Start(&error));
    EXPECT_EQ("already running", error);

    server.Server().Stop();
    server.Server().Stop();
    ASSERT_TRUE(server.Server().Start(&error)) << error;
    HttpClient client;
    const auto result = client.Post(server.Url(kRefreshPath), RefreshBody("x"));
    ASSERT_TRUE(result.Ok()) << result.error;
    EXPECT_EQ(200, result.status);
}

TEST(DevServer, StartReportsAPortInUse)
{
    TestServer first;
    ASSERT_TRUE(first.Started()) << first.Error();
    DevServer::Options options = TestServer::Http();
    options.port = first.Server().Port();
    DevServer::Server second(options);
    std::string error;
    EXPECT_FALSE(second.Start(&error));
    EXPECT_NE(std::string::npos, error.find("cannot listen")) << error;
}

// --- HTTPS -------------------------------------------------------------

TEST(DevServerTls, ThrowAwayCaIsVerifiedAndConnectionsAreReused)
{
    TestServer server(TestServer::Https());
    ASSERT_TRUE(server.Started()) << server.Error();
    EXPECT_EQ(0u, server.BaseUrl().rfind("https://127.0.0.1:", 0));
    ASSERT_FALSE(server.CaFile().empty());

    HttpClient client;
    client.SetCaFile(server.CaFile());
    const std::string token = server.State().IssueToken(9).token;
    const auto first = client.Post(server.Url(kRefreshPath), RefreshBody(token));
    ASSERT_TRUE(first.Ok()) << first.error;
    Json::Value answer;
    ASSERT_TRUE(ParseJson(first.body, &answer)) << first.body;
    EXPECT_EQ(0, answer["code"].asInt());
    const auto second = client.Post(server.Url(kRefreshPath), RefreshBody(answer["token"].asString()));
    ASSERT_TRUE(second.Ok()) << second.error;

    EXPECT_EQ(1u, server.Server().TlsHandshakeCount());
    EXPECT_EQ(1u, server.Server().ConnectionCount());
    EXPECT_EQ(2u, server.Server().RequestCount());
}

TEST(DevServerTls, ACertificateFromAnotherCaIsRefused)
{
    TestServer server(TestServer::Https());
    ASSERT_TRUE(server.Started()) << server.Error();

    TempDir dir;
    DevServer::CertificateAuthority stranger;
    ASSERT_TRUE(stranger.Create("Stranger CA"));
    ASSERT_TRUE(DevServer::CertificateAuthority::WriteFile(dir.File("stranger.pem"), stranger.CertificatePem()));

    HttpClient client;
    client.SetCaFile(dir.File("stranger.pem"));
    const auto result = client.Post(server.Url(kRefreshPath), RefreshBody("x"));
    EXPECT_EQ(CURLE_PEER_FAILED_VERIFICATION, result.curlCode) << result.error;
    EXPECT_EQ(0u, server.Server().RequestCount());
    EXPECT_EQ(0u, server.Server().TlsHandshakeCount());
}

TEST(DevServerTls, GivenCertificateFilesAreServed)
{
    TempDir dir;
    DevServer::CertificateAuthority ca;
    DevServer::CertificateAuthority::Issued leaf;
    std::string error;
    ASSERT_TRUE(ca.Create("Given CA", &error)) << error;
    ASSERT_TRUE(ca.IssueLoopbackCertificate(&leaf, &error)) << error;
    ASSERT_TRUE(DevServer::CertificateAuthority::WriteFile(dir.File("ca.pem"), ca.CertificatePem()));
    ASSERT_TRUE(DevServer::CertificateAuthority::WriteFile(dir.File("cert.pem"), leaf.certificatePem));
    ASSERT_TRUE(DevServer::CertificateAuthority::WriteFile(dir.File("key.pem"), leaf.privateKeyPem));

    DevServer::Options options = TestServer::Https();
    options.certFile = dir.File("cert.pem");
    options.keyFile = dir.File("key.pem");
    TestServer server(options);
    ASSERT_TRUE(server.Started()) << server.Error();
    EXPECT_TRUE(server.CaFile().empty());

    HttpClient trusting;
    trusting.SetCaFile(dir.File("ca.pem"));
    const auto ok = trusting.Post(server.Url(kRefreshPath), RefreshBody("x"));
    ASSERT_TRUE(ok.Ok()) << ok.error;
    EXPECT_EQ(200, ok.status);

    // A server certificate issued for other names fails host verification.
    DevServer::CertificateAuthority::Issued elsewhere;
    ASSERT_TRUE(ca.IssueServerCertificate({"example.invalid"}, {}, &elsewhere, &error)) << error;
    ASSERT_TRUE(DevServer::CertificateAuthority::WriteFile(dir.File("other.pem"), elsewhere.certificatePem));
    ASSERT_TRUE(DevServer::CertificateAuthority::WriteFile(dir.File("other.key"), elsewhere.privateKeyPem));
    options.certFile = dir.File("other.pem");
    options.keyFile = dir.File("other.key");
    TestServer misnamed(options);
    ASSERT_TRUE(misnamed.Started()) << misnamed.Error();
    HttpClient checking;
    checking.SetCaFile(dir.File("ca.pem"));
    const auto refused = checking.Post(misnamed.Url(kRefreshPath), RefreshBody("x"));
    EXPECT_EQ(CURLE_PEER_FAILED_VERIFICATION, refused.curlCode) << refused.error;
}

TEST(DevServerTls, MissingCertificateFilesFailStart)
{
    DevServer::Options options = TestServer::Https();
    options.certFile = "/nonexistent/cert.pem";
    DevServer::Server server(options);
    std::string error;
    EXPECT_FALSE(server.Start(&error));
    EXPECT_NE(std::string::npos, error.find("cannot load certificate")) << error;
}

TEST(DevServerTls, CertificateAuthorityRefusesToIssueBeforeCreateOrWithoutNames)
{
    DevServer::CertificateAuthority ca;
    DevServer::CertificateAuthority::Issued leaf;
    EXPECT_TRUE(ca.CertificatePem().empty());
    EXPECT_FALSE(ca.IssueLoopbackCertificate(&leaf));
    ASSERT_TRUE(ca.Create("CA"));
    std::string error;
    EXPECT_FALSE(ca.IssueServerCertificate({}, {}, &leaf, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(ca.IssueServerCertificate({}, {"not-an-address"}, &leaf, &error));
}

// --- fault switches ----------------------------------------------------

TEST_F(DevServerTest, DelayHoldsTheAnswerBack)
{
    Fault fault;
    fault.delayMs = 60000;
    fault.remaining = 1;
    ASSERT_TRUE(m_server.Server().SetFault("POST", kRefreshPath, fault));
    HttpClient impatient;
    impatient.SetTimeoutMs(300);
    const auto held = Refresh(IssueToken(), &impatient);
    EXPECT_EQ(CURLE_OPERATION_TIMEDOUT, held.curlCode) << held.error;

    // A short delay still ends in the normal answer.
    fault.delayMs = 20;
    ASSERT_TRUE(m_server.Server().SetFault("POST", kRefreshPath, fault));
    const auto late = Refresh(IssueToken());
    ASSERT_TRUE(late.Ok()) << late.error;
    Json::Value answer;
    ASSERT_TRUE(ParseJson(late.body, &answer)) << late.body;
    EXPECT_EQ(0, answer["code"].asInt());
}

TEST_F(DevServerTest, CloseWithoutAnswerDropsTheRequestUnhandled)
{
    Fault fault;
    fault.closeWithoutAnswer = true;
    ASSERT_TRUE(m_server.Server().SetFault("POST", kRefreshPath, fault));
    const std::string token = IssueToken();
    const auto result = Refresh(token);
    EXPECT_EQ(CURLE_GOT_NOTHING, result.curlCode) << result.error;
    EXPECT_TRUE(m_server.State().UserOfToken(token).has_value());
}

TEST_F(DevServerTest, CloseMidResponseCutsTheBodyShort)
{
    Fault fault;
    fault.closeMidResponse = true;
    ASSERT_TRUE(m_server.Server().SetFault("POST", kRefreshPath, fault));
    const std::string token = IssueToken();
    const auto result = Refresh(token);
    EXPECT_EQ(CURLE_PARTIAL_FILE, result.curlCode) << result.error;
    EXPECT_EQ(200, result.status);
    // The route did its work; only its answer was lost.
    EXPECT_FALSE(m_server.State().UserOfToken(token).has_value());
}

TEST(DevServerTls, CloseMidResponseCutsTheBodyShortOverTls)
{
    TestServer server(TestServer::Https());
    ASSERT_TRUE(server.Started()) << server.Error();
    Fault fault;
    fault.closeMidResponse = true;
    ASSERT_TRUE(server.Server().SetFault("POST", kRefreshPath, fault));
    HttpClient client;
    client.SetCaFile(server.CaFile());
    const auto result = client.Post(server.Url(kRefreshPath), RefreshBody("x"));
    EXPECT_NE(CURLE_OK, result.curlCode);
    Json::Value answer;
    EXPECT_FALSE(ParseJson(result.body, &answer)) << result.body;
}

TEST_F(DevServerTest, GarbageAndEmptyBodiesComeWithStatus200)
{
    Fault garbage;
    garbage.garbageBody = true;
    garbage.remaining = 1;
    ASSERT_TRUE(m_server.Server().SetFault("POST", kRefreshPath, garbage));
    const auto first = Refresh(IssueToken());
    ASSERT_TRUE(first.Ok()) << first.error;
    EXPECT_EQ(200, first.status);
    EXPECT_FALSE(first.body.empty());
    Json::Value answer;
    EXPECT_FALSE(ParseJson(first.body, &answer)) << first.body;

    Fault empty;
    empty.emptyBody = true;
    empty.remaining = 1;
    ASSERT_TRUE(m_server.Server().SetFault("POST", kRefreshPath, empty));
    const auto second = Refresh(IssueToken());
    ASSERT_TRUE(second.Ok()) << second.error;
    EXPECT_EQ(200, second.status);
    EXPECT_TRUE(second.body.empty());
}

TEST_F(DevServerTest, StatusFaultAnswersThatStatusForItsCount)
{
    Fault fault;
    fault.httpStatus = 503;
    fault.remaining = 2;
    ASSERT_TRUE(m_server.Server().SetFault("POST", kRefreshPath, fault));
    for (int i = 0; i < 2; ++i) {
        const auto result = Refresh(IssueToken());
        ASSERT_TRUE(result.Ok()) << result.error;
        EXPECT_EQ(503, result.status);
        Json::Value answer;
        EXPECT_FALSE(ParseJson(result.body, &answer)) << result.body;
    }
    const auto after = Refresh(IssueToken());
    ASSERT_TRUE(after.Ok()) << after.error;
    EXPECT_EQ(200, after.status);

    fault.httpStatus = 42;
    EXPECT_FALSE(m_server.Server().SetFault("POST", kRefreshPath, fault));
    fault.httpStatus = 1000;
    EXPECT_FALSE(m_server.Server().SetFault("POST", kRefreshPath, fault));
}

TEST_F(DevServerTest, FaultsApplyToTheirRouteOnlyAndClear)
{
    Fault fault;
    fault.httpStatus = 502;
    ASSERT_TRUE(m_server.Server().SetFault("POST", kRefreshPath, fault));
    ASSERT_TRUE(m_server.Server().SetFault("GET", "/other", fault));
    const auto unknown = m_client.Post(m_server.Url("/other"), "{}");
    EXPECT_EQ(404, unknown.status);
    EXPECT_EQ(502, Refresh("x").status);
    EXPECT_EQ(502, Refresh("x").status);

    m_server.Server().ClearFaults();
    EXPECT_EQ(200, Refresh("x").status);

    ASSERT_TRUE(m_server.Server().SetFault("POST", kRefreshPath, fault));
    fault.remaining = 0;
    ASSERT_TRUE(m_server.Server().SetFault("POST", kRefreshPath, fault));
    EXPECT_EQ(200, Refresh("x").status);
}

// --- development routes --------------------------------------------------

TEST_F(DevServerTest, DevRoutesIssueTokensAndSwitchFaults)
{
    Json::Value answer;
    const auto issued = m_client.Post(m_server.Url("/_dev/token"), "{\"user_id\": 7}");
    ASSERT_TRUE(issued.Ok()) << issued.error;
    ASSERT_TRUE(ParseJson(issued.body, &answer)) << issued.body;
    ASSERT_EQ(0, answer["code"].asInt());
    const std::string token = answer["token"].asString();
    EXPECT_EQ(7u, m_server.State().UserOfToken(token).value_or(0));

    const auto set = m_client.Post(m_server.Url("/_dev/fault"),
                                   "{\"method\":\"POST\",\"path\":\"/v1/account/refreshtoken\",\"status\":502}");
    ASSERT_TRUE(set.Ok()) << set.error;
    EXPECT_EQ(200, set.status) << set.body;
    EXPECT_EQ(502, Refresh(token).status);

    // Faults never touch the development routes themselves.
    m_client.Post(m_server.Url("/_dev/fault"), "{\"method\":\"POST\",\"path\":\"/_dev/faults/clear\",\"close\":true}");
    const auto cleared = m_client.Post(m_server.Url("/_dev/faults/clear"), "{}");
    ASSERT_TRUE(cleared.Ok()) << cleared.error;
    EXPECT_EQ(200, cleared.status);

    const auto refreshed = Refresh(token);
    ASSERT_TRUE(ParseJson(refreshed.body, &answer)) << refreshed.body;
    EXPECT_EQ(0, answer["code"].asInt());
}

TEST_F(DevServerTest, DevRoutesRefuseBadRequests)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/_dev/token", "{}"},
        {"/_dev/token", "{\"user_id\": -1}"},
        {"/_dev/token", "{\"user_id\": 1, \"lifetime\": \"long\"}"},
        {"/_dev/fault", "{\"path\":\"/x\"}"},
        {"/_dev/fault", "{\"method\":\"POST\",\"path\":\"/x\",\"status\":99}"},
        {"/_dev/fault", "{\"method\":\"POST\",\"path\":\"/x\",\"close\":1}"},
        {"/_dev/fault", "{\"method\":\"POST\",\"path\":\"/x\",\"delay_ms\":-5}"},
        {"/_dev/fault", "{\"method\":\"POST\",\"path\":\"/x\",\"count\":-2}"},
        {"/_dev/fault", "{\"method\":\"GET\",\"path\":\"/x\",\"cut_after_bytes\":-1}"},
        {"/_dev/fault", "{\"method\":\"GET\",\"path\":\"/x\",\"ignore_range\":\"yes\"}"},
    };
    for (const auto& [path, body] : cases) {
        const auto result = m_client.Post(m_server.Url(path), body);
        ASSERT_TRUE(result.Ok()) << result.error;
        EXPECT_EQ(400, result.status) << path << " " << body;
    }
}

// --- downloads ---------------------------------------------------------

class DevServerDownloadTest : public DevServerTest {
protected:
    void SetUp() override
    {
        DevServerTest::SetUp();
        m_server.State().downloads.Put("ten", "abcdefghij");
        m_etag = "\"" + m_server.State().downloads.Md5("ten") + "\"";
    }

    // The head (in lower case) and body of the answer to a GET with extra
    // header lines, read until the server closes the connection.
    std::pair<std::string, std::string> RawGet(const std::string& extra)
    {
        RawConnection connection;
        if (!connection.Connect("127.0.0.1", m_server.Server().Port()) ||
            !connection.Send("GET /download/file?name=ten HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + extra +
                             "\r\n"))
            return {};
        bool closed = false;
        const std::string answer = connection.ReadUntilClosed(kHangLimit, &closed);
        const size_t end = answer.find("\r\n\r\n");
        if (!closed || end == std::string::npos)
            return {};
        std::string head = answer.substr(0, end + 2);
        std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
        return {head, answer.substr(end + 4)};
    }

    std::string m_etag;
};

TEST_F(DevServerDownloadTest, OneRangeIsServedAndIfRangeDecidesWhetherItCounts)
{
    const std::string whole = "abcdefghij";
    struct Case {
        std::map<std::string, std::string> headers;
        long status;
        std::string body;
    } cases[] = {
        {{}, 200, whole},
        {{{"Range", "bytes=3-"}}, 206, "defghij"},
        {{{"Range", "bytes=2-4"}}, 206, "cde"},
        {{{"Range", "bytes=8-100"}}, 206, "ij"},
        {{{"Range", "bytes=-3"}}, 206, "hij"},
        {{{"Range", "bytes=10-"}}, 416, "range not satisfiable\n"},
        // What the server does not serve is ignored: the whole file.
        {{{"Range", "bytes=4-2"}}, 200, whole},
        {{{"Range", "bytes=1-2,4-5"}}, 200, whole},
        {{{"Range", "items=3-"}}, 200, whole},
        {{{"Range", "bytes=3-"}, {"If-Range", m_etag}}, 206, "defghij"},
        {{{"Range", "bytes=3-"}, {"If-Range", "\"an older one\""}}, 200, whole},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.headers.empty() ? "no range" : c.headers.begin()->second);
        const auto result = m_client.Request("GET", m_server.Url("/download/file?name=ten"), "", c.headers);
        ASSERT_TRUE(result.Ok()) << result.error;
        EXPECT_EQ(c.status, result.status);
        EXPECT_EQ(c.body, result.body);
    }

    const auto [head, body] = RawGet("Range: bytes=3-\r\n");
    EXPECT_EQ(0u, head.find("http/1.1 206")) << head;
    EXPECT_NE(std::string::npos, head.find("\r\ncontent-range: bytes 3-9/10\r\n")) << head;
    EXPECT_NE(std::string::npos, head.find("\r\netag: " + m_etag + "\r\n")) << head;
    EXPECT_NE(std::string::npos, head.find("\r\naccept-ranges: bytes\r\n")) << head;
    EXPECT_EQ("defghij", body);
    const auto [pastHead, pastBody] = RawGet("Range: bytes=10-\r\n");
    EXPECT_NE(std::string::npos, pastHead.find("\r\ncontent-range: bytes */10\r\n")) << pastHead;

    // A new body under the same name is another version.
    m_server.State().downloads.Put("ten", "0123456789");
    const auto changed = m_client.Request("GET", m_server.Url("/download/file?name=ten"), "",
                                          {{"Range", "bytes=3-"}, {"If-Range", m_etag}});
    EXPECT_EQ(200, changed.status);
    EXPECT_EQ("0123456789", changed.body);
}

TEST_F(DevServerDownloadTest, CutAndIgnoredRangeFaultsFromTheDevRoute)
{
    for (const int cut : {0, 4}) {
        const std::string fault = "{\"method\":\"GET\",\"path\":\"/download/file\",\"cut_after_bytes\":" +
                                  std::to_string(cut) + ",\"count\":1}";
        ASSERT_EQ(200, m_client.Post(m_server.Url("/_dev/fault"), fault).status);
        const auto [head, body] = RawGet("Range: bytes=2-\r\n");
        EXPECT_NE(std::string::npos, head.find("\r\ncontent-length: 8\r\n")) << head;
        EXPECT_EQ(std::string("cdefghij").substr(0, cut), body);
    }
    ASSERT_EQ(200, m_client.Post(m_server.Url("/_dev/fault"),
                                 "{\"method\":\"GET\",\"path\":\"/download/file\",\"ignore_range\":true}")
                       .status);
    const auto ignored = m_client.Request("GET", m_server.Url("/download/file?name=ten"), "", {{"Range", "bytes=3-"}});
    EXPECT_EQ(200, ignored.status);
    EXPECT_EQ("abcdefghij", ignored.body);
}

// --- stopping ----------------------------------------------------------

TEST(DevServer, StopWithOpenConnectionsReturnsAndClosesThem)
{
    TestServer server;
    ASSERT_TRUE(server.Started()) << server.Error();

    // An idle keep-alive connection.
    HttpClient idle;
    ASSERT_TRUE(idle.Post(server.Url(kRefreshPath), RefreshBody("x")).Ok());
    // Half a request.
    RawConnection half;
    ASSERT_TRUE(half.Connect("127.0.0.1", server.Server().Port()));
    ASSERT_TRUE(half.Send("POST /v1/account/refreshtoken HTTP/1.1\r\nHost: x\r\n"));
    // A request held by a delay.
    Fault fault;
    fault.delayMs = 60000;
    ASSERT_TRUE(server.Server().SetFault("POST", kRefreshPath, fault));
    std::promise<HttpClient::Result> heldResult;
    std::thread held([&] {
        HttpClient client;
        heldResult.set_value(client.Post(server.Url(kRefreshPath), RefreshBody("x")));
    });
    // An answer far larger than the socket buffers, to a client that reads
    // none of it: the server's send stays pending.
    RawConnection stalled;
    ASSERT_TRUE(stalled.Connect("127.0.0.1", server.Server().Port()));
    ASSERT_TRUE(stalled.Send("GET /download/file?size=" + std::to_string(16 << 20) + " HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return server.Server().RequestCount() == 3; }));

    auto stopped = std::async(std::launch::async, [&] { server.Server().Stop(); });
    const bool returned = stopped.wait_for(kHangLimit) == std::future_status::ready;
    EXPECT_TRUE(returned);

    bool closed = false;
    half.ReadUntilClosed(kHangLimit, &closed);
    EXPECT_TRUE(closed);
    auto heldFuture = heldResult.get_future();
    EXPECT_EQ(std::future_status::ready, heldFuture.wait_for(kHangLimit));
    held.join();
    EXPECT_FALSE(heldFuture.get().Ok());
    if (!returned)
        std::abort();  // the server hangs; nothing sensible is left to check
}

// --- proxy ---------------------------------------------------------------

struct ProxiedResult {
    CURLcode code = CURLE_FAILED_INIT;
    long status = 0;
    long connectCode = 0;  // the proxy's answer to CONNECT
    std::string body;
};

size_t Collect(char* data, size_t size, size_t count, void* body)
{
    static_cast<std::string*>(body)->append(data, size * count);
    return size * count;
}

// A GET through the proxy by libcurl, an independent client: CONNECT for an
// http:// proxy, the SOCKS5 handshake for socks5:// and socks5h://.
ProxiedResult GetThroughProxy(const std::string& url, const std::string& proxy, const std::string& caFile,
                              const std::string& user = std::string(), const std::string& password = std::string())
{
    ProxiedResult result;
    CURL* curl = curl_easy_init();
    if (curl == nullptr)
        return result;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPPROXYTUNNEL, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
    if (!user.empty()) {
        curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, user.c_str());
        curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, password.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
    result.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
    curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &result.connectCode);
    curl_easy_cleanup(curl);
    return result;
}

DevServer::Options HttpsWithProxy(const std::string& user = std::string(), const std::string& password = std::string())
{
    DevServer::Options options = TestServer::Https();
    options.proxy = true;
    options.proxyUser = user;
    options.proxyPassword = password;
    return options;
}

std::string Bytes(std::initializer_list<int> values)
{
    std::string bytes;
    for (int value : values)
        bytes += static_cast<char>(value);
    return bytes;
}

TEST(DevServerProxy, ConnectAndSocks5CarryExchangesAndCountThem)
{
    TestServer server(HttpsWithProxy());
    ASSERT_TRUE(server.Started()) << server.Error();
    ASSERT_NE(server.Server().ProxyPort(), 0);
    const std::string port = std::to_string(server.Server().Port());

    // The server's name under .localhost, resolved by the proxy (socks5h),
    // is what upload clients use; its certificate names it.
    const struct {
        std::string proxy;
        std::string url;
    } routes[] = {
        {server.ProxyUrl("http"), server.Url("/_dev/proxy")},
        {server.ProxyUrl("socks5"), server.Url("/_dev/proxy")},
        {server.ProxyUrl("socks5h"), "https://oss-local.localhost:" + port + "/_dev/proxy"},
    };
    uint64_t tunnels = 0;
    for (const auto& route : routes) {
        SCOPED_TRACE(route.proxy + " " + route.url);
        const ProxiedResult result = GetThroughProxy(route.url, route.proxy, server.CaFile());
        ASSERT_EQ(result.code, CURLE_OK);
        EXPECT_EQ(result.status, 200);
        Json::Value answer;
        ASSERT_TRUE(ParseJson(result.body, &answer)) << result.body;
        EXPECT_EQ(answer["port"].asUInt(), server.Server().ProxyPort());
        EXPECT_EQ(answer["tunnels"].asUInt64(), ++tunnels);
    }
    // The server listens on 127.0.0.1 only: a tunnel to ::1 finds nobody,
    // and the proxy says so.
    const ProxiedResult nobody =
        GetThroughProxy("https://[::1]:" + port + "/_dev/proxy", server.ProxyUrl("http"), server.CaFile());
    EXPECT_NE(nobody.code, CURLE_OK);
    EXPECT_EQ(nobody.connectCode, 502);
    EXPECT_EQ(server.Server().ProxyTunnelCount(), 3u);
    EXPECT_EQ(server.Server().ProxyRefusalCount(), 1u);

    // Without the option there is no proxy.
    TestServer plain;
    ASSERT_TRUE(plain.Started()) << plain.Error();
    EXPECT_EQ(plain.Server().ProxyPort(), 0);
    HttpClient client;
    const auto answer = client.Get(plain.Url("/_dev/proxy"));
    ASSERT_TRUE(answer.Ok());
    EXPECT_NE(answer.body.find("\"port\":0"), std::string::npos) << answer.body;
}

TEST(DevServerProxy, CredentialsAreAskedForAndChecked)
{
    TestServer server(HttpsWithProxy("alice", "Sesame-0pen"));
    ASSERT_TRUE(server.Started()) << server.Error();
    const std::string url = server.Url("/_dev/proxy");

    for (const std::string scheme : {"http", "socks5h"}) {
        SCOPED_TRACE(scheme);
        const ProxiedResult none = GetThroughProxy(url, server.ProxyUrl(scheme), server.CaFile());
        const ProxiedResult wrong = GetThroughProxy(url, server.ProxyUrl(scheme), server.CaFile(), "alice", "guess");
        const ProxiedResult right =
            GetThroughProxy(url, server.ProxyUrl(scheme), server.CaFile(), "alice", "Sesame-0pen");
        EXPECT_NE(none.code, CURLE_OK);
        EXPECT_NE(wrong.code, CURLE_OK);
        if (scheme == "http") {
            EXPECT_EQ(none.connectCode, 407);
            EXPECT_EQ(wrong.connectCode, 407);
        }
        ASSERT_EQ(right.code, CURLE_OK);
        EXPECT_EQ(right.status, 200);
    }
    EXPECT_EQ(server.Server().ProxyTunnelCount(), 2u);
    EXPECT_EQ(server.Server().ProxyRefusalCount(), 4u);

    // The challenge names the scheme the client must answer with.
    RawConnection raw;
    ASSERT_TRUE(raw.Connect("127.0.0.1", server.Server().ProxyPort()));
    ASSERT_TRUE(raw.Send("CONNECT 127.0.0.1:" + std::to_string(server.Server().Port()) +
                         " HTTP/1.1\r\nProxy-Authorization: Basic YWxpY2U6Z3Vlc3M=\r\n\r\n"));
    bool closed = false;
    const std::string answer = raw.ReadUntilClosed(kHangLimit, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(0u, answer.rfind("HTTP/1.1 407 ", 0)) << answer;
    EXPECT_NE(answer.find("\r\nProxy-Authenticate: Basic realm="), std::string::npos) << answer;
}

TEST(DevServerProxy, RefusesOtherTargetsAndRequestsAndStopsWithOpenTunnels)
{
    TestServer server(HttpsWithProxy());
    ASSERT_TRUE(server.Started()) << server.Error();
    const uint16_t proxyPort = server.Server().ProxyPort();
    const struct {
        std::string sent;
        std::string answer;
    } cases[] = {
        {"GET http://127.0.0.1/ HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "HTTP/1.1 400 "},
        {"CONNECT 127.0.0.1 HTTP/1.1\r\n\r\n", "HTTP/1.1 400 "},
        {"CONNECT 127.0.0.1:0 HTTP/1.1\r\n\r\n", "HTTP/1.1 400 "},
        {"CONNECT " + std::string(20000, 'a') + ":443 HTTP/1.1\r\n\r\n", "HTTP/1.1 400 "},
        {"CONNECT example.com:443 HTTP/1.1\r\n\r\n", "HTTP/1.1 403 "},
        {"CONNECT 10.0.0.1:443 HTTP/1.1\r\n\r\n", "HTTP/1.1 403 "},
        {"CONNECT localhost.example.com:443 HTTP/1.1\r\n\r\n", "HTTP/1.1 403 "},
        // SOCKS5: no-auth chosen, then the request, all sent at once.
        {Bytes({5, 1, 0, 5, 1, 0, 1, 10, 0, 0, 1, 1, 187}), Bytes({5, 0, 5, 2, 0, 1, 0, 0, 0, 0, 0, 0})},
        {Bytes({5, 1, 0, 5, 1, 0, 3, 11}) + "example.com" + Bytes({1, 187}), Bytes({5, 0, 5, 2, 0, 1, 0, 0, 0, 0, 0, 0})},
        {Bytes({5, 1, 0, 5, 2, 0, 1, 127, 0, 0, 1, 1, 187}), Bytes({5, 0, 5, 7, 0, 1, 0, 0, 0, 0, 0, 0})},
        {Bytes({5, 1, 0, 5, 1, 0, 9}), Bytes({5, 0, 5, 8, 0, 1, 0, 0, 0, 0, 0, 0})},
        // Only username/password offered to a proxy that wants none.
        {Bytes({5, 1, 2}), Bytes({5, 0xFF})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sent.substr(0, 40));
        RawConnection raw;
        ASSERT_TRUE(raw.Connect("127.0.0.1", proxyPort));
        ASSERT_TRUE(raw.Send(c.sent));
        bool closed = false;
        const std::string answer = raw.ReadUntilClosed(kHangLimit, &closed);
        EXPECT_TRUE(closed);
        EXPECT_EQ(0u, answer.rfind(c.answer, 0)) << answer;
    }
    EXPECT_EQ(server.Server().ProxyTunnelCount(), 0u);
    EXPECT_EQ(server.Server().ProxyRefusalCount(), std::size(cases));

    // An open tunnel to the server, with a request already sent behind the
    // CONNECT, and a silent client halfway through its greeting.
    RawConnection tunnel;
    ASSERT_TRUE(tunnel.Connect("127.0.0.1", proxyPort));
    ASSERT_TRUE(tunnel.Send("CONNECT localhost:" + std::to_string(server.Server().Port()) + " HTTP/1.1\r\n\r\n"));
    RawConnection silent;
    ASSERT_TRUE(silent.Connect("127.0.0.1", proxyPort));
    ASSERT_TRUE(silent.Send(Bytes({5, 2})));
    ASSERT_TRUE(WaitUntil([&] { return server.Server().ProxyTunnelCount() == 1; }));

    auto stopped = std::async(std::launch::async, [&] { server.Server().Stop(); });
    const bool returned = stopped.wait_for(kHangLimit) == std::future_status::ready;
    EXPECT_TRUE(returned);
    for (RawConnection* raw : {&tunnel, &silent}) {
        bool closed = false;
        raw->ReadUntilClosed(kHangLimit, &closed);
        EXPECT_TRUE(closed);
    }
    if (!returned)
        std::abort();  // the server hangs; nothing sensible is left to check
}

}  // namespace
