#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "pelbo/account/UserCache.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/Path.h"
#include "corekit/TempRoot.h"

namespace fs = std::filesystem;
namespace UC = Aux::UserCache;

namespace {

class UserHeadCacheTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        UC::DoExit();
        m_folder = Util::Path::GetUserPicFolder().str();
        ASSERT_FALSE(m_folder.empty());
    }
    void TearDown() override { UC::DoExit(); }

    std::wstring PathOf(const std::wstring& name) const { return m_folder + L"/" + name; }
    fs::path FsPath(const std::wstring& name) const
    {
        return fs::u8path(ToMultiByte(PathOf(name).c_str(), CP_UTF8));
    }
    void MakeFile(const std::wstring& name) const { std::ofstream(FsPath(name)) << "png"; }
    bool OnDisk(const std::wstring& name) const { return fs::exists(FsPath(name)); }

    TempRoot m_root;
    std::wstring m_folder;
};

TEST_F(UserHeadCacheTest, SetUserHeadAddsEachPathOnce)
{
    EXPECT_EQ(1, UC::SetUserHead(PathOf(L"5_a.png")));
    EXPECT_EQ(0, UC::SetUserHead(PathOf(L"5_a.png")));
    // Paths differing only in case are different entries.
    EXPECT_EQ(1, UC::SetUserHead(PathOf(L"5_A.png")));
}

TEST_F(UserHeadCacheTest, UserTwelveNeverMatchesUserOneTwentyThree)
{
    MakeFile(L"12_a.png");
    MakeFile(L"123_b.png");
    UC::LoadLocalHead();
    EXPECT_EQ(1, UC::DelUserHead(12));
    EXPECT_FALSE(OnDisk(L"12_a.png"));
    EXPECT_TRUE(OnDisk(L"123_b.png"));
    EXPECT_EQ(0, UC::DelUserHead(12));

    CStringW found(L"unchanged");
    EXPECT_EQ(0, UC::IsExistUserHead(12, found));
    EXPECT_EQ(CStringW(L"unchanged"), found);
    EXPECT_EQ(1, UC::IsExistUserHead(123, found));
    EXPECT_EQ(CStringW(PathOf(L"123_b.png")), found);
}

TEST_F(UserHeadCacheTest, DeletingForgetsEntriesWhoseFileIsGone)
{
    UC::SetUserHead(PathOf(L"4_gone.png"));
    EXPECT_EQ(0, UC::DelUserHead(4));
    // The entry was forgotten: the same path counts as new again.
    EXPECT_EQ(1, UC::SetUserHead(PathOf(L"4_gone.png")));
}

TEST_F(UserHeadCacheTest, FirstExistingEntryInCodeUnitOrderIsFound)
{
    MakeFile(L"9_b.png");
    MakeFile(L"9_C.png");
    UC::SetUserHead(PathOf(L"9_b.png"));
    UC::SetUserHead(PathOf(L"9_C.png"));
    CStringW found;
    ASSERT_EQ(1, UC::IsExistUserHead(9, found));
    EXPECT_EQ(CStringW(PathOf(L"9_C.png")), found);  // 'C' sorts before 'b'

    // A file deleted behind the cache's back is passed over but kept.
    fs::remove(FsPath(L"9_C.png"));
    ASSERT_EQ(1, UC::IsExistUserHead(9, found));
    EXPECT_EQ(CStringW(PathOf(L"9_b.png")), found);
    fs::remove(FsPath(L"9_b.png"));
    found = L"unchanged";
    EXPECT_EQ(0, UC::IsExistUserHead(9, found));
    EXPECT_EQ(CStringW(L"unchanged"), found);
    MakeFile(L"9_C.png");
    EXPECT_EQ(1, UC::IsExistUserHead(9, found));
    EXPECT_EQ(0, UC::SetUserHead(PathOf(L"9_C.png")));
}

TEST_F(UserHeadCacheTest, HeadUrlLookupUsesTheLowerCasedFileTitle)
{
    CStringW found(L"unchanged");
    EXPECT_EQ(1, UC::IsExistUserHead(7, L"   ", found));
    EXPECT_EQ(CStringW(L"unchanged"), found);

    MakeFile(L"7_face.png");
    UC::SetUserHead(PathOf(L"7_face.png"));
    EXPECT_EQ(1, UC::IsExistUserHead(7, L" https://cdn.example/u/Face.JPG ", found));
    EXPECT_EQ(CStringW(PathOf(L"7_face.png")), found);
    EXPECT_EQ(1, UC::IsExistUserHead(7, L"c:\\pics\\face", found));
    EXPECT_EQ(0, UC::IsExistUserHead(8, L"https://cdn.example/u/face.jpg", found));

    // A download names its file with the URL's own case; such a picture is
    // not found by the lower-cased lookup.
    MakeFile(L"7_Mixed.png");
    UC::SetUserHead(PathOf(L"7_Mixed.png"));
    EXPECT_EQ(0, UC::IsExistUserHead(7, L"https://cdn.example/Mixed.png", found));

    // Known to the cache but not on disk: not there.
    UC::SetUserHead(PathOf(L"7_ghost.png"));
    EXPECT_EQ(0, UC::IsExistUserHead(7, L"https://cdn.example/ghost.png", found));
}

TEST_F(UserHeadCacheTest, LoadLocalHeadSkipsHiddenFilesAndSubfolders)
{
    MakeFile(L"3_visible.png");
    MakeFile(L".3_hidden.png");
    fs::create_directory(FsPath(L"3_folder"));
    MakeFile(L"3_folder/3_inner.png");
    UC::LoadLocalHead();
    UC::LoadLocalHead();  // a second load keeps what is there
    EXPECT_EQ(0, UC::SetUserHead(PathOf(L"3_visible.png")));
    EXPECT_EQ(1, UC::SetUserHead(PathOf(L".3_hidden.png")));
    EXPECT_EQ(1, UC::SetUserHead(PathOf(L"3_folder")));
    EXPECT_EQ(1, UC::SetUserHead(PathOf(L"3_folder/3_inner.png")));
}

TEST_F(UserHeadCacheTest, DoExitForgetsTheCacheOnly)
{
    MakeFile(L"2_a.png");
    UC::LoadLocalHead();
    UC::DoExit();
    CStringW found;
    EXPECT_EQ(0, UC::IsExistUserHead(2, found));
    UC::LoadLocalHead();
    EXPECT_EQ(1, UC::IsExistUserHead(2, found));
}

TEST(UserHeadCacheFolderTest, MissingPictureFolderIsNoError)
{
    TempRoot root;
    // The product's root is a plain file, so no picture folder can exist.
    const fs::path blocker = root.Path() / "blocker";
    std::ofstream(blocker) << "x";
    Util::Path::SetRootFolder(ToWide(blocker.u8string().c_str(), CP_UTF8).c_str());
    UC::DoExit();
    UC::LoadLocalHead();
    CStringW found(L"unchanged");
    EXPECT_EQ(0, UC::IsExistUserHead(1, found));
    EXPECT_EQ(0, UC::DelUserHead(1));
    EXPECT_EQ(CStringW(L"unchanged"), found);
    UC::DoExit();
}

TEST_F(UserHeadCacheTest, DownloadThreadAndClientThreadShareTheCache)
{
    constexpr int kPictures = 60;
    for (int i = 0; i < kPictures; ++i)
        MakeFile(std::to_wstring(i) + L"_p.png");
    std::atomic<int> added{0};
    std::thread download([&] {
        for (int i = 0; i < kPictures; ++i)
            added += UC::SetUserHead(PathOf(std::to_wstring(i) + L"_p.png"));
    });
    int deleted = 0;
    for (int i = 0; i < kPictures; ++i) {
        CStringW found;
        UC::IsExistUserHead(static_cast<uint32_t>(i), found);
        UC::LoadLocalHead();
        deleted += UC::DelUserHead(static_cast<uint32_t>(i));
    }
    download.join();
    // Each picture was loaded from the folder right before its deletion,
    // whatever the download thread did meanwhile.
    EXPECT_EQ(kPictures, deleted);
    for (int i = 0; i < kPictures; ++i) {
        EXPECT_FALSE(OnDisk(std::to_wstring(i) + L"_p.png"));
        CStringW found;
        EXPECT_EQ(0, UC::IsExistUserHead(static_cast<uint32_t>(i), found));
    }
    EXPECT_LE(added.load(), kPictures);
}

TEST_F(UserHeadCacheTest, ExitWhileADownloadRegistersItsPicture)
{
    MakeFile(L"9_p.png");
    std::atomic<bool> stop{false};
    std::thread download([&] {
        while (!stop) {
            UC::SetUserHead(PathOf(L"9_p.png"));
            CStringW found;
            UC::IsExistUserHead(9, L"https://h.test/p.jpg", found);
        }
    });
    for (int i = 0; i < 200; ++i)
        UC::DoExit();
    stop = true;
    download.join();
    // The cache the download kept using is gone with the last exit; a fresh
    // one knows only what is registered after it.
    UC::DoExit();
    CStringW found;
    EXPECT_EQ(0, UC::IsExistUserHead(9, found));
    EXPECT_EQ(1, UC::SetUserHead(PathOf(L"9_p.png")));
    EXPECT_EQ(1, UC::IsExistUserHead(9, found));
    EXPECT_EQ(CStringW(PathOf(L"9_p.png")), found);
}

}  // namespace
