#pragma once
// Case-insensitive comparison of ASCII letters only, whatever the process
// locale: URL schemes and similar protocol words are ASCII by definition.

#include <string>

namespace Compat {

// True when text begins with head; head is given in lower case.
inline bool StartsWithNoCase(const std::wstring& text, const wchar_t* head)
{
    for (size_t i = 0; head[i] != L'\0'; ++i) {
        if (i >= text.size())
            return false;
        const wchar_t c = text[i] >= L'A' && text[i] <= L'Z' ? static_cast<wchar_t>(text[i] - L'A' + L'a') : text[i];
        if (c != head[i])
            return false;
    }
    return true;
}

// True when text is word, letter case aside; word is given in lower case.
inline bool EqualsNoCase(const std::wstring& text, const wchar_t* word)
{
    return text.size() == std::char_traits<wchar_t>::length(word) && StartsWithNoCase(text, word);
}

}  // namespace Compat
