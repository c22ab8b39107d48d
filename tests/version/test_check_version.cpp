// CCheckVersionMgr against a stand-in HTTPS service: the requests it sends,
// the comparison of versions, the signature and expiry every manifest must
// pass, what a manifest stores and announces, the fall-back to the kept
// manifest, and stale, forged, replayed or broken answers.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VersionRecorder.h"
#include "pelbo/account/UserConfig.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Path.h"
#include "pelbo/corekit/Text.h"
#include "devserver/ReleaseDesk.h"
#include "service/FakeHttpsService.h"
#include "support/TempDir.h"
#include "pelbo/version/CheckVersionMgr.h"
#include "pelbo/version/SignedManifest.h"
#include "pelbo/version/VersionApi.h"

namespace {

const wchar_t kDigest[] = L"00112233445566778899aabbccddeeff";
const wchar_t kSha256[] = L"00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
// Members every announced manifest carries besides the three announced.
const wchar_t kRest[] = L"\"sha256\":\"00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff\","
                        L"\"size\":4096,\"expires\":\"2099-01-01T00:00:00Z\"";

const std::wstring kManifest109 =
    L"{\"version\":\"1.0.0.9\",\"downloadUrl\":\"https://cdn.test/upgrade/pelbo-1.0.0.9.exe\","
    L"\"md5\":\"0123456789ABCDEF0123456789abcdef\",\"updateMsg\":[\"faster\",\"\x66F4\x7A33\x5B9A\"]," +
    std::wstring(kRest) + L"}";

std::wstring ManifestOf(const std::wstring& version, const std::wstring& url = L"https://h/i.exe",
                        const std::wstring& md5 = kDigest, const std::wstring& rest = kRest)
{
    return L"{\"version\":\"" + version + L"\",\"downloadUrl\":\"" + url + L"\",\"md5\":\"" + md5 + L"\"," + rest +
           L"}";
}

// The base64 signature of the text's UTF-8 bytes, by the local server's key
// (which test builds trust) or another.
std::wstring SignatureOf(const std::wstring& text, const std::string& key = DevServer::ReleaseDesk::ServerKey())
{
    return Util::Convert::Utf8_2_W(DevServer::ReleaseDesk::Sign(key, Util::Convert::W_2_Utf8(text)));
}

// Keeps a manifest on disk as a check that announced it would.
bool KeepManifest(const std::wstring& text)
{
    return CSignedManifest(Util::Convert::W_2_Utf8(text), Util::Convert::W_2_Utf8(SignatureOf(text))).Keep();
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

    // Sends a check and answers both of its requests: the manifest, and
    // its signature (by default a valid one of the manifest's text).
    void CheckAndAnswer(CCheckVersionMgr& mgr, const std::wstring& manifest, int completed = 1,
                        const std::wstring* signature = nullptr)
    {
        ASSERT_NE(mgr.CheckVersion(), 0);
        const size_t sent = m_https.SentRequests().size();
        ASSERT_GE(sent, 2u);
        ASSERT_TRUE(m_https.Deliver(sent - 2, manifest, completed));
        ASSERT_TRUE(m_https.Deliver(sent - 1, signature != nullptr ? *signature : SignatureOf(manifest), completed));
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

TEST(SignedManifestTest, ExpiryTimesAreStrictUtc)
{
    EXPECT_EQ(CSignedManifest::ParseUtcTime("1970-01-01T00:00:00Z"), 0);
    EXPECT_EQ(CSignedManifest::ParseUtcTime("2000-03-01T00:00:01Z"), 951868801);
    EXPECT_EQ(CSignedManifest::ParseUtcTime("2024-02-29T23:59:59Z"), 1709251199);
    for (const char* wrong : {"2023-02-29T00:00:00Z", "2026-13-01T00:00:00Z", "2026-04-31T00:00:00Z",
                              "2026-01-01T24:00:00Z", "2026-01-01 00:00:00Z", "2026-01-01T00:00:00",
                              "2026-01-01T00:00:00+01:00", "2026-1-01T00:00:00Z", "", "tomorrow"})
        EXPECT_FALSE(CSignedManifest::ParseUtcTime(wrong)) << wrong;
}

TEST_F(CheckVersionTest, RequestsAreGetsOfTheManifestAndItsSignature)
{
    CCheckVersionMgr mgr;
    EXPECT_EQ(mgr.RequestId(), 0u);
    ASSERT_NE(mgr.CheckVersion(), 0);
    const auto sent = m_https.SentRequests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].info.strUrl, L"https://cdn.test/upgrade/pelbo-version.json");
    EXPECT_EQ(sent[1].info.strUrl, L"https://cdn.test/upgrade/pelbo-version.json.sig");
    for (const auto& request : sent) {
        EXPECT_EQ(request.info.nMethod, 2);
        EXPECT_EQ(request.info.nOption1, 7);
        EXPECT_TRUE(request.info.strContent.empty());
        EXPECT_TRUE(request.info.mapHeaders.empty()) << "no token goes to the manifest's host";
    }
    EXPECT_EQ(mgr.RequestId(), sent[0].id);
    EXPECT_EQ(mgr.SignatureRequestId(), sent[1].id);

    m_https.accept = false;
    EXPECT_EQ(mgr.CheckVersion(), 0);
    EXPECT_EQ(mgr.RequestId(), 0u);
}

TEST_F(CheckVersionTest, NewerManifestIsRememberedAndAnnouncedOnce)
{
    EXPECT_TRUE(Aux::Version::GetUpdateMsg().empty());
    CCheckVersionMgr mgr;
    // The signature alone arriving first decides nothing.
    ASSERT_NE(mgr.CheckVersion(), 0);
    ASSERT_TRUE(m_https.Deliver(1, SignatureOf(kManifest109), 1));
    EXPECT_TRUE(m_recorder.Updates().empty());
    ASSERT_TRUE(m_https.Deliver(0, kManifest109, 1));
    const auto updates = m_recorder.Updates();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].version, L"1.0.0.9");
    EXPECT_EQ(updates[0].url, L"https://cdn.test/upgrade/pelbo-1.0.0.9.exe");
    EXPECT_EQ(updates[0].md5, L"0123456789ABCDEF0123456789abcdef");
    EXPECT_EQ(Aux::UserConfig::GetPelboVer(), L"1.0.0.9");
    EXPECT_EQ(Aux::UserConfig::GetVersionJson().str(), kManifest109.substr(0, 259));
    EXPECT_EQ(mgr.GetUpdateMsg(), (std::vector<CStringW>{L"faster", L"\x66F4\x7A33\x5B9A"}));
    EXPECT_EQ(mgr.UpdaterArguments().str(),
              L"--version=1009 --url=https://cdn.test/upgrade/pelbo-1.0.0.9.exe "
              L"--md5=0123456789ABCDEF0123456789abcdef --size=4096 --sha256=" + std::wstring(kSha256) +
                  L" --installed-version=1008");
    const auto kept = CSignedManifest::LoadKept();
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->Bytes(), Util::Convert::W_2_Utf8(kManifest109)) << "kept byte for byte";
}

TEST_F(CheckVersionTest, ManifestThatIsNotNewerStoresNothing)
{
    CCheckVersionMgr mgr;
    for (const wchar_t* version : {L"1.0.0.8", L"1.0.0.7", L"1.0.9", L"1.0.0.9.1", L"1.0.0.x"}) {
        SCOPED_TRACE(version);
        CheckAndAnswer(mgr, ManifestOf(version, L"https://h/i.exe", L"abc",
                                       std::wstring(kRest) + L",\"updateMsg\":[\"n\"]"));
        EXPECT_EQ(mgr.Version(), version) << "the values read are kept";
        EXPECT_EQ(mgr.GetUpdateMsg(), std::vector<CStringW>{L"n"});
    }
    EXPECT_TRUE(m_recorder.Updates().empty());
    EXPECT_TRUE(Aux::UserConfig::GetPelboVer().IsEmpty());
    EXPECT_TRUE(Aux::UserConfig::GetVersionJson().IsEmpty());
    EXPECT_FALSE(CSignedManifest::LoadKept());
    EXPECT_TRUE(mgr.UpdaterArguments().IsEmpty());
}

TEST_F(CheckVersionTest, SignedTextThatIsNotAManifestChangesNothing)
{
    CCheckVersionMgr mgr;
    CheckAndAnswer(mgr, kManifest109);
    ASSERT_EQ(m_recorder.Updates().size(), 1u);
    for (const wchar_t* text : {L"<html>404</html>", L"{\"version\":\"1.0.0.9\"", L"[\"1.0.0.9\"]",
                                L"version=1.0.0.9"}) {
        SCOPED_TRACE(text);
        CheckAndAnswer(mgr, text);
        EXPECT_EQ(mgr.Version(), L"1.0.0.9");
        EXPECT_EQ(mgr.GetUpdateMsg().size(), 2u);
    }
    EXPECT_EQ(m_recorder.Updates().size(), 1u);
}

// A manifest that cannot be proven to be the publisher's is treated as a
// failed request: the kept one is announced again, the forged one never.
TEST_F(CheckVersionTest, ForgedOrUnsignedManifestsFallBackToTheKeptOne)
{
    CCheckVersionMgr mgr;
    CheckAndAnswer(mgr, kManifest109);
    const std::wstring forged = ManifestOf(L"1.0.0.10", L"https://evil.test/i.exe");
    const std::wstring valid = SignatureOf(forged);
    const std::wstring otherText = SignatureOf(kManifest109);
    const std::wstring otherKey = SignatureOf(forged, "nWGxne/9WmC6hEr0kuwsxERJxWl7MmkZcDusAxyuf2A=");
    const std::wstring truncated = valid.substr(0, valid.size() - 4);
    const std::wstring flipped = (valid[0] == L'A' ? L"B" : L"A") + valid.substr(1);
    const std::wstring empty;
    const std::wstring* signatures[] = {&otherText, &otherKey, &truncated, &flipped, &empty};
    for (const std::wstring* signature : signatures) {
        SCOPED_TRACE(*signature);
        CheckAndAnswer(mgr, forged, 1, signature);
    }
    // The signature cannot be fetched; the manifest changed after signing.
    ASSERT_NE(mgr.CheckVersion(), 0);
    ASSERT_TRUE(m_https.Deliver(m_https.SentRequests().size() - 2, forged, 1));
    ASSERT_TRUE(m_https.Deliver(m_https.SentRequests().size() - 1, L"<html>404</html>", 0));
    std::wstring tampered = kManifest109;
    tampered.replace(tampered.find(L"cdn.test"), 8, L"evl.test");
    const std::wstring original = SignatureOf(kManifest109);
    CheckAndAnswer(mgr, tampered, 1, &original);

    const auto updates = m_recorder.Updates();
    ASSERT_EQ(updates.size(), 8u);
    for (const auto& update : updates) {
        EXPECT_EQ(update.version, L"1.0.0.9");
        EXPECT_EQ(update.url, L"https://cdn.test/upgrade/pelbo-1.0.0.9.exe");
    }
    EXPECT_EQ(Aux::UserConfig::GetPelboVer(), L"1.0.0.9");
    EXPECT_EQ(mgr.Version(), L"1.0.0.9") << "a forged manifest sets no value";
}

// An old signed manifest served again must not hold the client on an old
// release: an expired one is a failed request, and so is one older than a
// release announced before; the kept copy also stops with its expiry.
TEST_F(CheckVersionTest, ExpiredOrReplayedManifestsAreNotBelieved)
{
    CCheckVersionMgr mgr;
    CheckAndAnswer(mgr, ManifestOf(L"1.0.0.10"));
    ASSERT_EQ(m_recorder.Updates().size(), 1u);
    CheckAndAnswer(mgr, ManifestOf(L"1.0.0.9"));
    CheckAndAnswer(mgr, ManifestOf(L"1.0.0.11", L"https://h/i.exe", kDigest,
                                   L"\"sha256\":\"" + std::wstring(kSha256) +
                                       L"\",\"size\":1,\"expires\":\"2001-01-01T00:00:00Z\""));
    CheckAndAnswer(mgr, ManifestOf(L"1.0.0.11", L"https://h/i.exe", kDigest,
                                   L"\"sha256\":\"" + std::wstring(kSha256) + L"\",\"size\":1"));
    auto updates = m_recorder.Updates();
    ASSERT_EQ(updates.size(), 4u);
    for (const auto& update : updates)
        EXPECT_EQ(update.version, L"1.0.0.10");
    EXPECT_EQ(Aux::UserConfig::GetPelboVer(), L"1.0.0.10");

    const std::wstring expired = ManifestOf(L"1.0.0.10", L"https://h/i.exe", kDigest,
                                            L"\"sha256\":\"" + std::wstring(kSha256) +
                                                L"\",\"size\":1,\"expires\":\"2020-06-01T00:00:00Z\"");
    ASSERT_TRUE(KeepManifest(expired));
    CheckAndAnswer(mgr, L"", 0);
    EXPECT_EQ(m_recorder.Updates().size(), 4u) << "an expired kept manifest is not announced";
}

// The configuration file's "Pelbo_Ver" may have been set by an unsigned
// manifest of an earlier client: it never holds a signed release back.
TEST_F(CheckVersionTest, AnUnprovenNewestVersionDoesNotBlockSignedReleases)
{
    Aux::UserConfig::SetPelboVer(L"9.9.9.9");
    CCheckVersionMgr mgr;
    CheckAndAnswer(mgr, ManifestOf(L"1.0.0.9"));
    ASSERT_EQ(m_recorder.Updates().size(), 1u);
    EXPECT_EQ(Aux::UserConfig::GetPelboVer(), L"1.0.0.9");
}

TEST_F(CheckVersionTest, OddMembersReadAsEmptyAndAnnounceNothing)
{
    CCheckVersionMgr mgr;
    // A version that is a number, an address that is missing, notes that
    // are not all strings.
    CheckAndAnswer(mgr, L"{\"version\":1009,\"md5\":\"abc\",\"updateMsg\":[1,\"two\",null]," + std::wstring(kRest) + L"}");
    EXPECT_TRUE(mgr.Version().IsEmpty());
    EXPECT_EQ(mgr.GetUpdateMsg(), std::vector<CStringW>{L"two"});
    CheckAndAnswer(mgr, L"{\"version\":\"1.0.0.9\",\"md5\":\"abc\",\"updateMsg\":\"not a list\"," + std::wstring(kRest) + L"}");
    EXPECT_TRUE(mgr.GetUpdateMsg().empty());
    CheckAndAnswer(mgr, L"{\"version\":\"1.0.0.9\",\"downloadUrl\":\"https://h/i.exe\"," + std::wstring(kRest) + L"}");
    EXPECT_TRUE(m_recorder.Updates().empty()) << "no digest: nothing to install";
    EXPECT_TRUE(Aux::UserConfig::GetVersionJson().IsEmpty());
}

TEST_F(CheckVersionTest, FailedRequestFallsBackToTheKeptManifest)
{
    CCheckVersionMgr mgr;
    CheckAndAnswer(mgr, L"", 0);
    EXPECT_TRUE(m_recorder.Updates().empty()) << "nothing kept yet";

    // Longer than the configuration file gives back: the kept copy is whole.
    std::wstring notes;
    for (int i = 0; i < 20; ++i)
        notes += std::wstring(i == 0 ? L"" : L",") + L"\"release note number " + std::to_wstring(i) + L"\"";
    const std::wstring manifest = ManifestOf(L"1.0.0.9", L"https://cdn.test/upgrade/pelbo-1.0.0.9.exe",
                                             L"0123456789ABCDEF0123456789abcdef",
                                             std::wstring(kRest) + L",\"updateMsg\":[" + notes + L"]");
    CheckAndAnswer(mgr, manifest);
    CheckAndAnswer(mgr, L"<html>502 Bad Gateway</html>", 0);
    const auto updates = m_recorder.Updates();
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[1].version, L"1.0.0.9");
    EXPECT_EQ(updates[1].url, L"https://cdn.test/upgrade/pelbo-1.0.0.9.exe");
    EXPECT_EQ(updates[1].md5, L"0123456789ABCDEF0123456789abcdef");
    EXPECT_EQ(mgr.GetUpdateMsg().size(), 20u);
}

// The configuration file keeps one value per line. A manifest with line
// breaks (a trailing one is enough) is remembered there on one line that
// reads back as the same values, for the client that reads it.
TEST_F(CheckVersionTest, ManifestWithLineBreaksIsRememberedOnOneLine)
{
    const std::wstring manifest = L"{\r\n \"version\": \"1.0.0.9\", // newest\r\n"
                                  L" \"downloadUrl\": \"https://h/i.exe\",\n"
                                  L" /* digest\n of the installer */ \"md5\": \"" +
                                  std::wstring(kDigest) + L"\",\n \"updateMsg\": [\"two\nlines\"]," + kRest + L"\n}\n";
    CCheckVersionMgr mgr;
    CheckAndAnswer(mgr, manifest);
    ASSERT_EQ(m_recorder.Updates().size(), 1u);
    EXPECT_EQ(Aux::UserConfig::GetVersionJson().str(),
              (L"{   \"version\": \"1.0.0.9\",    \"downloadUrl\": \"https://h/i.exe\",  /* digest  of the "
               L"installer */ \"md5\": \"" + std::wstring(kDigest) + L"\",  \"updateMsg\": [\"two\\nlines\"]," +
               kRest + L" } ")
                  .substr(0, 259));

    CheckAndAnswer(mgr, L"", 0);
    const auto updates = m_recorder.Updates();
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[1].md5, kDigest);
    EXPECT_EQ(mgr.GetUpdateMsg(), (std::vector<CStringW>{L"two\nlines"}));
}

// "Pelbo_Ver" names the newest release announced. When the manifest that
// announced it could not be kept, the one still kept is of an older release
// and is not offered again.
TEST_F(CheckVersionTest, KeptManifestOfAnotherReleaseIsNotAnnounced)
{
    ASSERT_TRUE(KeepManifest(ManifestOf(L"1.0.0.9")));
    Aux::UserConfig::SetPelboVer(L"1.0.0.10");
    CCheckVersionMgr mgr;
    CheckAndAnswer(mgr, L"", 0);
    EXPECT_TRUE(m_recorder.Updates().empty());
    EXPECT_EQ(Aux::UserConfig::GetPelboVer(), L"1.0.0.10") << "a fall-back stores nothing";

    Aux::UserConfig::SetPelboVer(L"1.0.0.9");
    CheckAndAnswer(mgr, L"", 0);
    EXPECT_EQ(m_recorder.Updates().size(), 1u) << "a matching pair is announced again";
}

// The address, the digests and the size go onto the updater's command line
// and decide what it downloads and trusts. Only a plain http(s) address,
// whole digests and a size are announced; anything else is neither announced
// nor remembered, even when signed.
TEST_F(CheckVersionTest, InstallerValuesThatCouldMisleadTheUpdaterAreRefused)
{
    const std::wstring sha = L"\"sha256\":\"" + std::wstring(kSha256) + L"\",";
    const std::wstring expires = L"\"expires\":\"2099-01-01T00:00:00Z\"";
    const std::tuple<std::wstring, std::wstring, std::wstring> refused[] = {
        {L"https://h/i.exe --root=/x", kDigest, kRest},
        {L"https://h/i.exe\t--root=/x", kDigest, kRest},
        {L"https://h/i.exe\\\" --root=/x", kDigest, kRest},
        {L"file:///etc/passwd", kDigest, kRest},
        {L"ftp://h/i.exe", kDigest, kRest},
        {L"//h/i.exe", kDigest, kRest},
        {L"http://", kDigest, kRest},
        {L"https:///i.exe", kDigest, kRest},
        {L"https://h/\x00e9.exe", kDigest, kRest},
        {L"https://h/i.exe", L"abc", kRest},
        {L"https://h/i.exe", std::wstring(kDigest) + L"0", kRest},
        {L"https://h/i.exe", L"00112233445566778899aabbccddeefg", kRest},
        {L"https://h/i.exe", L" 0112233445566778899aabbccddeeff", kRest},
        {L"https://h/i.exe", kDigest, L"\"sha256\":\"abc\",\"size\":1," + expires},
        {L"https://h/i.exe", kDigest, L"\"size\":1," + expires},
        {L"https://h/i.exe", kDigest, sha + L"\"size\":0," + expires},
        {L"https://h/i.exe", kDigest, sha + L"\"size\":\"4096\"," + expires},
        {L"https://h/i.exe", kDigest, sha + L"\"size\":-1," + expires},
        {L"https://h/i.exe", kDigest, sha + expires},
    };
    CCheckVersionMgr mgr;
    for (const auto& values : refused) {
        SCOPED_TRACE(std::get<0>(values) + L" " + std::get<1>(values) + L" " + std::get<2>(values));
        CheckAndAnswer(mgr, ManifestOf(L"1.0.0.9", std::get<0>(values), std::get<1>(values), std::get<2>(values)));
        EXPECT_EQ(mgr.Version(), L"1.0.0.9");
    }
    EXPECT_TRUE(m_recorder.Updates().empty());
    EXPECT_TRUE(Aux::UserConfig::GetVersionJson().IsEmpty());
    EXPECT_TRUE(Aux::UserConfig::GetPelboVer().IsEmpty());

    // A kept manifest is checked again when read back.
    ASSERT_TRUE(KeepManifest(ManifestOf(L"1.0.0.9", L"file:///tmp/i.exe")));
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
    EXPECT_EQ(m_https.SentRequests()[sent].info.strUrl, L"http://cdn.test/upgrade/pelbo-version.json");
    ASSERT_EQ(m_recorder.Updates().size(), 1u);
    EXPECT_EQ(m_recorder.Updates()[0].url, L"http://h/i.exe");
}

TEST_F(CheckVersionTest, OnlyTheLatestRequestsAreAnswered)
{
    CCheckVersionMgr mgr;
    ASSERT_NE(mgr.CheckVersion(), 0);
    ASSERT_NE(mgr.CheckVersion(), 0);
    const auto sent = m_https.SentRequests();
    ASSERT_EQ(sent.size(), 4u);
    // The first answers arrive late anyway (the service had them in flight).
    const std::wstring stale = ManifestOf(L"1.0.0.11");
    ASSERT_TRUE(m_https.Deliver(0, stale, 1));
    ASSERT_TRUE(m_https.Deliver(1, SignatureOf(stale), 1));
    EXPECT_TRUE(m_recorder.Updates().empty());
    EXPECT_TRUE(mgr.Version().IsEmpty());
    // Nor does a stale signature complete the current check.
    const std::wstring current = ManifestOf(L"1.0.0.12");
    ASSERT_TRUE(m_https.Deliver(2, current, 1));
    ASSERT_TRUE(m_https.DeliverAs(3, sent[1].id, SignatureOf(current), 1));
    EXPECT_TRUE(m_recorder.Updates().empty());
    ASSERT_TRUE(m_https.Deliver(3, SignatureOf(current), 1));
    ASSERT_EQ(m_recorder.Updates().size(), 1u);
    EXPECT_EQ(m_recorder.Updates()[0].version, L"1.0.0.12");
    // An answer under an identifier nobody sent.
    ASSERT_TRUE(m_https.DeliverAs(2, 7777, ManifestOf(L"1.0.0.13"), 1));
    EXPECT_EQ(m_recorder.Updates().size(), 1u);
}

TEST_F(CheckVersionTest, ExportedFamilyChecksAndExitDetaches)
{
    EXPECT_EQ(Aux::Version::StartPelboUpdate(), 0);
    Aux::Version::CheckVersion();
    ASSERT_EQ(m_https.SentRequests().size(), 4u);
    ASSERT_TRUE(m_https.Deliver(2, kManifest109, 1));
    ASSERT_TRUE(m_https.Deliver(3, SignatureOf(kManifest109), 1));
    EXPECT_EQ(Aux::Version::GetUpdateMsg().size(), 2u);
    EXPECT_EQ(m_recorder.Updates().size(), 1u);
    EXPECT_EQ(Aux::Version::GetUpdaterArguments().Left(20), L"--version=1009 --url");

    Aux::Version::CheckVersion();
    Aux::Version::DoExit();
    EXPECT_FALSE(m_https.Deliver(4, kManifest109, 1)) << "nothing reaches a manager that is gone";
    EXPECT_TRUE(Aux::Version::GetUpdateMsg().empty()) << "a fresh manager knows no manifest";
    EXPECT_TRUE(Aux::Version::GetUpdaterArguments().IsEmpty());
    EXPECT_EQ(m_https.SentRequests().size(), 6u) << "reading the notes sends nothing";
}

TEST(UpdaterVersionNumberTest, PartsWrittenOneAfterAnother)
{
    EXPECT_EQ(CCheckVersionMgr::UpdaterVersionNumber(L"1.0.0.9"), 1009u);
    EXPECT_EQ(CCheckVersionMgr::UpdaterVersionNumber(L"1.0.0.10"), 10010u);
    EXPECT_EQ(CCheckVersionMgr::UpdaterVersionNumber(L"0.0.1.2"), 12u);
    EXPECT_EQ(CCheckVersionMgr::UpdaterVersionNumber(L"1.0.9"), 0u);
    EXPECT_EQ(CCheckVersionMgr::UpdaterVersionNumber(L"1.0.0.-9"), 0u);
    EXPECT_EQ(CCheckVersionMgr::UpdaterVersionNumber(L"99999.0.0.99999"), 0u) << "beyond what the updater reads";
}

}  // namespace
