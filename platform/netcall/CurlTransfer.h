#pragma once
// One request as a libcurl easy handle and everything the handle points at
// (URL, body, header list, response buffer). The object owns the handle and
// never moves while the handle is in use, so libcurl may keep pointers into
// it. Built on the caller's thread, then driven and finished on the I/O
// thread; never used by two threads at once.

#include <curl/curl.h>

#include <memory>
#include <string>

#include "transfer/Policy.h"

struct ST_HttpsReqInfo;

namespace Netcall {

class CurlTransfer {
public:
    // Null, with the reason in error, when the descriptor cannot be sent
    // (unknown method, a header that would break the request) or libcurl
    // refuses the set-up.
    static std::unique_ptr<CurlTransfer> Create(const ST_HttpsReqInfo& info, std::string* error);
    ~CurlTransfer();
    CurlTransfer(const CurlTransfer&) = delete;
    CurlTransfer& operator=(const CurlTransfer&) = delete;

    CURL* Handle() const { return m_easy; }
    static CurlTransfer* FromHandle(CURL* easy);

    void SetId(unsigned id) { m_id = id; }
    unsigned Id() const { return m_id; }
    const std::wstring& RequestText() const { return m_requestText; }
    const std::string& Url() const { return m_url; }
    const std::string& ResponseBytes() const { return m_response; }

    // After libcurl finished the transfer with result: 1 when a whole
    // response arrived with a status below 400, or with a higher status and
    // the service's own refusal as its body (a JSON object whose "code" is
    // not 0); else 0.
    int Completed(CURLcode result) const;
    long Status() const;
    // Why the transfer failed, for the log.
    std::string Describe(CURLcode result) const;

private:
    CurlTransfer();
    bool Setup(const ST_HttpsReqInfo& info, std::string* error);
    bool AddHeader(const std::string& line, std::string* error);
    static size_t OnData(char* data, size_t size, size_t count, void* self);

    CURL* m_easy = nullptr;
    curl_slist* m_headers = nullptr;
    unsigned m_id = 0;
    std::wstring m_requestText;
    std::string m_url;
    std::string m_body;
    std::string m_response;
    bool m_responseTooLarge = false;
    char m_error[CURL_ERROR_SIZE] = {};
    Transfer::Policy m_policy;
};

}  // namespace Netcall
