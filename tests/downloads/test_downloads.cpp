// Head pictures and QR codes end to end: the managers, fetcher and the local
// server over real sockets, with the server's faults switched on: refusals,
// transfers cut off half-way, queries that try to leave the QR-code folder.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

#include "PictureRecorder.h"
#include "pelbo/account/UserCache.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Path.h"
#include "devserver/PictureMaker.h"
#include "devserver/Routes.h"
#include "devserver/State.h"
#include "support/HostileServer.h"
#include "support/TempDir.h"
#include "support/TestServer.h"
#include "pelbo/transfers/DownloadPort.h"
#include "pelbo/transfers/PicDownloadMgr.h"
#include "pelbo/transfers/QRCodeApi.h"
#include "pelbo/transfers/QRCodeDownloadMgr.h"

namespace {

namespace HD = Util::HttpDownload;

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Regular files below folder, leaving out the log files.
std::vector<std::filesystem::path> FilesUnder(const std::filesystem::path& folder)
{
    const std::filesystem::path logs(Util::Path::GetLogFolder().str());
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file() && entry.path().parent_path() != logs)
            files.push_back(entry.path());
    }
    return files;
}

class DownloadsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_server.Started()) << m_server.Error();
        Util::Path::SetRootFolder(m_root.Path().wstring().c_str());
        Http::SetHttpUrlHead(Widen(m_server.BaseUrl()).c_str());
        Http::SetConnectTimeoutMs(10000);
        Http::SetRequestTimeoutMs(30000);
        Aux::UserCache::DoExit();
        m_pictures = Util::Path::GetUserPicFolder().str();
        m_qrFolder = Util::Path::GetQRCodePath().str();
    }
    void TearDown() override
    {
        Transfers::SetPictureLimits(Transfers::DefaultPictureLimits());
        m_pics.reset();
        QRCodeApi::DoExit();
        Aux::UserCache::DoExit();
        m_server.Server().ClearFaults();
        HD::Shutdown();
    }

    // Publishes a generated head picture; returns its address.
    std::wstring Publish(const std::string& name, uint32_t seed = 1)
    {
        const std::string png = DevServer::MakeHeadPng(64, 64, seed);
        return Widen(m_server.Url(DevServer::PublishPicture(m_server.Server(), name, png)));
    }

    void SetFault(const std::string& path, int status, bool cut, int remaining)
    {
        DevServer::Fault fault;
        fault.httpStatus = status;
        fault.closeMidResponse = cut;
        fault.remaining = remaining;
        ASSERT_TRUE(m_server.Server().SetFault("GET", path, fault));
    }

    TestSupport::TestServer m_server;
    TestSupport::TempDir m_root;
    PictureRecorder m_recorder;
    std::wstring m_pictures;
    std::wstring m_qrFolder;
    std::unique_ptr<CPicDownloadMgr> m_pics = std::make_unique<CPicDownloadMgr>();
};

TEST_F(DownloadsTest, HeadPictureIsStoredRegisteredAndReported)
{
    const std::wstring url = Publish("face.png", 7);
    m_pics->AppendTask(UniKey(KEY_TYPE_USER, 1001), url.c_str());
    ASSERT_TRUE(m_recorder.WaitPictures(1));
    const auto report = m_recorder.Pictures()[0];
    EXPECT_EQ(report.result, 1);
    EXPECT_EQ(report.path, m_pictures + L"/1001_face.png");
    EXPECT_EQ(ReadFile(report.path), DevServer::MakeHeadPng(64, 64, 7));
    CStringW found;
    EXPECT_EQ(Aux::UserCache::IsExistUserHead(1001, CStringW(url), found), 1);
    EXPECT_EQ(FilesUnder(m_pictures).size(), 1u);
}

TEST_F(DownloadsTest, PictureFailingThreeTimesThenServedIsReportedOnceAsStored)
{
    struct Case {
        int status;
        bool cut;
    } cases[] = {{404, false}, {503, false}, {0, true}};
    uint64_t user = 10;
    for (const Case& c : cases) {
        const std::string name = "flaky" + std::to_string(user) + ".png";
        const std::wstring url = Publish(name);
        SetFault("/pictures/" + name, c.status, c.cut, 3);
        m_pics->AppendTask(UniKey(KEY_TYPE_USER, user), url.c_str());
        ++user;
    }
    ASSERT_TRUE(m_recorder.WaitPictures(3));
    for (const auto& report : m_recorder.Pictures())
        EXPECT_EQ(report.result, 1) << report.key.value;
    EXPECT_EQ(m_recorder.Pictures().size(), 3u);
    EXPECT_EQ(FilesUnder(m_pictures).size(), 3u) << "no staging or temporary file stays behind";
}

TEST_F(DownloadsTest, FourFailuresGiveUpAndLeaveNoFile)
{
    const std::wstring missing = Widen(m_server.Url("/pictures/never-published.png"));
    const std::wstring cut = Publish("cut.png");
    SetFault("/pictures/cut.png", 0, true, -1);
    m_pics->AppendTask(UniKey(KEY_TYPE_USER, 1), missing.c_str());
    m_pics->AppendTask(UniKey(KEY_TYPE_USER, 2), cut.c_str());
    ASSERT_TRUE(m_recorder.WaitPictures(2));
    for (const auto& report : m_recorder.Pictures())
        EXPECT_EQ(report.result, 0);
    EXPECT_TRUE(FilesUnder(m_pictures).empty()) << "nothing of a failed picture stays behind";
    EXPECT_EQ(m_pics->PendingCount(), 0u);
}

TEST_F(DownloadsTest, AddressWithoutSlashesAndKeysThatAreNotUsers)
{
    m_pics->AppendTask(UniKey(KEY_TYPE_USER, 3), L"face.jpg");
    m_pics->AppendTask(UniKey(KEY_TYPE_NONE, 4), Publish("x.png").c_str());
    ASSERT_TRUE(m_recorder.WaitPictures(2));
    for (const auto& report : m_recorder.Pictures()) {
        EXPECT_EQ(report.result, 0);
        if (report.key.type == KEY_TYPE_USER)
            EXPECT_EQ(report.path, m_pictures + L"/3_face.png");
        else
            EXPECT_EQ(report.path, L"");
    }
    EXPECT_TRUE(FilesUnder(m_root.Path()).empty());
}

TEST_F(DownloadsTest, PictureWithAVeryLongTitleIsStored)
{
    const std::string title(300, 'p');
    const std::wstring url = Publish(title + ".png", 5);
    m_pics->AppendTask(UniKey(KEY_TYPE_USER, 77), url.c_str());
    ASSERT_TRUE(m_recorder.WaitPictures(1));
    const auto report = m_recorder.Pictures()[0];
    EXPECT_EQ(report.result, 1);
    EXPECT_EQ(ReadFile(report.path), DevServer::MakeHeadPng(64, 64, 5));
    EXPECT_LT(std::filesystem::path(report.path).filename().string().size(), 255u);
    EXPECT_EQ(FilesUnder(m_pictures).size(), 1u);
}

// Servers that would hold a download for ever or fill the disk, with the
// managers' limits made small for the test.
TEST_F(DownloadsTest, HostileServersCannotHoldOrFillThePictureFolders)
{
    HD::CDownloadLimits limits;
    limits.maxBytes = 1u << 20;
    limits.lowSpeedBytesPerSecond = 64;
    limits.lowSpeedSeconds = 1;
    Transfers::SetPictureLimits(limits);
    TestSupport::HostileServer trickle(TestSupport::HostileServer::Trickle(1000, std::chrono::milliseconds(250)));
    TestSupport::HostileServer flood(TestSupport::HostileServer::Flood(-1, 4u << 20));
    TestSupport::HostileServer huge(TestSupport::HostileServer::Flood(300ll << 20, 64u << 10));
    ASSERT_TRUE(trickle.Started() && flood.Started() && huge.Started());

    Http::SetHttpUrlHead(Widen(trickle.Url("")).c_str());
    QRCodeApi::QRCodeDonload(430, L"room=slow");
    m_pics->AppendTask(UniKey(KEY_TYPE_USER, 1), Widen(flood.Url("/big.png")).c_str());
    m_pics->AppendTask(UniKey(KEY_TYPE_USER, 2), Widen(huge.Url("/huge.png")).c_str());
    ASSERT_TRUE(m_recorder.WaitQrCodes(1));
    EXPECT_EQ(m_recorder.QrCodes()[0].code, static_cast<int>(HD::kDownTransport));
    ASSERT_TRUE(m_recorder.WaitPictures(2));
    for (const auto& report : m_recorder.Pictures())
        EXPECT_EQ(report.result, 0) << report.key.value;
    EXPECT_EQ(flood.Requests(), 4u);
    EXPECT_EQ(huge.Requests(), 4u);
    EXPECT_TRUE(FilesUnder(m_root.Path()).empty()) << "nothing of a refused body stays behind";
}

TEST_F(DownloadsTest, QrCodeOfAnOrdinaryQueryKeepsItsPlainName)
{
    QRCodeApi::QRCodeDonload(430, L"room=123456&from=pc");
    ASSERT_TRUE(m_recorder.WaitQrCodes(1));
    const auto report = m_recorder.QrCodes()[0];
    EXPECT_EQ(report.code, 0);
    EXPECT_EQ(report.query, L"room=123456&from=pc");
    const std::filesystem::path file = std::filesystem::path(m_qrFolder) / "room=123456&from=pc.png";
    // Compared as paths: the library joins with "/", which Windows reads as "\\".
    EXPECT_EQ(std::filesystem::path(QRCodeApi::QRCodeFilePath(L"room=123456&from=pc").str()), file);
    std::string error;
    EXPECT_EQ(ReadFile(file), DevServer::MakeQrPng("pages/joinMeeting/share?room=123456&from=pc", 430, &error))
        << "the server saw the whole query, \"&\" included";
}

TEST_F(DownloadsTest, QrQueriesThatTryToLeaveTheFolderStayInIt)
{
    const wchar_t* queries[] = {L"../../escape", L"..\\..\\elsewhere", L"c:escape", L"room 1 & from pc"};
    for (const wchar_t* query : queries)
        QRCodeApi::QRCodeDonload(200, query);
    ASSERT_TRUE(m_recorder.WaitQrCodes(4));
    for (const auto& report : m_recorder.QrCodes()) {
        EXPECT_EQ(report.code, 0);
        const std::filesystem::path file(QRCodeApi::QRCodeFilePath(report.query.c_str()).str());
        EXPECT_TRUE(std::filesystem::is_regular_file(file));
        EXPECT_EQ(file.parent_path(), std::filesystem::path(m_qrFolder));
    }
    const auto files = FilesUnder(m_root.Path());
    EXPECT_EQ(files.size(), 4u);
    for (const auto& file : files)
        EXPECT_EQ(file.parent_path(), std::filesystem::path(m_qrFolder));
}

TEST_F(DownloadsTest, QrFailuresAreReportedWithTheirCodeAndLeaveNothing)
{
    SetFault("/v1/account/wechat/mini/qr", 404, false, 1);
    QRCodeApi::QRCodeDonload(430, L"room=1");
    ASSERT_TRUE(m_recorder.WaitQrCodes(1));
    EXPECT_EQ(m_recorder.QrCodes()[0].code, 404);
    SetFault("/v1/account/wechat/mini/qr", 0, true, 1);
    QRCodeApi::QRCodeDonload(430, L"room=1");
    ASSERT_TRUE(m_recorder.WaitQrCodes(2));
    EXPECT_EQ(m_recorder.QrCodes()[1].code, static_cast<int>(HD::kDownTransport));
    EXPECT_TRUE(FilesUnder(m_qrFolder).empty());
}

TEST_F(DownloadsTest, QrDownloadInFlightAtDoExitIsStoppedAndNotReported)
{
    // The answer to "room=slow" is held back until the manager is gone and
    // then sent whole. A download still running would have it before the
    // server even hears of "room=after", and be reported first.
    struct Gate {
        std::mutex lock;
        std::condition_variable changed;
        bool arrived = false;
        bool released = false;
        bool answered = false;
    };
    const auto gate = std::make_shared<Gate>();
    m_server.Server().Route("GET", "/v1/account/wechat/mini/qr", [gate](const DevServer::HttpRequest& request) {
        DevServer::HttpResponse response;
        response.contentType = "image/png";
        response.body = DevServer::MakeHeadPng(16, 16, 3);
        if (request.target.find("room=slow") == std::string::npos)
            return response;
        std::unique_lock<std::mutex> guard(gate->lock);
        gate->arrived = true;
        gate->changed.notify_all();
        gate->changed.wait_for(guard, std::chrono::seconds(30), [&] { return gate->released; });
        gate->answered = true;
        gate->changed.notify_all();
        return response;
    });
    auto waitFor = [&gate](bool Gate::*flag) {
        std::unique_lock<std::mutex> guard(gate->lock);
        return gate->changed.wait_for(guard, std::chrono::seconds(30), [&] { return (*gate).*flag; });
    };

    QRCodeApi::QRCodeDonload(430, L"room=slow");
    ASSERT_TRUE(waitFor(&Gate::arrived));
    QRCodeApi::DoExit();
    {
        std::lock_guard<std::mutex> guard(gate->lock);
        gate->released = true;
    }
    gate->changed.notify_all();
    ASSERT_TRUE(waitFor(&Gate::answered));

    QRCodeApi::QRCodeDonload(430, L"room=after");
    ASSERT_TRUE(m_recorder.WaitQrCodes(1));
    const auto codes = m_recorder.QrCodes();
    EXPECT_EQ(codes[0].query, L"room=after");
    EXPECT_EQ(codes[0].code, 0);
    EXPECT_EQ(codes.size(), 1u);
    EXPECT_EQ(FilesUnder(m_qrFolder).size(), 1u);
}

}  // namespace
