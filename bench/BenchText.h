#pragma once
// Texts shared by the conversion benchmarks and their references.

#include <string>

#include "pelbo/compat/TextConvert.h"

namespace Bench {

// Mixed text: ASCII with some two-, three- and four-byte characters, as room
// names and chat lines tend to be; at least `bytes` long in UTF-8.
inline std::wstring MakeWide(size_t bytes)
{
    const std::wstring pattern = L"Meeting room \u00e9t\u00e9 \u4e2d\u6587 \U0001F600 notes; ";
    std::wstring text;
    while (ToMultiByte(text.c_str(), CP_UTF8).size() < bytes)
        text += pattern;
    return text;
}

}  // namespace Bench
