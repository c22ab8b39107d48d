#pragma once
// Wide text <-> std::filesystem::path through UTF-8, so that the result does
// not depend on the process locale (which libstdc++ would otherwise consult).

#include <filesystem>
#include <string>

#include "pelbo/compat/TextConvert.h"

namespace Corekit {

inline std::filesystem::path ToFsPath(const std::wstring& text)
{
    return std::filesystem::u8path(ToMultiByte(text.c_str(), CP_UTF8));
}

inline std::wstring FromFsPath(const std::filesystem::path& path)
{
    return ToWide(path.u8string().c_str(), CP_UTF8);
}

}  // namespace Corekit
