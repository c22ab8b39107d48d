#include "support/HttpClient.h"

#include <mutex>

#include <curl/curl.h>

namespace TestSupport {
namespace {

size_t Collect(char* data, size_t size, size_t count, void* user)
{
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

struct HeaderList {
    curl_slist* list = nullptr;
    ~HeaderList() { curl_slist_free_all(list); }
};

}  // namespace

HttpClient::HttpClient()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    m_curl = curl_easy_init();
}

HttpClient::~HttpClient()
{
    curl_easy_cleanup(static_cast<CURL*>(m_curl));
}

HttpClient::Result HttpClient::Get(const std::string& url)
{
    return Request("GET", url, std::string());
}

HttpClient::Result HttpClient::Post(const std::string& url, const std::string& body,
                                    const std::map<std::string, std::string>& headers)
{
    return Request("POST", url, body, headers);
}

HttpClient::Result HttpClient::Request(const std::string& method, const std::string& url, const std::string& body,
                                       const std::map<std::string, std::string>& headers)
{
    Result result;
    CURL* curl = static_cast<CURL*>(m_curl);
    if (!curl) {
        result.error = "no curl handle";
        return result;
    }
    char errorBuffer[CURL_ERROR_SIZE] = {};
    HeaderList list;
    // No "Expect: 100-continue" round trip: bodies go with the headers.
    list.list = curl_slist_append(list.list, "Expect:");
    list.list = curl_slist_append(list.list, "Content-Type: application/json");
    for (const auto& header : headers)
        list.list = curl_slist_append(list.list, (header.first + ": " + header.second).c_str());

    curl_easy_reset(curl);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.list);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, m_timeoutMs);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!m_caFile.empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, m_caFile.c_str());
    if (method == "GET") {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    }

    result.curlCode = static_cast<int>(curl_easy_perform(curl));
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
    result.error = errorBuffer[0] ? errorBuffer : curl_easy_strerror(static_cast<CURLcode>(result.curlCode));
    return result;
}

}  // namespace TestSupport
