// The Win32 backend of the update window: a layered window presented with
// UpdateLayeredWindow from the canvas's premultiplied pixels, the system's
// own caption drag and close command, ShellExecuteW for the installer and
// FindWindowW/FlashWindow for the single-instance search. Compiled for the
// Windows build only.

#include <windows.h>
#include <shellapi.h>

#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <utility>

#include "BaseWnd.h"
#include "Canvas.h"
#include "ImageEx.h"
#include "Native.h"

namespace {

// Tasks from other threads; the message only wakes the loop.
constexpr UINT kRunTasks = WM_APP + 1;

struct Tasks {
    std::mutex mutex;
    std::deque<std::pair<HWND, std::function<void()>>> queue;
};

Tasks& T()
{
    static Tasks tasks;
    return tasks;
}

LRESULT CALLBACK SharedProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == kRunTasks) {
        std::deque<std::pair<HWND, std::function<void()>>> ready;
        {
            std::lock_guard<std::mutex> lock(T().mutex);
            ready.swap(T().queue);
        }
        for (auto& task : ready) {
            if (::IsWindow(task.first)) {
                task.second();
            }
        }
        return 0;
    }
    void* createParam = nullptr;
    if (msg == WM_NCCREATE) {
        createParam = reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams;
    }
    return CBaseWnd::WindowProc(hwnd, msg, wParam, lParam, createParam);
}

}  // namespace

namespace Native {

bool RegisterFrameClass(HINSTANCE instance, const wchar_t* className)
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = 0;
    wc.lpfnWndProc = &SharedProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW, which is narrow without UNICODE
    wc.lpszClassName = className;
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

HWND CreateFrameWindow(HINSTANCE instance, const wchar_t* className, const wchar_t* title, DWORD style,
                       DWORD exStyle, int x, int y, int width, int height, HWND parent, HMENU menu,
                       void* createParam)
{
    return CreateWindowExW(exStyle, className, title, style, x, y, width, height, parent, menu, instance,
                           createParam);
}

bool IsWindow(HWND hwnd) { return hwnd != nullptr && ::IsWindow(hwnd) != FALSE; }

LRESULT DefaultProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

void SetWindowObject(HWND hwnd, CBaseWnd* object)
{
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(object));
}

CBaseWnd* GetWindowObject(HWND hwnd)
{
    return hwnd != nullptr ? reinterpret_cast<CBaseWnd*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)) : nullptr;
}

void SetText(HWND hwnd, const wchar_t* text) { SetWindowTextW(hwnd, text); }

void RemoveCaption(HWND hwnd)
{
    const LONG style = GetWindowLongW(hwnd, GWL_STYLE);
    SetWindowLongW(hwnd, GWL_STYLE, (style & ~WS_CAPTION) | WS_CLIPSIBLINGS | WS_CLIPCHILDREN);
}

void Move(HWND hwnd, int x, int y, int width, int height) { MoveWindow(hwnd, x, y, width, height, TRUE); }

void SetPosition(HWND hwnd, int x, int y)
{
    SetWindowPos(hwnd, nullptr, x, y, -1, -1, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

RECT WindowRect(HWND hwnd)
{
    RECT r = {};
    GetWindowRect(hwnd, &r);
    return r;
}

RECT ClientRect(HWND hwnd)
{
    RECT r = {};
    GetClientRect(hwnd, &r);
    return r;
}

bool OwnerRect(HWND hwnd, RECT* rect)
{
    const HWND owner = GetWindow(hwnd, GW_OWNER);
    return owner != nullptr && GetWindowRect(owner, rect) != FALSE;
}

RECT WorkArea(HWND hwnd)
{
    const HWND owner = GetWindow(hwnd, GW_OWNER);
    MONITORINFO info = {};
    info.cbSize = sizeof(info);
    GetMonitorInfoW(MonitorFromWindow(owner != nullptr ? owner : hwnd, MONITOR_DEFAULTTONEAREST), &info);
    return info.rcWork;
}

void TrackMouseLeave(HWND hwnd)
{
    TRACKMOUSEEVENT track = {};
    track.cbSize = sizeof(track);
    track.dwFlags = TME_HOVER | TME_LEAVE;
    track.hwndTrack = hwnd;
    track.dwHoverTime = 400;
    TrackMouseEvent(&track);
}

void Post(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) { PostMessageW(hwnd, msg, wParam, lParam); }

void Present(HWND hwnd, const CCanvas& canvas)
{
    if (canvas.Pixels() == nullptr) {
        return;
    }
    const HDC dc = GetDC(hwnd);
    const HDC memory = CreateCompatibleDC(dc);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = canvas.Width();
    info.bmiHeader.biHeight = -canvas.Height();  // top-down rows, as the canvas keeps them
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap != nullptr) {
        for (int y = 0; y < canvas.Height(); ++y) {
            memcpy(static_cast<BYTE*>(bits) + static_cast<size_t>(y) * canvas.Width() * 4,
                   canvas.Pixels() + static_cast<size_t>(y) * canvas.Stride(), static_cast<size_t>(canvas.Width()) * 4);
        }
        const HGDIOBJ old = SelectObject(memory, bitmap);
        SIZE size = {canvas.Width(), canvas.Height()};
        POINT origin = {0, 0};
        BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
        UpdateLayeredWindow(hwnd, dc, nullptr, &size, memory, &origin, 0, &blend, ULW_ALPHA);
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    ReleaseDC(hwnd, dc);
    DeleteDC(memory);
}

void SetSmallIcon(HWND hwnd, const CImageEx& image)
{
    const HBITMAP colour = static_cast<HBITMAP>(image.NativeHandle());
    if (colour == nullptr) {
        return;
    }
    const HBITMAP mask = CreateBitmap(image.GetWidth(), image.GetHeight(), 1, 1, nullptr);
    ICONINFO info = {TRUE, 0, 0, mask, colour};
    const HICON icon = CreateIconIndirect(&info);
    DeleteObject(mask);
    if (icon != nullptr) {
        SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    }
}

void Destroy(HWND hwnd) { DestroyWindow(hwnd); }
void PostQuit(int code) { PostQuitMessage(code); }

int RunLoop()
{
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

void RunOnWindowThread(HWND hwnd, std::function<void()> task)
{
    {
        std::lock_guard<std::mutex> lock(T().mutex);
        T().queue.emplace_back(hwnd, std::move(task));
    }
    PostMessageW(hwnd, kRunTasks, 0, 0);
}

HWND FindRunning(const wchar_t* className, const wchar_t* title) { return FindWindowW(className, title); }

void Flash(HWND hwnd) { FlashWindow(hwnd, TRUE); }

bool Launch(const wchar_t* path)
{
    const HINSTANCE result = ShellExecuteW(nullptr, L"open", path, nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace Native
