#include "pelbo/compat/WtoI.h"

#include <limits>

namespace Compat {
namespace {

// The C locale's white space; the result must not depend on the process locale.
bool IsSpace(wchar_t c)
{
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

template <typename T>
T Parse(const wchar_t* text)
{
    if (text == nullptr)
        return 0;
    const wchar_t* p = text;
    while (IsSpace(*p))
        ++p;
    bool negative = false;
    if (*p == L'+' || *p == L'-') {
        negative = *p == L'-';
        ++p;
    }
    // Accumulated as a negative number so that the minimum, whose magnitude
    // exceeds the maximum by one, needs no special case.
    constexpr T kMin = std::numeric_limits<T>::min();
    constexpr T kMax = std::numeric_limits<T>::max();
    T value = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        const T digit = static_cast<T>(*p - L'0');
        if (value < (kMin + digit) / 10)
            return negative ? kMin : kMax;
        value = static_cast<T>(value * 10 - digit);
    }
    if (negative)
        return value;
    return value == kMin ? kMax : static_cast<T>(-value);
}

}  // namespace

int WtoI(const wchar_t* text)
{
    return Parse<int>(text);
}

int64_t WtoI64(const wchar_t* text)
{
    return Parse<int64_t>(text);
}

}  // namespace Compat
