#pragma once
// CStringW: on Windows the ATL class; elsewhere a small value class with the
// members this code base uses. Header-only, so it can cross the exported
// boundary by value without a library of its own.

#if defined(_WIN32) && defined(_MSC_VER)
#include <atlstr.h>
#else

#include <cstdarg>
#include <cstddef>
#include <cwchar>
#include <cwctype>
#include <string>

#include "pelbo/compat/WideFormat.h"

class CStringW {
public:
    CStringW() = default;
    CStringW(const wchar_t* text) : m_text(text != nullptr ? text : L"") {}
    CStringW(const wchar_t* text, int length)
        : m_text(text != nullptr && length > 0 ? std::wstring(text, static_cast<size_t>(length))
                                               : std::wstring())
    {
    }
    CStringW(const std::wstring& text) : m_text(text) {}
    CStringW(std::wstring&& text) : m_text(std::move(text)) {}
    CStringW(wchar_t ch, int repeat = 1) : m_text(repeat > 0 ? static_cast<size_t>(repeat) : 0, ch) {}

    int GetLength() const { return static_cast<int>(m_text.size()); }
    bool IsEmpty() const { return m_text.empty(); }
    void Empty() { m_text.clear(); }
    const wchar_t* GetString() const { return m_text.c_str(); }
    operator const wchar_t*() const { return m_text.c_str(); }
    const std::wstring& str() const { return m_text; }
    wchar_t GetAt(int index) const { return m_text.at(static_cast<size_t>(index)); }
    wchar_t operator[](int index) const { return GetAt(index); }
    void SetAt(int index, wchar_t ch) { m_text.at(static_cast<size_t>(index)) = ch; }

    CStringW& operator=(const wchar_t* text)
    {
        m_text = text != nullptr ? text : L"";
        return *this;
    }
    CStringW& operator=(const std::wstring& text)
    {
        m_text = text;
        return *this;
    }
    CStringW& operator+=(const CStringW& other)
    {
        m_text += other.m_text;
        return *this;
    }
    CStringW& operator+=(const wchar_t* text)
    {
        if (text != nullptr)
            m_text += text;
        return *this;
    }
    CStringW& operator+=(wchar_t ch)
    {
        m_text += ch;
        return *this;
    }
    void Append(const wchar_t* text) { *this += text; }
    void AppendChar(wchar_t ch) { m_text += ch; }

    friend CStringW operator+(const CStringW& a, const CStringW& b) { return CStringW(a.m_text + b.m_text); }
    friend CStringW operator+(const CStringW& a, const wchar_t* b)
    {
        CStringW r(a);
        r += b;
        return r;
    }
    friend CStringW operator+(const wchar_t* a, const CStringW& b)
    {
        CStringW r(a);
        r += b;
        return r;
    }
    friend CStringW operator+(const CStringW& a, wchar_t b)
    {
        CStringW r(a);
        r += b;
        return r;
    }

    friend bool operator==(const CStringW& a, const CStringW& b) { return a.m_text == b.m_text; }
    friend bool operator==(const CStringW& a, const wchar_t* b) { return a.m_text == (b != nullptr ? b : L""); }
    friend bool operator==(const wchar_t* a, const CStringW& b) { return b == a; }
    friend bool operator!=(const CStringW& a, const CStringW& b) { return !(a == b); }
    friend bool operator!=(const CStringW& a, const wchar_t* b) { return !(a == b); }
    friend bool operator!=(const wchar_t* a, const CStringW& b) { return !(b == a); }
    friend bool operator<(const CStringW& a, const CStringW& b) { return a.m_text < b.m_text; }

    int Compare(const wchar_t* other) const { return std::wcscmp(m_text.c_str(), other != nullptr ? other : L""); }
    int CompareNoCase(const wchar_t* other) const
    {
        const wchar_t* a = m_text.c_str();
        const wchar_t* b = other != nullptr ? other : L"";
        for (;; ++a, ++b) {
            const wint_t ca = std::towlower(static_cast<wint_t>(*a));
            const wint_t cb = std::towlower(static_cast<wint_t>(*b));
            if (ca != cb)
                return ca < cb ? -1 : 1;
            if (ca == 0)
                return 0;
        }
    }

    int Find(wchar_t ch, int start = 0) const { return ToIndex(m_text.find(ch, Clamp(start))); }
    int Find(const wchar_t* sub, int start = 0) const
    {
        return sub == nullptr ? -1 : ToIndex(m_text.find(sub, Clamp(start)));
    }
    int ReverseFind(wchar_t ch) const { return ToIndex(m_text.rfind(ch)); }

    CStringW Left(int count) const { return CStringW(m_text.substr(0, Clamp(count))); }
    CStringW Right(int count) const
    {
        const size_t n = Clamp(count);
        return CStringW(m_text.substr(m_text.size() - n));
    }
    CStringW Mid(int first) const { return CStringW(m_text.substr(Clamp(first))); }
    CStringW Mid(int first, int count) const
    {
        return CStringW(m_text.substr(Clamp(first), count < 0 ? 0 : static_cast<size_t>(count)));
    }

    CStringW& Trim() { return TrimLeft().TrimRight(); }
    CStringW& TrimLeft()
    {
        size_t i = 0;
        while (i < m_text.size() && std::iswspace(static_cast<wint_t>(m_text[i])))
            ++i;
        m_text.erase(0, i);
        return *this;
    }
    CStringW& TrimRight()
    {
        size_t n = m_text.size();
        while (n > 0 && std::iswspace(static_cast<wint_t>(m_text[n - 1])))
            --n;
        m_text.erase(n);
        return *this;
    }
    CStringW& MakeLower()
    {
        for (auto& c : m_text)
            c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
        return *this;
    }
    CStringW& MakeUpper()
    {
        for (auto& c : m_text)
            c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
        return *this;
    }
    int Replace(const wchar_t* from, const wchar_t* to)
    {
        if (from == nullptr || *from == L'\0')
            return 0;
        const std::wstring f(from), t(to != nullptr ? to : L"");
        int count = 0;
        for (size_t pos = m_text.find(f); pos != std::wstring::npos; pos = m_text.find(f, pos + t.size())) {
            m_text.replace(pos, f.size(), t);
            ++count;
        }
        return count;
    }

    void Format(const wchar_t* format, ...)
    {
        va_list args;
        va_start(args, format);
        m_text = Compat::FormatWideV(format, args);
        va_end(args);
    }
    void AppendFormat(const wchar_t* format, ...)
    {
        va_list args;
        va_start(args, format);
        m_text += Compat::FormatWideV(format, args);
        va_end(args);
    }

private:
    size_t Clamp(int index) const
    {
        if (index <= 0)
            return 0;
        return static_cast<size_t>(index) > m_text.size() ? m_text.size() : static_cast<size_t>(index);
    }
    static int ToIndex(size_t pos) { return pos == std::wstring::npos ? -1 : static_cast<int>(pos); }

    std::wstring m_text;
};

#endif
