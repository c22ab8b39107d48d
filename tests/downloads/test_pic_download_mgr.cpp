// CPicDownloadMgr against a stand-in for fetcher: the batch limits, the
// four tries, the tables, the file names, and the replacement of a user's
// pictures that must not lose the picture just fetched.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "FakeDownloadPort.h"
#include "pelbo/corekit/FsPath.h"
#include "PictureRecorder.h"
#include "pelbo/account/UserCache.h"
#include "pelbo/corekit/Path.h"
#include "support/TempDir.h"
#include "pelbo/transfers/PicDownloadApi.h"
#include "pelbo/transfers/PicDownloadMgr.h"

namespace {

namespace HD = Util::HttpDownload;

UniKey User(uint64_t id) { return UniKey(KEY_TYPE_USER, id); }

std::wstring UrlFor(uint64_t id) { return L"http://pictures.test/head/" + std::to_wstring(id) + L".jpg"; }

std::string ReadFile(const std::wstring& path)
{
    std::ifstream in(Corekit::ToFsPath(path), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class PicDownloadMgrTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Util::Path::SetRootFolder(m_root.Path().wstring().c_str());
        Aux::UserCache::DoExit();
        m_folder = Util::Path::GetUserPicFolder().str();
        m_mgr = std::make_unique<CPicDownloadMgr>();
    }
    void TearDown() override
    {
        m_mgr.reset();
        Aux::UserCache::DoExit();
    }

    TestSupport::TempDir m_root;
    FakeDownloadPort m_port;
    PictureRecorder m_recorder;
    std::wstring m_folder;
    std::unique_ptr<CPicDownloadMgr> m_mgr;
};

TEST(PicDownloadNames, FileTitleOfAddresses)
{
    struct Case {
        const wchar_t* url;
        const wchar_t* title;
    } cases[] = {
        {L"http://h/a/face.jpg", L"face"},
        {L"face.jpg", L"face"},             // no slash at all: the whole address
        {L"face", L"face"},
        {L"a.b.c", L"a.b"},                 // cut before the last dot only
        {L"http://h/x\\y/pic.png", L"y_pic"}, // a backslash wins over later slashes,
        {L"http://h/a\\b.jpg/c.gif", L"b.jpg_c"}, // which never reach the file name
        {L"http://h/dir/", L""},
        {L"", L""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CPicDownloadMgr::FileTitle(c.url), c.title) << std::wstring(c.url).size();
}

TEST_F(PicDownloadMgrTest, DestinationOfAUserAndOfOtherKeys)
{
    EXPECT_EQ(CPicDownloadMgr::DestinationPath(User(1001), L"http://h/p/face.jpg"), m_folder + L"/1001_face.png");
    EXPECT_EQ(CPicDownloadMgr::DestinationPath(User(7), L"portrait.v2.jpeg"), m_folder + L"/7_portrait.v2.png");
    EXPECT_EQ(CPicDownloadMgr::DestinationPath(UniKey(KEY_TYPE_NONE, 5), L"http://h/a.jpg"), L"");
    EXPECT_EQ(CPicDownloadMgr::DestinationPath(UniKey(static_cast<unsigned char>(2), 5), L"http://h/a.jpg"), L"");
}

// Bytes of the name in UTF-8, counted independently of the product's cut.
size_t Utf8Bytes(const std::wstring& name)
{
    size_t bytes = 0;
    for (wchar_t ch : name) {
        const auto code = static_cast<uint32_t>(ch);
        bytes += code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
    }
    return bytes;
}

TEST(SafeFileNames, WhatWindowsRefusesIsReplaced)
{
    struct Case {
        const wchar_t* title;
        const wchar_t* extension;
        const wchar_t* name;
    } cases[] = {
        {L"face", L".png", L"face.png"},
        {L"a<b>c:d\"e/f\\g|h?i*j", L".png", L"a_b_c_d_e_f_g_h_i_j.png"},
        {L"tab\there\x7F", L"", L"tab_here_"},
        {L"ends with dots..", L"", L"ends with dots__"},
        {L"ends with blanks. ", L"", L"ends with blanks__"},
        {L"dots.. then extension", L".png", L"dots.. then extension.png"},
        {L"", L".png", L"_.png"},
        {L"CON", L".png", L"_CON.png"},
        {L"con", L"", L"_con"},
        {L"nul ", L".png", L"_nul .png"},
        {L"Aux.tar", L".gz", L"_Aux.tar.gz"},
        {L"com1", L".png", L"_com1.png"},
        {L"LPT9", L"", L"_LPT9"},
        {L"CONIN$", L".png", L"_CONIN$.png"},
        {L"conout$", L".txt", L"_conout$.txt"},
        {L"COM0", L".png", L"COM0.png"},
        {L"com\u00b9", L".png", L"_com\u00b9.png"},
        {L"LPT\u00b3 ", L".txt", L"_LPT\u00b3 .txt"},
        {L"COM\u00b2.tar", L".gz", L"_COM\u00b2.tar.gz"},
        {L"CONSOLE", L".png", L"CONSOLE.png"},
        {L"1001_con", L".png", L"1001_con.png"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Util::Path::SafeFileName(c.title, c.extension, 255), c.name) << std::wstring(c.title).size();
}

TEST(SafeFileNames, LongTitlesAreCutAtWholeCharacters)
{
    // Two, three and four bytes a character; the extension stays whole.
    for (const wchar_t ch : {static_cast<wchar_t>(0xE9), static_cast<wchar_t>(0x5934), static_cast<wchar_t>(0x1F600)}) {
        const std::wstring title(300, ch);
        const std::wstring name = Util::Path::SafeFileName(title, L".png", 100);
        const size_t width = Utf8Bytes(std::wstring(1, ch));
        ASSERT_GE(name.size(), 4u);
        EXPECT_EQ(name.substr(name.size() - 4), L".png");
        EXPECT_LE(Utf8Bytes(name), 100u);
        EXPECT_GT(Utf8Bytes(name) + width, 100u) << "no more is cut than needed";
        EXPECT_EQ(name.substr(0, name.size() - 4), std::wstring(name.size() - 4, ch));
    }
    EXPECT_EQ(Util::Path::SafeFileName(std::wstring(300, L'a'), L"", 255), std::wstring(255, L'a'));
    EXPECT_EQ(Util::Path::SafeFileName(L"CON.xxxxxxxx", L".png", 12), L"_CON.xxx.png");
    // Text that has no UTF-8 form (a lone surrogate) is replaced.
    EXPECT_EQ(Util::Path::SafeFileName(std::wstring(1, static_cast<wchar_t>(0xD800)) + L"x", L"", 255), L"_x");
}

TEST_F(PicDownloadMgrTest, LongAndUnsafeTitlesGiveNamesThatCanBeCreated)
{
    const std::wstring longTitle(300, L'p');
    const std::wstring path = CPicDownloadMgr::DestinationPath(User(1001), L"http://h/" + longTitle + L".jpg");
    const std::filesystem::path file(path);
    EXPECT_EQ(file.parent_path(), std::filesystem::path(m_folder));
    const std::wstring name = file.filename().wstring();
    EXPECT_EQ(name.substr(0, 5), L"1001_");
    EXPECT_EQ(name.substr(name.size() - 4), L".png");
    // The staging name and fetcher's temporary suffix still fit in a name.
    const std::wstring staged = std::filesystem::path(CPicDownloadMgr::StagingPath(path)).filename().wstring();
    EXPECT_LE(staged.size() + std::string(".18446744073709551615.part").size(), 255u);
    EXPECT_GT(name.size(), 200u) << "no more is cut than needed";

    EXPECT_EQ(CPicDownloadMgr::DestinationPath(User(7), L"http://h/a:b*c?x=\"1\"|<2>.jpg"),
              m_folder + L"/7_a_b_c_x=_1___2_.png");

    // Fetched and reported like any other picture.
    m_mgr->AppendTask(User(1001), (L"http://h/" + longTitle + L".jpg").c_str());
    ASSERT_EQ(m_port.StartedCount(), 1u);
    m_port.Finish(0, HD::kDownOk, "long");
    ASSERT_EQ(m_recorder.Pictures().size(), 1u);
    EXPECT_EQ(m_recorder.Pictures()[0].result, 1);
    EXPECT_EQ(ReadFile(path), "long");
}

TEST_F(PicDownloadMgrTest, NamesBeyondAsciiDoNotDependOnTheProcessLocale)
{
    // The test programs run under the "C" locale, as a client that never
    // set one does.
    const std::wstring path = CPicDownloadMgr::DestinationPath(User(5), L"http://h/\u5934\u50cf\u00e9.jpg");
    EXPECT_EQ(path, m_folder + L"/5_\u5934\u50cf\u00e9.png");
    // Compared as paths: Windows joins the staging name with its own separator.
    EXPECT_EQ(Corekit::ToFsPath(CPicDownloadMgr::StagingPath(path)),
              Corekit::ToFsPath(m_folder + L"/.5_\u5934\u50cf\u00e9.png.download"));

    m_mgr->AppendTask(User(5), L"http://h/\u5934\u50cf\u00e9.jpg");
    ASSERT_EQ(m_port.StartedCount(), 1u);
    m_port.Finish(0, HD::kDownOk, "face");
    ASSERT_EQ(m_recorder.Pictures().size(), 1u);
    EXPECT_EQ(m_recorder.Pictures()[0].result, 1);
    EXPECT_EQ(ReadFile(path), "face");
}

TEST_F(PicDownloadMgrTest, AFailedMoveKeepsTheEarlierPicture)
{
    const std::wstring older = m_folder + L"/1001_old.png";
    std::ofstream(std::filesystem::path(older)) << "old picture";
    ASSERT_EQ(Aux::UserCache::SetUserHead(CStringW(older)), 1);
    // A folder (not empty) where the new picture should go: it cannot be
    // moved into place.
    const std::filesystem::path blocked = std::filesystem::path(m_folder) / "1001_face.png";
    std::filesystem::create_directories(blocked / "inside");

    m_mgr->AppendTask(User(1001), L"http://h/p/face.jpg");
    m_port.Finish(0, HD::kDownOk, "new");
    EXPECT_TRUE(m_recorder.Pictures().empty()) << "a failed move is a failed try";
    EXPECT_EQ(ReadFile(older), "old picture");
    CStringW found;
    ASSERT_EQ(Aux::UserCache::IsExistUserHead(1001, found), 1);
    EXPECT_EQ(found.str(), older);
    EXPECT_FALSE(std::filesystem::exists(CPicDownloadMgr::StagingPath(blocked.wstring())));

    std::filesystem::remove_all(blocked);
    ASSERT_EQ(m_port.StartedCount(), 2u);
    m_port.Finish(1, HD::kDownOk, "new");
    ASSERT_EQ(m_recorder.Pictures().size(), 1u);
    EXPECT_EQ(m_recorder.Pictures()[0].result, 1);
    EXPECT_FALSE(std::filesystem::exists(older)) << "the earlier picture goes once the new one is in place";
    EXPECT_EQ(ReadFile(blocked.wstring()), "new");
}

TEST_F(PicDownloadMgrTest, StoredPictureIsRegisteredAndReportedOnce)
{
    m_mgr->AppendTask(User(1001), L"http://h/p/face.jpg");
    m_mgr->AppendTask(User(1001), L"http://h/p/other.jpg");
    ASSERT_EQ(m_port.StartedCount(), 1u) << "a queued key is not queued twice";
    const auto started = m_port.StartedDownloads()[0];
    EXPECT_EQ(started.url, L"http://h/p/face.jpg");
    EXPECT_NE(started.path, m_folder + L"/1001_face.png") << "the download goes to a staging name first";
    EXPECT_EQ(std::filesystem::path(started.path).parent_path(), std::filesystem::path(m_folder));

    m_port.Finish(0, HD::kDownOk, "face bytes");
    const auto pictures = m_recorder.Pictures();
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(pictures[0].result, 1);
    EXPECT_EQ(pictures[0].key, User(1001));
    EXPECT_EQ(pictures[0].path, m_folder + L"/1001_face.png");
    EXPECT_EQ(ReadFile(pictures[0].path), "face bytes");
    EXPECT_FALSE(std::filesystem::exists(started.path));
    CStringW found;
    EXPECT_EQ(Aux::UserCache::IsExistUserHead(1001, CStringW(L"http://h/p/face.jpg"), found), 1);
    EXPECT_EQ(m_mgr->PendingCount(), 0u);
    EXPECT_EQ(m_mgr->InFlightCount(), 0u);
}

TEST_F(PicDownloadMgrTest, SameAddressAgainKeepsTheNewFileAndDropsOlderOnes)
{
    const std::wstring older = m_folder + L"/1001_old.png";
    std::ofstream(std::filesystem::path(older)) << "old picture";
    ASSERT_EQ(Aux::UserCache::SetUserHead(CStringW(older)), 1);

    m_mgr->AppendTask(User(1001), L"http://h/p/face.jpg");
    m_port.Finish(0, HD::kDownOk, "first");
    ASSERT_TRUE(m_recorder.WaitPictures(1));
    EXPECT_FALSE(std::filesystem::exists(older)) << "the user's earlier picture is replaced";

    m_mgr->AppendTask(User(1001), L"http://h/p/face.jpg");
    ASSERT_EQ(m_port.StartedCount(), 2u);
    m_port.Finish(1, HD::kDownOk, "second");
    ASSERT_TRUE(m_recorder.WaitPictures(2));
    const std::wstring path = m_folder + L"/1001_face.png";
    EXPECT_EQ(m_recorder.Pictures()[1].result, 1);
    EXPECT_EQ(ReadFile(path), "second");
    CStringW found;
    ASSERT_EQ(Aux::UserCache::IsExistUserHead(1001, found), 1);
    EXPECT_EQ(found.str(), path);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_folder), std::filesystem::directory_iterator()), 1);
}

TEST_F(PicDownloadMgrTest, TenKeysStartSixThenTheOtherFourTogether)
{
    for (uint64_t id = 1; id <= 10; ++id)
        m_mgr->AppendTask(User(id), UrlFor(id).c_str());
    ASSERT_EQ(m_port.StartedCount(), 6u);
    EXPECT_EQ(m_mgr->InFlightCount(), 6u);
    EXPECT_EQ(m_mgr->PendingCount(), 10u);
    for (size_t i = 0; i < 5; ++i) {
        m_port.Finish(i, HD::kDownOk);
        EXPECT_EQ(m_port.StartedCount(), 6u) << "the next batch waits for the last download of this one";
    }
    m_port.Finish(5, HD::kDownOk);
    ASSERT_EQ(m_port.StartedCount(), 10u);
    const auto started = m_port.StartedDownloads();
    for (size_t i = 6; i < 10; ++i)
        EXPECT_EQ(started[i].url, UrlFor(i + 1));
    for (size_t i = 6; i < 10; ++i)
        m_port.Finish(i, HD::kDownOk);
    EXPECT_EQ(m_recorder.Pictures().size(), 10u);
    EXPECT_EQ(m_mgr->PendingCount(), 0u);
}

TEST_F(PicDownloadMgrTest, FiveInFlightAllowAnotherStartSixDoNot)
{
    for (uint64_t id = 1; id <= 5; ++id)
        m_mgr->AppendTask(User(id), UrlFor(id).c_str());
    ASSERT_EQ(m_mgr->InFlightCount(), 5u);
    m_mgr->AppendTask(User(6), UrlFor(6).c_str());
    EXPECT_EQ(m_mgr->InFlightCount(), 6u);
    m_mgr->AppendTask(User(7), UrlFor(7).c_str());
    EXPECT_EQ(m_mgr->InFlightCount(), 6u);
    EXPECT_EQ(m_port.StartedCount(), 6u);
}

TEST_F(PicDownloadMgrTest, ThreeFailuresThenSuccessIsReportedOnceAsStored)
{
    m_mgr->AppendTask(User(42), L"http://h/42.jpg");
    for (size_t attempt = 0; attempt < 3; ++attempt) {
        ASSERT_EQ(m_port.StartedCount(), attempt + 1);
        m_port.Finish(attempt, attempt == 1 ? 503u : HD::kDownTransport);
        EXPECT_TRUE(m_recorder.Pictures().empty());
    }
    ASSERT_EQ(m_port.StartedCount(), 4u) << "a failed picture starts again with the next pass";
    m_port.Finish(3, HD::kDownOk);
    const auto pictures = m_recorder.Pictures();
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(pictures[0].result, 1);
    EXPECT_EQ(m_port.StartedCount(), 4u);
}

TEST_F(PicDownloadMgrTest, FourFailuresGiveUpOnceAndAFreshQueueingCountsAnew)
{
    m_mgr->AppendTask(User(42), L"http://h/42.jpg");
    for (size_t attempt = 0; attempt < 4; ++attempt)
        m_port.Finish(attempt, 404);
    auto pictures = m_recorder.Pictures();
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(pictures[0].result, 0);
    EXPECT_EQ(pictures[0].path, m_folder + L"/42_42.png");
    EXPECT_EQ(m_port.StartedCount(), 4u);
    EXPECT_EQ(m_mgr->PendingCount(), 0u);
    EXPECT_FALSE(std::filesystem::exists(pictures[0].path));

    m_mgr->AppendTask(User(42), L"http://h/42.jpg");
    for (size_t attempt = 4; attempt < 7; ++attempt)
        m_port.Finish(attempt, HD::kDownTransport);
    EXPECT_EQ(m_recorder.Pictures().size(), 1u) << "three failures of the new queueing are not yet the end";
    m_port.Finish(7, HD::kDownTransport);
    EXPECT_EQ(m_recorder.Pictures().size(), 2u);
}

TEST_F(PicDownloadMgrTest, ResultForAnUnknownIdChangesNothing)
{
    m_mgr->AppendTask(User(1), UrlFor(1).c_str());
    m_mgr->OnHttpDownResult(999, HD::kDownOk);
    m_mgr->OnHttpDownResult(999, HD::kDownTransport);
    EXPECT_EQ(m_mgr->InFlightCount(), 1u);
    EXPECT_EQ(m_mgr->PendingCount(), 1u);
    EXPECT_TRUE(m_recorder.Pictures().empty());
    m_port.Finish(0, HD::kDownOk);
    m_mgr->OnHttpDownResult(m_port.StartedDownloads()[0].id, HD::kDownOk);
    EXPECT_EQ(m_recorder.Pictures().size(), 1u) << "a second result for an ended download is ignored";
}

TEST_F(PicDownloadMgrTest, KeysThatAreNotUsersAreGivenUpAtOnceWithAnEmptyPath)
{
    m_mgr->AppendTask(UniKey(KEY_TYPE_NONE, 3), L"http://h/3.jpg");
    m_mgr->AppendTask(UniKey(static_cast<unsigned char>(9), 3), L"http://h/3.jpg");
    const auto pictures = m_recorder.Pictures();
    ASSERT_EQ(pictures.size(), 2u);
    for (const auto& picture : pictures) {
        EXPECT_EQ(picture.result, 0);
        EXPECT_EQ(picture.path, L"");
    }
    EXPECT_EQ(m_mgr->PendingCount(), 0u);
    EXPECT_EQ(m_port.StartedCount(), 0u);
}

TEST_F(PicDownloadMgrTest, PassingRefusalCountsAsAFailureAndWaitsForTheNextPass)
{
    m_mgr->AppendTask(User(1), UrlFor(1).c_str());
    ASSERT_EQ(m_port.StartedCount(), 1u);
    m_port.refuseWith = HD::kRefusedFile;
    m_mgr->AppendTask(User(2), UrlFor(2).c_str());
    EXPECT_EQ(m_mgr->PendingCount(), 2u);
    EXPECT_EQ(m_mgr->InFlightCount(), 1u);
    EXPECT_TRUE(m_recorder.Pictures().empty());

    m_port.refuseWith = HD::kAccepted;
    m_port.Finish(0, HD::kDownOk);
    ASSERT_EQ(m_port.StartedCount(), 2u) << "the refused picture starts with the next pass";
    EXPECT_EQ(m_port.StartedDownloads()[1].url, UrlFor(2));
    for (size_t attempt = 1; attempt < 4; ++attempt)
        m_port.Finish(attempt, HD::kDownTransport);
    EXPECT_EQ(m_port.StartedCount(), 4u);
    ASSERT_EQ(m_recorder.Pictures().size(), 2u) << "the refusal was the first of its four failures";
    EXPECT_EQ(m_recorder.Pictures()[1].result, 0);
    EXPECT_EQ(m_recorder.Pictures()[1].key, User(2));
}

TEST_F(PicDownloadMgrTest, RefusalsWithNothingInFlightEndInOneReport)
{
    // What fetcher answers for a folder that cannot be written or a name it
    // cannot create: with nothing in flight, no download's end would ever
    // start another pass.
    m_port.refuseWith = HD::kRefusedFile;
    m_mgr->AppendTask(User(1), UrlFor(1).c_str());
    auto pictures = m_recorder.Pictures();
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(pictures[0].result, 0);
    EXPECT_EQ(pictures[0].path, m_folder + L"/1_1.png");
    EXPECT_EQ(m_mgr->PendingCount(), 0u);

    m_port.refuseWith = HD::kAccepted;
    m_mgr->AppendTask(User(1), UrlFor(1).c_str());
    ASSERT_EQ(m_port.StartedCount(), 1u) << "the user's picture can be queued again";
    m_port.Finish(0, HD::kDownOk);
    pictures = m_recorder.Pictures();
    ASSERT_EQ(pictures.size(), 2u);
    EXPECT_EQ(pictures[1].result, 1);
}

TEST_F(PicDownloadMgrTest, APassWhosePicturesAreAllGivenUpStartsTheNext)
{
    for (uint64_t id = 1; id <= 6; ++id)
        m_mgr->AppendTask(User(id), UrlFor(id).c_str());
    ASSERT_EQ(m_mgr->InFlightCount(), 6u);
    // Queued behind the batch: five that fetcher refuses for good, then one
    // that it takes.
    for (uint64_t id = 7; id <= 11; ++id)
        m_mgr->AppendTask(User(id), L"not an address");
    m_mgr->AppendTask(User(12), UrlFor(12).c_str());
    ASSERT_EQ(m_port.StartedCount(), 6u);

    for (size_t i = 0; i < 5; ++i)
        m_port.Finish(i, HD::kDownOk);
    // The last end starts a pass whose five pictures are all given up.
    m_port.Finish(5, HD::kDownOk);
    auto pictures = m_recorder.Pictures();
    ASSERT_EQ(pictures.size(), 11u);
    for (size_t i = 6; i < 11; ++i)
        EXPECT_EQ(pictures[i].result, 0) << i;
    ASSERT_EQ(m_port.StartedCount(), 7u) << "the picture after them starts";
    EXPECT_EQ(m_port.StartedDownloads()[6].url, UrlFor(12));
    m_port.Finish(6, HD::kDownOk);
    EXPECT_EQ(m_recorder.Pictures().size(), 12u);
    EXPECT_EQ(m_mgr->PendingCount(), 0u);
}

TEST_F(PicDownloadMgrTest, DestructionStopsDownloadsAndReportsNothing)
{
    for (uint64_t id = 1; id <= 7; ++id)
        m_mgr->AppendTask(User(id), UrlFor(id).c_str());
    const auto started = m_port.StartedDownloads();
    ASSERT_EQ(started.size(), 6u);
    m_mgr.reset();
    const auto stopped = m_port.Stopped();
    ASSERT_EQ(stopped.size(), 6u);
    for (size_t i = 0; i < started.size(); ++i)
        EXPECT_EQ(stopped[i], started[i].id);
    EXPECT_TRUE(m_recorder.Pictures().empty());
}

TEST_F(PicDownloadMgrTest, AppendTaskAfterDoExitDoesNothing)
{
    PicDownloadApi::AppendTask(User(1), UrlFor(1).c_str());
    ASSERT_NE(CPicDownloadMgr::Instance().Peek(), nullptr);
    ASSERT_EQ(m_port.StartedCount(), 1u);
    PicDownloadApi::DoExit();
    EXPECT_EQ(CPicDownloadMgr::Instance().Peek(), nullptr);
    EXPECT_EQ(m_port.Stopped().size(), 1u);

    PicDownloadApi::AppendTask(User(2), UrlFor(2).c_str());
    EXPECT_EQ(CPicDownloadMgr::Instance().Peek(), nullptr) << "no manager is made after DoExit";
    EXPECT_EQ(m_port.StartedCount(), 1u);
    EXPECT_TRUE(m_recorder.Pictures().empty());
}

}  // namespace
