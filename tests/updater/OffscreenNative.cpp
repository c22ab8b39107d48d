// The off-screen window system: records behind handles that are numbers and
// never point anywhere, so no system function can take one for a real
// window, and a handle kept after its window is gone finds nothing. As with
// the real systems, a window's record is freed when the window is
// destroyed; what it showed last stays until Reset, for the tests to look
// at. The canvas is the program's own: Cairo on Linux, GDI+ on Windows.

#include "OffscreenNative.h"

#ifdef _WIN32
#include <windows.h>
#include <gdiplus.h>
#endif

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "BaseWnd.h"
#include "Native.h"

namespace {

struct Record {
    CBaseWnd* object = nullptr;
    RECT rect{0, 0, 0, 0};
    std::wstring className;
    std::wstring text;
};

// The last picture a window presented.
struct Picture {
    std::vector<uint8_t> pixels;
    int width = 0;
    int height = 0;
    int stride = 0;
    int presents = 0;
};

#ifdef _WIN32
// Started before the first test draws and shut down after the last canvas
// is gone (test objects never outlive main), as WinMain does for the
// program's whole life.
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
#endif

struct State {
    // Live windows only. Handles are never reused within the process.
    std::map<HWND, std::unique_ptr<Record>> windows;
    std::map<HWND, Picture> pictures;
    uintptr_t nextHandle = 0x10;
    HWND lastMade = nullptr;
    size_t made = 0;
    std::vector<Offscreen::PostedMessage> posted;
    std::vector<std::wstring> launched;
    std::vector<HWND> flashed;
    bool quit = false;
    int quitCode = 0;
    HWND running = nullptr;
    std::function<void()> observer;
    std::chrono::milliseconds limit{30000};

    // Guards the maps' shape against the download's thread
    // (RunOnWindowThread), and the tasks.
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<HWND, std::function<void()>>> tasks;
};

State& S()
{
    static State state;
    return state;
}

bool LiveLocked(HWND hwnd) { return S().windows.count(hwnd) != 0; }

// The record of a live window of this backend; null for any other handle.
// Records are freed on the window's thread only, so the caller there may
// use one after the lock is let go.
Record* Live(HWND hwnd)
{
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto it = s.windows.find(hwnd);
    return it != s.windows.end() ? it->second.get() : nullptr;
}

}  // namespace

namespace Offscreen {

void Reset()
{
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.windows.clear();
    s.pictures.clear();
    s.lastMade = nullptr;
    s.made = 0;
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
    return S().made;
}

HWND LastWindow()
{
    std::lock_guard<std::mutex> lock(S().mutex);
    return S().lastMade;
}

bool Alive(HWND hwnd) { return Live(hwnd) != nullptr; }

uint32_t PresentedPixel(HWND hwnd, int x, int y)
{
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto it = s.pictures.find(hwnd);
    if (it == s.pictures.end() || x < 0 || y < 0 || x >= it->second.width || y >= it->second.height) {
        return 0;
    }
    const Picture& p = it->second;
    return *reinterpret_cast<const uint32_t*>(p.pixels.data() + static_cast<size_t>(y) * p.stride +
                                              static_cast<size_t>(x) * 4);
}

int PresentCount(HWND hwnd)
{
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto it = s.pictures.find(hwnd);
    return it != s.pictures.end() ? it->second.presents : 0;
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

// As the systems do: a window whose WM_CREATE answers -1 is destroyed again
// before the call returns.
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
        s.lastMade = hwnd;
        ++s.made;
    }
    CBaseWnd::WindowProc(hwnd, WM_NCCREATE, 0, 0, createParam);
    if (CBaseWnd::WindowProc(hwnd, WM_CREATE, 0, 0, nullptr) == -1) {
        Destroy(hwnd);
        return nullptr;
    }
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
        const auto w = r->rect.right - r->rect.left;
        const auto h = r->rect.bottom - r->rect.top;
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

void TrackMouseLeave(HWND) {}

void Post(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) { S().posted.push_back({hwnd, msg, wParam, lParam}); }

void Present(HWND hwnd, const CCanvas& canvas)
{
    if (Live(hwnd) == nullptr || canvas.Pixels() == nullptr) {
        return;
    }
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    Picture& p = s.pictures[hwnd];
    p.pixels.assign(canvas.Pixels(), canvas.Pixels() + static_cast<size_t>(canvas.Stride()) * canvas.Height());
    p.width = canvas.Width();
    p.height = canvas.Height();
    p.stride = canvas.Stride();
    ++p.presents;
}

void SetSmallIcon(HWND, const CImageEx&) {}

void Destroy(HWND hwnd)
{
    if (Live(hwnd) == nullptr) {
        return;
    }
    CBaseWnd::WindowProc(hwnd, WM_DESTROY, 0, 0, nullptr);
    CBaseWnd::WindowProc(hwnd, WM_NCDESTROY, 0, 0, nullptr);
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.windows.erase(hwnd);
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
            if (!LiveLocked(target)) {
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
    if (!LiveLocked(hwnd)) {
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
        if (w.second->className == className && w.second->text == title) {
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
