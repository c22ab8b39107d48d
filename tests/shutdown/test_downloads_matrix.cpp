// The shutdown matrix of the two download families against the local server:
// QR codes, ended by QRCodeApi::DoExit (the next call makes a fresh
// manager), and head pictures, whose DoExit, also through
// Aux::Core::DoExit, closes the family for good. Pictures run last: once a
// seed's run has closed them, every later picture must go unreported, so
// each seed is best run in a process of its own, as ctest does.

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ShutdownMatrix.h"
#include "pelbo/account/UserCache.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/CoreApi.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/HttpSettings.h"
#include "devserver/PictureMaker.h"
#include "devserver/Routes.h"
#include "pelbo/fetcher/HttpDownload.h"
#include "support/HangWatchdog.h"
#include "support/TestServer.h"
#include "pelbo/transfers/PicDownloadApi.h"
#include "pelbo/transfers/PicDownloadMgr.h"
#include "pelbo/transfers/QRCodeApi.h"

namespace {

const char kQrCodes[] = "QR codes";
const char kPictures[] = "pictures";

constexpr unsigned kReceiverStops = 15;

std::wstring W(const std::string& text) { return ToWide(text.c_str(), CP_UTF8); }
std::string N(const wchar_t* text) { return ToMultiByte(text != nullptr ? text : L"", CP_UTF8); }

class DownloadsMatrix : public ::testing::TestWithParam<uint32_t> {
protected:
    static void TearDownTestSuite() { Util::HttpDownload::Shutdown(); }

    void SetUp() override
    {
        ASSERT_TRUE(server.Started()) << server.Error();
        Http::SetHttpUrlHead(W(server.BaseUrl()).c_str());
        for (int i = 0; i < 3; ++i) {
            const std::string name = "face-" + std::to_string(i) + ".png";
            const std::string png = DevServer::MakeHeadPng(48, 48, static_cast<uint32_t>(i + 1));
            pictures.push_back(W(server.Url(DevServer::PublishPicture(server.Server(), name, png))));
        }
    }

    void TearDown() override
    {
        QRCodeApi::DoExit();
        Aux::Core::DoExit();
        Http::ResetSettings();
        server.Server().ClearFaults();
    }

    // Slows the downloads of the round, or not.
    void SlowDown(std::mt19937& random, const std::string& path)
    {
        server.Server().ClearFaults();
        if (random() % 2 != 0)
            return;
        DevServer::Fault slow;
        slow.delayMs = 15;
        ASSERT_TRUE(server.Server().SetFault("GET", path, slow));
    }

    TestSupport::TestServer server{TestSupport::TestServer::Http()};
    std::vector<std::wstring> pictures;
    std::unique_ptr<ShutdownMatrix> matrix;
    unsigned serial = 0;
};

class QrCodesMatrix : public DownloadsMatrix {
protected:
    void StopAtRandom(uint32_t choice)
    {
        if (choice % 4 == 0) {
            // Not one of its families: QR codes go on.
            Aux::Core::DoExit();
            return;
        }
        const ShutdownMatrix::Stop stop(*matrix, "QRCodeApi::DoExit", ShutdownMatrix::Scope::Family(kQrCodes),
                                        false);
        QRCodeApi::DoExit();
    }
};

TEST_P(QrCodesMatrix, Downloads)
{
    matrix = std::make_unique<ShutdownMatrix>(kQrCodes, GetParam());
    event::scoped_connection reports(ServiceEvent::QRCodeDonload().connect([this](int, const wchar_t* query) {
        matrix->Report(kQrCodes, "download", N(query));
        if (matrix->Chance(kReceiverStops))
            StopAtRandom(matrix->Draw(1000));
    }));
    std::mt19937 random = matrix->Stream(1u << 21);
    matrix->RunRounds(
        8,
        [&](int) {
            SlowDown(random, "/v1/account/wechat/mini/qr");
            const uint32_t count = 2 + random() % 4;
            for (uint32_t i = 0; i < count; ++i) {
                // A query of its own: a file of its own, and the report's tag.
                const std::string query = "room=" + std::to_string(GetParam()) + "-" + std::to_string(++serial);
                matrix->Issue(kQrCodes, "download", query);
                QRCodeApi::QRCodeDonload(120, W(query).c_str());
                std::this_thread::sleep_for(std::chrono::milliseconds(random() % 8));
            }
        },
        [this](std::mt19937& stopper) { StopAtRandom(stopper()); });
    {
        const TestSupport::HangWatchdog watchdog(matrix->Where() + " final exit");
        StopAtRandom(1);
        reports.disconnect();
    }
    matrix->Check();
}

// Pictures: the first rounds run without stops, the middle ones may close
// the family at any point, the last one finds it closed.
class PicturesMatrix : public DownloadsMatrix {
protected:
    static constexpr int kRounds = 6;
    static constexpr int kFirstClosingRound = 3;
    static constexpr int kClosedRound = kRounds - 1;

    // Closes the family through one of its two exits, or does nothing before
    // the rounds in which it may close.
    void StopAtRandom(uint32_t choice)
    {
        if (matrix->Round() < kFirstClosingRound)
            return;
        const bool everything = choice % 3 == 0;
        const ShutdownMatrix::Stop stop(*matrix, everything ? "Aux::Core::DoExit" : "PicDownloadApi::DoExit",
                                        ShutdownMatrix::Scope::Family(kPictures), false);
        everything ? Aux::Core::DoExit() : PicDownloadApi::DoExit();
        // An exit before the family's first picture leaves it open.
        if (CPicDownloadMgr::Instance().IsClosed())
            matrix->CloseForGood(kPictures);
    }

    void Append(std::mt19937& random)
    {
        const uint64_t owner = 100000 + ++serial;
        // Now and then a key that is not a user's: given up at once, on
        // this thread, from inside AppendTask.
        const bool user = random() % 6 != 0;
        const std::wstring& url = pictures[random() % pictures.size()];
        matrix->Issue(kPictures, "picture", std::to_string(owner));
        PicDownloadApi::AppendTask(UniKey(user ? KEY_TYPE_USER : static_cast<E_KEY_TYPE>(2), owner), url.c_str());
    }
};

TEST_P(PicturesMatrix, Downloads)
{
    matrix = std::make_unique<ShutdownMatrix>(kPictures, GetParam());
    // Another seed's run in this process may have closed the family already.
    if (CPicDownloadMgr::Instance().IsClosed())
        matrix->CloseForGood(kPictures);
    event::scoped_connection reports(ServiceEvent::UpdatePicture().connect([this](int, UniKey key, const wchar_t*) {
        matrix->Report(kPictures, "picture", std::to_string(key.value));
        if (matrix->Chance(kReceiverStops))
            StopAtRandom(matrix->Draw(1000));
    }));
    std::mt19937 random = matrix->Stream(1u << 21);
    matrix->RunRounds(
        kRounds,
        [&](int round) {
            SlowDown(random, "/pictures/face-0.png");
            // The last round asks a family that is closed for good, whether
            // the earlier rounds closed it or not.
            if (round == kClosedRound && !matrix->IsClosedForGood(kPictures))
                StopAtRandom(1);
            const uint32_t count = 3 + random() % 5;
            for (uint32_t i = 0; i < count; ++i) {
                Append(random);
                std::this_thread::sleep_for(std::chrono::milliseconds(random() % 8));
            }
        },
        [this](std::mt19937& stopper) { StopAtRandom(stopper()); });
    EXPECT_TRUE(matrix->IsClosedForGood(kPictures));
    {
        const TestSupport::HangWatchdog watchdog(matrix->Where() + " final exit");
        PicDownloadApi::DoExit();
        reports.disconnect();
    }
    matrix->Check();
}

std::string SeedName(const ::testing::TestParamInfo<uint32_t>& info) { return "seed_" + std::to_string(info.param); }

INSTANTIATE_TEST_SUITE_P(Shutdown, QrCodesMatrix, ::testing::Values(101u, 202u, 303u), SeedName);
INSTANTIATE_TEST_SUITE_P(Shutdown, PicturesMatrix, ::testing::Values(101u, 202u, 303u, 404u, 505u), SeedName);

}  // namespace
