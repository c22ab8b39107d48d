// The X11 backend of the update window: a 32-bit ARGB window without
// decorations that shows the canvas, turns pointer events into the window
// messages the portable code handles, moves the window while the top strip
// is dragged, and treats the window manager's close request as the system
// close command.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BaseWnd.h"
#include "Canvas.h"
#include "ImageEx.h"
#include "Native.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/Log.h"

extern char** environ;

struct HWND__ {
    Window xid = 0;
    unsigned long serial = 0;
    CBaseWnd* object = nullptr;
    RECT rect{0, 0, 0, 0};
    bool trackLeave = false;
    bool dragging = false;
    int dragRootX = 0;
    int dragRootY = 0;
    long dragStartLeft = 0;
    long dragStartTop = 0;
    GC gc = nullptr;
    std::vector<uint8_t> shown;  // last presented pixels, for Expose
    int shownWidth = 0;
    int shownHeight = 0;
    int shownStride = 0;
};

namespace {

const wchar_t kTag[] = L"NativeX11";

struct Posted {
    HWND hwnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};

struct Task {
    HWND hwnd;
    unsigned long serial;
    std::function<void()> run;
};

struct Backend {
    Display* display = nullptr;
    Visual* visual = nullptr;
    int depth = 0;
    Colormap colormap = 0;
    Atom wmProtocols = 0;
    Atom wmDelete = 0;
    std::map<Window, std::unique_ptr<HWND__>> windows;
    std::vector<std::unique_ptr<HWND__>> foreign;  // other programs' windows (the single-instance search)
    std::deque<Posted> posted;
    bool quit = false;
    int quitCode = 0;
    unsigned long nextSerial = 0;
    int wakeRead = -1;
    int wakeWrite = -1;

    // Shared with other threads: tasks and the live windows they may reach.
    std::mutex mutex;
    std::deque<Task> tasks;
    std::map<HWND, unsigned long> live;
};

Backend& B()
{
    static Backend backend;
    return backend;
}

bool EnsureDisplay()
{
    Backend& b = B();
    if (b.display != nullptr) {
        return true;
    }
    b.display = XOpenDisplay(nullptr);
    if (b.display == nullptr) {
        Util::Log::Error(kTag, L"no X display");
        return false;
    }
    const int screen = DefaultScreen(b.display);
    XVisualInfo info;
    if (XMatchVisualInfo(b.display, screen, 32, TrueColor, &info) != 0) {
        b.visual = info.visual;
        b.depth = 32;
    } else {
        b.visual = DefaultVisual(b.display, screen);
        b.depth = DefaultDepth(b.display, screen);
    }
    b.colormap = XCreateColormap(b.display, RootWindow(b.display, screen), b.visual, AllocNone);
    b.wmProtocols = XInternAtom(b.display, "WM_PROTOCOLS", False);
    b.wmDelete = XInternAtom(b.display, "WM_DELETE_WINDOW", False);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        b.wakeRead = fds[0];
        b.wakeWrite = fds[1];
    }
    return true;
}

std::string Utf8(const wchar_t* text)
{
    return ToMultiByte(text != nullptr ? text : L"", CP_UTF8);
}

// A handle may outlive its window, so it is only compared with the live
// records, never read, until it is known to be one of them.
bool IsOwn(HWND hwnd)
{
    if (hwnd == nullptr) {
        return false;
    }
    for (const auto& window : B().windows) {
        if (window.second.get() == hwnd) {
            return true;
        }
    }
    return false;
}

bool IsForeign(HWND hwnd)
{
    for (const auto& record : B().foreign) {
        if (record.get() == hwnd) {
            return true;
        }
    }
    return false;
}

LRESULT Send(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    return CBaseWnd::WindowProc(hwnd, msg, wParam, lParam, nullptr);
}

void SetTitle(HWND hwnd, const wchar_t* text)
{
    Backend& b = B();
    const std::string utf8 = Utf8(text);
    XStoreName(b.display, hwnd->xid, utf8.c_str());
    XChangeProperty(b.display, hwnd->xid, XInternAtom(b.display, "_NET_WM_NAME", False),
                    XInternAtom(b.display, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(utf8.data()), static_cast<int>(utf8.size()));
}

void ShowPixels(HWND hwnd)
{
    Backend& b = B();
    if (hwnd->shown.empty()) {
        return;
    }
    XImage* image = XCreateImage(b.display, b.visual, static_cast<unsigned>(b.depth), ZPixmap, 0,
                                 reinterpret_cast<char*>(hwnd->shown.data()), static_cast<unsigned>(hwnd->shownWidth),
                                 static_cast<unsigned>(hwnd->shownHeight), 32, hwnd->shownStride);
    if (image == nullptr) {
        return;
    }
    XPutImage(b.display, hwnd->xid, hwnd->gc, image, 0, 0, 0, 0, static_cast<unsigned>(hwnd->shownWidth),
              static_cast<unsigned>(hwnd->shownHeight));
    // The pixels belong to the window record, not to the image.
    image->data = nullptr;
    XDestroyImage(image);
    XFlush(b.display);
}

void BeginDrag(HWND hwnd)
{
    Backend& b = B();
    Window root = 0;
    Window child = 0;
    int rootX = 0;
    int rootY = 0;
    int x = 0;
    int y = 0;
    unsigned mask = 0;
    XQueryPointer(b.display, hwnd->xid, &root, &child, &rootX, &rootY, &x, &y, &mask);
    // The press may already be over (a quick click): then there is nothing
    // to drag.
    if ((mask & Button1Mask) == 0) {
        return;
    }
    hwnd->dragging = true;
    hwnd->dragRootX = rootX;
    hwnd->dragRootY = rootY;
    hwnd->dragStartLeft = hwnd->rect.left;
    hwnd->dragStartTop = hwnd->rect.top;
}

void Dispatch(const Posted& message)
{
    if (!IsOwn(message.hwnd)) {
        return;
    }
    // What the system's default handling does with a press on the caption.
    if (message.msg == WM_NCLBUTTONDOWN && message.wParam == HTCAPTION) {
        BeginDrag(message.hwnd);
        return;
    }
    Send(message.hwnd, message.msg, message.wParam, message.lParam);
}

HWND FromXid(Window xid)
{
    auto it = B().windows.find(xid);
    return it == B().windows.end() ? nullptr : it->second.get();
}

void HandleEvent(XEvent& event)
{
    Backend& b = B();
    HWND hwnd = FromXid(event.xany.window);
    if (hwnd == nullptr) {
        return;
    }
    switch (event.type) {
    case Expose:
        if (event.xexpose.count == 0) {
            ShowPixels(hwnd);
        }
        break;
    case ConfigureNotify:
        hwnd->rect.left = event.xconfigure.x;
        hwnd->rect.top = event.xconfigure.y;
        hwnd->rect.right = event.xconfigure.x + event.xconfigure.width;
        hwnd->rect.bottom = event.xconfigure.y + event.xconfigure.height;
        break;
    case MotionNotify:
        if (hwnd->dragging) {
            const long left = hwnd->dragStartLeft + (event.xmotion.x_root - hwnd->dragRootX);
            const long top = hwnd->dragStartTop + (event.xmotion.y_root - hwnd->dragRootY);
            Native::SetPosition(hwnd, static_cast<int>(left), static_cast<int>(top));
        } else {
            Send(hwnd, WM_MOUSEMOVE, 0, MAKELPARAM(event.xmotion.x, event.xmotion.y));
        }
        break;
    case ButtonPress:
        if (event.xbutton.button == Button1) {
            Send(hwnd, WM_LBUTTONDOWN, 1, MAKELPARAM(event.xbutton.x, event.xbutton.y));
        }
        break;
    case ButtonRelease:
        if (event.xbutton.button == Button1) {
            if (hwnd->dragging) {
                hwnd->dragging = false;
            } else {
                Send(hwnd, WM_LBUTTONUP, 0, MAKELPARAM(event.xbutton.x, event.xbutton.y));
            }
        }
        break;
    case LeaveNotify:
        if (hwnd->trackLeave && event.xcrossing.mode == NotifyNormal && !hwnd->dragging) {
            hwnd->trackLeave = false;
            Send(hwnd, WM_MOUSELEAVE, 0, 0);
        }
        break;
    case ClientMessage:
        if (event.xclient.message_type == b.wmProtocols &&
            static_cast<Atom>(event.xclient.data.l[0]) == b.wmDelete) {
            Send(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
        }
        break;
    default:
        break;
    }
}

bool RunOneTask()
{
    Backend& b = B();
    Task task;
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        if (b.tasks.empty()) {
            return false;
        }
        task = std::move(b.tasks.front());
        b.tasks.pop_front();
        auto it = b.live.find(task.hwnd);
        if (it == b.live.end() || it->second != task.serial) {
            return true;
        }
    }
    task.run();
    return true;
}

bool Matches(Display* display, Window xid, const std::string& className, const std::string& title)
{
    XClassHint hint{};
    if (XGetClassHint(display, xid, &hint) == 0) {
        return false;
    }
    const bool classMatches = hint.res_class != nullptr && className == hint.res_class;
    XFree(hint.res_name);
    XFree(hint.res_class);
    if (!classMatches) {
        return false;
    }
    char* name = nullptr;
    bool titleMatches = false;
    if (XFetchName(display, xid, &name) != 0 && name != nullptr) {
        titleMatches = title == name;
        XFree(name);
    }
    return titleMatches;
}

// Depth-first below window; a window manager puts the program's window one
// or two levels under the root.
Window Search(Display* display, Window window, const std::string& className, const std::string& title, int depth)
{
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (XQueryTree(display, window, &root, &parent, &children, &count) == 0) {
        return 0;
    }
    Window found = 0;
    for (unsigned i = 0; i < count && found == 0; ++i) {
        if (Matches(display, children[i], className, title)) {
            found = children[i];
        } else if (depth > 0) {
            found = Search(display, children[i], className, title, depth - 1);
        }
    }
    if (children != nullptr) {
        XFree(children);
    }
    return found;
}

}  // namespace

namespace Native {

bool RegisterFrameClass(HINSTANCE, const wchar_t* className)
{
    return className != nullptr && className[0] != L'\0';
}

HWND CreateFrameWindow(HINSTANCE, const wchar_t* className, const wchar_t* title, DWORD style, DWORD, int x, int y,
                       int width, int height, HWND, HMENU, void* createParam)
{
    if (!EnsureDisplay()) {
        return nullptr;
    }
    Backend& b = B();
    const int screen = DefaultScreen(b.display);
    const int left = x == CW_USEDEFAULT ? 0 : x;
    const int top = y == CW_USEDEFAULT ? 0 : y;
    const int w = width == CW_USEDEFAULT || width <= 0 ? 1 : width;
    const int h = height == CW_USEDEFAULT || height <= 0 ? 1 : height;
    XSetWindowAttributes attributes{};
    attributes.colormap = b.colormap;
    attributes.border_pixel = 0;
    attributes.background_pixel = 0;
    attributes.event_mask = ExposureMask | PointerMotionMask | ButtonPressMask | ButtonReleaseMask |
                            LeaveWindowMask | StructureNotifyMask;
    const Window xid = XCreateWindow(b.display, RootWindow(b.display, screen), left, top, static_cast<unsigned>(w),
                                     static_cast<unsigned>(h), 0, b.depth, InputOutput, b.visual,
                                     CWColormap | CWBorderPixel | CWBackPixel | CWEventMask, &attributes);
    if (xid == 0) {
        return nullptr;
    }
    auto record = std::make_unique<HWND__>();
    HWND hwnd = record.get();
    hwnd->xid = xid;
    hwnd->serial = ++b.nextSerial;
    hwnd->rect = RECT{left, top, left + w, top + h};
    hwnd->gc = XCreateGC(b.display, xid, 0, nullptr);
    b.windows.emplace(xid, std::move(record));
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        b.live[hwnd] = hwnd->serial;
    }

    std::string resClass = Utf8(className);
    std::string resName = "tidewell";
    XClassHint hint{};
    hint.res_name = resName.data();
    hint.res_class = resClass.data();
    XSetClassHint(b.display, xid, &hint);
    XSetWMProtocols(b.display, xid, &b.wmDelete, 1);
    SetTitle(hwnd, title);

    CBaseWnd::WindowProc(hwnd, WM_NCCREATE, 0, 0, createParam);
    if (Send(hwnd, WM_CREATE, 0, 0) == -1) {
        Destroy(hwnd);
        return nullptr;
    }
    if ((style & WS_VISIBLE) != 0 && IsOwn(hwnd)) {
        XMapRaised(b.display, xid);
        XFlush(b.display);
    }
    return IsOwn(hwnd) ? hwnd : nullptr;
}

bool IsWindow(HWND hwnd)
{
    if (IsOwn(hwnd)) {
        return true;
    }
    if (!IsForeign(hwnd)) {
        return false;
    }
    XWindowAttributes attributes;
    return B().display != nullptr && XGetWindowAttributes(B().display, hwnd->xid, &attributes) != 0;
}

LRESULT DefaultProc(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
}

void SetWindowObject(HWND hwnd, CBaseWnd* object)
{
    if (IsOwn(hwnd)) {
        hwnd->object = object;
    }
}

CBaseWnd* GetWindowObject(HWND hwnd)
{
    return IsOwn(hwnd) ? hwnd->object : nullptr;
}

void SetText(HWND hwnd, const wchar_t* text)
{
    if (IsOwn(hwnd)) {
        SetTitle(hwnd, text);
    }
}

void RemoveCaption(HWND hwnd)
{
    if (!IsOwn(hwnd)) {
        return;
    }
    // Motif hints: the one way every common window manager understands to
    // leave a window without its frame.
    struct {
        unsigned long flags, functions, decorations;
        long inputMode;
        unsigned long status;
    } hints{2, 0, 0, 0, 0};
    Atom motif = XInternAtom(B().display, "_MOTIF_WM_HINTS", False);
    XChangeProperty(B().display, hwnd->xid, motif, motif, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&hints), 5);
}

void Move(HWND hwnd, int x, int y, int width, int height)
{
    if (!IsOwn(hwnd) || width <= 0 || height <= 0) {
        return;
    }
    XMoveResizeWindow(B().display, hwnd->xid, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height));
    // Window managers ignore the position of a window not yet mapped unless
    // the program asks for it.
    XSizeHints hints{};
    hints.flags = PPosition | PSize | PMinSize | PMaxSize;
    hints.x = x;
    hints.y = y;
    hints.width = hints.min_width = hints.max_width = width;
    hints.height = hints.min_height = hints.max_height = height;
    XSetWMNormalHints(B().display, hwnd->xid, &hints);
    hwnd->rect = RECT{x, y, x + width, y + height};
}

void SetPosition(HWND hwnd, int x, int y)
{
    if (!IsOwn(hwnd)) {
        return;
    }
    XMoveWindow(B().display, hwnd->xid, x, y);
    XFlush(B().display);
    const long w = hwnd->rect.right - hwnd->rect.left;
    const long h = hwnd->rect.bottom - hwnd->rect.top;
    hwnd->rect = RECT{x, y, x + w, y + h};
}

RECT WindowRect(HWND hwnd)
{
    return IsOwn(hwnd) ? hwnd->rect : RECT{0, 0, 0, 0};
}

RECT ClientRect(HWND hwnd)
{
    const RECT r = WindowRect(hwnd);
    return RECT{0, 0, r.right - r.left, r.bottom - r.top};
}

bool OwnerRect(HWND, RECT*)
{
    return false;
}

RECT WorkArea(HWND)
{
    Backend& b = B();
    if (b.display == nullptr) {
        return RECT{0, 0, 0, 0};
    }
    const int screen = DefaultScreen(b.display);
    RECT area{0, 0, DisplayWidth(b.display, screen), DisplayHeight(b.display, screen)};
    Atom type = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    const Atom workArea = XInternAtom(b.display, "_NET_WORKAREA", True);
    if (workArea != None &&
        XGetWindowProperty(b.display, RootWindow(b.display, screen), workArea, 0, 4, False, XA_CARDINAL, &type,
                           &format, &count, &after, &data) == Success &&
        data != nullptr && format == 32 && count >= 4) {
        const long* values = reinterpret_cast<const long*>(data);
        area = RECT{values[0], values[1], values[0] + values[2], values[1] + values[3]};
    }
    if (data != nullptr) {
        XFree(data);
    }
    return area;
}

void TrackMouseLeave(HWND hwnd)
{
    if (IsOwn(hwnd)) {
        hwnd->trackLeave = true;
    }
}

void Post(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    B().posted.push_back(Posted{hwnd, msg, wParam, lParam});
}

void Present(HWND hwnd, const CCanvas& canvas)
{
    if (!IsOwn(hwnd) || canvas.Pixels() == nullptr) {
        return;
    }
    const size_t bytes = static_cast<size_t>(canvas.Stride()) * static_cast<size_t>(canvas.Height());
    hwnd->shown.assign(canvas.Pixels(), canvas.Pixels() + bytes);
    hwnd->shownWidth = canvas.Width();
    hwnd->shownHeight = canvas.Height();
    hwnd->shownStride = canvas.Stride();
    ShowPixels(hwnd);
}

void SetSmallIcon(HWND hwnd, const CImageEx& icon)
{
    if (!IsOwn(hwnd) || icon.IsNull()) {
        return;
    }
    const int w = icon.GetWidth();
    const int h = icon.GetHeight();
    CCanvas pixels(w, h);
    pixels.DrawImage(icon, RECT{0, 0, w, h}, RECT{0, 0, w, h});
    if (pixels.Pixels() == nullptr) {
        return;
    }
    // _NET_WM_ICON wants straight (not premultiplied) ARGB, one long each.
    std::vector<unsigned long> data;
    data.reserve(2 + static_cast<size_t>(w) * static_cast<size_t>(h));
    data.push_back(static_cast<unsigned long>(w));
    data.push_back(static_cast<unsigned long>(h));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const uint32_t p = pixels.PixelAt(x, y);
            const uint32_t a = p >> 24;
            uint32_t out = p;
            if (a != 0 && a != 255) {
                const uint32_t r = ((p >> 16) & 0xFF) * 255 / a;
                const uint32_t g = ((p >> 8) & 0xFF) * 255 / a;
                const uint32_t bl = (p & 0xFF) * 255 / a;
                out = (a << 24) | (r << 16) | (g << 8) | bl;
            }
            data.push_back(out);
        }
    }
    XChangeProperty(B().display, hwnd->xid, XInternAtom(B().display, "_NET_WM_ICON", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(data.data()),
                    static_cast<int>(data.size()));
}

void Destroy(HWND hwnd)
{
    if (!IsOwn(hwnd)) {
        return;
    }
    Backend& b = B();
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        b.live.erase(hwnd);
    }
    Send(hwnd, WM_DESTROY, 0, 0);
    Send(hwnd, WM_NCDESTROY, 0, 0);
    const Window xid = hwnd->xid;
    XFreeGC(b.display, hwnd->gc);
    XDestroyWindow(b.display, xid);
    XFlush(b.display);
    for (auto it = b.posted.begin(); it != b.posted.end();) {
        it = it->hwnd == hwnd ? b.posted.erase(it) : it + 1;
    }
    b.windows.erase(xid);
}

void PostQuit(int code)
{
    B().quit = true;
    B().quitCode = code;
}

int RunLoop()
{
    Backend& b = B();
    while (!b.quit) {
        if (!b.posted.empty()) {
            const Posted message = b.posted.front();
            b.posted.pop_front();
            Dispatch(message);
            continue;
        }
        if (RunOneTask()) {
            continue;
        }
        if (b.display != nullptr && XPending(b.display) > 0) {
            XEvent event;
            XNextEvent(b.display, &event);
            HandleEvent(event);
            continue;
        }
        pollfd fds[2];
        int count = 0;
        if (b.display != nullptr) {
            fds[count++] = pollfd{ConnectionNumber(b.display), POLLIN, 0};
        }
        if (b.wakeRead >= 0) {
            fds[count++] = pollfd{b.wakeRead, POLLIN, 0};
        }
        if (count == 0) {
            break;
        }
        poll(fds, static_cast<nfds_t>(count), -1);
        char drain[64];
        while (b.wakeRead >= 0 && read(b.wakeRead, drain, sizeof(drain)) > 0) {
        }
    }
    if (b.display != nullptr) {
        XCloseDisplay(b.display);
        b.display = nullptr;
    }
    return b.quitCode;
}

void RunOnWindowThread(HWND hwnd, std::function<void()> task)
{
    Backend& b = B();
    std::lock_guard<std::mutex> lock(b.mutex);
    auto it = b.live.find(hwnd);
    if (it == b.live.end()) {
        return;
    }
    b.tasks.push_back(Task{hwnd, it->second, std::move(task)});
    if (b.wakeWrite >= 0) {
        const char one = 1;
        // A full pipe already wakes the loop.
        [[maybe_unused]] const ssize_t written = write(b.wakeWrite, &one, 1);
    }
}

HWND FindRunning(const wchar_t* className, const wchar_t* title)
{
    if (!EnsureDisplay()) {
        return nullptr;
    }
    Backend& b = B();
    const Window found = Search(b.display, DefaultRootWindow(b.display), Utf8(className), Utf8(title), 2);
    if (found == 0) {
        return nullptr;
    }
    auto record = std::make_unique<HWND__>();
    record->xid = found;
    b.foreign.push_back(std::move(record));
    return b.foreign.back().get();
}

void Flash(HWND hwnd)
{
    if (B().display == nullptr || (!IsOwn(hwnd) && !IsForeign(hwnd))) {
        return;
    }
    Display* display = B().display;
    XWMHints* hints = XGetWMHints(display, hwnd->xid);
    XWMHints fresh{};
    XWMHints* use = hints != nullptr ? hints : &fresh;
    use->flags |= XUrgencyHint;
    XSetWMHints(display, hwnd->xid, use);
    if (hints != nullptr) {
        XFree(hints);
    }
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = hwnd->xid;
    event.xclient.message_type = XInternAtom(display, "_NET_WM_STATE", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = 1;  // add
    event.xclient.data.l[1] = static_cast<long>(XInternAtom(display, "_NET_WM_STATE_DEMANDS_ATTENTION", False));
    XSendEvent(display, DefaultRootWindow(display), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XFlush(display);
}

bool Launch(const wchar_t* path)
{
    const std::string file = Utf8(path);
    struct stat info {};
    if (file.empty() || stat(file.c_str(), &info) != 0) {
        Util::Log::Error(kTag, L"Launch: no file %s", path);
        return false;
    }
    // Downloads arrive without the execute bit; the digest has just been
    // checked, so this file may run.
    chmod(file.c_str(), info.st_mode | S_IXUSR);
    std::vector<char> argument(file.begin(), file.end());
    argument.push_back('\0');
    char* argv[] = {argument.data(), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, file.c_str(), nullptr, nullptr, argv, environ);
    if (rc != 0) {
        Util::Log::Error(kTag, L"Launch: %s did not start: %S", path, std::strerror(rc));
        return false;
    }
    Util::Log::Info(kTag, L"Launch: %s started as process %d", path, static_cast<int>(pid));
    return true;
}

}  // namespace Native
