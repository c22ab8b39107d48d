#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "TempRoot.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Log.h"

namespace fs = std::filesystem;

namespace {

void WriteFile(const fs::path& file, const std::string& text)
{
    std::ofstream(file, std::ios::binary) << text;
}

// The first test to touch the settings sees the lazy read of the file in the
// data folder; it must run before anything else reads a value.
TEST(SettingsFirstUse, TheFileInTheDataFolderIsReadOnFirstUse)
{
    TempRoot root;
    WriteFile(root.Path() / "ServiceSettings.ini",
              "[Service]\nrest_url = http://rest.example.test:81\nconnect_timeout_ms=1500\n");
    EXPECT_EQ(Http::GetHttpUrlHead(), L"http://rest.example.test:81");
    EXPECT_EQ(Http::GetConnectTimeoutMs(), 1500u);
    // Read once: a later change of the file is seen only on request.
    WriteFile(root.Path() / "ServiceSettings.ini", "[Service]\nrest_url=http://other\n");
    EXPECT_EQ(Http::GetHttpUrlHead(), L"http://rest.example.test:81");
    EXPECT_NE(Http::LoadSettingsFile(nullptr), 0);
    EXPECT_EQ(Http::GetHttpUrlHead(), L"http://other");
    Http::ResetSettings();
}

TEST(Settings, DefaultsAreLocalPlaceholders)
{
    Http::ResetSettings();
    EXPECT_EQ(Http::GetHttpUrlHead(), L"https://127.0.0.1:8443");
    EXPECT_EQ(Http::GetWSSUrl(), L"wss://127.0.0.1:8443/ws");
    EXPECT_EQ(Http::GetManifestUrl(), L"https://127.0.0.1:8443/upgrade/pelbo-version.json");
    EXPECT_EQ(Http::GetAllowHttpUpdates(), 0);
    EXPECT_EQ(Http::GetOssDomainSuffix(), L".localhost:9000");
    EXPECT_EQ(Http::GetOssPathStyle(), 1);
    EXPECT_EQ(Http::GetCaBundle(), L"");
    EXPECT_EQ(Http::GetConnectTimeoutMs(), 10000u);
    EXPECT_EQ(Http::GetRequestTimeoutMs(), 30000u);
}

TEST(Settings, SettersReplaceValuesUntilReset)
{
    Http::ResetSettings();
    Http::SetHttpUrlHead(L"http://127.0.0.1:5000");
    Http::SetWSSUrl(L"ws://127.0.0.1:5000/ws");
    Http::SetManifestUrl(L"http://127.0.0.1:5000/m.json");
    Http::SetOssDomainSuffix(L".s3.local:9");
    Http::SetOssPathStyle(7);
    Http::SetCaBundle(L"/etc/ca.pem");
    Http::SetConnectTimeoutMs(1);
    Http::SetRequestTimeoutMs(2);
    EXPECT_EQ(Http::GetHttpUrlHead(), L"http://127.0.0.1:5000");
    EXPECT_EQ(Http::GetWSSUrl(), L"ws://127.0.0.1:5000/ws");
    EXPECT_EQ(Http::GetManifestUrl(), L"http://127.0.0.1:5000/m.json");
    EXPECT_EQ(Http::GetOssDomainSuffix(), L".s3.local:9");
    EXPECT_EQ(Http::GetOssPathStyle(), 1);
    EXPECT_EQ(Http::GetCaBundle(), L"/etc/ca.pem");
    EXPECT_EQ(Http::GetConnectTimeoutMs(), 1u);
    EXPECT_EQ(Http::GetRequestTimeoutMs(), 2u);
    EXPECT_EQ(Http::GetOssScheme(), L"http");
    EXPECT_NE(Http::SetOssScheme(L"Https"), 0);
    for (const wchar_t* refused : {L"ftp", L"https:", L"", static_cast<const wchar_t*>(nullptr)})
        EXPECT_EQ(Http::SetOssScheme(refused), 0);
    EXPECT_EQ(Http::GetOssScheme(), L"https");
    Http::SetHttpUrlHead(nullptr);
    EXPECT_EQ(Http::GetHttpUrlHead(), L"");
    Http::ResetSettings();
    EXPECT_EQ(Http::GetHttpUrlHead(), L"https://127.0.0.1:8443");
    EXPECT_EQ(Http::GetOssScheme(), L"http");
    EXPECT_EQ(Http::GetRequestTimeoutMs(), 30000u);
}

TEST(Settings, ParsesTheServiceSectionOnly)
{
    TempRoot root;
    WriteFile(root.Path() / "s.ini",
              "\xEF\xBB\xBF; comment\r\n"
              "# another comment\r\n"
              "[Other]\r\n"
              "rest_url=http://wrong\r\n"
              "[ SERVICE ]\r\n"
              "  REST_URL =  \"https://api.example.test\"  \r\n"
              "wss_url=wss://api.example.test/ws?x=1\r\n"
              "manifest_url=http://cdn.example.test/upgrade/pelbo-version.json\r\n"
              "oss_domain_suffix=.oss.example.test\r\n"
              "oss_path_style=false\r\n"
              "oss_scheme=HTTPS\r\n"
              "allow_http_updates=yes\r\n"
              "ca_bundle=/srv/ca \xe4\xb8\xad.pem\r\n"
              "connect_timeout_ms=2500\r\n"
              "request_timeout_ms=60000\r\n"
              "[Later]\r\n"
              "wss_url=ws://wrong\r\n");
    Http::ResetSettings();
    EXPECT_NE(Http::LoadSettingsFile((root.Wide() + L"/s.ini").c_str()), 0);
    EXPECT_EQ(Http::GetHttpUrlHead(), L"https://api.example.test");
    EXPECT_EQ(Http::GetWSSUrl(), L"wss://api.example.test/ws?x=1");
    EXPECT_EQ(Http::GetManifestUrl(), L"http://cdn.example.test/upgrade/pelbo-version.json");
    EXPECT_EQ(Http::GetOssDomainSuffix(), L".oss.example.test");
    EXPECT_EQ(Http::GetOssPathStyle(), 0);
    EXPECT_EQ(Http::GetOssScheme(), L"https");
    EXPECT_EQ(Http::GetAllowHttpUpdates(), 1);
    EXPECT_EQ(Http::GetCaBundle(), L"/srv/ca \u4e2d.pem");
    EXPECT_EQ(Http::GetConnectTimeoutMs(), 2500u);
    EXPECT_EQ(Http::GetRequestTimeoutMs(), 60000u);
    Http::ResetSettings();
}

TEST(Settings, UpdatesComeOverHttpsUnlessTheSwitchAllowsHttp)
{
    Http::ResetSettings();
    EXPECT_NE(Http::IsUpdateAddressAllowed(L"https://cdn.example.test/i.exe"), 0);
    EXPECT_NE(Http::IsUpdateAddressAllowed(L"HTTPS://cdn.example.test/i.exe"), 0);
    for (const wchar_t* refused : {L"http://cdn.example.test/i.exe", L"HTTP://cdn.example.test/i.exe",
                                   L"ftp://cdn.example.test/i.exe", L"file:///tmp/i.exe", L"https:/x", L"", L"https"})
        EXPECT_EQ(Http::IsUpdateAddressAllowed(refused), 0) << refused;
    EXPECT_EQ(Http::IsUpdateAddressAllowed(nullptr), 0);
    Http::SetAllowHttpUpdates(5);
    EXPECT_EQ(Http::GetAllowHttpUpdates(), 1);
    EXPECT_NE(Http::IsUpdateAddressAllowed(L"http://cdn.example.test/i.exe"), 0);
    EXPECT_EQ(Http::IsUpdateAddressAllowed(L"ftp://cdn.example.test/i.exe"), 0);
    Http::ResetSettings();
    EXPECT_EQ(Http::GetAllowHttpUpdates(), 0);
}

TEST(Settings, BadValuesAndUnknownKeysAreIgnored)
{
    TempRoot root;
    WriteFile(root.Path() / "bad.ini",
              "[Service]\n"
              "connect_timeout_ms=-5\n"
              "request_timeout_ms=99999999999\n"
              "oss_path_style=maybe\n"
              "oss_scheme=ftp\n"
              "no equals sign here\n"
              "unknown_key=1\n"
              "wss_url=ws://kept\n");
    Http::ResetSettings();
    EXPECT_NE(Http::LoadSettingsFile((root.Wide() + L"/bad.ini").c_str()), 0);
    EXPECT_EQ(Http::GetConnectTimeoutMs(), 10000u);
    EXPECT_EQ(Http::GetRequestTimeoutMs(), 30000u);
    EXPECT_EQ(Http::GetOssPathStyle(), 1);
    EXPECT_EQ(Http::GetOssScheme(), L"http");
    EXPECT_EQ(Http::GetWSSUrl(), L"ws://kept");
    Http::ResetSettings();
}

// 0 would mean "never time out"; the ends of each range are taken, a value
// beyond them gives the default (not the value in effect before) and a line
// in the log.
TEST(Settings, TimeoutsOutsideTheirRangeGiveTheDefault)
{
    TempRoot root;
    Util::Log::Close();  // the next line opens the log under this root
    const struct {
        const char* line;
        unsigned connectMs;
        unsigned requestMs;
    } cases[] = {
        {"connect_timeout_ms=0", 10000, 7777},      {"connect_timeout_ms=499", 10000, 7777},
        {"connect_timeout_ms=500", 500, 7777},      {"connect_timeout_ms=120000", 120000, 7777},
        {"connect_timeout_ms=120001", 10000, 7777}, {"request_timeout_ms=0", 7777, 30000},
        {"request_timeout_ms=999", 7777, 30000},    {"request_timeout_ms=1000", 7777, 1000},
        {"request_timeout_ms=600000", 7777, 600000}, {"request_timeout_ms=600001", 7777, 30000},
    };
    const fs::path file = root.Path() / "t.ini";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        WriteFile(file, std::string("[Service]\n") + c.line + "\n");
        Http::ResetSettings();
        Http::SetConnectTimeoutMs(7777);
        Http::SetRequestTimeoutMs(7777);
        EXPECT_NE(Http::LoadSettingsFile((root.Wide() + L"/t.ini").c_str()), 0);
        EXPECT_EQ(Http::GetConnectTimeoutMs(), c.connectMs);
        EXPECT_EQ(Http::GetRequestTimeoutMs(), c.requestMs);
    }
    std::ifstream log(fs::u8path(ToMultiByte(Util::Log::GetLogFilePath().c_str(), CP_UTF8)));
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("(request_timeout_ms): out of range 1000..600000, default 30000 used"), std::string::npos);

    // Set in code, 0 means the default too.
    Http::SetConnectTimeoutMs(0);
    Http::SetRequestTimeoutMs(0);
    EXPECT_EQ(Http::GetConnectTimeoutMs(), 10000u);
    EXPECT_EQ(Http::GetRequestTimeoutMs(), 30000u);
    Http::ResetSettings();
}

TEST(Settings, AFifoInPlaceOfTheFileIsNotWaitedFor)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no FIFOs in the file system (its pipes live apart) and no fork() for the watchdog";
#else
    TempRoot root;
    const fs::path fifo = root.Path() / "ServiceSettings.ini";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    Http::ResetSettings();
    Http::SetHttpUrlHead(L"http://set");
    EXPECT_TRUE(PassesInChild([&root] {
        return Http::LoadSettingsFile(nullptr) == 0 &&
               Http::LoadSettingsFile((root.Wide() + L"/ServiceSettings.ini").c_str()) == 0 &&
               Http::GetHttpUrlHead() == L"http://set";
    }));
    Http::ResetSettings();
#endif
}

TEST(Settings, MissingFileChangesNothing)
{
    TempRoot root;
    Http::ResetSettings();
    Http::SetHttpUrlHead(L"http://set");
    EXPECT_EQ(Http::LoadSettingsFile((root.Wide() + L"/absent.ini").c_str()), 0);
    EXPECT_EQ(Http::LoadSettingsFile(root.Wide().c_str()), 0);
    EXPECT_EQ(Http::GetHttpUrlHead(), L"http://set");
    Http::ResetSettings();
}

TEST(Settings, CurlInitSucceedsOnceAndAgain)
{
    EXPECT_NE(Util::Curl::Init(), 0);
    EXPECT_NE(Util::Curl::Init(), 0);
}

TEST(SettingsThreaded, ConcurrentReadersAndWriters)
{
    Http::ResetSettings();
    const std::wstring a = L"http://a.example.test";
    const std::wstring b = L"http://b.example.test/with/a/longer/path";
    std::atomic<int> odd{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                if (t % 2 == 0) {
                    Http::SetHttpUrlHead((i % 2 ? a : b).c_str());
                    Http::SetRequestTimeoutMs(static_cast<unsigned>(i));
                } else {
                    const CStringW url = Http::GetHttpUrlHead();
                    if (url != a.c_str() && url != b.c_str() && url != L"https://127.0.0.1:8443")
                        odd.fetch_add(1);
                    Http::GetRequestTimeoutMs();
                    Util::Curl::Init();
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(odd.load(), 0);
    Http::ResetSettings();
}

}  // namespace
