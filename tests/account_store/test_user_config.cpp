#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "pelbo/account/UserConfig.h"
#include "pelbo/compat/IniFile.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/Log.h"
#include "pelbo/corekit/Path.h"
#include "corekit/TempRoot.h"
#if !defined(_WIN32)
#include <sys/stat.h>

#include "corekit/ChildProcess.h"
#endif

namespace fs = std::filesystem;
namespace Cfg = Aux::UserConfig;

namespace {

class UserConfigTest : public ::testing::Test {
protected:
    fs::path File() const { return m_root.Path() / "GloabConfig.ini"; }
    std::wstring WideFile() const { return ToWide(File().u8string().c_str(), CP_UTF8); }
    std::string Content() const
    {
        std::ifstream in(File(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void MakeReadOnly() const
    {
        fs::permissions(File(), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    }
    // Windows would not let the folder's clean-up delete a read-only file.
    ~UserConfigTest() override
    {
        std::error_code ec;
        fs::permissions(File(), fs::perms::owner_write, fs::perm_options::add, ec);
    }
    void Store(const wchar_t* key, const wchar_t* value)
    {
        ASSERT_TRUE(Compat::WriteIniString(L"Tarsel_Global_Data", key, value, WideFile().c_str()));
    }

    TempRoot m_root;
};

TEST_F(UserConfigTest, WithoutAFileEveryGetterGivesItsDefault)
{
    EXPECT_EQ(CStringW(), Cfg::GetLocalGUID());
    EXPECT_EQ(0, Cfg::GetAutoLogin());
    EXPECT_EQ(CStringW(), Cfg::GetCaremaDevName());
    EXPECT_EQ(CStringW(), Cfg::GetMicroDevName());
    EXPECT_EQ(0u, Cfg::GetUniqueID());
    EXPECT_EQ(0, Cfg::GetLastMsgID());
    EXPECT_EQ(CStringW(), Cfg::GetPelboVer());
    EXPECT_EQ(CStringW(), Cfg::GetVersionJson());
    EXPECT_EQ(0, Cfg::GetPelboUpdate());
    EXPECT_EQ(9, Cfg::GetChairmainMaxCount());
    EXPECT_EQ(1, Cfg::GetMaterPreviewTip());
    EXPECT_FALSE(fs::exists(File()));
}

TEST_F(UserConfigTest, EachSetterWritesItsOwnKey)
{
    Cfg::SetLocalGUID(L"{0A1B}");
    Cfg::SetAutoLogin(1);
    Cfg::SetCaremaDevName(L"Cam 名");
    Cfg::SetMicroDevName(L"Mic");
    Cfg::SetPelboVer(L"2.3.4");
    Cfg::SetVersionJson(L"{\"v\":1}");
    EXPECT_EQ(CStringW(L"{0A1B}"), Cfg::GetLocalGUID());
    EXPECT_EQ(1, Cfg::GetAutoLogin());
    EXPECT_EQ(CStringW(L"Cam 名"), Cfg::GetCaremaDevName());
    EXPECT_EQ(CStringW(L"Mic"), Cfg::GetMicroDevName());
    EXPECT_EQ(CStringW(L"2.3.4"), Cfg::GetPelboVer());
    EXPECT_EQ(CStringW(L"{\"v\":1}"), Cfg::GetVersionJson());
    const std::string text = Content();
    EXPECT_EQ(0u, text.find("[Tarsel_Global_Data]\n"));
    for (const char* line : {"Local_GUID={0A1B}\n", "Auto_Login=1\n", "Micro_DevName=Mic\n", "Pelbo_Ver=2.3.4\n"})
        EXPECT_NE(std::string::npos, text.find(line)) << line;
}

TEST_F(UserConfigTest, ClearingThePreviewTipStoresOne)
{
    Cfg::ClearMaterPreviewTip();
    EXPECT_EQ("[Tarsel_Global_Data]\nMaterPreviewTip=1\n", Content());
    EXPECT_EQ(0, Cfg::GetMaterPreviewTip());
    Store(L"MaterPreviewTip", L"0");
    EXPECT_EQ(1, Cfg::GetMaterPreviewTip());
}

TEST_F(UserConfigTest, ChairMaxCountOfZeroReadsNine)
{
    Store(L"Pelbo_ChairMax_Count", L"0");
    EXPECT_EQ(9, Cfg::GetChairmainMaxCount());
    Store(L"Pelbo_ChairMax_Count", L"12");
    EXPECT_EQ(12, Cfg::GetChairmainMaxCount());
    Store(L"Pelbo_Update", L"3");
    EXPECT_EQ(3, Cfg::GetPelboUpdate());
}

TEST_F(UserConfigTest, UniqueIdKeepsAllThirtyTwoBits)
{
    Cfg::SetUniqueID(std::numeric_limits<uint32_t>::max());
    EXPECT_NE(std::string::npos, Content().find("Unique_ID=-1\n"));
    EXPECT_EQ(std::numeric_limits<uint32_t>::max(), Cfg::GetUniqueID());
    Cfg::SetUniqueID(2147483648u);
    EXPECT_EQ(2147483648u, Cfg::GetUniqueID());
}

TEST_F(UserConfigTest, LastMessageIdKeepsAllSixtyFourBits)
{
    const int64_t big = 123456789012345LL;
    Cfg::SetLastMsgID(big);
    Cfg::FlushLastMsgID();
    EXPECT_NE(std::string::npos, Content().find("LastMsgID=123456789012345\n"));
    EXPECT_EQ(big, Cfg::GetLastMsgID());
    Cfg::SetLastMsgID(std::numeric_limits<int64_t>::min());
    EXPECT_EQ(std::numeric_limits<int64_t>::min(), Cfg::GetLastMsgID());
    Cfg::FlushLastMsgID();
    EXPECT_EQ(std::numeric_limits<int64_t>::min(), Cfg::GetLastMsgID());
    Cfg::SetLastMsgID(-42);
    EXPECT_EQ(-42, Cfg::GetLastMsgID());
    Cfg::FlushLastMsgID();
    EXPECT_NE(std::string::npos, Content().find("LastMsgID=-42\n"));
    Store(L"LastMsgID", L"abc");
    EXPECT_EQ(0, Cfg::GetLastMsgID());
    Store(L"LastMsgID", L"  77xyz");
    EXPECT_EQ(77, Cfg::GetLastMsgID());
}

TEST_F(UserConfigTest, LongTextIsWrittenWholeAndReadAsItsFirst259Characters)
{
    const std::wstring json(300, L'j');
    Cfg::SetVersionJson(json);
    EXPECT_NE(std::string::npos, Content().find("Pelbo_Json=" + std::string(300, 'j') + "\n"));
    EXPECT_EQ(CStringW(json.substr(0, 259)), Cfg::GetVersionJson());
}

TEST_F(UserConfigTest, GarbageFileReadsDefaultsAndStillTakesWrites)
{
    {
        std::ofstream out(File(), std::ios::binary);
        for (int i = 0; i < 1000; ++i)
            out.put(static_cast<char>((i * 97) & 0xff));
    }
    EXPECT_EQ(9, Cfg::GetChairmainMaxCount());
    EXPECT_EQ(CStringW(), Cfg::GetLocalGUID());
    Cfg::SetAutoLogin(1);
    EXPECT_EQ(1, Cfg::GetAutoLogin());
}

TEST_F(UserConfigTest, ReadOnlyFileKeepsItsValues)
{
    Cfg::SetAutoLogin(1);
    MakeReadOnly();
    Cfg::SetAutoLogin(0);
    Cfg::SetLocalGUID(L"new");
    EXPECT_EQ(1, Cfg::GetAutoLogin());
    EXPECT_EQ(CStringW(), Cfg::GetLocalGUID());
}

// A setter has no result, so a write the file refuses must at least be in
// the log: a read-only file, or a value with a line break (which would
// forge lines). The value itself is not logged.
TEST_F(UserConfigTest, RefusedWritesAreLogged)
{
    Util::Log::Close();
    Cfg::SetCaremaDevName(L"Cam\nLocal_GUID=forged");
    Cfg::SetAutoLogin(1);
    MakeReadOnly();
    Cfg::SetMicroDevName(L"Mic");
    Util::Log::Close();
    std::ifstream in(m_root.Path() / "logs" / "Service.log", std::ios::binary);
    std::stringstream log;
    log << in.rdbuf();
    const std::string text = log.str();
    EXPECT_NE(std::string::npos, text.find("WriteString: [Tarsel_Global_Data] Carema_DevName not written to "))
        << text;
    EXPECT_NE(std::string::npos, text.find("WriteString: [Tarsel_Global_Data] Micro_DevName not written to "))
        << text;
    EXPECT_EQ(std::string::npos, text.find("Auto_Login not written")) << text;
    EXPECT_EQ(std::string::npos, text.find("forged")) << text;
    EXPECT_EQ(CStringW(), Cfg::GetCaremaDevName());
    EXPECT_EQ(CStringW(), Cfg::GetLocalGUID());
}

TEST_F(UserConfigTest, AFifoInPlaceOfTheFileHoldsNoCaller)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no FIFOs in the file system (its pipes live apart) and no fork() for the watchdog";
#else
    ASSERT_EQ(0, mkfifo(File().c_str(), 0600));
    EXPECT_TRUE(PassesInChild([] {
        Cfg::SetAutoLogin(1);
        return Cfg::GetAutoLogin() == 0 && Cfg::GetChairmainMaxCount() == 9 && Cfg::GetLocalGUID().IsEmpty();
    }));
#endif
}

TEST_F(UserConfigTest, DataFolderTooLongForThePathBufferIsNotCut)
{
    // 300 characters of folder: cutting the path at 259 characters would
    // write to another file, so nothing is written at all.
    const fs::path deep = m_root.Path() / std::string(120, 'a') / std::string(120, 'b') / std::string(60, 'c');
    Util::Path::SetRootFolder(ToWide(deep.u8string().c_str(), CP_UTF8).c_str());
    Cfg::SetAutoLogin(1);
    EXPECT_EQ(0, Cfg::GetAutoLogin());
    EXPECT_FALSE(fs::exists(deep / "GloabConfig.ini"));
    // Only the log (which records the refusal) was written.
    // Windows cannot even make folders that deep for the log: the listing
    // stops where the path grows too long.
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(m_root.Path(), ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (!it->is_directory()) {
            EXPECT_EQ("logs", it->path().parent_path().filename().string()) << it->path();
        }
    }
}

}  // namespace
