// CCheckVersionMgr against a stand-in HTTPS service: the request it sends,
// the comparison of versions, what a manifest stores and announces, the
// fall-back to the remembered manifest, and stale or broken answers.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VersionRecorder.h"
#include "account/UserConfig.h"
#include "corekit/HttpSettings.h"
#include "corekit/Path.h"
#include "service/FakeHttpsService.h"
#include "support/TempDir.h"
#include "version/CheckVersionMgr.h"
#include "version/VersionApi.h"

namespace {

const wchar_t kManifest109[] =
    L"{\"version\":\"1.0.0.9\",\"downloadUrl\":\"https://cdn.test/upgrade/pelbo-1.0.0.9.exe\","
    L"\"md5\":\"0123456789ABCDEF0123456789abcdef\",\"updateMsg\":[\"faster\",\"\x66F4\x7A33\x5B9A\"]}";

const wchar_t kDigest[] = L"00112233445566778899aabbccddeeff";

std::wstring ManifestOf(const std::wstring& version, const std::wstring& url = L"https://h/i.exe",
                        const std::wstring& md5 = kDigest)
{
    return L"{\"version\":\"" + version + L"\",\"downloadUrl\":\"" + url + L"\",\"md5\":\"" + md5 + L"\"}";
}

class CheckVersionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_root.Path().empty());
        Util::Path::SetRootFolder(m_root.Path().wstring().c_str());
        Http::SetManifestUrl(L"https://cdn.test/upgrade/pelbo-version.json");
    }

    void TearDown() override
    {
        Aux::Version::DoExit();
        Http::ResetSettings();
    }

    // Sends a check and answers it.
    void CheckAndAnswer(CCheckVersionMgr& mgr, const std::wstring& response, int completed = 1)
    {
        ASSERT_NE(mgr.CheckVersion(), 0);
        ASSERT_TRUE(m_https.Deliver(m_https.SentRequests().size() - 1, response, completed));
    }

    TestSupport::TempDir m_root;
    FakeHttpsService m_https;
    VersionRecorder m_recorder;
};

TEST(VersionCompareTest, FourPartsComparedAsNumbers)
{
    struct Case {
        const wchar_t* a;
        const wchar_t* b;
        bool newer;
    } cases[] = {
        {L"1.0.0.10", L"1.0.0.8", true},
        {L"1.0.1.0", L"1.0.0.8", true},
        {L"2.0.0.0", L"1.9.9.9", true},
        {L"1.0.0.8", L"1.0.0.8", false},
        {L"1.0.0.7", L"1.0.0.8", false},
        {L"0.9.9.99", L"1.0.0.8", false},
        {L"1.0.9", L"1.0.0.8", false},
        {L"1.0.0.9.1", L"1.0.0.8", false},
        {L"1.0.0.x", L"1.0.0.8", false},
        {L"1.0.0. +9", L"1.0.0.8", true},
        {L"1.0.0.9abc", L"1.0.0.8", true},
        {L"1.0.0.-9", L"1.0.0.8", false},
        {L"", L"1.0.0.8", false},
        {L"1..0.9", L"1.0.0.8", true},  // an empty part reads 0
        {L"1.0.0.9", L"1.0.8", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CCheckVersionMgr::IsNewer(c.a, c.b), c.newer) << c.a << " vs " << c.b;
}

TEST_F(CheckVersionTest, RequestIsAPlainGetOfTheConfiguredManifest)
{
    CCheckVersionMgr mgr;
    EXPECT_EQ(mgr.RequestId(), 0u);
    ASSERT_NE(mgr.CheckVersion(), 0);
    const auto sent = m_https.SentRequests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].info.strUrl, L"https://cdn.test/upgrade/pelbo-version.json");
    EXPECT_EQ(sent[0].info.nMethod, 2);
    EXPECT_EQ(sent[0].info.nOption1, 7);
    EXPECT_TRUE(sent[0].info.strContent.empty());
    EXPECT_TRUE(sent[0].info.mapHeaders.empty()) << "no token goes to the manifest's host";
    EXPECT_EQ(mgr.RequestId(), sent[0].id);

    m_https.accept = false;
    EXPECT_EQ(mgr.CheckVersion(), 0);
    EXPECT_EQ(mgr.RequestId(), 0u);
}

TEST_F(CheckVersionTest, NewerManifestIsRememberedAndAnnouncedOnce)
{
    EXPECT_TRUE(Aux::Version::GetUpdateMsg().empty());
    CCheckVersionMgr mgr;
    CheckAndAnswer(mgr, kManifest109);
    const auto updates = m_recorder.Updates();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].version, L"1.0.0.9");
    EXPECT_EQ(updates[0].url, L"https://cdn.test/upgrade/pelbo-1.0.0.9.exe");
    EXPECT_EQ(updates[0].md5, L"0123456789ABCDEF0123456789abcdef");
    EXPECT_EQ(Aux::UserConfig::GetPelboVer(), L"1.0.0.9");
    EXPECT_EQ(Aux::UserConfig::GetVersionJson(), kManifest109);
    EXPECT_EQ(mgr.GetUpdateMsg(), (std::vector<CStringW>{L"faster", L"\x66F4\x7A33\x5B9A"}));
}

TEST_F(CheckVersionTest, ManifestThatIsNotNewerStoresNothing)
{
    CCheckVersionMgr mgr;
    for (const wchar_t* version : {L"1.0.0.8", L"1.0.0.7", L"1.0.9", L"1.0.0.9.1", L"1.0.0.x"}) {
        SCOPED_TRACE(version);
        CheckAndAnswer(mgr, L"{\"version\":\"" + std::wstring(version) +
                                L"\",\"downloadUrl\":\"https://h/i.exe\",\"md5\":\"abc\",\"updateMsg\":[\"n\"]}");
        EXPECT_EQ(mgr.Version(), version) << "the values read are kept";
        EXPECT_EQ(mgr.GetUpdateMsg(), std::vector<CStringW>{L"n"});
    }
    EXPECT_TRUE(m_recorder.Updates().empty());
    EXPECT_TRUE(Aux::UserConfig::GetPelboVer().IsEmpty());
    EXPECT_TRUE(Aux::UserConfig::GetVersionJson().IsEmpty());
}

TEST_F(CheckVersionTest, BrokenManifestsChangeNothing)
{
    CCheckVersionMgr mgr;
    CheckAndAnswer(mgr, kManifest109);
    ASSERT_EQ(m_recorder.Updates().size(), 1u);
    for (const wchar_t* text : {L"", L"<html>404</html>", L"{\"version\":\"1.0.0.9\"", L"[\"1.0.0.9\"]",
                                L"version=1.0.0.9"}) {
        SCOPED_TRACE(text);
        CheckAndAnswer(mgr, text);
        EXPECT_EQ(mgr.Version(), L"1.0.0.9");
        EXPECT_EQ(mgr.GetUpdateMsg().size(), 2u);
    }
    EXPECT_EQ(m_recorder.Updates().size(), 1u);
    EXPECT_EQ(Aux::UserConfig::GetVersionJson(), kManifest109);
}

TEST_F(CheckVersionTest, OddMembersReadAsEmptyAndAnnounceNothing)
{
    CCheckVersionMgr mgr;
    // A version that is a number, an address that is missing, notes that
    // are not all strings.
    CheckAndAnswer(mgr, L"{\"version\":1009,\"md5\":\"abc\",\"updateMsg\":[1,\"two\",null]}");
    EXPECT_TRUE(mgr.Version().IsEmpty());
    EXPECT_EQ(mgr.GetUpdateMsg(), std::vector<CStringW>{L"two"});
    CheckAndAnswer(mgr, L"{\"version\":\"1.0.0.9\",\"md5\":\"abc\",\"updateMsg\":\"not a list\"}");
    EXPECT_TRUE(mgr.GetUpdateMsg().empty());
    CheckAndAnswer(mgr, L"{\"version\":\"1.0.0.9\",\"downloadUrl\":\"https://h/i.exe\"}");
    EXPECT_TRUE(m_recorder.Updates().empty()) << "no installer address or digest: nothing to install";
    EXPECT_TRUE(Aux::UserConfig::GetVersionJson().IsEmpty());
}

TEST_F(CheckVersionTest, FailedRequestFallsBackToTheRememberedManifest)
{
    CCheckVersionMgr mgr;
    CheckAndAnswer(mgr, L"", 0);
    EXPECT_TRUE(m_recorder.Updates().empty()) << "nothing remembered yet";

    CheckAndAnswer(mgr, kManifest109);
    CheckAndAnswer(mgr, L"<html>502 Bad Gateway</html>", 0);
    const auto updates = m_recorder.Updates();
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[1].version, L"1.0.0.9");
    EXPECT_EQ(updates[1].url, L"https://cdn.test/upgrade/pelbo-1.0.0.9.exe");
    EXPECT_EQ(updates[1].md5, L"0123456789ABCDEF0123456789abcdef");
}

TEST_F(CheckVersionTest, LongRememberedManifestIsNotAnnouncedAgain)
{
    // The configuration file gives text back as at most 259 characters, so
    // a longer manifest announces its release only while it can be fetched.
    std::wstring notes;
    for (int i = 0; i < 20; ++i)
        notes += std::wstring(i == 0 ? L"" : L",") + L"\"release note number " + std::to_wstring(i) + L"\"";
    const std::wstring longManifest =
        L"{\"version\":\"1.0.0.9\",\"downloadUrl\":\"https://h/i.exe\",\"md5\":\"" + std::wstring(kDigest) +
        L"\",\"updateMsg\":[" + notes + L"]}";
    ASSERT_GT(longManifest.size(), 259u);
    CCheckVersionMgr mgr;
    CheckAndAnswer(mgr, longManifest);
    ASSERT_EQ(m_recorder.Updates().size(), 1u);
    EXPECT_EQ(Aux::UserConfig::GetVersionJson().str(), longManifest.substr(0, 259));
    CheckAndAnswer(mgr, L"", 0);
    EXPECT_EQ(m_recorder.Updates().size(), 1u);
    EXPECT_EQ(mgr.GetUpdateMsg().size(), 20u) << "the values of the last manifest read stay";
}

// The configuration file keeps one value per line. A manifest with line
// breaks (a trailing one is enough) is remembered on one line that reads
// back as the same values, so a failed check announces it again.
TEST_F(CheckVersionTest, ManifestWithLineBreaksIsRememberedOnOneLine)
{
    const std::wstring manifest = L"{\r\n \"version\": \"1.0.0.9\", // newest\r\n"
                                  L" \"downloadUrl\": \"https://h/i.exe\",\n"
                                  L" /* digest\n of the installer */ \"md5\": \"" +
                                  std::wstring(kDigest) + L"\",\n \"updateMsg\": [\"two\nlines\", \"a \\\"b\\\"\"]\n}\n";
    CCheckVersionMgr mgr;
    CheckAndAnswer(mgr, manifest);
    ASSERT_EQ(m_recorder.Updates().size(), 1u);
    EXPECT_EQ(Aux::UserConfig::GetPelboVer(), L"1.0.0.9");
    EXPECT_EQ(Aux::UserConfig::GetVersionJson().str(),
              L"{   \"version\": \"1.0.0.9\",    \"downloadUrl\": \"https://h/i.exe\",  /* digest  of the "
              L"installer */ \"md5\": \"" + std::wstring(kDigest) +
                  L"\",  \"updateMsg\": [\"two\\nlines\", \"a \\\"b\\\"\"] } ")
        << "the file gives the value back as it was set, the last line break's blank included";

    CheckAndAnswer(mgr, L"", 0);
    const auto updates = m_recorder.Updates();
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[1].version, L"1.0.0.9");
    EXPECT_EQ(updates[1].url, L"https://h/i.exe");
    EXPECT_EQ(updates[1].md5, kDigest);
    EXPECT_EQ(mgr.GetUpdateMsg(), (std::vector<CStringW>{L"two\nlines", L"a \"b\""}));
}

TEST_F(CheckVersionTest, ManifestWithTextAfterItIsRememberedSoThatItReadsBack)
{
    // The parser stops after the document; on one line, the quote after it
    // would take the last line break into a string.
    CCheckVersionMgr mgr;
    CheckAndAnswer(mgr, ManifestOf(L"1.0.0.9") + L"\n\"\n}\n");
    ASSERT_EQ(m_recorder.Updates().size(), 1u);
    EXPECT_EQ(Aux::UserConfig::GetVersionJson().str(),
              L"{\"downloadUrl\":\"https://h/i.exe\",\"md5\":\"" + std::wstring(kDigest) +
                  L"\",\"version\":\"1.0.0.9\"}");

    CheckAndAnswer(mgr, L"", 0);
    const auto updates = m_recorder.Updates();
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[1].version, L"1.0.0.9");
    EXPECT_EQ(updates[1].md5, kDigest);
}

// "Pelbo_Ver" names the newest release announced. When the manifest that
// announced it could not be stored, the one still remembered is of an older
// release and is not offered again.
TEST_F(CheckVersionTest, RememberedManifestOfAnotherReleaseIsNotAnnounced)
{
    Aux::UserConfig::SetVersionJson(ManifestOf(L"1.0.0.9").c_str());
    Aux::UserConfig::SetPelboVer(L"1.0.0.10");
    CCheckVersionMgr mgr;
    CheckAndAnswer(mgr, L"", 0);
    EXPECT_TRUE(m_recorder.Updates().empty());
    EXPECT_EQ(Aux::UserConfig::GetPelboVer(), L"1.0.0.10") << "a fall-back stores nothing";

    Aux::UserConfig::SetPelboVer(L"1.0.0.9");
    CheckAndAnswer(mgr, L"", 0);
    EXPECT_EQ(m_recorder.Updates().size(), 1u) << "a matching pair is announced again";
}

// The address and the digest go onto the updater's command line and decide
// what it downloads and trusts. Only a plain http(s) address and a digest of
// 32 hex digits are announced; anything else is neither announced nor
// remembered, even when fetched or remembered as a newer release.
TEST_F(CheckVersionTest, InstallerValuesThatCouldMisleadTheUpdaterAreRefused)
{
    const std::pair<std::wstring, std::wstring> refused[] = {
        {L"https://h/i.exe --root=/x", kDigest},
        {L"https://h/i.exe\t--root=/x", kDigest},
        {L"https://h/i.exe\\\" --root=/x", kDigest},
        {L"file:///etc/passwd", kDigest},
        {L"ftp://h/i.exe", kDigest},
        {L"//h/i.exe", kDigest},
        {L"http://", kDigest},
        {L"https:///i.exe", kDigest},
        {L"https://h/\x00e9.exe", kDigest},
        {L"https://h/i.exe", L"abc"},
        {L"https://h/i.exe", std::wstring(kDigest) + L"0"},
        {L"https://h/i.exe", L"00112233445566778899aabbccddeefg"},
        {L"https://h/i.exe", L"00112233445566778899aabbccddeef "},
        {L"https://h/i.exe", L" 0112233445566778899aabbccddeeff"},
    };
    CCheckVersionMgr mgr;
    for (const auto& values : refused) {
        SCOPED_TRACE(values.first + L" " + values.second);
        CheckAndAnswer(mgr, ManifestOf(L"1.0.0.9", values.first, values.second));
        EXPECT_EQ(mgr.Version(), L"1.0.0.9");
    }
    EXPECT_TRUE(m_recorder.Updates().empty());
    EXPECT_TRUE(Aux::UserConfig::GetVersionJson().IsEmpty());
    EXPECT_TRUE(Aux::UserConfig::GetPelboVer().IsEmpty());

    // A manifest remembered before these rules were kept is checked too.
    Aux::UserConfig::SetVersionJson(ManifestOf(L"1.0.0.9", L"file:///tmp/i.exe").c_str());
    Aux::UserConfig::SetPelboVer(L"1.0.0.9");
    CheckAndAnswer(mgr, L"", 0);
    EXPECT_TRUE(m_recorder.Updates().empty());

    const std::wstring url = L"HTTPS://user@cdn.test:8443/up%20grade/i.exe?v=1&k=a-b_c~d#top";
    CheckAndAnswer(mgr, ManifestOf(L"1.0.0.9", url, L"00112233445566778899AABBCCDDEEFF"));
    ASSERT_EQ(m_recorder.Updates().size(), 1u);
    EXPECT_EQ(m_recorder.Updates()[0].url, url);
}

// Whoever can change what travels over plain http chooses what the updater
// installs: a manifest address or an installer address that is not https
// is refused unless the development switch allows it.
TEST_F(CheckVersionTest, PlainHttpIsRefusedUnlessTheDevelopmentSwitchAllowsIt)
{
    CCheckVersionMgr mgr;
    CheckAndAnswer(mgr, ManifestOf(L"1.0.0.9", L"http://h/i.exe"));
    EXPECT_TRUE(m_recorder.Updates().empty());
    EXPECT_TRUE(Aux::UserConfig::GetVersionJson().IsEmpty()) << "a refused manifest is not remembered";

    Http::SetManifestUrl(L"http://cdn.test/upgrade/pelbo-version.json");
    const size_t sent = m_https.SentRequests().size();
    EXPECT_EQ(mgr.CheckVersion(), 0);
    EXPECT_EQ(m_https.SentRequests().size(), sent) << "nothing is asked of a plain http manifest address";

    Http::SetAllowHttpUpdates(1);
    CheckAndAnswer(mgr, ManifestOf(L"1.0.0.9", L"http://h/i.exe"));
    EXPECT_EQ(m_https.SentRequests().back().info.strUrl, L"http://cdn.test/upgrade/pelbo-version.json");
    ASSERT_EQ(m_recorder.Updates().size(), 1u);
    EXPECT_EQ(m_recorder.Updates()[0].url, L"http://h/i.exe");
}

TEST_F(CheckVersionTest, OnlyTheLatestRequestIsAnswered)
{
    CCheckVersionMgr mgr;
    ASSERT_NE(mgr.CheckVersion(), 0);
    ASSERT_NE(mgr.CheckVersion(), 0);
    const auto sent = m_https.SentRequests();
    ASSERT_EQ(sent.size(), 2u);
    // The first answer arrives late anyway (the service had it in flight).
    ASSERT_TRUE(m_https.Deliver(0, ManifestOf(L"1.0.0.11"), 1));
    EXPECT_TRUE(m_recorder.Updates().empty());
    EXPECT_TRUE(mgr.Version().IsEmpty());
    ASSERT_TRUE(m_https.Deliver(1, ManifestOf(L"1.0.0.12"), 1));
    ASSERT_EQ(m_recorder.Updates().size(), 1u);
    EXPECT_EQ(m_recorder.Updates()[0].version, L"1.0.0.12");
    // An answer under an identifier nobody sent.
    ASSERT_TRUE(m_https.DeliverAs(1, 7777, ManifestOf(L"1.0.0.13"), 1));
    EXPECT_EQ(m_recorder.Updates().size(), 1u);
}

TEST_F(CheckVersionTest, ExportedFamilyChecksAndExitDetaches)
{
    EXPECT_EQ(Aux::Version::StartPelboUpdate(), 0);
    Aux::Version::CheckVersion();
    ASSERT_EQ(m_https.SentRequests().size(), 2u);
    ASSERT_TRUE(m_https.Deliver(1, kManifest109, 1));
    EXPECT_EQ(Aux::Version::GetUpdateMsg().size(), 2u);
    EXPECT_EQ(m_recorder.Updates().size(), 1u);

    Aux::Version::CheckVersion();
    Aux::Version::DoExit();
    EXPECT_FALSE(m_https.Deliver(2, kManifest109, 1)) << "nothing reaches a manager that is gone";
    EXPECT_TRUE(Aux::Version::GetUpdateMsg().empty()) << "a fresh manager knows no manifest";
    EXPECT_EQ(m_https.SentRequests().size(), 3u) << "reading the notes sends nothing";
}

}  // namespace
