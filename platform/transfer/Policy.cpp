#include "Policy.h"

#include <algorithm>
#include <cctype>

#include "Utf8Text.h"
#include "pelbo/corekit/HttpSettings.h"

namespace Transfer {
namespace {

constexpr long kMaxRedirects = 5;

bool IsHttps(const char* url)
{
    static const char kScheme[] = "https:";
    if (url == nullptr) {
        return false;
    }
    for (size_t i = 0; i + 1 < sizeof(kScheme); ++i) {
        if (std::tolower(static_cast<unsigned char>(url[i])) != kScheme[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

CURLcode Policy::Apply(CURL* easy, const Limits& limits, curl_slist** headers, std::string* error)
{
    m_easy = easy;
    m_wentHttps = false;
    m_refusedDowngrade = false;
    const char* failed = nullptr;
    CURLcode rc = CURLE_OK;
    auto set = [&rc, &failed](CURLcode result, const char* option) {
        if (rc == CURLE_OK && result != CURLE_OK) {
            rc = result;
            failed = option;
        }
    };
    set(curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L), "NOSIGNAL");
    set(curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https"), "PROTOCOLS_STR");
    set(curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"), "REDIR_PROTOCOLS_STR");
    set(curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, limits.followRedirects ? 1L : 0L), "FOLLOWLOCATION");
    set(curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects), "MAXREDIRS");
    // Every request of a transfer, redirects included, passes here before it
    // is sent: the place to refuse a step down from https.
    set(curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Policy::OnRequest), "PREREQFUNCTION");
    set(curl_easy_setopt(easy, CURLOPT_PREREQDATA, this), "PREREQDATA");

    set(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L), "SSL_VERIFYPEER");
    set(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L), "SSL_VERIFYHOST");
    const std::string caBundle = Netcall::WideToUtf8(Http::GetCaBundle().str());
    if (!caBundle.empty()) {
        set(curl_easy_setopt(easy, CURLOPT_CAINFO, caBundle.c_str()), "CAINFO");
    }
#if defined(_WIN32)
    else {
        // OpenSSL knows no store of its own on Windows: the system's roots serve.
        set(curl_easy_setopt(easy, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NATIVE_CA)), "SSL_OPTIONS");
    }
#endif

    set(curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(Http::GetConnectTimeoutMs())),
        "CONNECTTIMEOUT_MS");
    set(curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, limits.totalTimeoutMs), "TIMEOUT_MS");
    const long silenceSeconds = std::max(1L, static_cast<long>(Http::GetRequestTimeoutMs() / 1000));
    set(curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, std::max(1L, limits.lowSpeedBytesPerSecond)),
        "LOW_SPEED_LIMIT");
    set(curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, limits.lowSpeedSeconds > 0 ? limits.lowSpeedSeconds : silenceSeconds),
        "LOW_SPEED_TIME");
    if (limits.maxBodyBytes > 0) {
        set(curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, limits.maxBodyBytes), "MAXFILESIZE_LARGE");
    }
    set(curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L), "TCP_KEEPALIVE");

    // The proxy of the settings, or none: never one from the environment
    // (http_proxy and the like), which "" tells libcurl not to read.
    const std::string proxy = Netcall::WideToUtf8(Http::GetProxy().str());
    set(curl_easy_setopt(easy, CURLOPT_PROXY, proxy.c_str()), "PROXY");
    if (!proxy.empty()) {
        const std::string user = Netcall::WideToUtf8(Http::GetProxyUser().str());
        const std::string password = Netcall::WideToUtf8(Http::GetProxyPassword().str());
        const std::string noProxy = Netcall::WideToUtf8(Http::GetNoProxy().str());
        if (!user.empty()) {
            set(curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, user.c_str()), "PROXYUSERNAME");
            set(curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, password.c_str()), "PROXYPASSWORD");
        }
        set(curl_easy_setopt(easy, CURLOPT_NOPROXY, noProxy.c_str()), "NOPROXY");
        // Plain http goes through a tunnel too: an HTTP proxy then sees
        // where an exchange goes, never what it carries.
        set(curl_easy_setopt(easy, CURLOPT_HTTPPROXYTUNNEL, 1L), "HTTPPROXYTUNNEL");
    }
    // A proxy's answer to CONNECT is not the server's.
    set(curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L), "SUPPRESS_CONNECT_HEADERS");

    // A body goes with its headers: waiting for "100 Continue" costs a round
    // trip, or a whole second with a server that never sends it.
    curl_slist* grown = curl_slist_append(*headers, "Expect:");
    if (grown == nullptr) {
        *error = "out of memory for headers";
        return CURLE_OUT_OF_MEMORY;
    }
    *headers = grown;
    set(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, *headers), "HTTPHEADER");
    if (rc != CURLE_OK) {
        *error = std::string("libcurl refused ") + failed + ": " + curl_easy_strerror(rc);
    }
    return rc;
}

int Policy::OnRequest(void* self, char*, char*, int, int)
{
    auto* policy = static_cast<Policy*>(self);
    long redirects = 0;
    char* url = nullptr;
    curl_easy_getinfo(policy->m_easy, CURLINFO_REDIRECT_COUNT, &redirects);
    curl_easy_getinfo(policy->m_easy, CURLINFO_EFFECTIVE_URL, &url);
    if (redirects == 0) {
        // A transfer started again from its first address.
        policy->m_wentHttps = false;
    }
    const bool https = IsHttps(url);
    if (policy->m_wentHttps && !https) {
        policy->m_refusedDowngrade = true;
        return CURL_PREREQFUNC_ABORT;
    }
    policy->m_wentHttps = policy->m_wentHttps || https;
    return CURL_PREREQFUNC_OK;
}

}  // namespace Transfer
