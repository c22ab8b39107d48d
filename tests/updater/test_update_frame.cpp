// The update window off screen: layout and drawing checked on the presented
// pixels, input by message numbers, the update operations and the command
// line.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "Canvas.h"
#include "ImageEx.h"
#include "LaunchArgs.h"
#include "Native.h"
#include "Resources.h"
#include "TidewellApp.h"
#include "UpdaterFixture.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/FileDigest.h"
#include "pelbo/corekit/Text.h"

namespace {

constexpr int kBarRow = 352;

// The colour of a resource's pixel drawn alone on a transparent canvas.
uint32_t ResourcePixel(UINT id, int x, int y)
{
    CImageEx image;
    EXPECT_TRUE(image.LoadFromResource(nullptr, id, L"PNG"));
    CCanvas canvas(image.GetWidth(), image.GetHeight());
    const RECT whole{0, 0, image.GetWidth(), image.GetHeight()};
    image.Draw(canvas, whole, whole);
    return canvas.PixelAt(x, y);
}

// The digest module has tests of its own: here it only says what a file's
// SHA-256 is.
std::wstring Sha256Of(const CStringW& path)
{
    return Util::Convert::Utf8_2_W(Util::FileDigest::OfFile(path).sha256);
}

// Writes the installer and tells the frame its size and SHA-256, as the
// command line does; returns its MD5.
std::string WriteInstaller(CUpdateFrame* frame, const std::string& bytes)
{
    std::filesystem::path file = std::filesystem::u8path(ToMultiByte(frame->InstallerPath(), CP_UTF8));
    std::ofstream(file, std::ios::binary) << bytes;
    frame->ExpectInstaller(bytes.size(), Sha256Of(frame->InstallerPath()).c_str());
    return Util::MD5::BufferToMD5(bytes.data(), bytes.size());
}

std::wstring Upper(const std::string& text)
{
    std::wstring out;
    for (char c : text) {
        out += static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

const wchar_t kFailed[] = L"\x5347\x7EA7\x5931\x8D25\xFF0C\x8BF7\x4E0B\x6B21\x5C1D\x8BD5";
const wchar_t kDownloading[] = L"\x6B63\x5728\x4E0B\x8F7D\x5B89\x88C5\x5305";

using UpdateFrameTest = UpdaterFixture;

TEST(ResourcesTest, PicturesHaveTheirSizes)
{
    const struct {
        UINT id;
        int width, height;
    } expected[] = {{102, 598, 448}, {103, 25, 23}, {104, 25, 23}, {105, 100, 8}, {205, 256, 256}};
    for (const auto& e : expected) {
        CImageEx image;
        ASSERT_TRUE(image.LoadFromResource(nullptr, e.id, L"PNG")) << e.id;
        EXPECT_EQ(image.GetWidth(), e.width) << e.id;
        EXPECT_EQ(image.GetHeight(), e.height) << e.id;
    }
    CImageEx missing;
    EXPECT_FALSE(missing.LoadFromResource(nullptr, 999, L"PNG"));
    EXPECT_FALSE(missing.LoadFromResource(nullptr, 102, L"ICO"));
    const char notPng[] = "GIF89a not a png";
    EXPECT_FALSE(missing.LoadFromMemory(notPng, sizeof(notPng)));
    EXPECT_TRUE(missing.IsNull());
}

TEST_F(UpdateFrameTest, OpensWaitingWithAnEmptyBar)
{
    CUpdateFrame* frame = Open();
    EXPECT_EQ(frame->StatusText(), kDownloading);
    EXPECT_EQ(frame->Progress(), 0);
    EXPECT_TRUE(frame->ShowPercent());
    const RECT r = Native::WindowRect(m_hwnd);
    EXPECT_EQ(r.right - r.left, 598);
    EXPECT_EQ(r.bottom - r.top, 448);
    const uint32_t track = ResourcePixel(Resources::kProgressStrip, 50, 1);
    for (int x = 25; x < 573; ++x) {
        ASSERT_EQ(Pixel(x, kBarRow), track) << x;
    }
    frame->CenterWindow();
    const RECT centred = Native::WindowRect(m_hwnd);
    EXPECT_EQ(centred.left, 960 - 299);
    EXPECT_EQ(centred.top, 520 - 224);
}

TEST_F(UpdateFrameTest, HalfwayFillsExactly274Pixels)
{
    CUpdateFrame* frame = Open();
    frame->SetProgress(50);
    const uint32_t fill = ResourcePixel(Resources::kProgressStrip, 50, 6);
    const uint32_t track = ResourcePixel(Resources::kProgressStrip, 50, 1);
    ASSERT_NE(fill, track);
    int filled = 0;
    for (int x = 25; x < 573; ++x) {
        const uint32_t p = Pixel(x, kBarRow);
        if (p == fill) {
            ++filled;
        } else {
            EXPECT_EQ(p, track) << x;
        }
    }
    EXPECT_EQ(filled, 274);
    EXPECT_EQ(Pixel(25 + 273, kBarRow), fill);
    EXPECT_EQ(Pixel(25 + 274, kBarRow), track);

    frame->SetProgress(101);
    frame->SetProgress(-1);
    EXPECT_EQ(frame->Progress(), 50);
    frame->SetProgress(0);
    EXPECT_EQ(Pixel(25, kBarRow), track);
}

TEST_F(UpdateFrameTest, LongStatusEndsInAnEllipsisInsideItsBox)
{
    const wchar_t kLong[] = L"\x5347\x7EA7\x5931\x8D25\xFF0C\x8BF7\x68C0\x67E5\x7F51\x7EDC\x8FDE\x63A5\x540E"
                            L"\x518D\x6B21\x5C1D\x8BD5\x5B89\x88C5\x5347\x7EA7";
    CUpdateFrame* frame = Open();
    frame->OnDownloadResult(0, 7);  // failure: no percentage in the way
    ASSERT_FALSE(frame->ShowPercent());
    const bool failureCut = frame->StatusWasCut();
    frame->SetStatusText(kLong);
    const bool longCut = frame->StatusWasCut();
    std::vector<uint32_t> withText;
    for (int y = 326; y < 348; ++y) {
        for (int x = 150; x < 220; ++x) {
            withText.push_back(Pixel(x, y));
        }
    }
    frame->SetStatusText(L"");
    bool inkInTheBox = false;
    bool inkNearTheEnd = false;
    size_t i = 0;
    for (int y = 326; y < 348; ++y) {
        for (int x = 150; x < 220; ++x, ++i) {
            if (x >= 175) {
                ASSERT_EQ(withText[i], Pixel(x, y)) << "ink outside the box at " << x << "," << y;
            } else if (withText[i] != Pixel(x, y)) {
                inkInTheBox = true;
                inkNearTheEnd = inkNearTheEnd || x >= 160;
            }
        }
    }
    EXPECT_TRUE(inkInTheBox);
    if (UnderWine()) {
        GTEST_SKIP() << "wine's GDI+ clips the text at its box (checked) but draws no trimming ellipsis, and it "
                        "advances the ideographs wider than Windows does, so the failure text no longer fits";
    }
    EXPECT_FALSE(failureCut) << "the failure text fits";
    EXPECT_TRUE(longCut);
    EXPECT_TRUE(inkNearTheEnd);
}

TEST_F(UpdateFrameTest, HoverShowsTheHoverPictureUntilThePointerLeaves)
{
    CUpdateFrame* frame = Open();
    const uint32_t hoverPixel = ResourcePixel(Resources::kCloseHover, 3, 20);
    const uint32_t before = Pixel(576, 20);
    ASSERT_NE(before, hoverPixel);

    frame->HandleMessage(WM_MOUSEMOVE, 0, MAKELPARAM(585, 10));
    EXPECT_EQ(frame->Hover(), 1);
    EXPECT_EQ(Pixel(576, 20), hoverPixel);

    // Leaving the window straight from the button.
    frame->HandleMessage(WM_MOUSELEAVE, 0, 0);
    EXPECT_EQ(frame->Hover(), 0);
    EXPECT_EQ(Pixel(576, 20), before);

    frame->HandleMessage(WM_MOUSEMOVE, 0, MAKELPARAM(585, 10));
    frame->HandleMessage(WM_MOUSEMOVE, 0, MAKELPARAM(300, 200));
    EXPECT_EQ(frame->Hover(), 0);
    EXPECT_EQ(Pixel(576, 20), before);
}

TEST_F(UpdateFrameTest, OnlyTheTopStripOutsideTheButtonDrags)
{
    CUpdateFrame* frame = Open();
    frame->HandleMessage(WM_LBUTTONDOWN, 1, MAKELPARAM(585, 10));
    frame->HandleMessage(WM_LBUTTONDOWN, 1, MAKELPARAM(100, 38));
    EXPECT_TRUE(Offscreen::Posted().empty());
    frame->HandleMessage(WM_LBUTTONDOWN, 1, MAKELPARAM(100, 37));
    const auto posted = Offscreen::Posted();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].msg, WM_NCLBUTTONDOWN);
    EXPECT_EQ(posted[0].wParam, HTCAPTION);
    EXPECT_EQ(PointX(posted[0].lParam), 100);
    EXPECT_EQ(PointY(posted[0].lParam), 37);
}

TEST_F(UpdateFrameTest, ReleaseOnTheCloseButtonEndsTheProgram)
{
    CUpdateFrame* frame = Open();
    frame->SetAwaitedDownload(5);
    frame->HandleMessage(WM_LBUTTONUP, 0, MAKELPARAM(300, 200));
    ASSERT_TRUE(Offscreen::Alive(m_hwnd));
    EXPECT_FALSE(Offscreen::QuitPosted());
    // The object is gone after this call.
    frame->HandleMessage(WM_LBUTTONUP, 0, MAKELPARAM(590, 5));
    EXPECT_FALSE(Offscreen::Alive(m_hwnd));
    EXPECT_TRUE(Offscreen::QuitPosted());
}

TEST_F(UpdateFrameTest, SystemCloseCommandCloses)
{
    CUpdateFrame* frame = Open();
    EXPECT_EQ(frame->HandleMessage(WM_SYSCOMMAND, SC_CLOSE, 0), 0);
    EXPECT_FALSE(Offscreen::Alive(m_hwnd));
    EXPECT_TRUE(Offscreen::QuitPosted());
}

// A window that refuses its WM_CREATE is gone before Create returns: its
// object is not ended by the window and stays with the caller, who deletes
// it once on the null handle.
class RefusingWindow : public CBaseWnd {
public:
    explicit RefusingWindow(int* finals) : m_finals(finals) {}
    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        return msg == WM_CREATE ? -1 : CBaseWnd::HandleMessage(msg, wParam, lParam);
    }
    void OnFinalMessage(HWND hwnd) override
    {
        CBaseWnd::OnFinalMessage(hwnd);
        ++*m_finals;
        delete this;
    }

private:
    int* m_finals;
};

TEST_F(UpdateFrameTest, WindowGoneDuringCreationStaysWithItsCreator)
{
    int finals = 0;
    auto* window = new RefusingWindow(&finals);
    EXPECT_EQ(window->Create(nullptr, nullptr, L"Oxbel", 0, 0, 0, 0, 0, 0, nullptr), nullptr);
    EXPECT_EQ(finals, 0);
    EXPECT_EQ(window->GetHWND(), nullptr);
    EXPECT_FALSE(Offscreen::Alive(Offscreen::LastWindow()));
    delete window;
}

TEST_F(UpdateFrameTest, ProgressReportsOfTheAwaitedDownloadOnly)
{
    CUpdateFrame* frame = Open();
    frame->SetAwaitedDownload(9);
    frame->OnDownloadProgress(8, 50, 100);
    EXPECT_EQ(frame->Progress(), 0);
    frame->OnDownloadProgress(9, 25, 100);
    EXPECT_EQ(frame->Progress(), 25);
    frame->OnDownloadProgress(9, 150, 100);
    EXPECT_EQ(frame->Progress(), 25) << "above 100 is ignored";
    frame->OnDownloadProgress(9, 0, 0);
    EXPECT_EQ(frame->Progress(), 25) << "nothing of nothing changes nothing";
    frame->OnDownloadProgress(9, 50, 0);
    EXPECT_EQ(frame->Progress(), 100);
    frame->OnDownloadProgress(9, ~0ull - 1, ~0ull);
    EXPECT_EQ(frame->Progress(), 99);
    frame->OnDownloadResult(8, 1);
    EXPECT_EQ(frame->StatusText(), kDownloading) << "a result for another download";
}

TEST_F(UpdateFrameTest, InstallerWithTheDigestInOtherCaseIsLaunchedOnce)
{
    const std::string bytes = "#!/bin/sh\necho installer\n";
    CUpdateFrame* frame = Open(1002);
    frame->CheckAndLaunch(1002, L"unused");
    const CStringW path = frame->InstallerPath();
    EXPECT_TRUE(path.str().size() > 12 && path.Right(13) == L"/ver_1002.exe");
    ASSERT_TRUE(Offscreen::Alive(m_hwnd)) << "no file yet: the window waits";

    const std::string md5 = WriteInstaller(frame, bytes);
    Native::Destroy(m_hwnd);
    CUpdateFrame* again = Open(1002, Upper(md5).c_str());
    again->CheckAndLaunch(1002, Upper(md5).c_str());
    EXPECT_TRUE(Offscreen::Alive(m_hwnd)) << "no size and SHA-256 to check: not launched";
    again->ExpectInstaller(bytes.size(), Sha256Of(path).c_str());
    again->CheckAndLaunch(1002, Upper(md5).c_str());
    EXPECT_FALSE(Offscreen::Alive(m_hwnd));
    ASSERT_EQ(Offscreen::Launched().size(), 1u);
    EXPECT_EQ(Offscreen::Launched()[0], path.str());
}

TEST_F(UpdateFrameTest, DigestMismatchAfterDownloadDeletesTheFile)
{
    CUpdateFrame* frame = Open(1003, L"ffffffffffffffffffffffffffffffff");
    frame->CheckAndLaunch(1003, L"ffffffffffffffffffffffffffffffff");
    WriteInstaller(frame, "tampered");
    frame->SetAwaitedDownload(4);
    frame->OnDownloadResult(4, 0);
    EXPECT_TRUE(Offscreen::Alive(m_hwnd));
    EXPECT_EQ(frame->StatusText(), kFailed);
    EXPECT_EQ(frame->Progress(), 0);
    EXPECT_FALSE(frame->ShowPercent());
    EXPECT_EQ(frame->AwaitedDownload(), 0u);
    EXPECT_EQ(Util::Path::IsFileExist(frame->InstallerPath()), 0);
    EXPECT_TRUE(Offscreen::Launched().empty());
}

TEST_F(UpdateFrameTest, VersionReplyVerifiesTheCommandLineValues)
{
    CUpdateFrame* frame = Open(1004);
    frame->CheckAndLaunch(1004, L"x");
    const std::string md5 = WriteInstaller(frame, "payload");
    frame->StartUpdate(false, 1004, L"http://127.0.0.1:1/i", CStringW(std::wstring(md5.begin(), md5.end())));
    frame->OnVersionReply(1, L"{\"ver\":\"9.9.9.9\",\"url\":\"http://elsewhere/\",\"md5\":\"0\"}");
    EXPECT_FALSE(Offscreen::Alive(m_hwnd));
    ASSERT_EQ(Offscreen::Launched().size(), 1u);
}

TEST(LaunchArgsTest, ReadsTheOptions)
{
    const std::wstring rest = L" --size=18446744073709551615 --sha256=AB --installed-version=7x";
    const ST_LaunchArgs args =
        ParseLaunchArgs((L"--version=12abc --url=http://h/i.exe --md5=ABC --manual=3" + rest).c_str());
    EXPECT_EQ(args.version, 12u);
    EXPECT_EQ(args.url, L"http://h/i.exe");
    EXPECT_EQ(args.md5, L"ABC");
    EXPECT_TRUE(args.manual);
    EXPECT_EQ(args.size, 18446744073709551615ull);
    EXPECT_EQ(args.sha256, L"AB");
    EXPECT_EQ(args.installedVersion, 7u) << "not taken for --version, which it also ends with";
    EXPECT_TRUE(args.Complete());
    EXPECT_EQ(ParseLaunchArgs(L"--size=99999999999999999999999").size, 18446744073709551615ull);
    for (const wchar_t* missing : {L"--size=", L"--sha256=", L"--installed-version="}) {
        std::wstring line = L"--version=12 --url=http://h/i.exe --md5=ABC" + rest;
        line.replace(line.find(missing), std::wcslen(missing), L"--other=");
        EXPECT_FALSE(ParseLaunchArgs(line.c_str()).Complete()) << missing;
    }

    EXPECT_FALSE(ParseLaunchArgs(L"").Complete());
    EXPECT_FALSE(ParseLaunchArgs(nullptr).Complete());
    EXPECT_FALSE(ParseLaunchArgs(L"--version=0 --url=http://h/i --md5=a").Complete());
    EXPECT_FALSE(ParseLaunchArgs(L"--version=5 --md5=a").Complete());
    EXPECT_FALSE(ParseLaunchArgs(L"--version=5 --url=http://h/i").Complete());
    EXPECT_FALSE(ParseLaunchArgs(L"--version=abc --url=http://h/i --md5=a").Complete());
    EXPECT_EQ(ParseLaunchArgs(L"--version=99999999999999").version, 0xFFFFFFFFu);
    EXPECT_FALSE(ParseLaunchArgs(L"--manual=0").manual);
    EXPECT_EQ(ParseLaunchArgs(L"--root=/tmp/x").root, L"/tmp/x");
}

// Only a whole argument asks for help: an address that ends in "/?" or a
// quoted "--help" inside a value does not turn an update into a usage text.
TEST(LaunchArgsTest, HelpIsAWholeArgument)
{
    for (const wchar_t* line : {L"--help", L"--version=5 -h", L"/?"}) {
        EXPECT_TRUE(AsksForHelp(line)) << line;
    }
    for (const wchar_t* line : {L"--url=http://h/?", L"\"--url=x --help\"", L"--helpful", L""}) {
        EXPECT_FALSE(AsksForHelp(line)) << line;
    }
    EXPECT_NE(std::wstring(LaunchUsage()).find(L"--installed-version=N"), std::wstring::npos);
}

// Values with blanks arrive whole when quoted, and a value cannot pose as
// another option: a forged address holding " --root=/x" stays the address.
TEST(LaunchArgsTest, QuotedArgumentsKeepTheirBlanks)
{
    const ST_LaunchArgs args =
        ParseLaunchArgs(L"--version=1002\t\"--url=http://h/i --root=/x\"  --md5=ab --root=\"/tmp/Pelbo Data\"");
    EXPECT_EQ(args.url, L"http://h/i --root=/x");
    EXPECT_EQ(args.root, L"/tmp/Pelbo Data");
    EXPECT_EQ(args.md5, L"ab");
    EXPECT_EQ(args.version, 1002u);
    EXPECT_EQ(ParseLaunchArgs(L"\"--root=C:\\Pelbo Data\\\\\" --md5=x").root, L"C:\\Pelbo Data\\");

    const std::vector<CStringW> split = SplitCommandLine(L" a\\\\\\\"b \"c \"\"d\"\"\" e\\\\\"f g\" h\\i \"\"");
    EXPECT_EQ(split, (std::vector<CStringW>{L"a\\\"b", L"c \"d\"", L"e\\f g", L"h\\i", L""}));
    EXPECT_TRUE(SplitCommandLine(L" \t ").empty());
    EXPECT_TRUE(SplitCommandLine(nullptr).empty());
}

TEST(LaunchArgsTest, QuotedArgumentsReadBackUnchanged)
{
    const std::vector<std::wstring> arguments = {
        L"--root=/tmp/Pelbo Data", L"--url=http://h/i --root=/x", L"plain", L"", L" ", L"tab\there",
        L"say \"hi\"", L"\"", L"ends\\", L"ends in space\\", L"a\\\\\"b", L"C:\\Program Files\\",
        L"\x4e2d\x6587 \x6587"};
    std::wstring line;
    for (const std::wstring& argument : arguments)
        line += (line.empty() ? L"" : L" ") + QuoteArgument(argument);
    const std::vector<CStringW> split = SplitCommandLine(line.c_str());
    ASSERT_EQ(split.size(), arguments.size()) << line;
    for (size_t i = 0; i < arguments.size(); ++i)
        EXPECT_EQ(split[i].str(), arguments[i]) << line;
    EXPECT_EQ(QuoteArgument(L"--md5=abc"), L"--md5=abc") << "plain arguments stay as they are";
}

using StartUpTest = UpdaterFixture;

TEST_F(StartUpTest, IncompleteArgumentsEndWithZeroAndNoWindow)
{
    const std::wstring root = L" --root=" + m_root.Path().wstring();
    for (const wchar_t* line : {L"", L"--version=1002", L"--version=0 --url=http://h/i --md5=a",
                                L"--url=http://h/i --md5=a", L"--version=1002 --url=http://h/i"}) {
        EXPECT_EQ(RunTidewell(nullptr, L"/opt/pelbo/Tidewell", (line + root).c_str()), 0);
        EXPECT_EQ(Offscreen::WindowCount(), 0u);
    }
}

TEST_F(StartUpTest, SecondStartFlashesTheFirstWindow)
{
    // Found by the class the update window registers and the text it sets.
    Open();
    const std::wstring line = L"--version=1002 --url=http://127.0.0.1:1/i --md5=a --root=" + m_root.Path().wstring();
    EXPECT_EQ(RunTidewell(nullptr, L"/opt/pelbo/Tidewell", line.c_str()), 0);
    EXPECT_EQ(Offscreen::WindowCount(), 1u);
    ASSERT_EQ(Offscreen::Flashed().size(), 1u);
    EXPECT_EQ(Offscreen::Flashed()[0], m_hwnd);
}

}  // namespace
