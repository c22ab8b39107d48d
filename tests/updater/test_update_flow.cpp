// The whole update flow off screen: the updater's start-up with a command
// line, the installer fetched from the local server through fetcher, the
// reports carried to the window's thread, the digest check and the launch.
// Failures play the user: once the failure text shows, the close button.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "InstallerDownload.h"
#include "Native.h"
#include "TidewellApp.h"
#include "TidewellSettings.h"
#include "UpdaterFixture.h"
#include "pelbo/corekit/HttpSettings.h"
#include "devserver/State.h"
#include "pelbo/fetcher/HttpDownload.h"
#include "support/TestServer.h"

namespace {

const wchar_t kFailed[] = L"\x5347\x7EA7\x5931\x8D25\xFF0C\x8BF7\x4E0B\x6B21\x5C1D\x8BD5";
const std::string kInstaller = "#!/bin/sh\necho installer ran\n";

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

class UpdateFlowTest : public UpdaterFixture {
protected:
    void SetUp() override
    {
        UpdaterFixture::SetUp();
        ASSERT_TRUE(m_server.Started()) << m_server.Error();
        WriteTidewellSettings(m_root.Path(), "ca_bundle=" + m_server.CaFile() + "\n");
        m_server.State().downloads.Put("installer", kInstaller);
        m_md5 = m_server.State().downloads.Md5("installer");
    }

    void TearDown() override
    {
        Util::HttpDownload::Shutdown();
        Http::ResetSettings();
        UpdaterFixture::TearDown();
    }

    // What the signed manifest says of the installer.
    struct Expected {
        std::string md5;
        unsigned long long size = 0;
        std::string sha256;
    };

    Expected Shelf()
    {
        DevServer::DownloadShelf& shelf = m_server.State().downloads;
        return Expected{shelf.Md5("installer"), shelf.Get("installer")->size(), shelf.Sha256("installer")};
    }

    int Run(const std::string& path, const std::string& md5, unsigned version = 1002)
    {
        Expected expected = Shelf();
        expected.md5 = md5;
        return RunUrl(m_server.Url(path), expected, version);
    }

    int RunUrl(const std::string& url, const Expected& expected, unsigned version = 1002)
    {
        const std::wstring line = L"--version=" + std::to_wstring(version) + L" --url=" + Widen(url) +
                                  L" --md5=" + Widen(expected.md5) + L" --size=" + std::to_wstring(expected.size) +
                                  L" --sha256=" + Widen(expected.sha256) +
                                  L" --installed-version=1001 --root=" + m_root.Path().wstring();
        return RunTidewell(nullptr, L"/opt/pelbo/Tidewell", line.c_str());
    }

    // After each report: once the window shows the failure, the user
    // presses its close button.
    void CloseWhenFailed()
    {
        const HWND hwnd = Offscreen::LastWindow();
        auto* frame = dynamic_cast<CUpdateFrame*>(Native::GetWindowObject(hwnd));
        if (frame != nullptr && frame->StatusText() == kFailed) {
            m_sawFailure = true;
            frame->HandleMessage(WM_LBUTTONUP, 0, MAKELPARAM(590, 5));
        }
    }

    std::filesystem::path Installer(unsigned version = 1002) const
    {
        return m_root.Path() / "upgrade" / ("ver_" + std::to_string(version) + ".exe");
    }

    TestSupport::TestServer m_server{TestSupport::TestServer::Https()};
    std::string m_md5;
    bool m_sawFailure = false;
};

TEST_F(UpdateFlowTest, DownloadsVerifiesAndLaunchesOnce)
{
    std::string upper;
    for (char c : m_md5) {
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(Run("/download/installer", upper), 0);
    ASSERT_EQ(Offscreen::Launched().size(), 1u);
    EXPECT_EQ(std::filesystem::path(Offscreen::Launched()[0]), Installer());
    std::ifstream in(Installer(), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), kInstaller);
    EXPECT_EQ(Offscreen::WindowCount(), 1u);
}

TEST_F(UpdateFlowTest, InstallerAlreadyInPlaceIsNotFetchedAgain)
{
    std::filesystem::create_directories(Installer().parent_path());
    std::ofstream(Installer(), std::ios::binary) << kInstaller;
    DevServer::Fault refuse;
    refuse.httpStatus = 500;
    ASSERT_TRUE(m_server.Server().SetFault("GET", "/download/installer", refuse));
    EXPECT_EQ(Run("/download/installer", m_md5), 0);
    EXPECT_EQ(Offscreen::Launched().size(), 1u);
}

TEST_F(UpdateFlowTest, FailuresShowTheTextAndLeaveNoInstaller)
{
    struct Case {
        const char* name;
        std::string path;
        DevServer::Fault fault;
        Expected expected;
    };
    DevServer::Fault cut;
    cut.closeMidResponse = true;
    DevServer::Fault none;
    const Expected shelf = Shelf();
    Expected otherMd5 = shelf;
    otherMd5.md5 = "00000000000000000000000000000000";
    Expected otherSha = shelf;
    otherSha.sha256[0] = otherSha.sha256[0] == '0' ? '1' : '0';
    Expected larger = shelf;
    ++larger.size;
    Expected smaller = shelf;
    --smaller.size;
    const Case cases[] = {
        {"404", "/download/file?name=absent", none, shelf},
        {"cut off", "/download/installer", cut, shelf},
        {"wrong digest", "/download/installer", none, otherMd5},
        {"swapped installer (other SHA-256)", "/download/installer", none, otherSha},
        {"shorter than announced", "/download/installer", none, larger},
        {"larger than announced", "/download/installer", none, smaller},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Offscreen::Reset();
        m_server.Server().ClearFaults();
        if (c.fault.closeMidResponse) {
            ASSERT_TRUE(m_server.Server().SetFault("GET", "/download/installer", c.fault));
        }
        m_sawFailure = false;
        Offscreen::SetLoopObserver([this] { CloseWhenFailed(); });
        EXPECT_EQ(RunUrl(m_server.Url(c.path), c.expected), 0);
        EXPECT_TRUE(m_sawFailure);
        EXPECT_TRUE(Offscreen::Launched().empty());
        EXPECT_FALSE(std::filesystem::exists(Installer()));
        // Only a broken transfer leaves its partial file, for the next start.
        for (const auto& entry : std::filesystem::directory_iterator(Installer().parent_path())) {
            EXPECT_TRUE(c.fault.closeMidResponse) << entry.path();
            EXPECT_EQ(entry.path().string().rfind(Installer().string() + ".partial", 0), 0u) << entry.path();
        }
        std::filesystem::remove_all(Installer().parent_path());
    }
}

// A transfer that breaks off is continued, not started over: by the
// updater's own retries, and by its next start once those are spent.
TEST_F(UpdateFlowTest, BrokenDownloadsResumeWhereTheyStopped)
{
    m_server.State().downloads.Put("installer", DevServer::DownloadShelf::Pattern(300 * 1024));
    const unsigned long long size = Shelf().size;
    const long long cut = 64 * 1024;
    DevServer::Fault breaks;
    breaks.cutAfterBytes = cut;
    breaks.remaining = 1;
    ASSERT_TRUE(m_server.Server().SetFault("GET", "/download/installer", breaks));
    uint64_t before = m_server.Server().BodyBytesSent();
    EXPECT_EQ(Run("/download/installer", Shelf().md5), 0);
    ASSERT_EQ(Offscreen::Launched().size(), 1u) << "the retry resumed and the installer checked out";
    EXPECT_EQ(m_server.Server().BodyBytesSent() - before, size) << "no byte was sent twice";
    std::filesystem::remove(Installer());

    // Every attempt of this start breaks off; the next start finishes.
    Offscreen::Reset();
    breaks.remaining = static_cast<int>(CInstallerDownload::kRetries) + 1;
    ASSERT_TRUE(m_server.Server().SetFault("GET", "/download/installer", breaks));
    m_sawFailure = false;
    Offscreen::SetLoopObserver([this] { CloseWhenFailed(); });
    before = m_server.Server().BodyBytesSent();
    EXPECT_EQ(Run("/download/installer", Shelf().md5), 0);
    EXPECT_TRUE(m_sawFailure);
    EXPECT_TRUE(Offscreen::Launched().empty());
    const unsigned long long kept = (CInstallerDownload::kRetries + 1) * static_cast<unsigned long long>(cut);
    EXPECT_EQ(std::filesystem::file_size(Installer().string() + ".partial"), kept);

    Offscreen::Reset();
    EXPECT_EQ(Run("/download/installer", Shelf().md5), 0);
    ASSERT_EQ(Offscreen::Launched().size(), 1u);
    EXPECT_EQ(m_server.Server().BodyBytesSent() - before, size);
    EXPECT_FALSE(std::filesystem::exists(Installer().string() + ".partial"));
}

// An installer at a plain http address could be anyone's: it is not
// fetched unless the settings file's development switch allows it.
TEST_F(UpdateFlowTest, PlainHttpInstallerIsFetchedOnlyWithTheDevelopmentSwitch)
{
    TestSupport::TestServer plain;
    ASSERT_TRUE(plain.Started()) << plain.Error();
    plain.State().downloads.Put("installer", kInstaller);
    // Refused before anything is posted to the window: it shows the failure
    // and waits for the user until the loop's limit.
    Offscreen::SetLoopLimit(std::chrono::milliseconds(500));
    EXPECT_EQ(RunUrl(plain.Url("/download/installer"), Shelf()), -1);
    const HWND hwnd = Offscreen::LastWindow();
    auto* frame = dynamic_cast<CUpdateFrame*>(Native::GetWindowObject(hwnd));
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->StatusText(), kFailed);
    Native::Destroy(hwnd);
    EXPECT_TRUE(Offscreen::Launched().empty());
    EXPECT_EQ(plain.Server().RequestCount(), 0u);

    Offscreen::Reset();
    WriteTidewellSettings(m_root.Path(), "allow_http_updates=1\n");
    EXPECT_EQ(RunUrl(plain.Url("/download/installer"), Shelf()), 0);
    EXPECT_EQ(Offscreen::Launched().size(), 1u);
}

// A release that is not newer than the installed one is refused before
// anything is shown or fetched, whoever passes it.
TEST_F(UpdateFlowTest, VersionNotNewerThanTheInstalledOneIsRefused)
{
    const uint64_t before = m_server.Server().RequestCount();
    for (const unsigned version : {1001u, 1000u}) {
        EXPECT_EQ(RunUrl(m_server.Url("/download/installer"), Shelf(), version), 0);
        EXPECT_EQ(Offscreen::WindowCount(), 0u);
    }
    EXPECT_EQ(m_server.Server().RequestCount(), before);
    EXPECT_TRUE(Offscreen::Launched().empty());
}

}  // namespace
