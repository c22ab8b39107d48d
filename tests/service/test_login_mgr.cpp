// CLoginMgr through LoginApi with a stand-in HTTPS service: the descriptor
// RefreshToken sends, and how each kind of result is reported (or dropped).

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "EventRecorder.h"
#include "FakeHttpsService.h"
#include "LogCapture.h"
#include "pelbo/account/LoginApi.h"
#include "pelbo/account/LoginMgr.h"
#include "pelbo/core/CoreApi.h"
#include "pelbo/core/RequestKind.h"
#include "pelbo/corekit/HttpSettings.h"

namespace {

const wchar_t kBase[] = L"https://rest.example.test:8443";

class LoginMgrTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        LogCapture::UseTemporaryRoot();
        Http::SetHttpUrlHead(kBase);
    }
    void TearDown() override
    {
        LoginApi::DoExit();
        Http::ResetSettings();
    }

    FakeHttpsService service;
    EventRecorder events;
};

TEST_F(LoginMgrTest, RefreshTokenSendsOnePostWithTheTokenInItsBody)
{
    ASSERT_EQ(LoginApi::RefreshToken(L"abc"), 1);
    const auto sent = service.SentRequests();
    ASSERT_EQ(sent.size(), 1u);
    const ST_HttpsReqInfo& info = sent[0].info;
    EXPECT_EQ(info.strUrl, std::wstring(kBase) + L"/v1/account/refreshtoken");
    EXPECT_EQ(info.nMethod, 1);
    EXPECT_EQ(info.nOption1, 3);
    EXPECT_EQ(info.nOption2, 3);
    EXPECT_TRUE(info.mapHeaders.empty()) << "the token travels in the body only";
    EXPECT_EQ(info.strContent, std::wstring(L"{\n   \"token\" : \"abc\"\n}\n"));
    EXPECT_EQ(CLoginMgr::Instance().Peek()->SlotId(CLoginMgr::SLOT_REFRESH_TOKEN), sent[0].id);
}

TEST_F(LoginMgrTest, TokenTextIsSentAsUtf8EscapedByTheWriter)
{
    ASSERT_EQ(LoginApi::RefreshToken(L"t\u00e9\"x"), 1);
    EXPECT_EQ(service.SentRequests().at(0).info.strContent, std::wstring(L"{\n   \"token\" : \"t\\u00e9\\\"x\"\n}\n"));
    ASSERT_EQ(LoginApi::RefreshToken(nullptr), 1);
    EXPECT_EQ(service.SentRequests().at(1).info.strContent, std::wstring(L"{\n   \"token\" : \"\"\n}\n"));
}

TEST_F(LoginMgrTest, RefusedRequestReturnsZeroAndReportsNothing)
{
    service.accept = false;
    EXPECT_EQ(LoginApi::RefreshToken(L"abc"), 0);
    EXPECT_EQ(CLoginMgr::Instance().Peek()->SlotId(CLoginMgr::SLOT_REFRESH_TOKEN), 0u);
    EXPECT_TRUE(events.Results().empty());
}

TEST_F(LoginMgrTest, AnswerWithATokenIsReportedAsKindSixWithTheNewToken)
{
    ASSERT_EQ(LoginApi::RefreshToken(L"abc"), 1);
    ASSERT_TRUE(service.Deliver(0, L"{\"code\": 0, \"token\": \"fresh\", \"expire\": 7200}", 1));
    const auto results = events.Results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].code, 0);
    EXPECT_EQ(results[0].kind, RequestKind::kRefreshToken);
    ASSERT_TRUE(results[0].hasRecord);
    EXPECT_EQ(results[0].texts, (std::map<std::wstring, std::wstring>{{L"Token", L"fresh"}}));
}

struct CodeCase {
    const wchar_t* response;
    int completed;
    int code;
    bool hasRecord;
    const wchar_t* token;
};

TEST_F(LoginMgrTest, ResultCodesFollowTheResponseAndTheCompletionFlag)
{
    const CodeCase cases[] = {
        {L"{\"code\": 401, \"msg\": \"token invalid\"}", 1, 401, true, L""},
        {L"{\"code\": \"\", \"token\": \"t\"}", 1, 0, true, L"t"},
        {L"{\"token\": \"t\"}", 1, 0, true, L"t"},
        {L"{\"code\": \"x12\"}", 1, 0, true, L""},
        {L"{\"code\": \"12x\"}", 1, 12, true, L""},
        {L"{\"code\": -3}", 1, -3, true, L""},
        {L"{\"code\": 1.5}", 1, 0, true, L""},
        // The exchange failed: -1 whatever the body said, record from the body.
        {L"{\"code\": 0, \"token\": \"t\"}", 0, -1, true, L"t"},
        {L"", 0, -1, false, nullptr},
        {L"", 1, -1, false, nullptr},
        {L"<html>bad gateway</html>", 1, -1, false, nullptr},
        {L"{garbage}", 1, -1, false, nullptr},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        const CodeCase& c = cases[i];
        ASSERT_EQ(LoginApi::RefreshToken(L"abc"), 1);
        ASSERT_TRUE(service.Deliver(i, c.response, c.completed));
        const auto results = events.Results();
        ASSERT_EQ(results.size(), i + 1) << i;
        const auto& r = results.back();
        EXPECT_EQ(r.kind, RequestKind::kRefreshToken) << i;
        EXPECT_EQ(r.code, c.code) << i;
        EXPECT_EQ(r.hasRecord, c.hasRecord) << i;
        if (c.hasRecord) {
            ASSERT_EQ(r.texts.count(L"Token"), 1u) << i;
            EXPECT_EQ(r.texts.at(L"Token"), c.token) << i;
        }
    }
}

TEST_F(LoginMgrTest, ResultsOfSupersededOrUnknownRequestsAreDropped)
{
    ASSERT_EQ(LoginApi::RefreshToken(L"one"), 1);
    ASSERT_EQ(LoginApi::RefreshToken(L"two"), 1);
    ASSERT_TRUE(service.Deliver(0, L"{\"code\": 0, \"token\": \"old\"}", 1));
    ASSERT_TRUE(service.DeliverAs(1, 999, L"{\"code\": 0, \"token\": \"stray\"}", 1));
    EXPECT_TRUE(events.Results().empty());

    ASSERT_TRUE(service.Deliver(1, L"{\"code\": 0, \"token\": \"new\"}", 1));
    const auto results = events.Results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].texts.at(L"Token"), L"new");
    // The slot is not cleared: a repeated delivery is reported again.
    EXPECT_EQ(CLoginMgr::Instance().Peek()->SlotId(CLoginMgr::SLOT_REFRESH_TOKEN), service.SentRequests()[1].id);
}

TEST_F(LoginMgrTest, ThrowingReceiverDoesNotReachTheDeliveryThread)
{
    event::scoped_connection thrower =
        ServiceEvent::HttpsServiceEvent().connect([](int, unsigned, IXData*) { throw std::runtime_error("ui bug"); });
    ASSERT_EQ(LoginApi::RefreshToken(L"abc"), 1);
    EXPECT_TRUE(service.Deliver(0, L"{\"code\": 0, \"token\": \"t\"}", 1));
    EXPECT_EQ(events.Results().size(), 1u);
}

// A receiver may end the family while the result is reported: the manager
// finishes the result and goes, and the next call starts a fresh one.
TEST_F(LoginMgrTest, ReceiverEndingTheFamilyDuringTheRegistrationResult)
{
    int exits = 0;
    event::scoped_connection ender = ServiceEvent::HttpsServiceEvent().connect([&](int, unsigned, IXData*) {
        ++exits;
        LoginApi::DoExit();
    });
    ASSERT_EQ(LoginApi::RegisterNow(L"13800000001", L"secret", L"654321", L"Ann", L"Acme", nullptr), 1);
    ASSERT_TRUE(service.Deliver(0, L"{\"code\": 0, \"token\": \"t\", \"userid\": 5}", 1));
    EXPECT_EQ(exits, 1);
    EXPECT_EQ(events.Results().size(), 1u);
    EXPECT_EQ(CLoginMgr::Instance().Peek(), nullptr);

    ender.disconnect();
    ASSERT_EQ(LoginApi::RegisterNow(L"13800000001", L"secret", L"654321", L"Ann", L"Acme", nullptr), 1);
    EXPECT_EQ(service.SentRequests().size(), 2u);
}

TEST_F(LoginMgrTest, ReceiverThatKeepsTheRecordOwnsItsOwnReference)
{
    IXData* kept = nullptr;
    event::scoped_connection keeper = ServiceEvent::HttpsServiceEvent().connect([&kept](int, unsigned, IXData* r) {
        if (r != nullptr) {
            r->AddRef();
            kept = r;
        }
    });
    ASSERT_EQ(LoginApi::RefreshToken(L"abc"), 1);
    ASSERT_TRUE(service.Deliver(0, L"{\"token\": \"kept\"}", 1));
    ASSERT_NE(kept, nullptr);
    CStringW token;
    EXPECT_NE(kept->GetIXDataStr(L"Token", token), 0);
    EXPECT_EQ(token, CStringW(L"kept"));
    EXPECT_EQ(kept->Release(), 0) << "the manager released its own reference";
}

TEST_F(LoginMgrTest, ExitTwiceIsHarmlessAndTheNextCallStartsAFreshManager)
{
    ASSERT_EQ(LoginApi::RefreshToken(L"abc"), 1);
    LoginApi::DoExit();
    EXPECT_EQ(CLoginMgr::Instance().Peek(), nullptr);
    LoginApi::DoExit();
    EXPECT_EQ(CLoginMgr::Instance().Peek(), nullptr);
    // The old manager detached: its result goes nowhere.
    EXPECT_FALSE(service.Deliver(0, L"{\"token\": \"late\"}", 1));

    ASSERT_EQ(LoginApi::RefreshToken(L"abc"), 1);
    const auto fresh = CLoginMgr::Instance().Peek();
    ASSERT_NE(fresh, nullptr);
    for (unsigned s = 0; s < CLoginMgr::SLOT_COUNT; ++s) {
        const auto slot = static_cast<CLoginMgr::E_LOGIN_SLOT>(s);
        EXPECT_EQ(fresh->SlotId(slot), slot == CLoginMgr::SLOT_REFRESH_TOKEN ? service.SentRequests()[1].id : 0u);
    }
    // The old request's identifier matches nothing in the fresh manager.
    EXPECT_TRUE(service.DeliverAs(1, service.SentRequests()[0].id, L"{\"token\": \"late\"}", 1));
    EXPECT_TRUE(events.Results().empty());
}

TEST_F(LoginMgrTest, GlobalTeardownEndsTheLoginFamily)
{
    ASSERT_EQ(LoginApi::RefreshToken(L"abc"), 1);
    Aux::Core::DoExit();
    EXPECT_EQ(CLoginMgr::Instance().Peek(), nullptr);
    Aux::Core::DoExit();
}

TEST(LoginMgrSlots, KindsFollowTheOperationOrder)
{
    const unsigned expected[CLoginMgr::SLOT_COUNT] = {1, 2, 4, 3, 5, 6, 7, 8, 18, 19, 21, 24, 25};
    for (unsigned s = 0; s < CLoginMgr::SLOT_COUNT; ++s)
        EXPECT_EQ(CLoginMgr::KindOf(static_cast<CLoginMgr::E_LOGIN_SLOT>(s)), expected[s]) << s;
}

// Results arrive on the service's own thread while the client thread sends
// newer requests: the slots are shared between the two. Each answer names
// its request. An answer delivered after a newer request had gone out is
// stale and never reported; the answer to the last request always is; what
// is reported comes in order, each at most once. Every third answer waits
// for the next request, so stale answers occur in every run.
TEST_F(LoginMgrTest, ThreadedResultsRaceWithNewRequests)
{
    constexpr size_t kRequests = 50;
    ASSERT_EQ(LoginApi::RefreshToken(L"first"), 1);
    std::vector<bool> stale(kRequests, false);
    std::thread delivery([this, &stale] {
        for (size_t i = 0; i < kRequests; ++i) {
            const size_t awaited = i % 3 == 0 && i + 1 < kRequests ? i + 2 : i + 1;
            while (service.SentRequests().size() < awaited)
                std::this_thread::yield();
            // Request i+1 is in its slot once it is listed: the manager
            // holds the slots while the service records it.
            stale[i] = service.SentRequests().size() > i + 1;
            service.Deliver(i, L"{\"code\": 0, \"token\": \"t" + std::to_wstring(i) + L"\"}", 1);
        }
    });
    for (size_t i = 1; i < kRequests; ++i)
        ASSERT_EQ(LoginApi::RefreshToken(L"more"), 1);
    delivery.join();

    const auto results = events.Results();
    ASSERT_FALSE(results.empty());
    long previous = -1;
    for (const auto& r : results) {
        EXPECT_EQ(r.kind, RequestKind::kRefreshToken);
        ASSERT_EQ(r.texts.count(L"Token"), 1u);
        const long answered = std::stol(r.texts.at(L"Token").substr(1));
        EXPECT_GT(answered, previous) << "reported in order and once";
        ASSERT_LT(answered, static_cast<long>(kRequests));
        EXPECT_FALSE(stale[static_cast<size_t>(answered)]) << "answer " << answered << " was stale";
        previous = answered;
    }
    EXPECT_EQ(previous, static_cast<long>(kRequests) - 1) << "the last request's answer is reported";
    EXPECT_TRUE(stale[0]);
}

}  // namespace
