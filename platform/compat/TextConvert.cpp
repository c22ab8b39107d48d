#include "pelbo/compat/TextConvert.h"

#include <cstdint>
#include <cstring>
#include <cwchar>

// Both directions are written against the Unicode rules rather than a system
// converter, so that a UTF-32 wchar_t (Linux) and a UTF-16 one (Windows) give
// the same text, and malformed input is repaired the same way everywhere.

namespace Compat {
namespace {

constexpr size_t kStackUnits = 1024;
constexpr uint32_t kReplacement = 0xFFFD;
constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;

bool IsSupported(unsigned codePage)
{
    return codePage == kCodePageUtf8 || codePage == kCodePageAcp;
}

bool IsSurrogate(uint32_t cp)
{
    return cp >= 0xD800 && cp <= 0xDFFF;
}

uint32_t CodePointAt(const wchar_t* text, size_t length, size_t& i)
{
    uint32_t cp = static_cast<uint32_t>(text[i]);
    if (kWideIsUtf16) {
        cp &= 0xFFFF;
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < length) {
            const uint32_t low = static_cast<uint32_t>(text[i + 1]) & 0xFFFF;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
    }
    if (IsSurrogate(cp) || cp > 0x10FFFF)
        cp = kReplacement;
    return cp;
}

size_t Utf8Length(uint32_t cp)
{
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

// Encodes text into out while it fits; returns the units the whole text
// needs, so a caller learns the exact size when the buffer was too small.
// Once the buffer is full the rest is only measured.
size_t EncodeUtf8(const wchar_t* text, size_t length, char* out, size_t capacity)
{
    size_t used = 0;
    size_t i = 0;
    for (; i < length; ++i) {
        const uint32_t cp = CodePointAt(text, length, i);
        if (cp < 0x80 && used < capacity) {
            out[used++] = static_cast<char>(cp);
            continue;
        }
        const size_t n = Utf8Length(cp);
        if (used + n > capacity) {
            used += n;
            ++i;
            break;
        }
        char* p = out + used;
        if (n == 2) {
            p[0] = static_cast<char>(0xC0 | (cp >> 6));
            p[1] = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (n == 3) {
            p[0] = static_cast<char>(0xE0 | (cp >> 12));
            p[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            p[2] = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            p[0] = static_cast<char>(0xF0 | (cp >> 18));
            p[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            p[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            p[3] = static_cast<char>(0x80 | (cp & 0x3F));
        }
        used += n;
    }
    for (; i < length; ++i)
        used += Utf8Length(CodePointAt(text, length, i));
    return used;
}

// Length of the valid sequence that starts at text[i], or of the maximal
// ill-formed subpart (at least 1) when invalid; cp receives the code point
// or U+FFFD. The ranges are those of the Unicode well-formed UTF-8 table.
size_t DecodeOne(const unsigned char* text, size_t length, size_t i, uint32_t& cp)
{
    const unsigned char lead = text[i];
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    size_t trail;
    unsigned char lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trail = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trail = 2;
        cp = lead & 0x0F;
        if (lead == 0xE0)
            lo = 0xA0;
        else if (lead == 0xED)
            hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trail = 3;
        cp = lead & 0x07;
        if (lead == 0xF0)
            lo = 0x90;
        else if (lead == 0xF4)
            hi = 0x8F;
    } else {
        cp = kReplacement;
        return 1;
    }
    size_t used = 1;
    for (size_t k = 0; k < trail; ++k) {
        if (i + used >= length) {
            cp = kReplacement;
            return used;
        }
        const unsigned char c = text[i + used];
        const unsigned char min = k == 0 ? lo : 0x80;
        const unsigned char max = k == 0 ? hi : 0xBF;
        if (c < min || c > max) {
            cp = kReplacement;
            return used;
        }
        cp = (cp << 6) | (c & 0x3F);
        ++used;
    }
    return used;
}

size_t DecodeUtf8(const char* text, size_t length, wchar_t* out, size_t capacity)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t needed = 0;
    auto put = [&](uint32_t unit) {
        if (needed < capacity)
            out[needed] = static_cast<wchar_t>(unit);
        ++needed;
    };
    for (size_t i = 0; i < length;) {
        uint32_t cp = 0;
        i += DecodeOne(bytes, length, i, cp);
        if (kWideIsUtf16 && cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 + (cp >> 10));
            put(0xDC00 + (cp & 0x3FF));
        } else {
            put(cp);
        }
    }
    return needed;
}

}  // namespace

std::string ToMultiByte(const wchar_t* text, unsigned codePage)
{
    if (text == nullptr || !IsSupported(codePage))
        return std::string();
    const size_t length = std::wcslen(text);
    if (length == 0)
        return std::string();
    char buffer[kStackUnits];
    const size_t needed = EncodeUtf8(text, length, buffer, kStackUnits);
    if (needed <= kStackUnits)
        return std::string(buffer, needed);
    std::string exact(needed, '\0');
    EncodeUtf8(text, length, exact.data(), exact.size());
    return exact;
}

std::wstring ToWide(const char* text, unsigned codePage)
{
    if (text == nullptr || !IsSupported(codePage))
        return std::wstring();
    const size_t length = std::strlen(text);
    if (length == 0)
        return std::wstring();
    wchar_t buffer[kStackUnits];
    const size_t needed = DecodeUtf8(text, length, buffer, kStackUnits);
    if (needed <= kStackUnits)
        return std::wstring(buffer, needed);
    std::wstring exact(needed, L'\0');
    DecodeUtf8(text, length, exact.data(), exact.size());
    return exact;
}

}  // namespace Compat
