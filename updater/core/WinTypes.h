#pragma once
// The Windows types and message numbers the window code is written against.
// On Windows they come from <windows.h>; elsewhere this header gives the same
// names and values, and a window handle is a pointer to the native backend's
// own record (declared, never defined here).

#if defined(_WIN32)
#include <windows.h>
#else
#include <cstdint>

struct HWND__;
typedef HWND__* HWND;
typedef void* HINSTANCE;
typedef void* HMENU;
typedef unsigned int UINT;
typedef unsigned long DWORD;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef DWORD COLORREF;
typedef int BOOL;

struct RECT {
    long left;
    long top;
    long right;
    long bottom;
};

constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_NCCREATE = 0x0081;
constexpr UINT WM_NCDESTROY = 0x0082;
constexpr UINT WM_NCLBUTTONDOWN = 0x00A1;
constexpr UINT WM_SYSCOMMAND = 0x0112;
constexpr UINT WM_MOUSEMOVE = 0x0200;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_LBUTTONUP = 0x0202;
constexpr UINT WM_MOUSELEAVE = 0x02A3;
constexpr WPARAM SC_CLOSE = 0xF060;
constexpr WPARAM HTCAPTION = 2;

constexpr DWORD WS_POPUP = 0x80000000ul;
constexpr DWORD WS_VISIBLE = 0x10000000ul;
constexpr DWORD WS_CLIPSIBLINGS = 0x04000000ul;
constexpr DWORD WS_CLIPCHILDREN = 0x02000000ul;
constexpr DWORD WS_CAPTION = 0x00C00000ul;
constexpr DWORD WS_SYSMENU = 0x00080000ul;
constexpr DWORD WS_EX_LAYERED = 0x00080000ul;
constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000u);

constexpr UINT DT_CENTER = 0x0001;
constexpr UINT DT_RIGHT = 0x0002;
constexpr UINT DT_VCENTER = 0x0004;
constexpr UINT DT_BOTTOM = 0x0008;
constexpr UINT DT_SINGLELINE = 0x0020;
constexpr UINT DT_NOCLIP = 0x0100;
constexpr UINT DT_END_ELLIPSIS = 0x8000;

inline LPARAM MAKELPARAM(int low, int high)
{
    return static_cast<LPARAM>(static_cast<uint32_t>(static_cast<uint16_t>(low)) |
                               (static_cast<uint32_t>(static_cast<uint16_t>(high)) << 16));
}
#endif

// Points in mouse messages: signed 16-bit x in the low word, y in the high.
inline int PointX(LPARAM lParam) { return static_cast<short>(static_cast<unsigned>(lParam) & 0xFFFFu); }
inline int PointY(LPARAM lParam) { return static_cast<short>((static_cast<unsigned>(lParam) >> 16) & 0xFFFFu); }
