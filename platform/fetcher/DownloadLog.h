#pragma once
// The log tag of downloads, and the address as a log line may show it.

#include <string>

#include "UrlText.h"
#include "Utf8Text.h"
#include "pelbo/corekit/Log.h"

namespace Fetcher {

constexpr const wchar_t* kLogTag = L"HttpDownload";

inline std::wstring MaskedUrl(const std::string& url)
{
    return Util::Log::MaskSecrets(Netcall::Utf8ToWide(Netcall::UrlForLog(url)));
}

}  // namespace Fetcher
