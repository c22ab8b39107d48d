#pragma once
// CImageEx: a 32-bit picture with premultiplied alpha, loaded from one of
// the program's embedded PNG resources.

#include <cstddef>
#include <memory>

#include "WinTypes.h"

class CCanvas;

class CImageEx {
public:
    CImageEx();
    ~CImageEx();
    CImageEx(const CImageEx&) = delete;
    CImageEx& operator=(const CImageEx&) = delete;

    // False (and the picture stays empty) when the resource is missing or
    // is not a PNG that decodes.
    bool LoadFromResource(HINSTANCE module, UINT id, const wchar_t* type);
    // Decodes PNG bytes; the same rules as LoadFromResource.
    bool LoadFromMemory(const void* bytes, size_t size);
    void Draw(CCanvas& dc, const RECT& destination, const RECT& source) const;

    int GetWidth() const;
    int GetHeight() const;
    bool IsNull() const { return GetWidth() == 0; }

    // The backend's own picture object (a cairo surface here).
    void* NativeHandle() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
