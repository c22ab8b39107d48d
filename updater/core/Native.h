#pragma once
// What the portable window code needs from the system, one backend per
// system (X11 on Linux, Win32 on Windows; the tests have an off-screen one).
// Every function runs on the window's thread unless it says otherwise.

#include <functional>

#include "WinTypes.h"

class CBaseWnd;
class CCanvas;
class CImageEx;

namespace Native {

// Registers the framework's window class (an existing one counts).
bool RegisterFrameClass(HINSTANCE instance, const wchar_t* className);
// Creates the window; the backend passes createParam to CBaseWnd::WindowProc
// with WM_NCCREATE, then sends WM_CREATE. Null on failure.
HWND CreateFrameWindow(HINSTANCE instance, const wchar_t* className, const wchar_t* title, DWORD style, DWORD exStyle,
                  int x, int y, int width, int height, HWND parent, HMENU menu, void* createParam);
bool IsWindow(HWND hwnd);
LRESULT DefaultProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// The object of a window (GWL_USERDATA); null once detached.
void SetWindowObject(HWND hwnd, CBaseWnd* object);
CBaseWnd* GetWindowObject(HWND hwnd);

void SetText(HWND hwnd, const wchar_t* text);
// Leaves the window without a frame or title bar.
void RemoveCaption(HWND hwnd);
void Move(HWND hwnd, int x, int y, int width, int height);
void SetPosition(HWND hwnd, int x, int y);
RECT WindowRect(HWND hwnd);
RECT ClientRect(HWND hwnd);
// The owner's window rectangle; false when the window has no owner.
bool OwnerRect(HWND hwnd, RECT* rect);
// Work area of the monitor nearest to the window.
RECT WorkArea(HWND hwnd);
// Arms one WM_MOUSELEAVE for when the pointer leaves the window.
void TrackMouseLeave(HWND hwnd);
// Queues a message for the window's loop.
void Post(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Hands a finished picture of the whole window to the system.
void Present(HWND hwnd, const CCanvas& canvas);
void SetSmallIcon(HWND hwnd, const CImageEx& icon);
// Destroys the window: WM_DESTROY and WM_NCDESTROY reach its procedure
// before this returns.
void Destroy(HWND hwnd);
void PostQuit(int code);
// Runs the loop until PostQuit; returns its code.
int RunLoop();

// Any thread: runs task on the window's thread, unless the window is gone
// by then (the task is then dropped).
void RunOnWindowThread(HWND hwnd, std::function<void()> task);

// Another running window of the class and title, or null.
HWND FindRunning(const wchar_t* className, const wchar_t* title);
// Asks for the user's attention on that window.
void Flash(HWND hwnd);
// Starts the program at path with no arguments and no shell.
bool Launch(const wchar_t* path);

}  // namespace Native
