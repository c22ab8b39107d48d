#pragma once
// CIniFile: one use of the configuration file, made for the length of one
// call. Text values are read into a buffer of 260 characters, so a longer
// value reads back as its first 259 characters (it is written whole).
// A path that does not fit the 260-character path buffer is refused rather
// than cut: a cut path would name another file.

#include "pelbo/compat/StringW.h"

namespace Account {

class CIniFile {
public:
    static constexpr int kBufferChars = 260;
    // Windows' ERROR_INVALID_PARAMETER: what a write or a text read starts
    // with, until the operation reports otherwise.
    static constexpr int kInvalidParameter = 87;

    CIniFile() = default;
    virtual ~CIniFile() = default;
    CIniFile(const CIniFile&) = delete;
    CIniFile& operator=(const CIniFile&) = delete;

    void SetPath(const wchar_t* path);
    // The key's text, empty when missing.
    CStringW ReadString(const wchar_t* section, const wchar_t* key);
    // The key's integer, 0 when missing.
    int ReadInt(const wchar_t* section, const wchar_t* key);
    // Non-zero on success.
    int WriteInt(const wchar_t* section, const wchar_t* key, int value);
    int WriteString(const wchar_t* section, const wchar_t* key, const wchar_t* value);
    int LastError() const { return m_lastError; }

private:
    bool PathUsable() const { return m_path[0] != L'\0'; }

    wchar_t m_path[kBufferChars] = {};
    wchar_t m_value[kBufferChars] = {};
    int m_lastError = 0;
};

}  // namespace Account
