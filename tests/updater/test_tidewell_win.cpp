// The real updater on Windows (under wine, on the display the environment
// names): it downloads the stand-in installer from the local server and
// starts it once; its close button, clicked with the system's input, ends
// it with 0; a second start finds the first window and ends. The waiting
// window is captured from the screen and checked: it is the picture the
// off-screen window paints (the same GDI+ code, shown through the layered
// window), with the bar, the texts and the close button where they belong.
// Under wine without DISPLAY there is no screen: skipped.
// With PELBO_UPDATER_SCREENSHOT set to a file name, the waiting window is
// saved there as PNG.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "LaunchArgs.h"
#include "TidewellSettings.h"
#include "UpdaterFixture.h"
#include "devserver/State.h"
#include "pelbo/imagecodec/Image.h"
#include "support/TestServer.h"

namespace {

constexpr DWORD kLimitMs = 30000;
// Interval of the checks inside a bounded wait (never a wait by itself).
constexpr DWORD kStepMs = 20;

const wchar_t kWindowText[] = L"Oxbel";

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// The folder of this test program: Tidewell.exe and the stand-in installer
// are built beside it.
std::filesystem::path ProgramFolder()
{
    wchar_t self[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    return std::filesystem::path(std::wstring(self, length)).parent_path();
}

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

class Process {
public:
    explicit Process(const std::vector<std::wstring>& arguments)
    {
        std::wstring line;
        for (const std::wstring& argument : arguments) {
            line += (line.empty() ? L"" : L" ") + QuoteArgument(argument);
        }
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (CreateProcessW(arguments[0].c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                           &info) != FALSE) {
            CloseHandle(info.hThread);
            m_process = info.hProcess;
        }
    }

    ~Process()
    {
        if (m_process == nullptr) {
            return;
        }
        if (!m_code) {
            TerminateProcess(m_process, 1);
            WaitForSingleObject(m_process, kLimitMs);
        }
        CloseHandle(m_process);
    }

    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool Started() const { return m_process != nullptr; }

    // The exit code, or nothing when it did not end within the limit.
    std::optional<DWORD> Wait(DWORD limitMs = kLimitMs)
    {
        DWORD code = 0;
        if (!m_code && m_process != nullptr && WaitForSingleObject(m_process, limitMs) == WAIT_OBJECT_0 &&
            GetExitCodeProcess(m_process, &code) != FALSE) {
            m_code = code;
        }
        return m_code;
    }

private:
    HANDLE m_process = nullptr;
    std::optional<DWORD> m_code;
};

// The window's pixels as the screen shows them, 0x00RRGGBB, rows top down.
struct Capture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;

    uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x] & 0xFFFFFF; }
};

Capture CaptureWindow(HWND hwnd)
{
    Capture capture;
    RECT r = {};
    if (GetWindowRect(hwnd, &r) == FALSE || r.right <= r.left || r.bottom <= r.top) {
        return capture;
    }
    const int w = r.right - r.left;
    const int h = r.bottom - r.top;
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap != nullptr) {
        const HGDIOBJ old = SelectObject(memory, bitmap);
        if (BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY) != FALSE) {
            GdiFlush();
            const auto* first = static_cast<const uint32_t*>(bits);
            capture.pixels.assign(first, first + static_cast<size_t>(w) * h);
            capture.width = w;
            capture.height = h;
        }
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return capture;
}

bool SavePng(const Capture& capture, const std::string& path)
{
    ImageCodec::CImage image;
    if (!image.Create(static_cast<uint32_t>(capture.width), static_cast<uint32_t>(capture.height), false)) {
        return false;
    }
    uint8_t* out = image.Pixels();
    for (int y = 0; y < capture.height; ++y) {
        for (int x = 0; x < capture.width; ++x, out += 4) {
            const uint32_t p = capture.At(x, y);
            out[0] = static_cast<uint8_t>(p >> 16);
            out[1] = static_cast<uint8_t>(p >> 8);
            out[2] = static_cast<uint8_t>(p);
            out[3] = 255;
        }
    }
    return image.Save(path.c_str(), ImageCodec::Format::Png);
}

bool Dark(uint32_t rgb) { return ((rgb >> 16) & 0xFF) < 128 && ((rgb >> 8) & 0xFF) < 128 && (rgb & 0xFF) < 128; }
bool Light(uint32_t rgb) { return ((rgb >> 16) & 0xFF) > 200 && ((rgb >> 8) & 0xFF) > 200 && (rgb & 0xFF) > 200; }

// How many pixels of the rectangle pass the test.
template <typename Test>
int Count(const Capture& capture, int left, int top, int right, int bottom, Test test)
{
    int count = 0;
    for (int y = top; y < bottom; ++y) {
        for (int x = left; x < right; ++x) {
            count += test(capture.At(x, y)) ? 1 : 0;
        }
    }
    return count;
}

// The off-screen window supplies the picture to expect, drawn by the same
// canvas code as the program's; the fixture's data folder is the updater's.
class TidewellWinTest : public UpdaterFixture {
protected:
    void SetUp() override
    {
        if (UnderWine() && GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) == 0) {
            GTEST_SKIP() << "under wine the updater needs a display: set DISPLAY (the Windows test script starts "
                            "Xvfb)";
        }
        UpdaterFixture::SetUp();
        ASSERT_TRUE(m_server.Started()) << m_server.Error();
        const std::string installer = ReadFile(ProgramFolder() / INSTALLER_NAME);
        ASSERT_FALSE(installer.empty()) << "the stand-in installer is built beside the test";
        m_server.State().downloads.Put("installer", installer);
        m_md5 = m_server.State().downloads.Md5("installer");
    }

    void TearDown() override
    {
        // The installer lies in the data folder: it must have ended before
        // the folder goes.
        for (const DWORD pid : m_installers) {
            if (const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid)) {
                WaitForSingleObject(process, kLimitMs);
                CloseHandle(process);
            }
        }
        UpdaterFixture::TearDown();
    }

    std::unique_ptr<Process> Tidewell(const std::string& path, const std::string& md5)
    {
        WriteTidewellSettings(DataFolder(), "ca_bundle=" + m_server.CaFile() + "\n");
        return std::make_unique<Process>(std::vector<std::wstring>{
            (ProgramFolder() / TIDEWELL_NAME).wstring(), L"--version=1002", L"--url=" + Widen(m_server.Url(path)),
            L"--md5=" + Widen(md5),
            L"--size=" + std::to_wstring(m_server.State().downloads.Get("installer")->size()),
            L"--sha256=" + Widen(m_server.State().downloads.Sha256("installer")), L"--installed-version=1001",
            L"--root=" + DataFolder().wstring()});
    }

    // The client's data folder, with a blank in its name as in many real
    // ones: it must reach the updater whole.
    std::filesystem::path DataFolder() const { return m_root.Path() / "Pelbo Data"; }
    std::filesystem::path Marker() const { return DataFolder() / "upgrade" / "installer-ran.txt"; }

    // The updater's visible window; null after the limit.
    HWND WaitForWindow()
    {
        const CUpdateFrame probe;
        const ULONGLONG deadline = GetTickCount64() + kLimitMs;
        while (GetTickCount64() < deadline) {
            const HWND found = FindWindowW(probe.GetWindowClassName(), kWindowText);
            if (found != nullptr && IsWindowVisible(found) != FALSE) {
                return found;
            }
            Sleep(kStepMs);
        }
        return nullptr;
    }

    // Pixels of the screen that differ from the off-screen window's picture
    // (transparent corners show black: no compositor blends them).
    int Differences(const Capture& capture) const
    {
        if (capture.width != CUpdateFrame::kWidth || capture.height != CUpdateFrame::kHeight) {
            return capture.width * capture.height + 1;
        }
        int differences = 0;
        for (int y = 0; y < capture.height; ++y) {
            for (int x = 0; x < capture.width; ++x) {
                differences += capture.At(x, y) != (Pixel(x, y) & 0xFFFFFF) ? 1 : 0;
            }
        }
        return differences;
    }

    // The window once it shows the waiting state: the screen catches up
    // with the program's last picture within the limit.
    Capture WaitForWaitingPicture(HWND window)
    {
        Open()->Redraw();
        Capture capture;
        const ULONGLONG deadline = GetTickCount64() + kLimitMs;
        while (GetTickCount64() < deadline) {
            capture = CaptureWindow(window);
            if (Differences(capture) == 0) {
                break;
            }
            Sleep(kStepMs);
        }
        return capture;
    }

    // The lines of the marker once one is complete; empty after the limit.
    std::vector<std::string> MarkerLines(DWORD limitMs)
    {
        const ULONGLONG deadline = GetTickCount64() + limitMs;
        std::string text = ReadFile(Marker());
        while ((text.empty() || text.back() != '\n') && GetTickCount64() < deadline) {
            Sleep(kStepMs);
            text = ReadFile(Marker());
        }
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("ran ", 0) == 0) {
                m_installers.push_back(static_cast<DWORD>(std::strtoul(line.c_str() + 4, nullptr, 10)));
            }
            lines.push_back(line.substr(0, 3));
        }
        return lines;
    }

    TestSupport::TestServer m_server{TestSupport::TestServer::Https()};
    std::string m_md5;
    std::vector<DWORD> m_installers;
};

TEST_F(TidewellWinTest, DownloadsAndStartsTheInstallerOnce)
{
    auto updater = Tidewell("/download/installer", m_md5);
    ASSERT_TRUE(updater->Started());
    EXPECT_EQ(updater->Wait(), std::optional<DWORD>(0));
    EXPECT_EQ(MarkerLines(kLimitMs), std::vector<std::string>{"ran"});
    EXPECT_EQ(ReadFile(DataFolder() / "upgrade" / "ver_1002.exe"), ReadFile(ProgramFolder() / INSTALLER_NAME));
}

TEST_F(TidewellWinTest, CloseButtonEndsTheWaitingUpdater)
{
    DevServer::Fault slow;
    slow.delayMs = 60000;
    ASSERT_TRUE(m_server.Server().SetFault("GET", "/download/installer", slow));
    // The pointer stays where an earlier run clicked: off the window, so the
    // button shows unhovered.
    ASSERT_TRUE(SetCursorPos(0, 0));
    auto updater = Tidewell("/download/installer", m_md5);
    ASSERT_TRUE(updater->Started());
    const HWND window = WaitForWindow();
    ASSERT_NE(window, nullptr) << "no window appeared";

    // Shown in the waiting state, the window has also been centred: its
    // place is final from here on.
    const Capture shot = WaitForWaitingPicture(window);
    RECT r = {};
    ASSERT_TRUE(GetWindowRect(window, &r));
    EXPECT_EQ(r.right - r.left, 598);
    EXPECT_EQ(r.bottom - r.top, 448);
    if (const char* file = std::getenv("PELBO_UPDATER_SCREENSHOT")) {
        EXPECT_TRUE(SavePng(shot, file)) << file;
    }
    ASSERT_EQ(shot.width, 598);
    ASSERT_EQ(shot.height, 448);
    EXPECT_EQ(Differences(shot), 0) << "the screen shows another picture than the window painted";
    // The empty bar: one colour from end to end, and not the colour beside it.
    const uint32_t track = shot.At(25, 352);
    EXPECT_EQ(Count(shot, 25, 352, 573, 353, [&](uint32_t p) { return p == track; }), 548);
    EXPECT_NE(shot.At(24, 352), track);
    EXPECT_NE(shot.At(573, 352), track);
    // The status line (seven ideographs) from the left of its box, the
    // percentage at its right end, nothing dark past the box.
    EXPECT_GT(Count(shot, 25, 326, 120, 348, Dark), 150);
    EXPECT_GT(Count(shot, 155, 326, 175, 348, Dark), 15);
    EXPECT_EQ(Count(shot, 176, 326, 400, 348, Dark), 0);
    // The title in white on the blue strip, and the close button's white
    // cross (not the red of the hovered button).
    EXPECT_GT(Count(shot, 15, 10, 60, 30, Light), 20);
    EXPECT_GT(Count(shot, 580, 6, 591, 17, Light), 8);
    EXPECT_EQ(Count(shot, 573, 0, 598, 23, [](uint32_t p) { return p == 0xE81123; }), 0);

    // A second start finds this window, asks for attention and ends.
    auto second = Tidewell("/download/installer", m_md5);
    EXPECT_EQ(second->Wait(), std::optional<DWORD>(0));
    EXPECT_NE(ReadFile(DataFolder() / "logs" / "Service.log").find("IsWindow: 1, bFound: 1"), std::string::npos);

    ASSERT_TRUE(SetCursorPos(r.left + 586, r.top + 11));
    INPUT clicks[2] = {};
    clicks[0].type = INPUT_MOUSE;
    clicks[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    clicks[1].type = INPUT_MOUSE;
    clicks[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    EXPECT_EQ(SendInput(2, clicks, sizeof(INPUT)), 2u);
    EXPECT_EQ(updater->Wait(), std::optional<DWORD>(0));
    EXPECT_TRUE(MarkerLines(0).empty());
    EXPECT_FALSE(std::filesystem::exists(DataFolder() / "upgrade" / "ver_1002.exe"));
}

}  // namespace
