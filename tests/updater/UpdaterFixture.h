#pragma once
// Shared set-up of the updater's tests: a temporary data folder and an
// update window on the off-screen window system.

#include <gtest/gtest.h>

#include "Canvas.h"
#include "Native.h"
#include "OffscreenNative.h"
#include "UpdateFrame.h"
#include "pelbo/corekit/Path.h"
#include "support/TempDir.h"

// Whether the program runs under wine, whose GDI+ lays text out in its own
// way (the Windows build's tests run there).
inline bool UnderWine()
{
#if defined(_WIN32)
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

class UpdaterFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        Offscreen::Reset();
        ASSERT_FALSE(m_root.Path().empty());
        Util::Path::SetRootFolder(m_root.Path().wstring().c_str());
    }

    void TearDown() override
    {
        if (m_hwnd != nullptr && Offscreen::Alive(m_hwnd)) {
            Native::Destroy(m_hwnd);
        }
        Offscreen::Reset();
    }

    // A new window in its waiting state; the window owns the object.
    CUpdateFrame* Open(unsigned version = 1002, const wchar_t* md5 = L"0123456789abcdef0123456789abcdef")
    {
        auto* frame = new CUpdateFrame();
        m_hwnd = frame->Create(nullptr, nullptr, L"Oxbel", 0, 0, 0, 0, 0, 0, nullptr);
        EXPECT_NE(m_hwnd, nullptr);
        frame->StartUpdate(false, version, L"http://127.0.0.1:1/download/installer", md5);
        return frame;
    }

    uint32_t Pixel(int x, int y) const { return Offscreen::PresentedPixel(m_hwnd, x, y); }

    TestSupport::TempDir m_root;
    HWND m_hwnd = nullptr;
};
