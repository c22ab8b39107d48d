#include "QualityRange.h"

#include <cctype>

namespace Png {
namespace {

// Reads 1 to 3 decimal digits; false when there are none or the value is
// over 100.
bool ReadNumber(const char*& p, int& value)
{
    if (!std::isdigit(static_cast<unsigned char>(*p)))
        return false;
    value = 0;
    int digits = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        if (++digits > 3)
            return false;
        value = value * 10 + (*p - '0');
        ++p;
    }
    return value <= 100;
}

}  // namespace

bool ParseQualityRange(const char* text, QualityRange& range)
{
    if (text == nullptr)
        return false;
    const char* p = text;
    QualityRange parsed;
    if (*p == '-') {
        ++p;
        if (!ReadNumber(p, parsed.maximum) || *p != '\0')
            return false;
        parsed.minimum = 0;
    } else {
        int first = 0;
        if (!ReadNumber(p, first))
            return false;
        if (*p == '\0') {
            parsed.maximum = first;
            parsed.minimum = first * 9 / 10;
        } else if (*p == '-' && p[1] == '\0') {
            parsed.minimum = first;
            parsed.maximum = 100;
        } else if (*p == '-') {
            ++p;
            parsed.minimum = first;
            if (!ReadNumber(p, parsed.maximum) || *p != '\0')
                return false;
        } else {
            return false;
        }
    }
    if (parsed.minimum > parsed.maximum)
        return false;
    range = parsed;
    return true;
}

}  // namespace Png
