#include <gtest/gtest.h>

#include <sqlite3.h>
#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "FailingVfs.h"
#include "pelbo/compat/TextConvert.h"
#include "corekit/TempRoot.h"
#if !defined(_WIN32)
#include "corekit/Umask.h"
#endif
#include "pelbo/corekit/XData.h"
#include "pelbo/keepsafe/Profile.h"

namespace fs = std::filesystem;
using namespace Aux::Profile::Global;

namespace {

class ProfileStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FailingVfs::Install();
        m_file = m_root.Path() / "profiles.db";
        ASSERT_EQ(1, Open(Wide(m_file).c_str()));
    }
    void TearDown() override
    {
        FailingVfs::Set(FailingVfs::Fault::None);
        Close();
    }

    static std::wstring Wide(const fs::path& path) { return ToWide(path.u8string().c_str(), CP_UTF8); }

    static XDataPtr<IXData> Item(uint32_t userId)
    {
        XDataPtr<IXData> item;
        if (GetLoginItem(userId, item.Receive(), 0) == 0)
            item.Reset();
        return item;
    }

    static CStringW Text(IXData* item, const wchar_t* key)
    {
        if (item == nullptr)
            return CStringW(L"<no item>");
        CStringW value;
        item->GetIXDataStr(key, value);
        return value;
    }

    static void SaveName(uint32_t userId, const wchar_t* name)
    {
        XDataPtr<IXData> values;
        ASSERT_EQ(1, CreateIXData(values.Receive(), 0));
        values->SetIXDataStr(L"name", name);
        ASSERT_EQ(1, SaveLoginItem(userId, values.get()));
    }

#if !defined(_WIN32)
    // Runs body in a child process with a store of its own on the same file;
    // true when the child reported success.
    bool InChild(const std::function<bool()>& body)
    {
        Close();
        const pid_t pid = fork();
        if (pid == 0) {
            const bool ok = Open(Wide(m_file).c_str()) == 1 && body();
            Close();
            _exit(ok ? 0 : 1);
        }
        int status = 0;
        const bool waited = pid > 0 && waitpid(pid, &status, 0) == pid;
        EXPECT_EQ(1, Open(Wide(m_file).c_str()));
        return waited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
#endif

    // The database files moved aside, without their journal files.
    std::vector<fs::path> AsideFiles() const
    {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(m_root.Path())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(m_file.filename().string() + ".corrupt-", 0) == 0 &&
                name.find("-wal") == std::string::npos && name.find("-shm") == std::string::npos)
                found.push_back(entry.path());
        }
        return found;
    }

    TempRoot m_root;
    fs::path m_file;
};

// Runs the statements on a database file of the test's own making.
void MakeDatabase(const fs::path& file, const char* sql)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(file.u8string().c_str(), &db));
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql, nullptr, nullptr, nullptr)) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

TEST_F(ProfileStoreTest, HandsOutOneLiveRecordPerUser)
{
    EXPECT_FALSE(Item(42));
    SaveName(42, L"Ada");
    XDataPtr<IXData> first = Item(42);
    ASSERT_TRUE(first);
    XDataPtr<IXData> second = Item(42);
    ASSERT_TRUE(second);
    EXPECT_EQ(first.get(), second.get());

    EXPECT_EQ(1, first->SetIXDataStr(L"token", L"tok-1"));
    EXPECT_EQ(CStringW(L"tok-1"), Text(second.get(), L"token"));
    first.Reset();
    second.Reset();
    EXPECT_EQ(CStringW(L"tok-1"), Text(Item(42).get(), L"token"));
}

TEST_F(ProfileStoreTest, ValuesSurviveReopeningWithTheirTypes)
{
    SaveName(7, L"Zoë 名前");
    {
        XDataPtr<IXData> item = Item(7);
        ASSERT_TRUE(item);
        EXPECT_EQ(1, item->SetIXDataU32(L"corp_id", 4000000000u));
        EXPECT_EQ(1, item->SetIXDataI32(L"delta", -5));
        EXPECT_EQ(1, item->SetIXDataI64(L"big", std::numeric_limits<int64_t>::min()));
        EXPECT_EQ(1, item->SetIXDataU64(L"huge", std::numeric_limits<uint64_t>::max()));
        EXPECT_EQ(1, item->SetIXDataBool(L"flag", true));
        EXPECT_EQ(1, item->SetIXDataStr(L"gone", L"x"));
        EXPECT_EQ(1, item->RemoveKey(L"gone"));
    }
    Close();
    ASSERT_EQ(1, Open(Wide(m_file).c_str()));

    XDataPtr<IXData> item = Item(7);
    ASSERT_TRUE(item);
    EXPECT_EQ(CStringW(L"Zoë 名前"), Text(item.get(), L"name"));
    uint32_t corp = 0;
    EXPECT_EQ(1, item->GetIXDataU32(L"corp_id", corp));
    EXPECT_EQ(4000000000u, corp);
    int32_t delta = 0;
    EXPECT_EQ(1, item->GetIXDataI32(L"delta", delta));
    EXPECT_EQ(-5, delta);
    int64_t big = 0;
    EXPECT_EQ(1, item->GetIXDataI64(L"big", big));
    EXPECT_EQ(std::numeric_limits<int64_t>::min(), big);
    uint64_t huge = 0;
    EXPECT_EQ(1, item->GetIXDataU64(L"huge", huge));
    EXPECT_EQ(std::numeric_limits<uint64_t>::max(), huge);
    bool flag = false;
    EXPECT_EQ(1, item->GetIXDataBool(L"flag", flag));
    EXPECT_TRUE(flag);
    EXPECT_EQ(0, item->HasKey(L"gone"));
    EXPECT_EQ(XDATA_U32, item->GetType(L"corp_id"));
}

TEST_F(ProfileStoreTest, AnotherProcessSeesChangesBothWays)
{
#if defined(_WIN32)
    GTEST_SKIP() << "the second process is made with fork(), which Windows lacks";
#else
    SaveName(9, L"Parent");
    ASSERT_TRUE(InChild([] {
        XDataPtr<IXData> item;
        if (GetLoginItem(9, item.Receive(), 0) == 0)
            return false;
        CStringW name;
        item->GetIXDataStr(L"name", name);
        return name == L"Parent" && item->SetIXDataStr(L"token", L"from-child") == 1 &&
               SaveLoginItem(10, nullptr) == 1;
    }));
    XDataPtr<IXData> held = Item(9);
    ASSERT_TRUE(held);
    EXPECT_EQ(CStringW(L"from-child"), Text(held.get(), L"token"));
    EXPECT_EQ(1, HasLoginItem(10));

    // A record held here picks up the other process's change on the next
    // fetch, and a removal there cuts it off.
    held.Reset();
    XDataPtr<IXData> kept = Item(9);
    Close();
    const pid_t pid = fork();
    if (pid == 0) {
        bool ok = Open(Wide(m_file).c_str()) == 1;
        XDataPtr<IXData> item;
        ok = ok && GetLoginItem(9, item.Receive(), 0) == 1 && item->SetIXDataStr(L"name", L"Renamed") == 1;
        item.Reset();
        Close();
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(1, Open(Wide(m_file).c_str()));
    EXPECT_EQ(CStringW(L"Renamed"), Text(Item(9).get(), L"name"));
    // The record from before the reopen still writes to the same file.
    EXPECT_EQ(1, kept->SetIXDataStr(L"phone", L"555"));
    EXPECT_EQ(CStringW(L"555"), Text(Item(9).get(), L"phone"));
#endif
}

TEST_F(ProfileStoreTest, RemovalCutsOffHeldRecords)
{
    SaveName(3, L"Short-lived");
    XDataPtr<IXData> held = Item(3);
    ASSERT_TRUE(held);
    EXPECT_EQ(1, RemoveLoginItem(3));
    EXPECT_EQ(0, RemoveLoginItem(3));
    EXPECT_EQ(0, held->SetIXDataStr(L"name", L"ghost"));
    EXPECT_EQ(CStringW(L"Short-lived"), Text(held.get(), L"name"));
    EXPECT_FALSE(Item(3));
    EXPECT_EQ(0, HasLoginItem(3));

    // Made again, the user gets a fresh record without the old values.
    ASSERT_EQ(1, SaveLoginItem(3, nullptr));
    XDataPtr<IXData> fresh = Item(3);
    ASSERT_TRUE(fresh);
    EXPECT_NE(fresh.get(), held.get());
    EXPECT_EQ(0u, fresh->GetCount());
    EXPECT_EQ(0, held->SetIXDataStr(L"name", L"ghost"));
}

TEST_F(ProfileStoreTest, ListsUsersInOrderAndRefusesWhatItCannotKeep)
{
    for (uint32_t id : {30u, 4u, 4000000000u})
        ASSERT_EQ(1, SaveLoginItem(id, nullptr));
    std::vector<uint32_t> ids;
    ASSERT_EQ(1, ListLoginItems(ids));
    EXPECT_EQ((std::vector<uint32_t>{4u, 30u, 4000000000u}), ids);

    EXPECT_EQ(0, SaveLoginItem(0, nullptr));
    IXData* none = nullptr;
    EXPECT_EQ(0, GetLoginItem(0, &none, 0));
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(0, GetLoginItem(4, nullptr, 0));

    XDataPtr<IXDataArray> array;
    ASSERT_EQ(1, CreateIXDataArray(array.Receive(), 0));
    XDataPtr<IXData> values;
    ASSERT_EQ(1, CreateIXData(values.Receive(), 0));
    values->SetIXDataStr(L"name", L"with array");
    values->SetArray(L"list", array.get());
    EXPECT_EQ(0, SaveLoginItem(5, values.get()));
    EXPECT_EQ(0, HasLoginItem(5));
    EXPECT_EQ(0, Item(4)->SetArray(L"list", array.get()));
}

TEST_F(ProfileStoreTest, SaveMergesIntoAnExistingItem)
{
    SaveName(11, L"First");
    XDataPtr<IXData> held = Item(11);
    ASSERT_EQ(1, held->SetIXDataStr(L"phone", L"123"));
    XDataPtr<IXData> values;
    ASSERT_EQ(1, CreateIXData(values.Receive(), 0));
    values->SetIXDataStr(L"name", L"Second");
    ASSERT_EQ(1, SaveLoginItem(11, values.get()));
    EXPECT_EQ(CStringW(L"Second"), Text(held.get(), L"name"));
    EXPECT_EQ(CStringW(L"123"), Text(held.get(), L"phone"));
}

TEST_F(ProfileStoreTest, CorruptDatabaseIsMovedAsideAndReplaced)
{
    SaveName(1, L"Lost");
    Close();
    {
        std::ofstream garbage(m_file, std::ios::binary | std::ios::trunc);
        for (int i = 0; i < 4096; ++i)
            garbage.put(static_cast<char>((i * 37) & 0xff));
    }
    ASSERT_EQ(1, Open(Wide(m_file).c_str()));
    EXPECT_FALSE(Item(1));
    SaveName(2, L"Fresh");
    EXPECT_EQ(CStringW(L"Fresh"), Text(Item(2).get(), L"name"));

    const std::vector<fs::path> aside = AsideFiles();
    ASSERT_EQ(1u, aside.size());
    EXPECT_EQ(4096u, fs::file_size(aside.front()));
}

TEST_F(ProfileStoreTest, DamagedPagesBehindAValidHeaderAreFoundAtOpen)
{
    for (uint32_t id = 1; id <= 50; ++id)
        SaveName(id, std::wstring(200, L'n').c_str());
    Close();  // the last connection folds the log into the file
    const auto size = fs::file_size(m_file);
    ASSERT_GT(size, 3u * 4096u);
    {
        std::fstream file(m_file, std::ios::binary | std::ios::in | std::ios::out);
        file.seekp(4096);
        for (int i = 0; i < 4096; ++i)
            file.put(static_cast<char>(0xA5));
    }
    ASSERT_EQ(1, Open(Wide(m_file).c_str()));
    std::vector<uint32_t> ids;
    ASSERT_EQ(1, ListLoginItems(ids));
    EXPECT_TRUE(ids.empty());
    SaveName(60, L"After");
    EXPECT_EQ(CStringW(L"After"), Text(Item(60).get(), L"name"));
}

TEST_F(ProfileStoreTest, UnopenableDatabaseIsReportedAndLeftInPlace)
{
    SaveName(1, L"Before");
    Close();
    const fs::path kept = m_root.Path() / "kept.db";
    fs::rename(m_file, kept);
    fs::create_directory(m_file);  // a folder where the file should be
    EXPECT_EQ(0, Open(Wide(m_file).c_str()));
    std::vector<uint32_t> ids;
    EXPECT_EQ(0, ListLoginItems(ids));
    EXPECT_EQ(0, SaveLoginItem(2, nullptr));
    EXPECT_TRUE(fs::is_directory(m_file));
    EXPECT_TRUE(AsideFiles().empty());

    // Once the cause is gone, the same store works on without reopening.
    fs::remove(m_file);
    fs::rename(kept, m_file);
    EXPECT_EQ(CStringW(L"Before"), Text(Item(1).get(), L"name"));
}

// A failing or full disk says nothing against the file: the calls fail while
// it lasts, and every item is there again afterwards.
TEST_F(ProfileStoreTest, DiskFaultsFailTheCallsAndKeepTheFile)
{
#if defined(_WIN32)
    GTEST_SKIP() << "the store's DLL links SQLite statically, so a failing file system registered by the test never reaches it";
#else
    SaveName(5, L"Kept");
    XDataPtr<IXData> held = Item(5);
    ASSERT_TRUE(held);

    FailingVfs::Set(FailingVfs::Fault::Writes);
    EXPECT_EQ(0, SaveLoginItem(6, nullptr));
    EXPECT_EQ(0, held->SetIXDataStr(L"name", L"Unsaved"));
    EXPECT_EQ(CStringW(L"Kept"), Text(held.get(), L"name"));
    FailingVfs::Set(FailingVfs::Fault::None);
    held.Reset();

    Close();
    FailingVfs::Set(FailingVfs::Fault::Reads);
    EXPECT_EQ(0, Open(Wide(m_file).c_str()));
    std::vector<uint32_t> ids;
    EXPECT_EQ(0, ListLoginItems(ids));
    EXPECT_EQ(0, HasLoginItem(5));
    FailingVfs::Set(FailingVfs::Fault::None);

    ASSERT_EQ(1, ListLoginItems(ids));
    EXPECT_EQ(std::vector<uint32_t>{5u}, ids);
    EXPECT_EQ(CStringW(L"Kept"), Text(Item(5).get(), L"name"));
    EXPECT_TRUE(AsideFiles().empty());
#endif
}

// A valid SQLite file whose tables the store cannot use would fail every
// call for ever; it is set aside like a corrupt one.
TEST_F(ProfileStoreTest, TablesOfAnotherShapeAreMovedAside)
{
    const char* const shapes[] = {
        // other columns
        "CREATE TABLE login_item(id INTEGER PRIMARY KEY, name TEXT);"
        "CREATE TABLE item_value(id INTEGER, blob BLOB);",
        // the right columns, but values that cannot point at their item
        "CREATE TABLE login_item(user_id INTEGER);"
        "CREATE TABLE item_value(user_id INTEGER NOT NULL REFERENCES login_item(user_id),"
        " key TEXT NOT NULL, type INTEGER NOT NULL, value, PRIMARY KEY (user_id, key));",
    };
    for (const char* shape : shapes) {
        SCOPED_TRACE(shape);
        Close();
        for (const fs::path& aside : AsideFiles())
            fs::remove(aside);
        fs::remove(m_file);
        MakeDatabase(m_file, shape);
        ASSERT_EQ(1, Open(Wide(m_file).c_str()));
        SaveName(1, L"Fresh");
        EXPECT_EQ(CStringW(L"Fresh"), Text(Item(1).get(), L"name"));
        EXPECT_EQ(1u, AsideFiles().size());
    }
}

TEST_F(ProfileStoreTest, OnlyTheOwnerMayReadTheStore)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows keeps other users out of the profile folder by its access list, not by file modes";
#else
    const Umask mask(022);
    Close();
    fs::remove(m_file);
    ASSERT_EQ(1, Open(Wide(m_file).c_str()));
    SaveName(1, L"Private");
    EXPECT_EQ(0600u, ModeOf(m_file.c_str()));
    for (const char* suffix : {"-wal", "-shm"}) {
        fs::path journal = m_file;
        journal += suffix;
        if (fs::exists(journal)) {
            EXPECT_EQ(0600u, ModeOf(journal.c_str())) << journal;
        }
    }

    // A store an older version left readable by others is closed up.
    Close();
    fs::permissions(m_file, fs::perms(0644));
    ASSERT_EQ(1, Open(Wide(m_file).c_str()));
    EXPECT_EQ(0600u, ModeOf(m_file.c_str()));
    EXPECT_EQ(CStringW(L"Private"), Text(Item(1).get(), L"name"));
#endif
}

TEST_F(ProfileStoreTest, DefaultFileLiesInTheDataFolder)
{
    Close();
    ASSERT_EQ(1, Open(nullptr));
    EXPECT_EQ(CStringW(m_root.Wide() + L"/keepsafe.db"), GetStorePath());
    ASSERT_EQ(1, SaveLoginItem(8, nullptr));
    EXPECT_TRUE(fs::exists(m_root.Path() / "keepsafe.db"));
}

TEST_F(ProfileStoreTest, ConcurrentWritersAndReadersLoseNothing)
{
    SaveName(20, L"Shared");
    constexpr int kThreads = 4;
    constexpr int kWrites = 25;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < kWrites; ++i) {
                XDataPtr<IXData> item;
                if (GetLoginItem(20, item.Receive(), 0) == 0) {
                    ++failures;
                    continue;
                }
                if (item->SetIXDataI32((L"key" + std::to_wstring(t)).c_str(), i) == 0)
                    ++failures;
                CStringW name;
                item->GetIXDataStr(L"name", name);
                if (name != L"Shared")
                    ++failures;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(0, failures.load());
    Close();
    ASSERT_EQ(1, Open(Wide(m_file).c_str()));
    XDataPtr<IXData> item = Item(20);
    ASSERT_TRUE(item);
    for (int t = 0; t < kThreads; ++t) {
        int32_t value = -1;
        EXPECT_EQ(1, item->GetIXDataI32((L"key" + std::to_wstring(t)).c_str(), value));
        EXPECT_EQ(kWrites - 1, value);
    }
}

}  // namespace
