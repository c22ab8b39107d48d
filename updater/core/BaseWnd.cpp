#include "BaseWnd.h"

#include "Native.h"

namespace {
const wchar_t kClassName[] = L"TarselTidewell_Class";
}

CBaseWnd::CBaseWnd() = default;
CBaseWnd::~CBaseWnd() = default;

const wchar_t* CBaseWnd::GetWindowClassName() const
{
    return kClassName;
}

LRESULT CBaseWnd::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam)
{
    return Native::DefaultProc(m_hWnd, msg, wParam, lParam);
}

void CBaseWnd::OnFinalMessage(HWND)
{
}

bool CBaseWnd::RegisterWindowClass(HINSTANCE instance)
{
    return Native::RegisterFrameClass(instance, GetWindowClassName());
}

HWND CBaseWnd::Create(HINSTANCE instance, HWND parent, const wchar_t* title, DWORD style, DWORD exStyle, int x,
                      int y, int width, int height, HMENU menu)
{
    if (!RegisterWindowClass(instance)) {
        return nullptr;
    }
    // A window that dies before creation returns (a failed WM_CREATE) does
    // not end its object: the caller still owns it and deletes it on null.
    m_creating = true;
    const HWND created = Native::CreateFrameWindow(instance, GetWindowClassName(), title, style, exStyle, x, y, width,
                                                   height, parent, menu, this);
    m_creating = false;
    m_hWnd = Native::IsWindow(created) ? created : nullptr;
    return m_hWnd;
}

LRESULT CBaseWnd::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, void* createParam)
{
    CBaseWnd* object = nullptr;
    if (msg == WM_NCCREATE) {
        object = static_cast<CBaseWnd*>(createParam);
        if (object != nullptr) {
            object->m_hWnd = hwnd;
            Native::SetWindowObject(hwnd, object);
        }
    } else {
        object = Native::GetWindowObject(hwnd);
        if (msg == WM_NCDESTROY && object != nullptr) {
            const LRESULT result = Native::DefaultProc(hwnd, msg, wParam, lParam);
            Native::SetWindowObject(hwnd, nullptr);
            object->m_hWnd = nullptr;
            if (!object->m_creating) {
                object->OnFinalMessage(hwnd);
            }
            return result;
        }
    }
    if (object != nullptr) {
        return object->HandleMessage(msg, wParam, lParam);
    }
    return Native::DefaultProc(hwnd, msg, wParam, lParam);
}
