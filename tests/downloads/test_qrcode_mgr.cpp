// CQRCodeDownloadMgr against a stand-in for fetcher: the address, the file
// name made safe from the query, one signal per accepted download with the
// code passed through, and the stop of downloads at destruction.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "FakeDownloadPort.h"
#include "PictureRecorder.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Path.h"
#include "support/TempDir.h"
#include "pelbo/transfers/QRCodeApi.h"
#include "pelbo/transfers/QRCodeDownloadMgr.h"

namespace {

namespace HD = Util::HttpDownload;

class QRCodeMgrTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Util::Path::SetRootFolder(m_root.Path().wstring().c_str());
        Http::SetHttpUrlHead(L"https://api.test");
        m_folder = Util::Path::GetQRCodePath().str();
        m_mgr = std::make_unique<CQRCodeDownloadMgr>();
    }

    TestSupport::TempDir m_root;
    FakeDownloadPort m_port;
    PictureRecorder m_recorder;
    std::wstring m_folder;
    std::unique_ptr<CQRCodeDownloadMgr> m_mgr;
};

TEST_F(QRCodeMgrTest, AddressCarriesTheQueryAsGiven)
{
    m_mgr->QRCodeDonload(430, L"room=123456&from=pc");
    m_mgr->QRCodeDonload(280, L"a b#c?d=%41");
    const auto started = m_port.StartedDownloads();
    ASSERT_EQ(started.size(), 2u);
    EXPECT_EQ(started[0].url,
              L"https://api.test/v1/account/wechat/mini/qr?page=pages/joinMeeting/share&width=430&query=room=123456&from=pc");
    EXPECT_EQ(started[0].path, m_folder + L"/room=123456&from=pc.png");
    EXPECT_EQ(started[1].url,
              L"https://api.test/v1/account/wechat/mini/qr?page=pages/joinMeeting/share&width=280&query=a b#c?d=%41");
}

TEST_F(QRCodeMgrTest, QueriesCannotNameAFileOutsideTheFolder)
{
    struct Case {
        const wchar_t* query;
        const wchar_t* name;
    } cases[] = {
        {L"room=123456&from=pc", L"room=123456&from=pc.png"},
        {L"with spaces and ünïcode", L"with spaces and ünïcode.png"},
        {L"../../etc/passwd", L".._.._etc_passwd.png"},
        {L"..", L"...png"},
        {L"..\\..\\boot.ini", L".._.._boot.ini.png"},
        {L"C:\\Windows\\x", L"C__Windows_x.png"},
        {L"a:b*c?d\"e<f>g|h", L"a_b_c_d_e_f_g_h.png"},
        {L"tab\there\nnewline", L"tab_here_newline.png"},
        {L"", L"_.png"},
        {L"CON", L"_CON.png"},
        {L"lpt1.x", L"_lpt1.x.png"},
        {L"conin$", L"_conin$.png"},
        {L"CONOUT$.txt", L"_CONOUT$.txt.png"},
        {L"console", L"console.png"},
    };
    for (const Case& c : cases) {
        const std::wstring name = CQRCodeDownloadMgr::SafeFileName(c.query);
        EXPECT_EQ(name, c.name) << std::string(name.begin(), name.end());
        // Compared as text: the path of a non-ASCII name cannot be built in
        // the C locale the tests run in.
        EXPECT_EQ(CQRCodeDownloadMgr::FilePath(c.query), m_folder + L"/" + name);
    }
}

TEST_F(QRCodeMgrTest, VeryLongQueriesAreShortenedApart)
{
    const std::wstring first(300, L'a');
    const std::wstring second = std::wstring(299, L'a') + L"b";
    const std::wstring a = CQRCodeDownloadMgr::SafeFileName(first);
    const std::wstring b = CQRCodeDownloadMgr::SafeFileName(second);
    EXPECT_LE(a.size(), 64u);
    EXPECT_NE(a, b);
    EXPECT_EQ(a, CQRCodeDownloadMgr::SafeFileName(first));
    EXPECT_EQ(a.substr(0, 32), first.substr(0, 32));
    EXPECT_EQ(a.substr(a.size() - 4), L".png");
    EXPECT_EQ(QRCodeApi::QRCodeFilePath(first.c_str()).str(), m_folder + L"/" + a);
}

TEST_F(QRCodeMgrTest, EachDownloadIsReportedWithItsOwnQueryAndCode)
{
    m_mgr->QRCodeDonload(430, L"room=1");
    m_mgr->QRCodeDonload(430, L"room=2");
    m_mgr->QRCodeDonload(430, L"room=1");
    ASSERT_EQ(m_port.StartedCount(), 3u) << "every call starts its own download";
    m_port.Finish(1, 503);
    m_port.Finish(0, HD::kDownOk);
    m_port.Finish(2, HD::kDownStopped);
    const auto codes = m_recorder.QrCodes();
    ASSERT_EQ(codes.size(), 3u);
    EXPECT_EQ(codes[0].code, 503);
    EXPECT_EQ(codes[0].query, L"room=2");
    EXPECT_EQ(codes[1].code, 0);
    EXPECT_EQ(codes[1].query, L"room=1");
    EXPECT_EQ(codes[2].code, static_cast<int>(HD::kDownStopped));
    EXPECT_EQ(m_mgr->InFlightCount(), 0u);

    m_mgr->OnHttpDownResult(m_port.StartedDownloads()[0].id, HD::kDownOk);
    m_mgr->OnHttpDownResult(12345, HD::kDownOk);
    EXPECT_EQ(m_recorder.QrCodes().size(), 3u) << "ended and unknown ids change nothing";
}

TEST_F(QRCodeMgrTest, RefusedDownloadIsNotReported)
{
    m_port.refuseWith = HD::kRefusedUnavailable;
    m_mgr->QRCodeDonload(430, L"room=1");
    EXPECT_EQ(m_mgr->InFlightCount(), 0u);
    EXPECT_TRUE(m_recorder.QrCodes().empty());
}

TEST_F(QRCodeMgrTest, DoExitStopsDownloadsInFlight)
{
    QRCodeApi::QRCodeDonload(430, L"room=1");
    QRCodeApi::QRCodeDonload(430, L"room=2");
    const auto started = m_port.StartedDownloads();
    ASSERT_EQ(started.size(), 2u);
    QRCodeApi::DoExit();
    const auto stopped = m_port.Stopped();
    ASSERT_EQ(stopped.size(), 2u);
    EXPECT_EQ(stopped[0], started[0].id);
    EXPECT_EQ(stopped[1], started[1].id);
    EXPECT_TRUE(m_recorder.QrCodes().empty());

    QRCodeApi::QRCodeDonload(430, L"room=3");
    EXPECT_EQ(m_port.StartedCount(), 3u) << "a later call makes a fresh manager";
    QRCodeApi::DoExit();
}

}  // namespace
