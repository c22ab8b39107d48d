#pragma once
// The picture of the whole window: 32-bit pixels with premultiplied alpha
// (0xAARRGGBB in native byte order, rows of Stride() bytes), painted in full
// on every change and handed to the system as one piece.

#include <cstdint>
#include <memory>
#include <string>

#include "WinTypes.h"

class CImageEx;

class CCanvas {
public:
    CCanvas(int width, int height);
    ~CCanvas();
    CCanvas(const CCanvas&) = delete;
    CCanvas& operator=(const CCanvas&) = delete;

    int Width() const { return m_width; }
    int Height() const { return m_height; }
    int Stride() const;
    // Null when the canvas could not be allocated (it then draws nothing).
    const uint8_t* Pixels() const;
    uint32_t PixelAt(int x, int y) const;

    // Draws the source rectangle of the picture into the destination,
    // stretched, blended over what is there. The source never bleeds past
    // its rectangle.
    void DrawImage(const CImageEx& image, const RECT& destination, const RECT& source);
    // One text laid out in rect with the DT_* flags of the window (end
    // ellipsis, no clip, single line, horizontal and vertical alignment); a
    // height of 0 places no limit. Fonts: the product's, then WenQuanYi
    // Micro Hei for the Chinese texts. Returns whether the text was cut.
    bool DrawLabel(int fontSize, UINT flags, COLORREF rgb, const RECT& rect, const wchar_t* text);

    bool SavePng(const std::string& utf8Path) const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    int m_width;
    int m_height;
};
