// The result leg of a password sign-in on one thread: match the identifier,
// parse the sent body and the answer, build the full user record and emit
// it to one receiver that reads it. Items per second = records built and
// emitted per second. The reference does the same work with nothing but
// jsoncpp, a std::map and a std::function: the least it can cost.

#include <functional>
#include <map>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <json/json.h>

#include "pelbo/account/LoginMgr.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/netcall/HttpsRequest.h"

namespace {

// Accepts every request and remembers the last one, so the manager has a
// slot to match and the benchmark knows the body that was sent.
class CapturingService : public Util::HttpsRequest::IHttpsService {
public:
    int Request(unsigned& id, IHttpsRequestSink*, const ST_HttpsReqInfo& info) override
    {
        id = ++m_lastId;
        lastBody = info.strContent;
        return 1;
    }
    void RemoveSink(const unsigned&) override {}
    void DetachSink(IHttpsRequestSink*) override {}

    std::wstring lastBody;

private:
    unsigned m_lastId = 0;
};

const wchar_t kAnswer[] =
    L"{\"code\": 0, \"user_id\": 10001, \"name\": \"Ann Example\", \"token\": "
    L"\"9f2c4e6a8b0d1f3e5a7c9e1b3d5f7a9c2e4b6d8f0a1c3e5b\", \"expire\": 7200, \"corp_id\": 501, "
    L"\"corp_name\": \"Acme Meetings\", \"avatar\": \"https://img.example.test/head/10001.png\", "
    L"\"phone\": \"13800138000\", \"guest\": false, \"wechat_nick\": \"annw\", \"wechat_union_id\": "
    L"\"wxu-0123456789abcdef\"}";

template <typename Send>
void RunResultLeg(benchmark::State& state, unsigned kind, Send send)
{
    CapturingService service;
    Util::HttpsRequest::SetService(&service);
    Http::SetHttpUrlHead(L"https://rest.example.test");
    uint64_t seen = 0;
    {
        event::scoped_connection receiver = ServiceEvent::HttpsServiceEvent().connect(
            [&seen, kind](int code, unsigned k, IXData* record) {
                uint32_t userId = 0;
                if (code == 0 && k == kind && record != nullptr && record->GetIXDataU32(L"UserID", userId))
                    seen += userId;
            });
        CLoginMgr mgr;
        if (send(mgr) == 0) {
            state.SkipWithError("the request was not accepted");
        } else {
            unsigned id = 1;
            const std::wstring request = service.lastBody;
            const std::wstring response = kAnswer;
            int completed = 1;
            for (auto _ : state)
                mgr.OnHttpsReqResult(id, request, response, completed);
        }
    }
    Util::HttpsRequest::SetService(nullptr);
    Http::ResetSettings();
    if (seen != static_cast<uint64_t>(state.iterations()) * 10001u)
        state.SkipWithError("not every result was reported");
    state.SetItemsProcessed(state.iterations());
}

void BM_AccountLoginResult(benchmark::State& state)
{
    RunResultLeg(state, 1, [](CLoginMgr& mgr) { return mgr.AccountLogin(L"13800138000", L"demo-Passw0rd"); });
}
BENCHMARK(BM_AccountLoginResult);

bool ParseUtf8(Json::CharReader& reader, const std::wstring& text, Json::Value& root)
{
    const std::string bytes = ToMultiByte(text.c_str(), CP_UTF8);
    return reader.parse(bytes.data(), bytes.data() + bytes.size(), &root, nullptr) && root.isObject();
}

std::wstring Member(const Json::Value& root, const char* name)
{
    const Json::Value& value = root[name];
    if (value.isString())
        return ToWide(value.asCString(), CP_UTF8);
    return value.isNumeric() ? std::to_wstring(value.asLargestInt()) : std::wstring();
}

void BM_Ref_JsonUserRecord(benchmark::State& state)
{
    const std::wstring request = L"{\n   \"password\" : \"0f1e2d3c4b5a69788796a5b4c3d2e1f0\",\n   \"phone\" : \"13800138000\"\n}\n";
    const std::wstring response = kAnswer;
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    uint64_t seen = 0;
    using Record = std::map<std::wstring, std::wstring>;
    const std::function<void(int, unsigned, const Record&)> receiver = [&seen](int code, unsigned, const Record& r) {
        if (code == 0)
            seen += std::stoul(r.at(L"UserID"));
    };
    for (auto _ : state) {
        Json::Value sent;
        Json::Value root;
        if (!ParseUtf8(*reader, request, sent) || !ParseUtf8(*reader, response, root))
            continue;
        Record record;
        record[L"UserID"] = Member(root, "user_id");
        record[L"UserName"] = Member(root, "name");
        record[L"Token"] = Member(root, "token");
        record[L"CorpID"] = Member(root, "corp_id");
        record[L"CorpName"] = Member(root, "corp_name");
        record[L"UserHead"] = Member(root, "avatar");
        record[L"Phone"] = Member(sent, "phone");
        record[L"WeChatNick"] = Member(root, "wechat_nick");
        record[L"WeChatId"] = Member(root, "wechat_union_id");
        receiver(static_cast<int>(root["code"].asLargestInt()), 1, record);
    }
    if (seen != static_cast<uint64_t>(state.iterations()) * 10001u)
        state.SkipWithError("not every record was built");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Ref_JsonUserRecord);

}  // namespace
