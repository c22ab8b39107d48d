// The settings file reader: arbitrary file content is read without harm,
// and whatever it sets keeps within what the getters promise (time-outs in
// their ranges or at their defaults, the path style a flag).

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include "FuzzSupport.h"
#include "pelbo/corekit/HttpSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string file = (Fuzz::PrivateRoot() / "ServiceSettings.ini").string();
    static const std::wstring path = Fuzz::Text(file);
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    Http::ResetSettings();
    Fuzz::Check(Http::LoadSettingsFile(path.c_str()) == 1, "an existing file is read");
    const unsigned connect = Http::GetConnectTimeoutMs();
    const unsigned request = Http::GetRequestTimeoutMs();
    Fuzz::Check(connect >= 500 && connect <= 120000, "the connect time-out lies in its range");
    Fuzz::Check(request >= 1000 && request <= 600000, "the request time-out lies in its range");
    const int pathStyle = Http::GetOssPathStyle();
    Fuzz::Check(pathStyle == 0 || pathStyle == 1, "the path style is a flag");
    Http::GetHttpUrlHead();
    Http::GetWSSUrl();
    Http::GetManifestUrl();
    Http::GetOssDomainSuffix();
    Http::GetCaBundle();
    return 0;
}
