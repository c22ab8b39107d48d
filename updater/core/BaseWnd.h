#pragma once
// CBaseWnd: the small window framework. One shared window procedure finds
// the object of a window and hands it every message; the object lives until
// the window's last message, after which OnFinalMessage may delete it. A
// window that is gone again before Create returns leaves its object to the
// caller of Create, which then gets null.

#include "WinTypes.h"

class CBaseWnd {
public:
    CBaseWnd();
    virtual ~CBaseWnd();
    CBaseWnd(const CBaseWnd&) = delete;
    CBaseWnd& operator=(const CBaseWnd&) = delete;

    virtual const wchar_t* GetWindowClassName() const;
    virtual LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    virtual void OnFinalMessage(HWND hwnd);

    HWND Create(HINSTANCE instance, HWND parent, const wchar_t* title, DWORD style, DWORD exStyle, int x, int y,
                int width, int height, HMENU menu);
    bool RegisterWindowClass(HINSTANCE instance);
    HWND GetHWND() const { return m_hWnd; }

    // The procedure every window of the framework's class runs.
    static LRESULT WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, void* createParam);

protected:
    HWND m_hWnd = nullptr;

private:
    bool m_creating = false;
};
