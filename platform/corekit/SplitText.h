#pragma once
// Shared by Util::Path::SplitString and Util::String::StringSplit, which keep
// their own signatures for their callers.

#include <string>
#include <vector>

namespace Corekit {

// Pieces between occurrences of separator, empty ones included; an empty
// separator leaves the text whole, an empty text gives no pieces.
template <typename Piece>
void SplitText(const std::wstring& text, const std::wstring& separator, std::vector<Piece>& parts)
{
    parts.clear();
    if (text.empty())
        return;
    if (separator.empty()) {
        parts.emplace_back(text);
        return;
    }
    size_t start = 0;
    for (size_t hit = text.find(separator); hit != std::wstring::npos; hit = text.find(separator, start)) {
        parts.emplace_back(text.substr(start, hit - start));
        start = hit + separator.size();
    }
    parts.emplace_back(text.substr(start));
}

}  // namespace Corekit
