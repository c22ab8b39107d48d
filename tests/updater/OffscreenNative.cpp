#include "OffscreenNative.h"

#include <cairo.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "BaseWnd.h"
#include "ImageEx.h"
#include "Native.h"

struct HWND__ {
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

namespace {

struct State {
    std::vector<std::unique_ptr<HWND__>> windows;
    std::vector<Offscreen::PostedMessage> posted;
    std::vector<std::wstring> launched;
    std::vector<HWND> flashed;
    bool quit = false;
    int quitCode = 0;
    HWND running = nullptr;
    std::function<void()> observer;
    std::chrono::milliseconds limit{30000};

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<HWND, std::function<void()>>> tasks;
};

State& S()
{
    static State state;
    return state;
}

bool Own(HWND hwnd)
{
    for (const auto& w : S().windows) {
        if (w.get() == hwnd) {
            return hwnd->alive;
        }
    }
    return false;
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

size_t WindowCount() { return S().windows.size(); }
HWND LastWindow() { return S().windows.empty() ? nullptr : S().windows.back().get(); }
bool Alive(HWND hwnd) { return Own(hwnd); }

uint32_t PresentedPixel(HWND hwnd, int x, int y)
{
    if (hwnd == nullptr || hwnd->shown.empty() || x < 0 || y < 0 || x >= hwnd->width || y >= hwnd->height) {
        return 0;
    }
    return *reinterpret_cast<const uint32_t*>(hwnd->shown.data() + static_cast<size_t>(y) * hwnd->stride +
                                              static_cast<size_t>(x) * 4);
}

int PresentCount(HWND hwnd) { return hwnd != nullptr ? hwnd->presents : 0; }

bool SavePresented(HWND hwnd, const std::string& path)
{
    if (hwnd == nullptr || hwnd->shown.empty()) {
        return false;
    }
    std::vector<uint8_t> pixels = hwnd->shown;
    cairo_surface_t* surface = cairo_image_surface_create_for_data(pixels.data(), CAIRO_FORMAT_ARGB32, hwnd->width,
                                                                   hwnd->height, hwnd->stride);
    const bool ok = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(surface);
    return ok;
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
    s.windows.push_back(std::make_unique<HWND__>());
    HWND hwnd = s.windows.back().get();
    hwnd->className = className != nullptr ? className : L"";
    hwnd->text = title != nullptr ? title : L"";
    CBaseWnd::WindowProc(hwnd, WM_NCCREATE, 0, 0, createParam);
    CBaseWnd::WindowProc(hwnd, WM_CREATE, 0, 0, nullptr);
    return Own(hwnd) ? hwnd : nullptr;
}

bool IsWindow(HWND hwnd) { return Own(hwnd); }
LRESULT DefaultProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

void SetWindowObject(HWND hwnd, CBaseWnd* object)
{
    if (Own(hwnd)) {
        hwnd->object = object;
    }
}

CBaseWnd* GetWindowObject(HWND hwnd) { return Own(hwnd) ? hwnd->object : nullptr; }

void SetText(HWND hwnd, const wchar_t* text)
{
    if (Own(hwnd)) {
        hwnd->text = text;
    }
}

void RemoveCaption(HWND) {}

void Move(HWND hwnd, int x, int y, int width, int height)
{
    if (Own(hwnd)) {
        hwnd->rect = RECT{x, y, x + width, y + height};
    }
}

void SetPosition(HWND hwnd, int x, int y)
{
    if (Own(hwnd)) {
        const long w = hwnd->rect.right - hwnd->rect.left;
        const long h = hwnd->rect.bottom - hwnd->rect.top;
        hwnd->rect = RECT{x, y, x + w, y + h};
    }
}

RECT WindowRect(HWND hwnd) { return Own(hwnd) ? hwnd->rect : RECT{0, 0, 0, 0}; }

RECT ClientRect(HWND hwnd)
{
    const RECT r = WindowRect(hwnd);
    return RECT{0, 0, r.right - r.left, r.bottom - r.top};
}

bool OwnerRect(HWND, RECT*) { return false; }
RECT WorkArea(HWND) { return RECT{0, 0, 1920, 1040}; }

void TrackMouseLeave(HWND hwnd)
{
    if (Own(hwnd)) {
        hwnd->trackLeave = true;
    }
}

void Post(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) { S().posted.push_back({hwnd, msg, wParam, lParam}); }

void Present(HWND hwnd, const CCanvas& canvas)
{
    if (!Own(hwnd) || canvas.Pixels() == nullptr) {
        return;
    }
    hwnd->shown.assign(canvas.Pixels(), canvas.Pixels() + static_cast<size_t>(canvas.Stride()) * canvas.Height());
    hwnd->width = canvas.Width();
    hwnd->height = canvas.Height();
    hwnd->stride = canvas.Stride();
    ++hwnd->presents;
}

void SetSmallIcon(HWND, const CImageEx&) {}

void Destroy(HWND hwnd)
{
    if (!Own(hwnd)) {
        return;
    }
    CBaseWnd::WindowProc(hwnd, WM_DESTROY, 0, 0, nullptr);
    CBaseWnd::WindowProc(hwnd, WM_NCDESTROY, 0, 0, nullptr);
    std::lock_guard<std::mutex> lock(S().mutex);
    hwnd->alive = false;
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
            if (!target->alive) {
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
    if (hwnd == nullptr || !hwnd->alive) {
        return;
    }
    s.tasks.emplace_back(hwnd, std::move(task));
    s.wake.notify_all();
}

// As FindWindowW: a live window with the class and the text, unless a test
// named the window to report.
HWND FindRunning(const wchar_t* className, const wchar_t* title)
{
    if (S().running != nullptr) {
        return S().running;
    }
    for (const auto& w : S().windows) {
        if (w->alive && w->className == className && w->text == title) {
            return w.get();
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
