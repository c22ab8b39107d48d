// The network rules every exchange follows, on a bare easy handle set up
// the way the facades set theirs up, against local servers.

#include <gtest/gtest.h>

#include <curl/curl.h>

#include <mutex>
#include <string>
#include <vector>

#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/HttpSettings.h"
#include "support/TestServer.h"
#include "transfer/Policy.h"

namespace {

size_t Keep(char* data, size_t size, size_t count, void* body)
{
    static_cast<std::string*>(body)->append(data, size * count);
    return size * count;
}

class TransferPolicy : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_plain.Started()) << m_plain.Error();
        ASSERT_TRUE(m_tls.Started()) << m_tls.Error();
        Util::Curl::Init();
        Http::SetCaBundle(ToWide(m_tls.CaFile().c_str(), CP_UTF8).c_str());
    }
    void TearDown() override { Http::ResetSettings(); }

    // Runs one exchange under the rules; the result, and the body in body.
    CURLcode Fetch(const std::string& url, const Transfer::Limits& limits, Transfer::Policy& policy,
                   std::string* body = nullptr, const std::string& put = std::string())
    {
        CURL* easy = curl_easy_init();
        curl_slist* headers = nullptr;
        std::string kept;
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Keep);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, body != nullptr ? body : &kept);
        if (!put.empty()) {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "PUT");
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, put.c_str());
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(put.size()));
        }
        std::string error;
        EXPECT_EQ(policy.Apply(easy, limits, &headers, &error), CURLE_OK) << error;
        const CURLcode rc = curl_easy_perform(easy);
        curl_easy_cleanup(easy);
        curl_slist_free_all(headers);
        return rc;
    }

    void Redirect(TestSupport::TestServer& server, const std::string& from, const std::string& to)
    {
        server.Server().Route("GET", from, [to](const DevServer::HttpRequest&) {
            DevServer::HttpResponse response;
            response.status = 302;
            response.headers["Location"] = to;
            return response;
        });
    }

    void Answer(TestSupport::TestServer& server, const std::string& path, const std::string& text)
    {
        server.Server().Route("GET", path, [text](const DevServer::HttpRequest&) {
            DevServer::HttpResponse response;
            response.contentType = "text/plain";
            response.body = text;
            return response;
        });
    }

    TestSupport::TestServer m_plain{TestSupport::TestServer::Http()};
    TestSupport::TestServer m_tls{TestSupport::TestServer::Https()};
};

TEST_F(TransferPolicy, RedirectsStayOnHttpAndNeverStepDownFromHttpsAndStopAfterFive)
{
    Transfer::Limits follow;
    follow.followRedirects = true;
    Answer(m_plain, "/end", "plain end");
    Answer(m_tls, "/end", "secure end");

    // Up to https is fine; a later step back down is refused before any
    // request goes to the plain server.
    Redirect(m_plain, "/up", m_tls.Url("/end"));
    Redirect(m_plain, "/up-and-down", m_tls.Url("/down"));
    Redirect(m_tls, "/down", m_plain.Url("/end"));
    {
        Transfer::Policy policy;
        std::string body;
        EXPECT_EQ(Fetch(m_plain.Url("/up"), follow, policy, &body), CURLE_OK);
        EXPECT_EQ(body, "secure end");
        EXPECT_FALSE(policy.RefusedDowngrade());
    }
    for (const std::string& start : {m_tls.Url("/down"), m_plain.Url("/up-and-down")}) {
        Transfer::Policy policy;
        const auto before = m_plain.Server().RequestCount();
        EXPECT_EQ(Fetch(start, follow, policy), CURLE_ABORTED_BY_CALLBACK) << start;
        EXPECT_TRUE(policy.RefusedDowngrade()) << start;
        EXPECT_EQ(m_plain.Server().RequestCount(), before + (start == m_tls.Url("/down") ? 0u : 1u)) << start;
    }

    // Neither another scheme nor a sixth step.
    Redirect(m_plain, "/elsewhere", "ftp://127.0.0.1/file");
    Transfer::Policy ftp;
    EXPECT_EQ(Fetch(m_plain.Url("/elsewhere"), follow, ftp), CURLE_UNSUPPORTED_PROTOCOL);
    for (int step = 1; step <= 6; ++step)
        Redirect(m_plain, "/hop" + std::to_string(step), m_plain.Url("/hop" + std::to_string(step + 1)));
    Answer(m_plain, "/hop7", "far");
    Redirect(m_plain, "/five", m_plain.Url("/hop3"));
    Transfer::Policy five;
    std::string body;
    EXPECT_EQ(Fetch(m_plain.Url("/five"), follow, five, &body), CURLE_OK);
    EXPECT_EQ(body, "far");
    Transfer::Policy six;
    EXPECT_EQ(Fetch(m_plain.Url("/hop1"), follow, six), CURLE_TOO_MANY_REDIRECTS);

    // Without following, the redirect itself is the answer.
    Transfer::Policy stay;
    EXPECT_EQ(Fetch(m_plain.Url("/up"), Transfer::Limits(), stay), CURLE_OK);
}

TEST_F(TransferPolicy, BodiesGoWithoutExpectAndAnAnnouncedOversizeIsRefused)
{
    std::mutex lock;
    std::vector<std::string> expects;
    m_plain.Server().Route("PUT", "/put", [&](const DevServer::HttpRequest& request) {
        std::lock_guard<std::mutex> guard(lock);
        auto it = request.headers.find("expect");
        expects.push_back(it == request.headers.end() ? "<none>" : it->second);
        return DevServer::HttpResponse();
    });
    Transfer::Policy put;
    EXPECT_EQ(Fetch(m_plain.Url("/put"), Transfer::Limits(), put, nullptr, std::string(3u << 20, 'x')), CURLE_OK);
    {
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_EQ(expects, std::vector<std::string>{"<none>"});
    }

    Answer(m_plain, "/big", std::string(4096, 'b'));
    Transfer::Limits small;
    small.maxBodyBytes = 4095;
    Transfer::Policy refused;
    std::string body;
    EXPECT_EQ(Fetch(m_plain.Url("/big"), small, refused, &body), CURLE_FILESIZE_EXCEEDED);
    EXPECT_TRUE(body.empty());
    small.maxBodyBytes = 4096;
    Transfer::Policy fits;
    EXPECT_EQ(Fetch(m_plain.Url("/big"), small, fits, &body), CURLE_OK);
    EXPECT_EQ(body.size(), 4096u);
}

}  // namespace
