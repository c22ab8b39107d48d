#include "pelbo/account/IniFile.h"

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <string>

#include "pelbo/compat/IniFile.h"
#include "pelbo/corekit/Log.h"

namespace Account {
namespace {

bool Named(const wchar_t* name)
{
    return name != nullptr && name[0] != L'\0';
}

}  // namespace

void CIniFile::SetPath(const wchar_t* path)
{
    m_path[0] = L'\0';
    if (path == nullptr)
        return;
    const size_t length = std::wcslen(path);
    if (length >= static_cast<size_t>(kBufferChars)) {
        Util::Log::Warn(L"CIniFile", L"SetPath: path of %u characters is too long: %s",
                        static_cast<unsigned>(length), path);
        return;
    }
    std::wmemcpy(m_path, path, length + 1);
}

CStringW CIniFile::ReadString(const wchar_t* section, const wchar_t* key)
{
    m_lastError = kInvalidParameter;
    m_value[0] = L'\0';
    if (PathUsable())
        Compat::ReadIniString(section, key, L"", m_value, kBufferChars, m_path);
    return CStringW(m_value);
}

int CIniFile::ReadInt(const wchar_t* section, const wchar_t* key)
{
    if (!Named(section) || !Named(key) || !PathUsable())
        return 0;
    return static_cast<int>(Compat::ReadIniInt(section, key, 0, m_path));
}

int CIniFile::WriteInt(const wchar_t* section, const wchar_t* key, int value)
{
    m_lastError = kInvalidParameter;
    if (!Named(section) || !Named(key))
        return 0;
    const CStringW text(std::to_wstring(value));
    return WriteString(section, key, text);
}

int CIniFile::WriteString(const wchar_t* section, const wchar_t* key, const wchar_t* value)
{
    m_lastError = kInvalidParameter;
    if (!Named(section) || !Named(key) || !PathUsable())
        return 0;
    const int written = Compat::WriteIniString(section, key, value != nullptr ? value : L"", m_path) ? 1 : 0;
    if (written == 0) {
        m_lastError = errno;
        // Callers keep going on a refused write; the log is where it shows.
        Util::Log::Warn(L"CIniFile", L"WriteString: [%s] %s not written to %s: %S", section, key, m_path,
                        std::strerror(m_lastError));
    }
    return written;
}

}  // namespace Account
