#pragma once
// A plain blocking HTTP(S) client on one libcurl easy handle, for tests that
// check the local server (or another component) from the outside. The
// handle keeps its connection between requests, as a real client would.

#include <map>
#include <string>

namespace TestSupport {

class HttpClient {
public:
    struct Result {
        int curlCode = -1;  // CURLcode; 0 when a whole response arrived
        long status = 0;
        std::string body;
        std::string error;
        bool Ok() const { return curlCode == 0; }
    };

    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // The only root the client trusts (HTTPS is always verified).
    void SetCaFile(const std::string& path) { m_caFile = path; }
    // Gives up a request after this long; 0 waits without limit.
    void SetTimeoutMs(long ms) { m_timeoutMs = ms; }

    Result Get(const std::string& url);
    Result Post(const std::string& url, const std::string& body,
                const std::map<std::string, std::string>& headers = {});
    Result Request(const std::string& method, const std::string& url, const std::string& body,
                   const std::map<std::string, std::string>& headers = {});

private:
    void* m_curl;  // CURL*, kept out of the header
    std::string m_caFile;
    long m_timeoutMs = 30000;
};

}  // namespace TestSupport
