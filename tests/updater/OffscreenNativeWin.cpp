// The off-screen window system on Windows: the same records as on Linux,
// behind handles that are numbers and never point anywhere, so no system
// function can take one for a real window. The canvas is the program's
// GDI+ one; GDI+ runs for the whole test program, as it does for the
// program's whole life in WinMain.

#include "OffscreenNative.h"

#include <windows.h>
#include <gdiplus.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "BaseWnd.h"
#include "ImageEx.h"
#include "Native.h"
#include "imagecodec/Image.h"

namespace {

struct Record {
    CBaseWnd* object = nullptr;
    RECT rect{0, 0, 0, 0};
    std::wstring className;
    std::wstring text;
    bool alive = true;
    bool trackLeave = false;
    std::vector<uint8_t> shown;
    int width = 0;
    int height = 0;
    int stride = 0;
    int presents = 0;
};

// Started before the first test draws and shut down after the last canvas
// is gone (test objects never outlive main).
class GdiPlusSession {
public:
    GdiPlusSession()
    {
        Gdiplus::GdiplusStartupInput input;
        m_started = Gdiplus::GdiplusStartup(&m_token, &input, nullptr) == Gdiplus::Ok;
    }
    ~GdiPlusSession()
    {
        if (m_started) {
            Gdiplus::GdiplusShutdown(m_token);
        }
    }
    GdiPlusSession(const GdiPlusSession&) = delete;
    GdiPlusSession& operator=(const GdiPlusSession&) = delete;

private:
    ULONG_PTR m_token = 0;
    bool m_started = false;
};

const GdiPlusSession g_gdiPlus;

struct State {
    // Destroyed windows keep their records until Reset, as on Linux: a test
    // may still ask whether a handle lives. Handles are never reused within
    // the process, so a stale one finds nothing.
    std::map<HWND, std::unique_ptr<Record>> windows;
    uintptr_t nextHandle = 0x10;
    std::vector<Offscreen::PostedMessage> posted;
    std::vector<std::wstring> launched;
    std::vector<HWND> flashed;
    bool quit = false;
    int quitCode = 0;
    HWND running = nullptr;
    std::function<void()> observer;
    std::chrono::milliseconds limit{30000};

    // Guards the map's shape and the alive flags against the download's
    // thread (RunOnWindowThread), and the tasks.
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<HWND, std::function<void()>>> tasks;
};

State& S()
{
    static State state;
    return state;
}

// The record of a window of this backend (a destroyed one too, unless
// liveOnly); null for any other handle.
Record* Find(HWND hwnd, bool liveOnly)
{
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto it = s.windows.find(hwnd);
    return it != s.windows.end() && (!liveOnly || it->second->alive) ? it->second.get() : nullptr;
}

Record* Find(HWND hwnd) { return Find(hwnd, false); }
Record* Live(HWND hwnd) { return Find(hwnd, true); }

uint32_t ShownPixel(const Record& r, int x, int y)
{
    return *reinterpret_cast<const uint32_t*>(r.shown.data() + static_cast<size_t>(y) * r.stride +
                                              static_cast<size_t>(x) * 4);
}

}  // namespace

namespace Offscreen {

void Reset()
{
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.windows.clear();
    s.posted.clear();
    s.launched.clear();
    s.flashed.clear();
    s.quit = false;
    s.quitCode = 0;
    s.running = nullptr;
    s.observer = nullptr;
    s.limit = std::chrono::milliseconds(30000);
    s.tasks.clear();
}

size_t WindowCount()
{
    std::lock_guard<std::mutex> lock(S().mutex);
    return S().windows.size();
}

HWND LastWindow()
{
    std::lock_guard<std::mutex> lock(S().mutex);
    // Handles grow with every window, so the last in the map is the newest.
    return S().windows.empty() ? nullptr : S().windows.rbegin()->first;
}

bool Alive(HWND hwnd) { return Live(hwnd) != nullptr; }

uint32_t PresentedPixel(HWND hwnd, int x, int y)
{
    const Record* r = Find(hwnd);
    if (r == nullptr || r->shown.empty() || x < 0 || y < 0 || x >= r->width || y >= r->height) {
        return 0;
    }
    return ShownPixel(*r, x, y);
}

int PresentCount(HWND hwnd)
{
    const Record* r = Find(hwnd);
    return r != nullptr ? r->presents : 0;
}

bool SavePresented(HWND hwnd, const std::string& path)
{
    const Record* r = Find(hwnd);
    ImageCodec::CImage image;
    if (r == nullptr || r->shown.empty() ||
        !image.Create(static_cast<uint32_t>(r->width), static_cast<uint32_t>(r->height), true)) {
        return false;
    }
    // Premultiplied 0xAARRGGBB to straight R G B A.
    uint8_t* out = image.Pixels();
    for (int y = 0; y < r->height; ++y) {
        for (int x = 0; x < r->width; ++x, out += 4) {
            const uint32_t p = ShownPixel(*r, x, y);
            const uint32_t a = p >> 24;
            for (int c = 0; c < 3; ++c) {
                const uint32_t v = (p >> (16 - 8 * c)) & 0xFF;
                out[c] = static_cast<uint8_t>(a == 0 ? 0 : (v * 255 + a / 2) / a);
            }
            out[3] = static_cast<uint8_t>(a);
        }
    }
    return image.Save(path.c_str(), ImageCodec::Format::Png);
}

std::vector<PostedMessage> Posted() { return S().posted; }
std::vector<std::wstring> Launched() { return S().launched; }
bool QuitPosted() { return S().quit; }
void SetLoopObserver(std::function<void()> observer) { S().observer = std::move(observer); }
void SetLoopLimit(std::chrono::milliseconds limit) { S().limit = limit; }
void SetRunningWindow(HWND hwnd) { S().running = hwnd; }
std::vector<HWND> Flashed() { return S().flashed; }

}  // namespace Offscreen

namespace Native {

bool RegisterFrameClass(HINSTANCE, const wchar_t* className) { return className != nullptr; }

HWND CreateFrameWindow(HINSTANCE, const wchar_t* className, const wchar_t* title, DWORD, DWORD, int, int, int, int,
                       HWND, HMENU, void* createParam)
{
    State& s = S();
    HWND hwnd = nullptr;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        hwnd = reinterpret_cast<HWND>(s.nextHandle);
        s.nextHandle += 0x10;
        auto record = std::make_unique<Record>();
        record->className = className != nullptr ? className : L"";
        record->text = title != nullptr ? title : L"";
        s.windows.emplace(hwnd, std::move(record));
    }
    CBaseWnd::WindowProc(hwnd, WM_NCCREATE, 0, 0, createParam);
    CBaseWnd::WindowProc(hwnd, WM_CREATE, 0, 0, nullptr);
    return Offscreen::Alive(hwnd) ? hwnd : nullptr;
}

bool IsWindow(HWND hwnd) { return Offscreen::Alive(hwnd); }
LRESULT DefaultProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

void SetWindowObject(HWND hwnd, CBaseWnd* object)
{
    if (Record* r = Live(hwnd)) {
        r->object = object;
    }
}

CBaseWnd* GetWindowObject(HWND hwnd)
{
    const Record* r = Live(hwnd);
    return r != nullptr ? r->object : nullptr;
}

void SetText(HWND hwnd, const wchar_t* text)
{
    if (Record* r = Live(hwnd)) {
        r->text = text;
    }
}

void RemoveCaption(HWND) {}

void Move(HWND hwnd, int x, int y, int width, int height)
{
    if (Record* r = Live(hwnd)) {
        r->rect = RECT{x, y, x + width, y + height};
    }
}

void SetPosition(HWND hwnd, int x, int y)
{
    if (Record* r = Live(hwnd)) {
        const LONG w = r->rect.right - r->rect.left;
        const LONG h = r->rect.bottom - r->rect.top;
        r->rect = RECT{x, y, x + w, y + h};
    }
}

RECT WindowRect(HWND hwnd)
{
    const Record* r = Live(hwnd);
    return r != nullptr ? r->rect : RECT{0, 0, 0, 0};
}

RECT ClientRect(HWND hwnd)
{
    const RECT r = WindowRect(hwnd);
    return RECT{0, 0, r.right - r.left, r.bottom - r.top};
}

bool OwnerRect(HWND, RECT*) { return false; }
RECT WorkArea(HWND) { return RECT{0, 0, 1920, 1040}; }

void TrackMouseLeave(HWND hwnd)
{
    if (Record* r = Live(hwnd)) {
        r->trackLeave = true;
    }
}

void Post(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) { S().posted.push_back({hwnd, msg, wParam, lParam}); }

void Present(HWND hwnd, const CCanvas& canvas)
{
    Record* r = Live(hwnd);
    if (r == nullptr || canvas.Pixels() == nullptr) {
        return;
    }
    r->shown.assign(canvas.Pixels(), canvas.Pixels() + static_cast<size_t>(canvas.Stride()) * canvas.Height());
    r->width = canvas.Width();
    r->height = canvas.Height();
    r->stride = canvas.Stride();
    ++r->presents;
}

void SetSmallIcon(HWND, const CImageEx&) {}

void Destroy(HWND hwnd)
{
    Record* r = Live(hwnd);
    if (r == nullptr) {
        return;
    }
    CBaseWnd::WindowProc(hwnd, WM_DESTROY, 0, 0, nullptr);
    CBaseWnd::WindowProc(hwnd, WM_NCDESTROY, 0, 0, nullptr);
    std::lock_guard<std::mutex> lock(S().mutex);
    r->alive = false;
}

void PostQuit(int code)
{
    S().quit = true;
    S().quitCode = code;
}

int RunLoop()
{
    State& s = S();
    const auto deadline = std::chrono::steady_clock::now() + s.limit;
    while (!s.quit) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(s.mutex);
            if (!s.wake.wait_until(lock, deadline, [&] { return !s.tasks.empty(); })) {
                return -1;
            }
            const HWND target = s.tasks.front().first;
            task = std::move(s.tasks.front().second);
            s.tasks.pop_front();
            const auto it = s.windows.find(target);
            if (it == s.windows.end() || !it->second->alive) {
                continue;
            }
        }
        task();
        if (s.observer && !s.quit) {
            s.observer();
        }
    }
    return s.quitCode;
}

void RunOnWindowThread(HWND hwnd, std::function<void()> task)
{
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto it = s.windows.find(hwnd);
    if (it == s.windows.end() || !it->second->alive) {
        return;
    }
    s.tasks.emplace_back(hwnd, std::move(task));
    s.wake.notify_all();
}

// As FindWindowW: a live window with the class and the text, unless a test
// named the window to report.
HWND FindRunning(const wchar_t* className, const wchar_t* title)
{
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.running != nullptr) {
        return s.running;
    }
    for (const auto& w : s.windows) {
        if (w.second->alive && w.second->className == className && w.second->text == title) {
            return w.first;
        }
    }
    return nullptr;
}

void Flash(HWND hwnd) { S().flashed.push_back(hwnd); }

bool Launch(const wchar_t* path)
{
    S().launched.push_back(path);
    return true;
}

}  // namespace Native
