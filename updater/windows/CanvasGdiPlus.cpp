// CCanvas on Windows: a top-down 32-bit DIB section in a memory DC; pictures
// are blended with AlphaBlend, text is drawn with GDI+. Compiled for the
// Windows build only.

#include <windows.h>
#include <gdiplus.h>

#include <cwchar>
#include <string>
#include <vector>

#include "Canvas.h"
#include "pelbo/compat/TextConvert.h"
#include "ImageEx.h"

struct CCanvas::Impl {
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ old = nullptr;
    uint8_t* bits = nullptr;
    ~Impl()
    {
        if (dc != nullptr) {
            SelectObject(dc, old);
            DeleteDC(dc);
        }
        if (bitmap != nullptr) {
            DeleteObject(bitmap);
        }
    }
};

CCanvas::CCanvas(int width, int height) : m_impl(new Impl()), m_width(width), m_height(height)
{
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    m_impl->dc = CreateCompatibleDC(nullptr);
    m_impl->bitmap = CreateDIBSection(m_impl->dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (m_impl->dc == nullptr || m_impl->bitmap == nullptr) {
        m_width = 0;
        m_height = 0;
        return;
    }
    m_impl->bits = static_cast<uint8_t*>(bits);
    m_impl->old = SelectObject(m_impl->dc, m_impl->bitmap);
}

CCanvas::~CCanvas() = default;

int CCanvas::Stride() const { return m_width * 4; }

const uint8_t* CCanvas::Pixels() const
{
    GdiFlush();
    return m_impl->bits;
}

uint32_t CCanvas::PixelAt(int x, int y) const
{
    if (m_impl->bits == nullptr || x < 0 || y < 0 || x >= m_width || y >= m_height) {
        return 0;
    }
    GdiFlush();
    return *reinterpret_cast<const uint32_t*>(m_impl->bits + static_cast<size_t>(y) * Stride() + x * 4);
}

void CCanvas::DrawImage(const CImageEx& image, const RECT& d, const RECT& s)
{
    const HBITMAP picture = static_cast<HBITMAP>(image.NativeHandle());
    if (m_impl->dc == nullptr || picture == nullptr) {
        return;
    }
    const HDC source = CreateCompatibleDC(m_impl->dc);
    const HGDIOBJ old = SelectObject(source, picture);
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    AlphaBlend(m_impl->dc, d.left, d.top, d.right - d.left, d.bottom - d.top, source, s.left, s.top,
               s.right - s.left, s.bottom - s.top, blend);
    SelectObject(source, old);
    DeleteDC(source);
}

bool CCanvas::DrawLabel(int fontSize, UINT flags, COLORREF rgb, const RECT& rect, const wchar_t* text)
{
    if (m_impl->dc == nullptr || text == nullptr) {
        return false;
    }
    Gdiplus::FontFamily family(L"Microsoft YaHei");
    Gdiplus::Font font(&family, static_cast<Gdiplus::REAL>(fontSize), Gdiplus::FontStyleBold, Gdiplus::UnitPixel);
    Gdiplus::Graphics graphics(m_impl->dc);
    graphics.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAlias);
    const Gdiplus::RectF layout(static_cast<Gdiplus::REAL>(rect.left), static_cast<Gdiplus::REAL>(rect.top),
                                static_cast<Gdiplus::REAL>(rect.right - rect.left),
                                static_cast<Gdiplus::REAL>(rect.bottom - rect.top));
    // rgb is 0xRRGGBB.
    Gdiplus::SolidBrush brush(Gdiplus::Color(254, (rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF));
    Gdiplus::StringFormat* format = Gdiplus::StringFormat::GenericTypographic()->Clone();
    int formatFlags = 0;
    if ((flags & DT_END_ELLIPSIS) != 0) {
        format->SetTrimming(Gdiplus::StringTrimmingEllipsisCharacter);
    }
    if ((flags & DT_NOCLIP) != 0) {
        formatFlags |= Gdiplus::StringFormatFlagsNoClip;
    }
    if ((flags & DT_SINGLELINE) != 0) {
        formatFlags |= Gdiplus::StringFormatFlagsNoWrap;
    }
    format->SetFormatFlags(formatFlags);
    format->SetAlignment((flags & DT_CENTER) != 0  ? Gdiplus::StringAlignmentCenter
                         : (flags & DT_RIGHT) != 0 ? Gdiplus::StringAlignmentFar
                                                   : Gdiplus::StringAlignmentNear);
    format->SetLineAlignment((flags & DT_VCENTER) != 0  ? Gdiplus::StringAlignmentCenter
                             : (flags & DT_BOTTOM) != 0 ? Gdiplus::StringAlignmentFar
                                                        : Gdiplus::StringAlignmentNear);
    Gdiplus::RectF needed;
    INT fitted = 0;
    graphics.MeasureString(text, -1, &font, Gdiplus::RectF(layout.X, layout.Y, 100000.0f, layout.Height), format,
                           &needed, &fitted);
    graphics.DrawString(text, -1, &font, layout, format, &brush);
    delete format;
    return (flags & DT_END_ELLIPSIS) != 0 && needed.Width > layout.Width;
}

bool CCanvas::SavePng(const std::string& utf8Path) const
{
    if (m_impl->bits == nullptr) {
        return false;
    }
    UINT count = 0;
    UINT bytes = 0;
    Gdiplus::GetImageEncodersSize(&count, &bytes);
    std::vector<BYTE> buffer(bytes);
    auto* encoders = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    if (bytes == 0 || Gdiplus::GetImageEncoders(count, bytes, encoders) != Gdiplus::Ok) {
        return false;
    }
    for (UINT i = 0; i < count; ++i) {
        if (std::wcscmp(encoders[i].MimeType, L"image/png") == 0) {
            GdiFlush();
            Gdiplus::Bitmap picture(m_width, m_height, Stride(), PixelFormat32bppPARGB, m_impl->bits);
            const std::wstring path = ToWide(utf8Path.c_str(), CP_UTF8);
            return picture.Save(path.c_str(), &encoders[i].Clsid, nullptr) == Gdiplus::Ok;
        }
    }
    return false;
}
