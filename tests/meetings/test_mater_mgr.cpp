// CMaterMgr: what each MaterApi operation sends, how results are told apart
// by address, the list cache and the material count through every result
// branch, and the cache read on one thread while results arrive on another.

#include <atomic>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "RecordDump.h"
#include "pelbo/core/RequestKind.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/meetings/MaterApi.h"
#include "pelbo/meetings/MaterMgr.h"
#include "service/FakeHttpsService.h"
#include "service/LogCapture.h"

namespace {

using Values = RecordDump::Values;

const wchar_t kBase[] = L"https://rest.example.test";

std::wstring Material(int id, const wchar_t* title = L"Plan.pdf")
{
    return L"{\"id\":" + std::to_wstring(id) + L",\"user_id\":\"7\",\"corp_id\":501,\"title\":\"" + title +
           L"\",\"file_id\":9,\"file_url\":\"https://f.test/9\",\"add_time\":1765000000123,"
           L"\"file_size\":2048,\"convert_flag\":3}";
}

std::wstring ListAnswer(const std::wstring& data, const std::wstring& count)
{
    return L"{\"code\":0,\"count\":" + count + L",\"data\":" + data + L"}";
}

std::wstring Name(const XDataPtr<IXData>& record)
{
    CStringW name;
    record->GetIXDataStr(L"MaterName", name);
    return name.str();
}

int64_t Id(const XDataPtr<IXData>& record)
{
    int64_t id = 0;
    record->GetIXDataI64(L"MaterID", id);
    return id;
}

class MaterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        LogCapture::UseTemporaryRoot();
        Http::SetHttpUrlHead(kBase);
    }
    void TearDown() override
    {
        MaterApi::DoExit();
        Http::ResetSettings();
    }

    // Lists page 1 with the given materials and count; returns its index.
    size_t Fill(const std::wstring& data, unsigned count, unsigned pageSize = 10)
    {
        const size_t index = service.SentRequests().size();
        EXPECT_EQ(MaterApi::GetMaterList(501, L"tok", 1, pageSize), 1);
        EXPECT_TRUE(service.Deliver(index, ListAnswer(data, std::to_wstring(count)), 1));
        return index;
    }

    unsigned Count() { return CMaterMgr::Instance().Get()->MaterCount(); }

    FakeHttpsService service;
    RecordDump events;
};

TEST_F(MaterTest, RequestsCarryTheirAddressMethodTokenAndBody)
{
    ASSERT_EQ(MaterApi::GetMaterList(501, L"tok", 2, 10), 1);
    ASSERT_EQ(MaterApi::MaterAdd(501, L"tok", 9, L"C:\\docs\\Q4 plan.pdf", 1, L"123"), 1);
    ASSERT_EQ(MaterApi::MaterDel(8589934592LL, L"tok"), 1);
    ASSERT_EQ(MaterApi::MaterDetail(-5, L"tok", 1), 1);
    ASSERT_EQ(MaterApi::MaterEdit(77, L"tok", L"R\u00e9sum\u00e9"), 1);
    const auto sent = service.SentRequests();
    ASSERT_EQ(sent.size(), 5u);
    const wchar_t* paths[] = {L"/v1/account/material/list", L"/v1/account/material/add",
                              L"/v1/account/material/del", L"/v1/account/material/detail", L"/v1/account/material"};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(sent[i].info.strUrl, std::wstring(kBase) + paths[i]);
        EXPECT_EQ(sent[i].info.nMethod, i == 4 ? 3 : 1);
        EXPECT_EQ(sent[i].info.nOption1, 3);
        EXPECT_EQ(sent[i].info.mapHeaders, (std::map<std::string, std::string>{{"token", "tok"}}));
        EXPECT_EQ(CMaterMgr::Instance().Get()->RequestUrl(sent[i].id), sent[i].info.strUrl);
    }
    EXPECT_EQ(sent[0].info.strContent, L"{\n   \"corp_id\" : 501,\n   \"page\" : 2,\n   \"page_size\" : 10\n}\n");
    EXPECT_EQ(sent[1].info.strContent, L"{\n"
                                       L"   \"corp_id\" : 501,\n"
                                       L"   \"file_id\" : 9,\n"
                                       L"   \"pc_file_path\" : \"C:\\\\docs\\\\Q4 plan.pdf\",\n"
                                       L"   \"room_code\" : \"123\",\n"
                                       L"   \"title\" : \"Q4 plan.pdf\",\n"
                                       L"   \"type\" : 1\n"
                                       L"}\n");
    EXPECT_EQ(sent[2].info.strContent, L"{\n   \"material_id\" : [ 8589934592 ]\n}\n");
    EXPECT_EQ(sent[3].info.strContent, L"{\n   \"material_id\" : -5,\n   \"type_pc\" : 1\n}\n");
    EXPECT_EQ(sent[4].info.strContent, L"{\n   \"material_id\" : 77,\n   \"title\" : \"R\\u00e9sum\\u00e9\"\n}\n");
    EXPECT_EQ(MaterApi::GetMaterListCurPage(), 2u);
}

// Every kind of result, with a receiver that ends the family as it is
// reported: the handler finishes in a whole manager.
TEST_F(MaterTest, ReceiverMayEndTheFamilyDuringEachResult)
{
    event::scoped_connection ender =
        ServiceEvent::HttpsServiceEvent().connect([](int, unsigned, IXData*) { MaterApi::DoExit(); });
    const std::function<int()> calls[] = {
        [] { return MaterApi::GetMaterList(501, L"tok", 1, 10); },
        [] { return MaterApi::MaterAdd(501, L"tok", 9, L"/docs/plan.pdf", 1, L"123"); },
        [] { return MaterApi::MaterDel(8, L"tok"); },
        [] { return MaterApi::MaterDetail(8, L"tok", 1); },
        [] { return MaterApi::MaterEdit(8, L"tok", L"name"); },
    };
    for (size_t i = 0; i < std::size(calls); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(calls[i](), 1);
        ASSERT_TRUE(service.Deliver(i, ListAnswer(L"[" + Material(3) + L"]", L"1"), 1));
        EXPECT_EQ(CMaterMgr::Instance().Peek(), nullptr);
    }
}

TEST_F(MaterTest, AnAnsweredRequestLeavesTheTable)
{
    ASSERT_EQ(MaterApi::MaterEdit(77, L"tok", L"one"), 1);
    ASSERT_EQ(MaterApi::MaterEdit(77, L"tok", L"two"), 1);
    const auto sent = service.SentRequests();
    ASSERT_EQ(sent.size(), 2u);
    ASSERT_TRUE(service.Deliver(0, L"{\"code\":0}", 1));
    EXPECT_EQ(CMaterMgr::Instance().Get()->RequestUrl(sent[0].id), L"");
    EXPECT_EQ(CMaterMgr::Instance().Get()->RequestUrl(sent[1].id), sent[1].info.strUrl);
    // A second delivery of the same identifier finds nothing to report.
    ASSERT_TRUE(service.Deliver(1, L"{\"code\":0}", 1));
    ASSERT_TRUE(service.Deliver(1, L"{\"code\":0}", 1));
    EXPECT_EQ(events.Results().size(), 2u);
}

TEST_F(MaterTest, TitleIsTheFileNameAfterTheLastSeparator)
{
    EXPECT_EQ(CMaterMgr::FileTitle(L"C:\\a/b\\c.doc"), L"c.doc");
    EXPECT_EQ(CMaterMgr::FileTitle(L"/home/ann/x.ppt"), L"x.ppt");
    EXPECT_EQ(CMaterMgr::FileTitle(L"plain.txt"), L"plain.txt");
    EXPECT_EQ(CMaterMgr::FileTitle(L"dir\\"), L"");
    EXPECT_EQ(CMaterMgr::FileTitle(nullptr), L"");
}

TEST_F(MaterTest, RefusedRequestsAreNotEntered)
{
    service.accept = false;
    EXPECT_EQ(MaterApi::MaterDel(1, L"tok"), 0);
    EXPECT_EQ(CMaterMgr::Instance().Get()->RequestUrl(0), L"");
}

TEST_F(MaterTest, ListFillsTheCacheCountsAndPages)
{
    Fill(L"[" + Material(1) + L"," + Material(2) + L"]", 20);
    const auto r = events.Results().at(0);
    EXPECT_EQ(r.kind, RequestKind::kMaterList);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.values, (Values{{L"PageCount", L"u:20"}, {L"ElementList", L"list"}}));
    ASSERT_EQ(r.list.size(), 2u);
    EXPECT_EQ(r.list[0], (Values{{L"MaterID", L"i:1"},
                                 {L"CorpID", L"u:501"},
                                 {L"UserID", L"u:7"},
                                 {L"MaterName", L"s:Plan.pdf"},
                                 {L"FileID", L"u:9"},
                                 {L"FileUrl", L"s:https://f.test/9"},
                                 {L"AddTime", L"u64:1765000000123"},
                                 {L"FileSize", L"u:2048"},
                                 {L"ConverFlag", L"u:3"}}));
    EXPECT_EQ(events.Counts(), std::vector<unsigned>{20});
    EXPECT_EQ(MaterApi::GetMaterListTotalPage(), 3u) << "20 / 10 + 1";

    // Page 2 appends; page 1 starts over.
    ASSERT_EQ(MaterApi::GetMaterList(501, L"tok", 2, 10), 1);
    ASSERT_TRUE(service.Deliver(1, ListAnswer(L"[" + Material(3) + L"]", L"20"), 1));
    auto cache = MaterApi::GetMaterListCache();
    ASSERT_EQ(cache.size(), 3u);
    EXPECT_EQ(Id(cache[2]), 3);
    ASSERT_EQ(MaterApi::GetMaterList(501, L"tok", 1, 10), 1);
    EXPECT_TRUE(MaterApi::GetMaterListCache().empty());
}

TEST_F(MaterTest, PageSizeZeroAndCountZeroGiveOnePage)
{
    Fill(L"[]", 0);
    EXPECT_EQ(MaterApi::GetMaterListTotalPage(), 1u);
    Fill(L"[]", 35, 0);
    EXPECT_EQ(MaterApi::GetMaterListTotalPage(), 1u);
    EXPECT_EQ(events.Results().size(), 2u);
}

TEST_F(MaterTest, DataMissingNullOrAnObjectGivesAnEmptyListAndKeepsTheCount)
{
    Fill(L"[]", 4);
    const wchar_t* answers[] = {L"{\"code\":0}", L"{\"code\":0,\"data\":null,\"count\":\"\"}",
                                L"{\"code\":3,\"data\":{\"id\":1}}"};
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(MaterApi::GetMaterList(501, L"tok", 2, 10), 1);
        ASSERT_TRUE(service.Deliver(i + 1, answers[i], 1));
    }
    const auto results = events.Results();
    ASSERT_EQ(results.size(), 4u);
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_TRUE(results[i].hasList);
        EXPECT_TRUE(results[i].list.empty());
        EXPECT_EQ(results[i].values.at(L"PageCount"), L"u:4");
    }
    EXPECT_EQ(results[3].code, 3);
    EXPECT_EQ(events.Counts(), (std::vector<unsigned>{4, 4, 4, 4}));
}

TEST_F(MaterTest, ListAnswerThatIsNotJsonIsDropped)
{
    ASSERT_EQ(MaterApi::GetMaterList(501, L"tok", 1, 10), 1);
    ASSERT_TRUE(service.Deliver(0, L"<html>", 1));
    EXPECT_TRUE(events.Results().empty());
    EXPECT_TRUE(events.Counts().empty());
}

TEST_F(MaterTest, AddReportsTheNewIdAndConversionTime)
{
    ASSERT_EQ(MaterApi::MaterAdd(501, L"tok", 9, L"/x/a.pdf", 0, L""), 1);
    ASSERT_EQ(MaterApi::MaterAdd(501, L"tok", 9, L"/x/b.pdf", 0, L""), 1);
    ASSERT_EQ(MaterApi::MaterAdd(501, L"tok", 9, L"/x/c.pdf", 0, L""), 1);
    ASSERT_TRUE(service.Deliver(0, L"{\"code\":0,\"material_id\":\"8589934593\",\"predict_time\":12}", 1));
    ASSERT_TRUE(service.Deliver(1, L"{\"code\":0,\"material_id\":5}", 0));
    ASSERT_TRUE(service.Deliver(2, L"", 1));
    const auto results = events.Results();
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].kind, RequestKind::kMaterAdd);
    EXPECT_EQ(results[0].code, 0);
    EXPECT_EQ(results[0].values,
              (Values{{L"FilePath", L"s:/x/a.pdf"}, {L"MaterID", L"i:8589934593"}, {L"Duration", L"u:12"}}));
    EXPECT_EQ(results[1].code, -1);
    EXPECT_EQ(results[1].values.at(L"MaterID"), L"i:5");
    EXPECT_EQ(results[2].code, -1);
    EXPECT_EQ(results[2].values, (Values{{L"FilePath", L"s:/x/c.pdf"}}));
}

TEST_F(MaterTest, DeleteRemovesTheCachedMaterialAndLowersTheCount)
{
    Fill(L"[" + Material(1) + L"," + Material(2) + L"]", 2);
    ASSERT_EQ(MaterApi::MaterDel(2, L"tok"), 1);
    ASSERT_TRUE(service.Deliver(1, L"{\"code\":0}", 1));
    auto cache = MaterApi::GetMaterListCache();
    ASSERT_EQ(cache.size(), 1u);
    EXPECT_EQ(Id(cache[0]), 1);
    EXPECT_EQ(Count(), 1u);
    const auto r = events.Results().back();
    EXPECT_EQ(r.kind, RequestKind::kMaterDel);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.values, (Values{{L"MaterID", L"i:2"}}));
    EXPECT_EQ(events.Counts(), (std::vector<unsigned>{2, 1}));
}

TEST_F(MaterTest, DeleteOfAnUncachedIdStillLowersTheCountButNeverBelowZero)
{
    Fill(L"[" + Material(1) + L"]", 1);
    ASSERT_EQ(MaterApi::MaterDel(99, L"tok"), 1);
    ASSERT_TRUE(service.Deliver(1, L"{}", 1));
    EXPECT_EQ(Count(), 0u);
    EXPECT_EQ(MaterApi::GetMaterListCache().size(), 1u);
    ASSERT_EQ(MaterApi::MaterDel(98, L"tok"), 1);
    ASSERT_TRUE(service.Deliver(2, L"{}", 1));
    EXPECT_EQ(Count(), 0u);
    EXPECT_EQ(events.Counts(), (std::vector<unsigned>{1, 0, 0}));
}

TEST_F(MaterTest, FailedDeleteLeavesCacheAndCount)
{
    Fill(L"[" + Material(1) + L"]", 1);
    ASSERT_EQ(MaterApi::MaterDel(1, L"tok"), 1);
    ASSERT_EQ(MaterApi::MaterDel(1, L"tok"), 1);
    ASSERT_TRUE(service.Deliver(1, L"{\"code\":2101}", 1));
    ASSERT_TRUE(service.Deliver(2, L"{\"code\":0}", 0));
    const auto results = events.Results();
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[1].code, 2101);
    EXPECT_EQ(results[2].code, -1);
    EXPECT_EQ(Count(), 1u);
    EXPECT_EQ(MaterApi::GetMaterListCache().size(), 1u);
}

TEST_F(MaterTest, DeleteWhoseSentIdsAreNoArrayIsDropped)
{
    ASSERT_EQ(MaterApi::MaterDel(1, L"tok"), 1);
    ASSERT_EQ(MaterApi::MaterDel(1, L"tok"), 1);
    auto sent = service.SentRequests();
    ASSERT_EQ(sent.size(), 2u);
    int completed = 1;
    sent[0].sink->OnHttpsReqResult(sent[0].id, L"{\"material_id\": 5}", L"{\"code\":0}", completed);
    EXPECT_TRUE(events.Results().empty());
    // An empty array deletes id 0.
    sent[1].sink->OnHttpsReqResult(sent[1].id, L"{\"material_id\": []}", L"{\"code\":0}", completed);
    ASSERT_EQ(events.Results().size(), 1u);
    EXPECT_EQ(events.Results()[0].values.at(L"MaterID"), L"i:0");
}

TEST_F(MaterTest, DetailReportsTheMaterialWithItsPages)
{
    ASSERT_EQ(MaterApi::MaterDetail(12, L"tok", 1), 1);
    ASSERT_TRUE(service.Deliver(
        0,
        L"{\"code\":0,\"id\":12,\"corp_id\":501,\"user_id\":7,\"title\":\"Plan\",\"file_id\":9,"
        L"\"file_url\":\"u\",\"add_time\":5,\"file_size\":1,\"convert_flag\":3,"
        L"\"images\":[{\"file_id\":91,\"file_url\":\"p1\",\"width\":1280,\"height\":\"720\"},7]}",
        1));
    const auto r = events.Results().at(0);
    EXPECT_EQ(r.kind, RequestKind::kMaterDetail);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.values, (Values{{L"ReqType", L"u:1"},
                                {L"MaterID", L"i:12"},
                                {L"CorpID", L"u:501"},
                                {L"UserID", L"u:7"},
                                {L"MaterName", L"s:Plan"},
                                {L"FileID", L"u:9"},
                                {L"FileUrl", L"s:u"},
                                {L"AddTime", L"u64:5"},
                                {L"FileSize", L"u:1"},
                                {L"ConverFlag", L"u:3"},
                                {L"ElementList", L"list"}}));
    ASSERT_EQ(r.list.size(), 2u);
    EXPECT_EQ(r.list[0], (Values{{L"FileID", L"u:91"},
                                 {L"FileUrl", L"s:p1"},
                                 {L"ImageWidth", L"u:1280"},
                                 {L"ImageHeight", L"u:720"}}));
    EXPECT_TRUE(events.Added().empty()) << "type 1 is a look, not an addition";
}

TEST_F(MaterTest, ConvertedDetailOfAnAddedMaterialJoinsTheCacheWhateverTheCode)
{
    Fill(L"[" + Material(1) + L"]", 1);
    ASSERT_EQ(MaterApi::MaterDetail(12, L"tok", 0), 1);
    ASSERT_TRUE(service.Deliver(1, L"{\"code\":7,\"id\":12,\"corp_id\":501,\"title\":\"New\",\"convert_flag\":4}", 1));
    const auto cache = MaterApi::GetMaterListCache();
    ASSERT_EQ(cache.size(), 2u);
    EXPECT_EQ(Id(cache[0]), 12);
    EXPECT_EQ(Name(cache[0]), L"New");
    EXPECT_EQ(Count(), 2u);
    EXPECT_EQ(events.Counts(), (std::vector<unsigned>{1, 2}));
    ASSERT_EQ(events.Added().size(), 1u);
    EXPECT_EQ(events.Added()[0].at(L"MaterID"), L"i:12");
    EXPECT_EQ(events.Results().back().code, 7);
}

TEST_F(MaterTest, DetailThatDoesNotJoinTheCache)
{
    // Still converting; no corporation; another material than asked for.
    const wchar_t* answers[] = {L"{\"id\":12,\"corp_id\":501,\"convert_flag\":1}",
                                L"{\"id\":12,\"corp_id\":0,\"convert_flag\":3}",
                                L"{\"code\":0,\"id\":13,\"corp_id\":501,\"convert_flag\":3}"};
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(MaterApi::MaterDetail(12, L"tok", 0), 1);
        ASSERT_TRUE(service.Deliver(i, answers[i], 1));
    }
    const auto results = events.Results();
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[2].code, 1) << "an answer about another material";
    EXPECT_EQ(results[2].values.at(L"MaterID"), L"i:12");
    EXPECT_TRUE(MaterApi::GetMaterListCache().empty());
    EXPECT_TRUE(events.Added().empty());
    EXPECT_TRUE(events.Counts().empty());
}

TEST_F(MaterTest, DetailFailuresStillNameTheMaterial)
{
    ASSERT_EQ(MaterApi::MaterDetail(12, L"tok", 2), 1);
    ASSERT_EQ(MaterApi::MaterDetail(12, L"tok", 2), 1);
    ASSERT_TRUE(service.Deliver(0, L"nope", 1));
    ASSERT_TRUE(service.Deliver(1, L"{\"code\":0,\"id\":12}", 0));
    const auto results = events.Results();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].code, -1);
    EXPECT_EQ(results[0].values, (Values{{L"ReqType", L"u:2"}, {L"MaterID", L"i:12"}}));
    EXPECT_EQ(results[1].code, -1);
}

TEST_F(MaterTest, RenameRejectedByTheServiceStillRenamesTheCacheAndSharedRecords)
{
    Fill(L"[" + Material(1) + L"," + Material(2) + L"]", 2);
    const auto handedOut = MaterApi::GetMaterListCache();
    ASSERT_EQ(MaterApi::MaterEdit(2, L"tok", L"Renamed"), 1);
    ASSERT_TRUE(service.Deliver(1, L"{\"code\":2101}", 0));
    const auto r = events.Results().back();
    EXPECT_EQ(r.kind, RequestKind::kMaterEdit);
    EXPECT_EQ(r.code, 2101);
    EXPECT_EQ(r.values, (Values{{L"MaterID", L"i:2"}, {L"MaterName", L"s:Renamed"}}));
    EXPECT_EQ(Name(handedOut[1]), L"Renamed") << "the copy shares the records";
    EXPECT_EQ(Name(handedOut[0]), L"Plan.pdf");
}

TEST_F(MaterTest, RenameAnswerThatIsNotJsonChangesNothing)
{
    Fill(L"[" + Material(1) + L"]", 1);
    ASSERT_EQ(MaterApi::MaterEdit(1, L"tok", L"X"), 1);
    ASSERT_TRUE(service.Deliver(1, L"", 1));
    EXPECT_EQ(events.Results().size(), 1u);
    EXPECT_EQ(Name(MaterApi::GetMaterListCache()[0]), L"Plan.pdf");
}

TEST_F(MaterTest, ResultsForUnknownIdsAndAfterExitAreDropped)
{
    ASSERT_EQ(MaterApi::MaterDel(1, L"tok"), 1);
    ASSERT_TRUE(service.DeliverAs(0, 4242, L"{\"code\":0}", 1));
    EXPECT_TRUE(events.Results().empty());
    MaterApi::DoExit();
    EXPECT_FALSE(service.Deliver(0, L"{\"code\":0}", 1));
    EXPECT_TRUE(events.Results().empty());
}

TEST_F(MaterTest, AddressChangedAfterSendingMatchesNoBranch)
{
    ASSERT_EQ(MaterApi::MaterDel(1, L"tok"), 1);
    Http::SetHttpUrlHead(L"https://elsewhere.test");
    ASSERT_TRUE(service.Deliver(0, L"{\"code\":0}", 1));
    EXPECT_TRUE(events.Results().empty());
}

TEST_F(MaterTest, CacheIsReadWhileResultsArriveOnAnotherThread)
{
    constexpr int kPages = 200;
    // Two requests a page: one answered with a material, one with none.
    for (int request = 0; request < 2 * kPages; ++request)
        ASSERT_EQ(MaterApi::GetMaterList(501, L"tok", request == 0 ? 1 : 2, 10), 1);
    std::atomic<bool> done{false};
    std::thread delivery([&] {
        for (int page = 0; page < kPages; ++page) {
            service.Deliver(static_cast<size_t>(2 * page), ListAnswer(L"[" + Material(page) + L"]", L"500"), 1);
            service.Deliver(static_cast<size_t>(2 * page + 1), ListAnswer(L"[]", L"500"), 1);
        }
        done = true;
    });
    // Reads the records it was handed, as a list view would, while they may
    // be renamed or replaced on the delivery thread.
    while (!done) {
        for (const auto& record : MaterApi::GetMaterListCache())
            EXPECT_EQ(Name(record), L"Plan.pdf");
        EXPECT_LE(MaterApi::GetMaterListTotalPage(), 51u);
    }
    delivery.join();
    EXPECT_EQ(MaterApi::GetMaterListCache().size(), static_cast<size_t>(kPages));
    EXPECT_EQ(MaterApi::GetMaterListTotalPage(), 51u);
    EXPECT_EQ(events.Counts().size(), static_cast<size_t>(2 * kPages));
}

}  // namespace
