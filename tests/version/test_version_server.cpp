// Aux::Version through libService against the local server over HTTPS
// (trusting its throw-away CA, and its release key as test builds do): the
// signed manifest it serves announces its installer; a manifest that cannot
// be fetched or believed falls back to the one remembered; manifests of
// other shapes and forged releases announce nothing.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "VersionRecorder.h"
#include "pelbo/account/UserConfig.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/CoreApi.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Path.h"
#include "devserver/State.h"
#include "pelbo/netcall/HttpsRequest.h"
#include "support/TempDir.h"
#include "support/TestServer.h"
#include "pelbo/version/VersionApi.h"

namespace {

std::wstring Wide(const std::string& text) { return ToWide(text.c_str(), CP_UTF8); }

class VersionServerTest : public ::testing::Test {
protected:
    static void TearDownTestSuite() { Util::HttpsRequest::Shutdown(); }

    void SetUp() override
    {
        ASSERT_TRUE(m_server.Started()) << m_server.Error();
        Util::Path::SetRootFolder(m_root.Path().wstring().c_str());
        Http::SetCaBundle(Wide(m_server.CaFile()).c_str());
        Http::SetManifestUrl(Wide(m_server.Url("/upgrade/pelbo-version.json")).c_str());
    }

    void TearDown() override
    {
        Aux::Core::DoExit();
        Http::ResetSettings();
    }

    // Runs one check. An announcement is waited for; a check that must stay
    // silent is given, once the server has answered it, a short bounded
    // spell in which nothing may arrive (the exact rules of silence are
    // tested against the stand-in service in version_tests).
    void CheckAndSettle(size_t expectedUpdates)
    {
        const uint64_t before = m_server.Server().RequestCount();
        Aux::Version::CheckVersion();
        if (expectedUpdates > 0) {
            ASSERT_TRUE(m_recorder.WaitFor(expectedUpdates));
            return;
        }
        const auto answered = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (m_server.Server().RequestCount() == before && std::chrono::steady_clock::now() < answered)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_GT(m_server.Server().RequestCount(), before) << "the manifest was never asked for";
        EXPECT_FALSE(m_recorder.WaitFor(1, std::chrono::seconds(1)));
    }

    TestSupport::TestServer m_server{TestSupport::TestServer::Https()};
    TestSupport::TempDir m_root;
    VersionRecorder m_recorder;
};

TEST_F(VersionServerTest, ServersManifestAnnouncesItsInstaller)
{
    CheckAndSettle(1);
    const auto updates = m_recorder.Updates();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].version, L"1.0.0.9");
    EXPECT_EQ(updates[0].url, Wide(m_server.Url("/download/installer")));
    EXPECT_EQ(updates[0].md5, Wide(m_server.State().downloads.Md5("installer")));
    EXPECT_EQ(Aux::Version::GetUpdateMsg().size(), 2u);
    EXPECT_EQ(Aux::UserConfig::GetPelboVer(), L"1.0.0.9");

    // The server fails now: the remembered manifest is announced again.
    DevServer::Fault down;
    down.httpStatus = 503;
    ASSERT_TRUE(m_server.Server().SetFault("GET", "/upgrade/pelbo-version.json", down));
    CheckAndSettle(2);
    EXPECT_EQ(m_recorder.Updates()[1].url, updates[0].url);

    // Nobody listens at all: the same.
    Http::SetManifestUrl(L"https://127.0.0.1:1/upgrade/pelbo-version.json");
    CheckAndSettle(3);
    EXPECT_EQ(m_recorder.Updates()[2].version, L"1.0.0.9");
}

TEST_F(VersionServerTest, FailedRequestWithNothingRememberedAnnouncesNothing)
{
    DevServer::Fault cut;
    cut.closeMidResponse = true;
    ASSERT_TRUE(m_server.Server().SetFault("GET", "/upgrade/pelbo-version.json", cut));
    CheckAndSettle(0);
    EXPECT_TRUE(m_recorder.Updates().empty());
    EXPECT_TRUE(Aux::UserConfig::GetVersionJson().IsEmpty());
}

TEST_F(VersionServerTest, ManifestsOfOtherShapesAnnounceNothing)
{
    for (const char* text : {"{\"version\":\"1.0.9\",\"downloadUrl\":\"http://h/i\",\"md5\":\"a\"}",
                             "{\"version\":\"1.0.0.9.1\",\"downloadUrl\":\"http://h/i\",\"md5\":\"a\"}",
                             "<html><body>moved</body></html>", "garbage {"}) {
        SCOPED_TRACE(text);
        m_server.State().downloads.Put("pelbo-version.json", text);
        CheckAndSettle(0);
    }
    EXPECT_TRUE(m_recorder.Updates().empty());
    EXPECT_TRUE(Aux::UserConfig::GetVersionJson().IsEmpty());
}

TEST_F(VersionServerTest, ForgedOrStaleReleasesAreNotAnnounced)
{
    DevServer::ReleaseDesk& desk = m_server.State().release;
    for (const auto kind : {DevServer::ReleaseDesk::Kind::Unsigned, DevServer::ReleaseDesk::Kind::WrongKey,
                            DevServer::ReleaseDesk::Kind::Older, DevServer::ReleaseDesk::Kind::Expired}) {
        SCOPED_TRACE(static_cast<int>(kind));
        desk.SetKind(kind);
        CheckAndSettle(0);
    }
    EXPECT_TRUE(Aux::UserConfig::GetPelboVer().IsEmpty());

    // Once a true release was announced, a forged one brings it back.
    desk.SetKind(DevServer::ReleaseDesk::Kind::Signed);
    CheckAndSettle(1);
    desk.SetKind(DevServer::ReleaseDesk::Kind::WrongKey);
    CheckAndSettle(2);
    EXPECT_EQ(m_recorder.Updates()[1].md5, m_recorder.Updates()[0].md5);
    EXPECT_NE(Aux::Version::GetUpdaterArguments().Find(L"--sha256="), -1);
}

// Releases whose manifest is signed but does not describe the installer
// served: announced (the manifest cannot know), and the updater is given
// the values that make it refuse the file.
TEST_F(VersionServerTest, MisdescribedReleasesGiveTheUpdaterWhatItWillRefuse)
{
    DevServer::ReleaseDesk& desk = m_server.State().release;
    const auto& shelf = m_server.State().downloads;
    const std::wstring size = std::to_wstring(shelf.Get("installer")->size());
    const std::wstring sha256 = Wide(shelf.Sha256("installer"));
    desk.SetKind(DevServer::ReleaseDesk::Kind::Signed);
    CheckAndSettle(1);
    std::wstring arguments = Aux::Version::GetUpdaterArguments().str();
    EXPECT_NE(arguments.find(L" --size=" + size + L" "), std::wstring::npos) << arguments;
    EXPECT_NE(arguments.find(L" --sha256=" + sha256 + L" "), std::wstring::npos) << arguments;

    desk.SetKind(DevServer::ReleaseDesk::Kind::Oversized);
    CheckAndSettle(2);
    arguments = Aux::Version::GetUpdaterArguments().str();
    EXPECT_NE(arguments.find(L" --size=" + std::to_wstring(shelf.Get("installer")->size() - 1) + L" "),
              std::wstring::npos)
        << arguments;

    desk.SetKind(DevServer::ReleaseDesk::Kind::Swapped);
    CheckAndSettle(3);
    arguments = Aux::Version::GetUpdaterArguments().str();
    EXPECT_NE(arguments.find(L" --size=" + size + L" "), std::wstring::npos) << arguments;
    EXPECT_EQ(arguments.find(sha256), std::wstring::npos) << arguments;
}

}  // namespace
