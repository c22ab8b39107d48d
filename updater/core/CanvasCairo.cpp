#include <cairo.h>
#include <pango/pangocairo.h>

#include <string>

#include "Canvas.h"
#include "ImageEx.h"
#include "pelbo/compat/TextConvert.h"

namespace {

// The product's font first; WenQuanYi Micro Hei carries the Chinese texts
// where the product's font is not installed.
const char kFontFamilies[] = "\xE5\xBE\xAE\xE8\xBD\xAF\xE9\x9B\x85\xE9\xBB\x91,WenQuanYi Micro Hei";
// Text is drawn just short of opaque, as the window always did.
constexpr double kTextAlpha = 254.0 / 255.0;

long RectWidth(const RECT& r) { return r.right - r.left; }
long RectHeight(const RECT& r) { return r.bottom - r.top; }

}  // namespace

struct CCanvas::Impl {
    cairo_surface_t* surface = nullptr;
    ~Impl()
    {
        if (surface != nullptr) {
            cairo_surface_destroy(surface);
        }
    }
};

CCanvas::CCanvas(int width, int height) : m_impl(new Impl()), m_width(width), m_height(height)
{
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) {
        m_impl->surface = surface;
    } else {
        cairo_surface_destroy(surface);
        m_width = 0;
        m_height = 0;
    }
}

CCanvas::~CCanvas() = default;

int CCanvas::Stride() const
{
    return m_impl->surface != nullptr ? cairo_image_surface_get_stride(m_impl->surface) : 0;
}

const uint8_t* CCanvas::Pixels() const
{
    if (m_impl->surface == nullptr) {
        return nullptr;
    }
    cairo_surface_flush(m_impl->surface);
    return cairo_image_surface_get_data(m_impl->surface);
}

uint32_t CCanvas::PixelAt(int x, int y) const
{
    const uint8_t* pixels = Pixels();
    if (pixels == nullptr || x < 0 || y < 0 || x >= m_width || y >= m_height) {
        return 0;
    }
    return *reinterpret_cast<const uint32_t*>(pixels + static_cast<size_t>(y) * Stride() + static_cast<size_t>(x) * 4);
}

void CCanvas::DrawImage(const CImageEx& image, const RECT& destination, const RECT& source)
{
    auto* picture = static_cast<cairo_surface_t*>(image.NativeHandle());
    if (m_impl->surface == nullptr || picture == nullptr || RectWidth(destination) <= 0 || RectHeight(destination) <= 0 ||
        RectWidth(source) <= 0 || RectHeight(source) <= 0) {
        return;
    }
    // A view of just the source rectangle: stretching then samples nothing
    // from the neighbouring part of the picture (the strip's two halves).
    cairo_surface_t* part = cairo_surface_create_for_rectangle(picture, source.left, source.top, RectWidth(source),
                                                               RectHeight(source));
    cairo_t* cr = cairo_create(m_impl->surface);
    cairo_rectangle(cr, destination.left, destination.top, RectWidth(destination), RectHeight(destination));
    cairo_clip(cr);
    cairo_translate(cr, destination.left, destination.top);
    cairo_scale(cr, static_cast<double>(RectWidth(destination)) / RectWidth(source),
                static_cast<double>(RectHeight(destination)) / RectHeight(source));
    cairo_set_source_surface(cr, part, 0, 0);
    cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_destroy(part);
}

bool CCanvas::DrawLabel(int fontSize, UINT flags, COLORREF rgb, const RECT& rect, const wchar_t* text)
{
    if (m_impl->surface == nullptr || text == nullptr || fontSize <= 0) {
        return false;
    }
    const std::string utf8 = ToMultiByte(text, CP_UTF8);
    cairo_t* cr = cairo_create(m_impl->surface);
    PangoLayout* layout = pango_cairo_create_layout(cr);
    PangoFontDescription* font = pango_font_description_from_string(kFontFamilies);
    pango_font_description_set_weight(font, PANGO_WEIGHT_BOLD);
    pango_font_description_set_absolute_size(font, fontSize * PANGO_SCALE);
    pango_layout_set_font_description(layout, font);
    pango_font_description_free(font);
    pango_layout_set_text(layout, utf8.c_str(), static_cast<int>(utf8.size()));

    const long width = RectWidth(rect);
    const long height = RectHeight(rect);
    if ((flags & DT_SINGLELINE) != 0) {
        pango_layout_set_single_paragraph_mode(layout, TRUE);
    }
    if ((flags & DT_END_ELLIPSIS) != 0 && width > 0) {
        pango_layout_set_width(layout, static_cast<int>(width * PANGO_SCALE));
        pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
    } else if ((flags & DT_SINGLELINE) == 0 && width > 0) {
        pango_layout_set_width(layout, static_cast<int>(width * PANGO_SCALE));
        pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
    }
    int textWidth = 0;
    int textHeight = 0;
    pango_layout_get_pixel_size(layout, &textWidth, &textHeight);

    double x = rect.left;
    if ((flags & DT_CENTER) != 0) {
        x += (width - textWidth) / 2.0;
    } else if ((flags & DT_RIGHT) != 0) {
        x += width - textWidth;
    }
    double y = rect.top;
    if (height > 0 && (flags & DT_VCENTER) != 0) {
        y += (height - textHeight) / 2.0;
    } else if (height > 0 && (flags & DT_BOTTOM) != 0) {
        y += height - textHeight;
    }
    if ((flags & DT_NOCLIP) == 0) {
        // A height of 0 places no limit downwards.
        cairo_rectangle(cr, rect.left, rect.top, width, height > 0 ? height : m_height - rect.top);
        cairo_clip(cr);
    }
    cairo_set_source_rgba(cr, ((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0, (rgb & 0xFF) / 255.0,
                          kTextAlpha);
    cairo_move_to(cr, x, y);
    pango_cairo_show_layout(cr, layout);
    const bool cut = pango_layout_is_ellipsized(layout) != FALSE;
    g_object_unref(layout);
    cairo_destroy(cr);
    return cut;
}

bool CCanvas::SavePng(const std::string& utf8Path) const
{
    return m_impl->surface != nullptr &&
           cairo_surface_write_to_png(m_impl->surface, utf8Path.c_str()) == CAIRO_STATUS_SUCCESS;
}
