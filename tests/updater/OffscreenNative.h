#pragma once
// An off-screen window system for the updater's tests: windows are records,
// presented pictures are kept, posted messages and launched programs are
// listed, and the loop runs the tasks other threads send until it is told
// to quit or a time limit passes.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "Canvas.h"
#include "WinTypes.h"

namespace Offscreen {

struct PostedMessage {
    HWND hwnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};

// Forgets every window and picture of a previous test.
void Reset();
// Windows made since Reset, destroyed ones included.
size_t WindowCount();
// The window made last, destroyed or not (null when none).
HWND LastWindow();
bool Alive(HWND hwnd);
// The pixel at (x, y) of the window's last presented picture (0 when none).
uint32_t PresentedPixel(HWND hwnd, int x, int y);
int PresentCount(HWND hwnd);
std::vector<PostedMessage> Posted();
std::vector<std::wstring> Launched();
bool QuitPosted();
// Runs after each task of the loop; a test plays the user there.
void SetLoopObserver(std::function<void()> observer);
// How long RunLoop waits for its quit before it gives up (and returns -1).
void SetLoopLimit(std::chrono::milliseconds limit);
// The window FindRunning reports.
void SetRunningWindow(HWND hwnd);
std::vector<HWND> Flashed();

}  // namespace Offscreen
