#include "pelbo/corekit/HttpSettings.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "ProxyRules.h"
#include "pelbo/corekit/FsPath.h"
#include "pelbo/compat/AsciiCase.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/compat/TextFile.h"
#include "pelbo/corekit/Log.h"
#include "pelbo/corekit/Path.h"

namespace Http {
namespace {

constexpr wchar_t kTag[] = L"HttpSettings";
constexpr wchar_t kFileName[] = L"ServiceSettings.ini";
// Larger files are not settings files; reading one whole would only waste memory.
constexpr size_t kMaxFileBytes = 1 << 20;

constexpr unsigned kDefaultConnectTimeoutMs = 10000;
constexpr unsigned kDefaultRequestTimeoutMs = 30000;

// Placeholders for a server on this machine; a deployment names its own in
// the settings file (docs/configuration.md).
struct Settings {
    std::wstring restUrl = L"https://127.0.0.1:8443";
    std::wstring wssUrl = L"wss://127.0.0.1:8443/ws";
    std::wstring manifestUrl = L"https://127.0.0.1:8443/upgrade/pelbo-version.json";
    std::wstring ossDomainSuffix = L".localhost:9000";
    int ossPathStyle = 1;
    int ossHttps = 0;
    int allowHttpUpdates = 0;
    std::wstring caBundle;
    unsigned connectTimeoutMs = kDefaultConnectTimeoutMs;
    unsigned requestTimeoutMs = kDefaultRequestTimeoutMs;
    // Kept in the forms libcurl takes as they are (ProxyRules.h).
    std::wstring proxy;
    std::wstring proxyUser;
    std::wstring proxyPassword;
    std::wstring noProxy;
};

struct SettingsState {
    std::mutex lock;
    Settings values;
    // The settings file is read once, before the first value is handed out
    // or replaced, so values set in code always win over the file.
    bool fileConsulted = false;
};

SettingsState& State()
{
    static SettingsState state;
    return state;
}

std::string Trim(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    const size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::string Lower(std::string text)
{
    for (auto& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// Decimal digits only, within 32 bits; anything else is refused rather than
// read as a surprising number.
bool ParseUnsigned(const std::string& text, unsigned& out)
{
    if (text.empty() || text.size() > 10)
        return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > UINT32_MAX)
        return false;
    out = static_cast<unsigned>(value);
    return true;
}

// "http" -> 0, "https" -> 1, in any letter case.
bool ParseScheme(const std::wstring& text, int& https)
{
    if (Compat::EqualsNoCase(text, L"http"))
        https = 0;
    else if (Compat::EqualsNoCase(text, L"https"))
        https = 1;
    else
        return false;
    return true;
}

bool ParseFlag(const std::string& text, int& out)
{
    const std::string lower = Lower(text);
    if (lower == "1" || lower == "true" || lower == "yes") {
        out = 1;
        return true;
    }
    if (lower == "0" || lower == "false" || lower == "no") {
        out = 0;
        return true;
    }
    return false;
}

// A time-out of 0 tells libcurl to wait for ever (a sign-in against a
// silent server would never end); one of a few milliseconds fails every
// exchange, one of hours holds a caller as long. A value outside its range
// counts as a mistake: the default applies instead.
struct TimeoutKey {
    const char* name;
    unsigned Settings::*member;
    unsigned min;
    unsigned max;
    unsigned fallback;
};

const TimeoutKey kConnectTimeout = {"connect_timeout_ms", &Settings::connectTimeoutMs, 500, 120000,
                                    kDefaultConnectTimeoutMs};
const TimeoutKey kRequestTimeout = {"request_timeout_ms", &Settings::requestTimeoutMs, 1000, 600000,
                                    kDefaultRequestTimeoutMs};

// An empty value means no proxy. A refusal's reason never repeats the value.
std::string TakeProxy(Settings& settings, const std::string& value)
{
    std::string canonical;
    if (!value.empty()) {
        const std::string refusal = ProxyRules::CheckProxy(value, &canonical);
        if (!refusal.empty())
            return refusal;
    }
    settings.proxy = ToWide(canonical.c_str(), CP_UTF8);
    return std::string();
}

// Applies one key of the [Service] section; an empty answer when the value
// was taken, otherwise why not.
std::string Apply(Settings& settings, const std::string& key, const std::string& value)
{
    for (const TimeoutKey* timeout : {&kConnectTimeout, &kRequestTimeout}) {
        if (key != timeout->name)
            continue;
        unsigned ms = 0;
        if (!ParseUnsigned(value, ms))
            return "not a number of milliseconds";
        if (ms < timeout->min || ms > timeout->max) {
            settings.*timeout->member = timeout->fallback;
            return "out of range " + std::to_string(timeout->min) + ".." + std::to_string(timeout->max) +
                   ", default " + std::to_string(timeout->fallback) + " used";
        }
        settings.*timeout->member = ms;
        return std::string();
    }

    const std::wstring wide = ToWide(value.c_str(), CP_UTF8);
    if (key == "rest_url")
        settings.restUrl = wide;
    else if (key == "wss_url")
        settings.wssUrl = wide;
    else if (key == "manifest_url")
        settings.manifestUrl = wide;
    else if (key == "oss_domain_suffix")
        settings.ossDomainSuffix = wide;
    else if (key == "oss_path_style")
        return ParseFlag(value, settings.ossPathStyle) ? std::string() : "not a flag";
    else if (key == "oss_scheme")
        return ParseScheme(wide, settings.ossHttps) ? std::string() : "not http or https";
    else if (key == "allow_http_updates")
        return ParseFlag(value, settings.allowHttpUpdates) ? std::string() : "not a flag";
    else if (key == "ca_bundle")
        settings.caBundle = wide;
    else if (key == "proxy")
        return TakeProxy(settings, value);
    else if (key == "proxy_user")
        settings.proxyUser = wide;
    else if (key == "proxy_password")
        settings.proxyPassword = wide;
    else if (key == "no_proxy")
        settings.noProxy = ToWide(ProxyRules::NormalizeNoProxy(value).c_str(), CP_UTF8);
    else
        return "unknown key";
    return std::string();
}

struct ParseResult {
    bool read = false;
    std::string unreadable;             // why an existing file was not read
    std::vector<std::string> rejected;  // "line N" descriptions for the log
};

// INI text as the Windows profile functions read it: sections and keys
// compared without case, ';' and '#' comment lines, values trimmed and freed
// of one pair of surrounding quotes.
ParseResult ParseFile(const std::wstring& path, Settings& settings)
{
    ParseResult result;
    std::string content;
    bool exists = false;
    if (!Compat::ReadTextFile(Corekit::ToFsPath(path).u8string(), kMaxFileBytes, content, exists)) {
        const int error = errno;
        result.unreadable = error == EINVAL ? "not a regular file" : std::generic_category().message(error);
        return result;
    }
    if (!exists)
        return result;
    result.read = true;

    std::istringstream lines(content);
    std::string line;
    bool inService = false;
    for (int number = 1; std::getline(lines, line); ++number) {
        line = Trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line.front() == '[') {
            inService = line.back() == ']' && Lower(Trim(line.substr(1, line.size() - 2))) == "service";
            continue;
        }
        if (!inService)
            continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            result.rejected.push_back("line " + std::to_string(number));
            continue;
        }
        const std::string key = Lower(Trim(line.substr(0, equals)));
        std::string value = Trim(line.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        const std::string refusal = Apply(settings, key, value);
        if (!refusal.empty())
            result.rejected.push_back("line " + std::to_string(number) + " (" + key + "): " + refusal);
    }
    return result;
}

std::wstring DefaultFilePath()
{
    return Util::Path::GetDataFolder(0).str() + L"/" + kFileName;
}

void Report(const std::wstring& path, const ParseResult& result)
{
    if (!result.unreadable.empty())
        Util::Log::Warn(kTag, L"LoadSettingsFile: %s not read: %S", path.c_str(), result.unreadable.c_str());
    for (const std::string& where : result.rejected) {
        Util::Log::Warn(kTag, L"LoadSettingsFile: %s: ignored %S", path.c_str(), where.c_str());
    }
}

// Runs fn on the settings under the lock, after the first-use read of the
// settings file. The file's warnings are logged once the lock is let go.
template <typename Fn>
auto WithSettings(Fn fn) -> decltype(fn(std::declval<Settings&>()))
{
    SettingsState& state = State();
    ParseResult parsed;
    std::wstring path;
    std::unique_lock<std::mutex> lock(state.lock);
    if (!state.fileConsulted) {
        state.fileConsulted = true;
        path = DefaultFilePath();
        Settings loaded = state.values;
        parsed = ParseFile(path, loaded);
        if (parsed.read)
            state.values = loaded;
    }
    auto result = fn(state.values);
    lock.unlock();
    Report(path, parsed);
    return result;
}

CStringW GetText(std::wstring Settings::*member)
{
    try {
        return CStringW(WithSettings([member](Settings& s) { return s.*member; }));
    } catch (...) {
        return CStringW();
    }
}

void SetText(std::wstring Settings::*member, const wchar_t* value)
{
    try {
        std::wstring text = value != nullptr ? value : L"";
        WithSettings([&](Settings& s) {
            s.*member = std::move(text);
            return 0;
        });
    } catch (...) {
        // Out of memory: the previous value stays.
    }
}

template <typename T>
T GetNumber(T Settings::*member)
{
    try {
        return WithSettings([member](Settings& s) { return s.*member; });
    } catch (...) {
        return Settings().*member;
    }
}

template <typename T>
void SetNumber(T Settings::*member, T value)
{
    try {
        WithSettings([&](Settings& s) {
            s.*member = value;
            return 0;
        });
    } catch (...) {
        // Locking failed: the previous value stays.
    }
}

// In code any time-out from 1 ms is taken (tests wait for short ones); 0
// would mean none at all and stands for the default.
void SetTimeout(const TimeoutKey& timeout, unsigned ms, const wchar_t* setter)
{
    if (ms == 0) {
        ms = timeout.fallback;
        Util::Log::Warn(kTag, L"%s: 0 would never time out; default %u ms used", setter, ms);
    }
    SetNumber(timeout.member, ms);
}

}  // namespace

CStringW GetHttpUrlHead() { return GetText(&Settings::restUrl); }
void SetHttpUrlHead(const wchar_t* url) { SetText(&Settings::restUrl, url); }
CStringW GetWSSUrl() { return GetText(&Settings::wssUrl); }
void SetWSSUrl(const wchar_t* url) { SetText(&Settings::wssUrl, url); }
CStringW GetManifestUrl() { return GetText(&Settings::manifestUrl); }
void SetManifestUrl(const wchar_t* url) { SetText(&Settings::manifestUrl, url); }
CStringW GetOssDomainSuffix() { return GetText(&Settings::ossDomainSuffix); }
void SetOssDomainSuffix(const wchar_t* suffix) { SetText(&Settings::ossDomainSuffix, suffix); }
int GetOssPathStyle() { return GetNumber(&Settings::ossPathStyle); }
void SetOssPathStyle(int pathStyle) { SetNumber(&Settings::ossPathStyle, pathStyle != 0 ? 1 : 0); }
CStringW GetOssScheme() { return GetNumber(&Settings::ossHttps) != 0 ? CStringW(L"https") : CStringW(L"http"); }

int SetOssScheme(const wchar_t* scheme)
{
    int https = 0;
    if (scheme == nullptr || !ParseScheme(scheme, https)) {
        Util::Log::Warn(kTag, L"SetOssScheme: \"%s\" is neither http nor https; unchanged",
                        scheme != nullptr ? scheme : L"(null)");
        return 0;
    }
    SetNumber(&Settings::ossHttps, https);
    return 1;
}

int GetAllowHttpUpdates() { return GetNumber(&Settings::allowHttpUpdates); }
void SetAllowHttpUpdates(int allow) { SetNumber(&Settings::allowHttpUpdates, allow != 0 ? 1 : 0); }

int IsUpdateAddressAllowed(const wchar_t* url)
{
    if (url == nullptr)
        return 0;
    const std::wstring text(url);
    if (Compat::StartsWithNoCase(text, L"https://"))
        return 1;
    return Compat::StartsWithNoCase(text, L"http://") && GetAllowHttpUpdates() != 0 ? 1 : 0;
}

CStringW GetCaBundle() { return GetText(&Settings::caBundle); }
void SetCaBundle(const wchar_t* path) { SetText(&Settings::caBundle, path); }
unsigned GetConnectTimeoutMs() { return GetNumber(&Settings::connectTimeoutMs); }
void SetConnectTimeoutMs(unsigned ms) { SetTimeout(kConnectTimeout, ms, L"SetConnectTimeoutMs"); }
unsigned GetRequestTimeoutMs() { return GetNumber(&Settings::requestTimeoutMs); }
void SetRequestTimeoutMs(unsigned ms) { SetTimeout(kRequestTimeout, ms, L"SetRequestTimeoutMs"); }

CStringW GetProxy() { return GetText(&Settings::proxy); }

int SetProxy(const wchar_t* proxy)
{
    try {
        const std::string value = proxy != nullptr ? ToMultiByte(proxy, CP_UTF8) : std::string();
        const std::string refusal = WithSettings([&value](Settings& s) { return TakeProxy(s, value); });
        if (refusal.empty())
            return 1;
        // The address is shown only when it cannot hold a password.
        if (value.find('@') == std::string::npos)
            Util::Log::Warn(kTag, L"SetProxy: \"%s\" refused: %S; unchanged", proxy, refusal.c_str());
        else
            Util::Log::Warn(kTag, L"SetProxy: refused: %S; unchanged", refusal.c_str());
        return 0;
    } catch (...) {
        return 0;
    }
}

CStringW GetProxyUser() { return GetText(&Settings::proxyUser); }
void SetProxyUser(const wchar_t* user) { SetText(&Settings::proxyUser, user); }
CStringW GetProxyPassword() { return GetText(&Settings::proxyPassword); }
void SetProxyPassword(const wchar_t* password) { SetText(&Settings::proxyPassword, password); }
CStringW GetNoProxy() { return GetText(&Settings::noProxy); }

void SetNoProxy(const wchar_t* list)
{
    try {
        const std::string text = list != nullptr ? ToMultiByte(list, CP_UTF8) : std::string();
        SetText(&Settings::noProxy, ToWide(ProxyRules::NormalizeNoProxy(text).c_str(), CP_UTF8).c_str());
    } catch (...) {
        // Out of memory: the previous list stays.
    }
}

int BypassesProxy(const wchar_t* host)
{
    try {
        std::wstring proxy;
        std::wstring noProxy;
        WithSettings([&](Settings& s) {
            proxy = s.proxy;
            noProxy = s.noProxy;
            return 0;
        });
        if (proxy.empty())
            return 1;
        if (host == nullptr)
            return 0;
        return ProxyRules::MatchesNoProxy(ToMultiByte(host, CP_UTF8), ToMultiByte(noProxy.c_str(), CP_UTF8)) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int LoadSettingsFile(const wchar_t* path)
{
    try {
        const std::wstring file = path != nullptr && path[0] != L'\0' ? std::wstring(path) : DefaultFilePath();
        ParseResult parsed;
        {
            SettingsState& state = State();
            std::lock_guard<std::mutex> lock(state.lock);
            state.fileConsulted = true;
            Settings loaded = state.values;
            parsed = ParseFile(file, loaded);
            if (parsed.read)
                state.values = loaded;
        }
        Report(file, parsed);
        return parsed.read ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

void ResetSettings()
{
    try {
        SettingsState& state = State();
        std::lock_guard<std::mutex> lock(state.lock);
        state.values = Settings();
        state.fileConsulted = true;
    } catch (...) {
        // Locking failed: the settings stay as they were.
    }
}

}  // namespace Http

namespace Util {
namespace Curl {

int Init()
{
    static std::once_flag once;
    static CURLcode result = CURLE_FAILED_INIT;
    try {
        std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    } catch (...) {
        return 0;
    }
    return result == CURLE_OK ? 1 : 0;
}

}  // namespace Curl
}  // namespace Util
