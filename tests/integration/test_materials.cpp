// MaterApi through libService against the local server over HTTPS: add,
// list page by page, detail while converting and once done, rename and
// delete, with the list cache and the material count along the way.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "RestIntegration.h"

#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/CoreApi.h"
#include "pelbo/core/RequestKind.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Path.h"
#include "devserver/Routes.h"
#include "devserver/State.h"
#include "pelbo/meetings/MaterApi.h"
#include "meetings/RecordDump.h"
#include "pelbo/netcall/HttpsRequest.h"
#include "support/TempDir.h"
#include "support/TestServer.h"

namespace {

int64_t IdOf(const std::wstring& typed) { return typed.size() > 2 ? std::stoll(typed.substr(2)) : 0; }

std::wstring Name(const XDataPtr<IXData>& record)
{
    CStringW name;
    record->GetIXDataStr(L"MaterName", name);
    return name.str();
}

class MaterialsIntegration : public RestIntegration {
protected:
    void SetUp() override
    {
        RestIntegration::SetUp();
        server.State().materials.SetConversionTime(std::chrono::milliseconds(0));
    }

    int64_t Add(const wchar_t* path)
    {
        const auto r = Call(RequestKind::kMaterAdd, [&] { return MaterApi::MaterAdd(501, token.c_str(), 77, path, 0, L""); });
        EXPECT_EQ(r.code, 0);
        return r.values.count(L"MaterID") != 0 ? IdOf(r.values.at(L"MaterID")) : 0;
    }

};


TEST_F(MaterialsIntegration, AddListPageByPageRenameAndDelete)
{
    const auto added = Call(RequestKind::kMaterAdd,
                            [&] { return MaterApi::MaterAdd(501, token.c_str(), 77, L"C:\\docs\\one.pdf", 0, L"123456789"); });
    EXPECT_EQ(added.code, 0);
    EXPECT_EQ(added.values.at(L"FilePath"), L"s:C:\\docs\\one.pdf");
    EXPECT_EQ(added.values.at(L"Duration"), L"u:0");
    const int64_t one = IdOf(added.values.at(L"MaterID"));
    const int64_t two = Add(L"/home/ann/two.pptx");
    const int64_t three = Add(L"three.doc");

    const auto page1 = Call(RequestKind::kMaterList, [&] { return MaterApi::GetMaterList(501, token.c_str(), 1, 2); });
    EXPECT_EQ(page1.code, 0);
    EXPECT_EQ(page1.values.at(L"PageCount"), L"u:3");
    ASSERT_EQ(page1.list.size(), 2u);
    EXPECT_EQ(IdOf(page1.list[0].at(L"MaterID")), three) << "newest first";
    EXPECT_EQ(page1.list[1].at(L"MaterName"), L"s:two.pptx");
    EXPECT_EQ(page1.list[1].at(L"UserID"), L"u:42");
    EXPECT_EQ(MaterApi::GetMaterListTotalPage(), 2u);
    const auto page2 = Call(RequestKind::kMaterList, [&] { return MaterApi::GetMaterList(501, token.c_str(), 2, 2); });
    ASSERT_EQ(page2.list.size(), 1u);
    EXPECT_EQ(IdOf(page2.list[0].at(L"MaterID")), one);
    EXPECT_EQ(page2.list[0].at(L"MaterName"), L"s:one.pdf");
    EXPECT_EQ(MaterApi::GetMaterListCurPage(), 2u);
    auto cache = MaterApi::GetMaterListCache();
    ASSERT_EQ(cache.size(), 3u);

    const auto renamed =
        Call(RequestKind::kMaterEdit, [&] { return MaterApi::MaterEdit(two, token.c_str(), L"Zwei \u00e9"); });
    EXPECT_EQ(renamed.code, 0);
    EXPECT_EQ(Name(cache[1]), L"Zwei \u00e9");

    const auto deleted = Call(RequestKind::kMaterDel, [&] { return MaterApi::MaterDel(three, token.c_str()); });
    EXPECT_EQ(deleted.code, 0);
    cache = MaterApi::GetMaterListCache();
    ASSERT_EQ(cache.size(), 2u);

    const auto again = Call(RequestKind::kMaterList, [&] { return MaterApi::GetMaterList(501, token.c_str(), 1, 10); });
    ASSERT_EQ(again.list.size(), 2u);
    EXPECT_EQ(again.list[0].at(L"MaterName"), L"s:Zwei \u00e9") << "the server kept the new name";
    EXPECT_EQ(MaterApi::GetMaterListCache().size(), 2u) << "page 1 started the cache over";
    EXPECT_EQ(events.Counts(), (std::vector<unsigned>{3, 3, 2, 2}));
}

TEST_F(MaterialsIntegration, ConvertingMaterialHasNoPagesAndJoinsOnlyOnceDone)
{
    server.State().materials.SetConversionTime(std::chrono::hours(1));
    const int64_t slow = Add(L"slow.pdf");
    server.State().materials.SetConversionTime(std::chrono::milliseconds(0));
    const int64_t quick = Add(L"quick.pdf");

    const auto converting = Call(RequestKind::kMaterDetail, [&] { return MaterApi::MaterDetail(slow, token.c_str(), 0); });
    EXPECT_EQ(converting.code, 0);
    EXPECT_EQ(converting.values.at(L"ConverFlag"), L"u:1");
    EXPECT_TRUE(converting.list.empty());
    EXPECT_TRUE(MaterApi::GetMaterListCache().empty());

    const auto done = Call(RequestKind::kMaterDetail, [&] { return MaterApi::MaterDetail(quick, token.c_str(), 0); });
    EXPECT_EQ(done.code, 0);
    EXPECT_EQ(done.values.at(L"ConverFlag"), L"u:3");
    EXPECT_EQ(done.values.at(L"MaterName"), L"s:quick.pdf");
    ASSERT_EQ(done.list.size(), 1u);
    EXPECT_EQ(done.list[0].at(L"ImageWidth"), L"u:1280");
    ASSERT_TRUE(events.WaitForAdded(1));
    EXPECT_EQ(IdOf(events.Added()[0].at(L"MaterID")), quick);
    const auto cache = MaterApi::GetMaterListCache();
    ASSERT_EQ(cache.size(), 1u);
    EXPECT_EQ(Name(cache[0]), L"quick.pdf");
    EXPECT_EQ(events.Counts(), std::vector<unsigned>{1});
}

TEST_F(MaterialsIntegration, RefusalsArriveAsTheServersCodes)
{
    const auto badToken = Call(RequestKind::kMaterList, [&] { return MaterApi::GetMaterList(501, L"nope", 1, 10); });
    EXPECT_EQ(badToken.code, DevServer::ResultCode::TokenInvalid);
    const auto unknownDelete = Call(RequestKind::kMaterDel, [&] { return MaterApi::MaterDel(999999, token.c_str()); });
    EXPECT_EQ(unknownDelete.code, DevServer::ResultCode::MaterialNotFound);
    const auto unknownDetail = Call(RequestKind::kMaterDetail, [&] { return MaterApi::MaterDetail(999999, token.c_str(), 1); });
    EXPECT_EQ(unknownDetail.code, 1) << "the answer names no material, so not the one asked for";
    const auto rejected = Call(RequestKind::kMaterEdit, [&] { return MaterApi::MaterEdit(999999, token.c_str(), L"x"); });
    EXPECT_EQ(rejected.code, DevServer::ResultCode::MaterialNotFound);
    // Page size 0 is refused by the server (HTTP 400, still a list answer)
    // and counts the whole list as one page.
    const auto sizeZero = Call(RequestKind::kMaterList, [&] { return MaterApi::GetMaterList(501, token.c_str(), 1, 0); });
    EXPECT_EQ(sizeZero.code, DevServer::ResultCode::BadRequest);
    EXPECT_EQ(MaterApi::GetMaterListTotalPage(), 1u);
}

}  // namespace
