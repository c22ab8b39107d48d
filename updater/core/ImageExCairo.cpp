#include <cairo.h>

#include <cstring>

#include "Canvas.h"
#include "ImageEx.h"
#include "Resources.h"

struct CImageEx::Impl {
    cairo_surface_t* surface = nullptr;
    ~Impl()
    {
        if (surface != nullptr) {
            cairo_surface_destroy(surface);
        }
    }
};

namespace {

struct ReadState {
    const unsigned char* data;
    size_t size;
    size_t offset;
};

cairo_status_t ReadBytes(void* closure, unsigned char* out, unsigned int length)
{
    auto* state = static_cast<ReadState*>(closure);
    if (state->size - state->offset < length) {
        return CAIRO_STATUS_READ_ERROR;
    }
    std::memcpy(out, state->data + state->offset, length);
    state->offset += length;
    return CAIRO_STATUS_SUCCESS;
}

}  // namespace

CImageEx::CImageEx() : m_impl(new Impl()) {}
CImageEx::~CImageEx() = default;

bool CImageEx::LoadFromResource(HINSTANCE, UINT id, const wchar_t* type)
{
    const unsigned char* bytes = nullptr;
    size_t size = 0;
    if (!Resources::Find(id, type, &bytes, &size)) {
        return false;
    }
    return LoadFromMemory(bytes, size);
}

bool CImageEx::LoadFromMemory(const void* bytes, size_t size)
{
    if (bytes == nullptr || size == 0) {
        return false;
    }
    ReadState state{static_cast<const unsigned char*>(bytes), size, 0};
    // cairo keeps image surfaces with premultiplied alpha, which is what
    // blending the pictures over each other needs.
    cairo_surface_t* decoded = cairo_image_surface_create_from_png_stream(&ReadBytes, &state);
    if (cairo_surface_status(decoded) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(decoded);
        return false;
    }
    if (m_impl->surface != nullptr) {
        cairo_surface_destroy(m_impl->surface);
    }
    m_impl->surface = decoded;
    return true;
}

int CImageEx::GetWidth() const
{
    return m_impl->surface != nullptr ? cairo_image_surface_get_width(m_impl->surface) : 0;
}

int CImageEx::GetHeight() const
{
    return m_impl->surface != nullptr ? cairo_image_surface_get_height(m_impl->surface) : 0;
}

void* CImageEx::NativeHandle() const
{
    return m_impl->surface;
}

void CImageEx::Draw(CCanvas& dc, const RECT& destination, const RECT& source) const
{
    if (m_impl->surface != nullptr) {
        dc.DrawImage(*this, destination, source);
    }
}
