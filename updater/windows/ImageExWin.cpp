// CImageEx on Windows: the PNG resource decoded by GDI+ from a stream on a
// movable global memory block, kept as a 32-bit DIB section with
// premultiplied alpha so AlphaBlend can draw it. Compiled for the Windows
// build only.

#include <windows.h>
#include <gdiplus.h>
#include <objidl.h>

#include <cstring>

#include "Canvas.h"
#include "ImageEx.h"

struct CImageEx::Impl {
    HBITMAP bitmap = nullptr;
    int width = 0;
    int height = 0;
    ~Impl()
    {
        if (bitmap != nullptr) {
            DeleteObject(bitmap);
        }
    }
};

CImageEx::CImageEx() : m_impl(new Impl()) {}
CImageEx::~CImageEx() = default;

bool CImageEx::LoadFromResource(HINSTANCE module, UINT id, const wchar_t* type)
{
    const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (found == nullptr) {
        return false;
    }
    const DWORD size = SizeofResource(module, found);
    const HGLOBAL loaded = LoadResource(module, found);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    const bool ok = bytes != nullptr && LoadFromMemory(bytes, size);
    if (loaded != nullptr) {
        FreeResource(loaded);
    }
    return ok;
}

bool CImageEx::LoadFromMemory(const void* bytes, size_t size)
{
    if (bytes == nullptr || size == 0) {
        return false;
    }
    const HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    if (block == nullptr) {
        return false;
    }
    void* target = GlobalLock(block);
    std::memcpy(target, bytes, size);
    GlobalUnlock(block);
    IStream* stream = nullptr;
    if (CreateStreamOnHGlobal(block, TRUE, &stream) != S_OK) {
        GlobalFree(block);
        return false;
    }
    bool ok = false;
    {
        Gdiplus::Bitmap decoded(stream);
        const int w = static_cast<int>(decoded.GetWidth());
        const int h = static_cast<int>(decoded.GetHeight());
        Gdiplus::Rect whole(0, 0, w, h);
        Gdiplus::BitmapData data;
        // GDI+ premultiplies while it converts.
        if (decoded.GetLastStatus() == Gdiplus::Ok && w > 0 && h > 0 &&
            decoded.LockBits(&whole, Gdiplus::ImageLockModeRead, PixelFormat32bppPARGB, &data) == Gdiplus::Ok) {
            BITMAPINFO info = {};
            info.bmiHeader.biSize = sizeof(info.bmiHeader);
            info.bmiHeader.biWidth = w;
            info.bmiHeader.biHeight = -h;
            info.bmiHeader.biPlanes = 1;
            info.bmiHeader.biBitCount = 32;
            void* bits = nullptr;
            const HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
            if (bitmap != nullptr) {
                for (int y = 0; y < h; ++y) {
                    std::memcpy(static_cast<BYTE*>(bits) + static_cast<size_t>(y) * w * 4,
                                static_cast<const BYTE*>(data.Scan0) + static_cast<size_t>(y) * data.Stride,
                                static_cast<size_t>(w) * 4);
                }
                if (m_impl->bitmap != nullptr) {
                    DeleteObject(m_impl->bitmap);
                }
                m_impl->bitmap = bitmap;
                m_impl->width = w;
                m_impl->height = h;
                ok = true;
            }
            decoded.UnlockBits(&data);
        }
    }
    stream->Release();
    return ok;
}

int CImageEx::GetWidth() const { return m_impl->width; }
int CImageEx::GetHeight() const { return m_impl->height; }
void* CImageEx::NativeHandle() const { return m_impl->bitmap; }

void CImageEx::Draw(CCanvas& dc, const RECT& destination, const RECT& source) const
{
    if (m_impl->bitmap != nullptr) {
        dc.DrawImage(*this, destination, source);
    }
}
