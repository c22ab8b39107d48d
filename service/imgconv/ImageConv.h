#pragma once
// The conversion of one file, as a conversion task runs it: a PNG (by its
// content) is recompressed by pngsqueeze with the quality range "50-80";
// any other file whose name ends in exactly "png" or "jpg" is decoded as
// that format and written again as JPEG with quality 70. Each step is
// logged under "DoImageConv" with sizes and milliseconds.

#include <cstdint>

namespace ImgConv {

// 0 on success, 0x80004005 on failure (the value message 13 carries).
uint32_t DoImageConv(const wchar_t* src, const wchar_t* dst);

// The JPEG branch: false when the extension is neither "png" nor "jpg"
// (compared exactly), the file does not load as that format, or the JPEG
// cannot be written.
bool ReencodeAsJpeg(const wchar_t* src, const wchar_t* dst);

}  // namespace ImgConv
