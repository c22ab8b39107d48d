// The getters' and setters' answers through one sign-in history. The
// identity lives for the whole process and no call sets the user id back to
// 0, so the history is one test, in order, from the never-signed-in state.
#include <gtest/gtest.h>

#include <cstdint>

#include "pelbo/account/UserCache.h"
#include "pelbo/compat/TextConvert.h"
#include "corekit/TempRoot.h"
#include "pelbo/corekit/XData.h"
#include "pelbo/keepsafe/Profile.h"

namespace UC = Aux::UserCache;
namespace Store = Aux::Profile::Global;

namespace {

void SaveFullItem(uint32_t userId)
{
    XDataPtr<IXData> values;
    ASSERT_EQ(1, CreateIXData(values.Receive(), 0));
    values->SetIXDataStr(L"name", L"Item Name");
    values->SetIXDataStr(L"head_url", L"https://pics/u.png");
    values->SetIXDataStr(L"phone", L"13800000000");
    values->SetIXDataU32(L"corp_id", 31);
    values->SetIXDataU32(L"cur_corp_id", 32);
    values->SetIXDataStr(L"cur_corp_name", L"Item Corp");
    values->SetIXDataStr(L"token", L"item-token");
    values->SetIXDataStr(L"wechat_nick", L"Item Nick");
    ASSERT_EQ(1, Store::SaveLoginItem(userId, values.get()));
}

CStringW StoredText(uint32_t userId, const wchar_t* key)
{
    XDataPtr<IXData> item;
    CStringW value(L"<no item>");
    if (Store::GetLoginItem(userId, item.Receive(), 0) != 0) {
        value.Empty();
        item->GetIXDataStr(key, value);
    }
    return value;
}

class UserCacheIdentityTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, Store::Open(nullptr)); }
    void TearDown() override { Store::Close(); }
    TempRoot m_root;
};

TEST_F(UserCacheIdentityTest, AnswersFollowEachGettersTestOrder)
{
    SaveFullItem(5);

    // Nobody signed in: the "no user id" column.
    EXPECT_EQ(0u, UC::GetUserID());
    EXPECT_EQ(0, UC::GetGuest());
    EXPECT_EQ(CStringW(), UC::GetUserNameW());
    EXPECT_EQ(CStringW(), UC::GetUserHeadURL());
    EXPECT_EQ(CStringW(), UC::GetUserPhone());
    EXPECT_EQ(0u, UC::GetCorpID());
    EXPECT_EQ(0u, UC::GetCurCorpID());
    EXPECT_EQ(CStringW(L"Brenmoor"), UC::GetCurCorpName());
    EXPECT_EQ(CStringW(), UC::GetToken());
    EXPECT_EQ(CStringW(), UC::GetWeChatNick());
    UC::SetUserName(L"nobody");
    UC::SetUserPhone(L"000");
    EXPECT_EQ(0, Store::HasLoginItem(0));

    // A guest without a user id: the name-first getters answer as a guest,
    // the id-first ones still as nobody.
    EXPECT_EQ(1, UC::SetUserID(0, 1));
    EXPECT_EQ(0u, UC::GetUserID());
    EXPECT_EQ(0, UC::GetGuest());
    UC::SetUserName(L"Guest One");
    UC::SetToken(L"guest-token");
    EXPECT_EQ(CStringW(L"Guest One"), UC::GetUserNameW());
    EXPECT_EQ(CStringW(), UC::GetUserHeadURL());
    EXPECT_EQ(CStringW(), UC::GetToken());
    EXPECT_EQ(CStringW(L"Brenmoor"), UC::GetCurCorpName());

    // A guest with user id 5, which has a full login item: the guest column
    // where the getter tests the flag, the item where it does not.
    EXPECT_EQ(1, UC::SetUserID(5, 1));
    EXPECT_EQ(5u, UC::GetUserID());
    EXPECT_EQ(1, UC::GetGuest());
    EXPECT_EQ(CStringW(L"Guest One"), UC::GetUserNameW());
    EXPECT_EQ(CStringW(), UC::GetUserHeadURL());
    EXPECT_EQ(CStringW(L"13800000000"), UC::GetUserPhone());
    EXPECT_EQ(31u, UC::GetCorpID());
    EXPECT_EQ(32u, UC::GetCurCorpID());
    EXPECT_EQ(CStringW(), UC::GetCurCorpName());
    EXPECT_EQ(CStringW(L"guest-token"), UC::GetToken());
    EXPECT_EQ(CStringW(), UC::GetWeChatNick());
    UC::SetToken(L"T");
    EXPECT_EQ(CStringW(L"T"), UC::GetToken());
    EXPECT_EQ(CStringW(L"item-token"), StoredText(5, L"token"));
    UC::SetUserName(L"Guest Two");
    EXPECT_EQ(CStringW(L"Guest Two"), UC::GetUserNameW());
    EXPECT_EQ(CStringW(L"Item Name"), StoredText(5, L"name"));
    UC::SetUserPhone(L"13900000000");
    UC::SetUserHeadURL(L"https://pics/v.png");
    EXPECT_EQ(CStringW(L"13900000000"), StoredText(5, L"phone"));
    EXPECT_EQ(CStringW(L"https://pics/v.png"), StoredText(5, L"head_url"));

    // Id 0 keeps the stored id; signed in as user 5 proper now.
    EXPECT_EQ(1, UC::SetUserID(0, 0));
    EXPECT_EQ(5u, UC::GetUserID());
    EXPECT_EQ(0, UC::GetGuest());
    EXPECT_EQ(CStringW(L"Item Name"), UC::GetUserNameW());
    EXPECT_EQ(CStringW(L"https://pics/v.png"), UC::GetUserHeadURL());
    EXPECT_EQ(CStringW(L"Item Corp"), UC::GetCurCorpName());
    EXPECT_EQ(CStringW(L"item-token"), UC::GetToken());
    EXPECT_EQ(CStringW(L"Item Nick"), UC::GetWeChatNick());
    UC::SetUserName(L"Renamed");
    UC::SetToken(L"fresh-token");
    EXPECT_EQ(CStringW(L"Renamed"), UC::GetUserNameW());
    EXPECT_EQ(CStringW(L"fresh-token"), StoredText(5, L"token"));

    // The setters wrote through to the store: a reopened store (as a later
    // run would see it) has them.
    Store::Close();
    ASSERT_EQ(1, Store::Open(nullptr));
    EXPECT_EQ(CStringW(L"Renamed"), UC::GetUserNameW());
    EXPECT_EQ(CStringW(L"fresh-token"), UC::GetToken());

    // User 77 has no login item: the last column; setters create nothing.
    EXPECT_EQ(1, UC::SetUserID(77, 0));
    EXPECT_EQ(CStringW(), UC::GetUserNameW());
    EXPECT_EQ(CStringW(), UC::GetUserPhone());
    EXPECT_EQ(0u, UC::GetCorpID());
    EXPECT_EQ(CStringW(L"Brenmoor"), UC::GetCurCorpName());
    EXPECT_EQ(CStringW(), UC::GetToken());
    UC::SetUserName(L"x");
    UC::SetToken(L"x");
    UC::SetUserPhone(L"x");
    EXPECT_EQ(0, Store::HasLoginItem(77));

    // An item without the keys: empty text and 0, not the defaults.
    ASSERT_EQ(1, Store::SaveLoginItem(78, nullptr));
    EXPECT_EQ(1, UC::SetUserID(78, 0));
    EXPECT_EQ(0u, UC::GetCorpID());
    EXPECT_EQ(CStringW(), UC::GetCurCorpName());
    EXPECT_EQ(CStringW(), UC::GetWeChatNick());

    // A guest flag with id 0 after a real id: the id stays, guest now.
    EXPECT_EQ(1, UC::SetUserID(0, 1));
    EXPECT_EQ(78u, UC::GetUserID());
    EXPECT_EQ(1, UC::GetGuest());
    EXPECT_EQ(CStringW(L"Guest Two"), UC::GetUserNameW());
}

}  // namespace
