#include "CurlTransfer.h"

#include <cctype>
#include <exception>

#include <json/json.h>

#include "UrlText.h"
#include "Utf8Text.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/netcall/HttpsRequest.h"

namespace Netcall {
namespace {

// REST answers are a few kilobytes (a page of a list at most); a larger
// body means a broken or hostile peer. Counted after decoding, so a small
// compressed body that unpacks to gigabytes is stopped as early.
constexpr size_t kMaxResponseBytes = 4u * 1024u * 1024u;

constexpr int kMethodPost = 1;
constexpr int kMethodGet = 2;
constexpr int kMethodPut = 3;
constexpr int kMethodDelete = 4;

bool IsTokenChar(unsigned char c)
{
    static const std::string kSymbols = "!#$%&'*+-.^_`|~";
    return std::isalnum(c) != 0 || (c != 0 && kSymbols.find(static_cast<char>(c)) != std::string::npos);
}

bool IsValidHeaderName(const std::string& name)
{
    if (name.empty()) {
        return false;
    }
    for (const char ch : name) {
        if (!IsTokenChar(static_cast<unsigned char>(ch))) {
            return false;
        }
    }
    return true;
}

// A value may hold any text but line breaks and zeros, which would end the
// header early and let the rest be read as another header.
bool IsValidHeaderValue(const std::string& value)
{
    return value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

bool EqualsNoCase(const std::string& a, const char* b)
{
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

bool IsCSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Whether text read the service's way (leading blanks, a sign, digits up to
// the first non-digit) gives a number other than 0.
bool LeadingNumberIsNonZero(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && IsCSpace(text[i]))
        ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (text[i] != '0')
            return true;
    }
    return false;
}

// The REST service refuses some requests (an unknown room, an expired
// token) with an error status and its own JSON answer, whose "code" tells
// the caller what went wrong. Only a non-zero code counts: a body without
// one (a proxy's error page, or "{}") must never read as success.
bool IsServiceRefusal(const std::string& body)
{
    Json::Value root;
    try {
        const Json::CharReaderBuilder builder;
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string errors;
        if (!reader->parse(body.data(), body.data() + body.size(), &root, &errors) || !root.isObject())
            return false;
    } catch (const std::exception&) {
        return false;  // nested deeper than the reader allows
    }
    const Json::Value& code = static_cast<const Json::Value&>(root)["code"];
    switch (code.type()) {
    case Json::intValue:
        return code.asInt64() != 0;
    case Json::uintValue:
        return code.asUInt64() != 0;
    case Json::stringValue:
        return LeadingNumberIsNonZero(code.asString());
    default:
        return false;
    }
}

}  // namespace

CurlTransfer::CurlTransfer() = default;

CurlTransfer::~CurlTransfer()
{
    if (m_easy != nullptr) {
        curl_easy_cleanup(m_easy);
    }
    curl_slist_free_all(m_headers);
}

std::unique_ptr<CurlTransfer> CurlTransfer::Create(const ST_HttpsReqInfo& info, std::string* error)
{
    std::unique_ptr<CurlTransfer> transfer(new CurlTransfer());
    if (!transfer->Setup(info, error)) {
        return nullptr;
    }
    return transfer;
}

CurlTransfer* CurlTransfer::FromHandle(CURL* easy)
{
    char* self = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, &self);
    return reinterpret_cast<CurlTransfer*>(self);
}

bool CurlTransfer::AddHeader(const std::string& line, std::string* error)
{
    curl_slist* grown = curl_slist_append(m_headers, line.c_str());
    if (grown == nullptr) {
        *error = "out of memory for headers";
        return false;
    }
    m_headers = grown;
    return true;
}

bool CurlTransfer::Setup(const ST_HttpsReqInfo& info, std::string* error)
{
    if (info.nMethod < kMethodPost || info.nMethod > kMethodDelete) {
        *error = "unknown method " + std::to_string(info.nMethod);
        return false;
    }
    m_easy = curl_easy_init();
    if (m_easy == nullptr) {
        *error = "curl_easy_init failed";
        return false;
    }
    m_requestText = info.strContent;
    const std::string content = WideToUtf8(info.strContent);
    const std::string url = WideToUtf8(info.strUrl);
    m_url = EncodeUrlForCurl(info.nMethod == kMethodGet ? JoinQuery(url, content) : url);

    bool callerSetContentType = false;
    for (const auto& header : info.mapHeaders) {
        if (!IsValidHeaderName(header.first) || !IsValidHeaderValue(header.second)) {
            *error = "header \"" + EncodeUrlForCurl(header.first) + "\" is not valid";
            return false;
        }
        callerSetContentType = callerSetContentType || EqualsNoCase(header.first, "Content-Type");
        // "name;" is libcurl's way to send a header with an empty value;
        // "name:" would remove it.
        const std::string line = header.second.empty() ? header.first + ";" : header.first + ": " + header.second;
        if (!AddHeader(line, error)) {
            return false;
        }
    }

    const bool sendsBody = info.nMethod == kMethodPost || info.nMethod == kMethodPut ||
                           (info.nMethod == kMethodDelete && !content.empty());
    if (sendsBody) {
        m_body = content;
        if (!callerSetContentType && !AddHeader("Content-Type: application/json; charset=utf-8", error)) {
            return false;
        }
    }

    CURLcode rc = CURLE_OK;
    auto set = [&rc](CURLcode result) {
        if (rc == CURLE_OK) {
            rc = result;
        }
    };
    set(curl_easy_setopt(m_easy, CURLOPT_URL, m_url.c_str()));
    set(curl_easy_setopt(m_easy, CURLOPT_PRIVATE, this));
    set(curl_easy_setopt(m_easy, CURLOPT_ERRORBUFFER, m_error));
    // HTTP/2 where libcurl has it; a libcurl built without it refuses the
    // option, and HTTP/1.1 serves as well.
    const CURLcode http2 = curl_easy_setopt(m_easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
    if (http2 != CURLE_UNSUPPORTED_PROTOCOL)
        set(http2);
    // Wait for a connection that may multiplex rather than opening another.
    set(curl_easy_setopt(m_easy, CURLOPT_PIPEWAIT, 1L));
    set(curl_easy_setopt(m_easy, CURLOPT_ACCEPT_ENCODING, ""));
    set(curl_easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &CurlTransfer::OnData));
    set(curl_easy_setopt(m_easy, CURLOPT_WRITEDATA, this));
    switch (info.nMethod) {
    case kMethodGet:
        set(curl_easy_setopt(m_easy, CURLOPT_HTTPGET, 1L));
        break;
    case kMethodPut:
        set(curl_easy_setopt(m_easy, CURLOPT_CUSTOMREQUEST, "PUT"));
        break;
    case kMethodDelete:
        set(curl_easy_setopt(m_easy, CURLOPT_CUSTOMREQUEST, "DELETE"));
        break;
    default:
        break;
    }
    if (sendsBody) {
        set(curl_easy_setopt(m_easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(m_body.size())));
        set(curl_easy_setopt(m_easy, CURLOPT_POSTFIELDS, m_body.c_str()));
    }
    if (rc != CURLE_OK) {
        *error = std::string("set-up refused: ") + curl_easy_strerror(rc);
        return false;
    }
    Transfer::Limits limits;
    limits.totalTimeoutMs = static_cast<long>(Http::GetRequestTimeoutMs());
    limits.maxBodyBytes = static_cast<curl_off_t>(kMaxResponseBytes);
    return m_policy.Apply(m_easy, limits, &m_headers, error) == CURLE_OK;
}

size_t CurlTransfer::OnData(char* data, size_t size, size_t count, void* self)
{
    auto* transfer = static_cast<CurlTransfer*>(self);
    const size_t bytes = size * count;
    if (transfer->m_response.size() + bytes > kMaxResponseBytes) {
        // Part of an answer is no answer: nothing of it is delivered.
        transfer->m_responseTooLarge = true;
        std::string().swap(transfer->m_response);
        return 0;  // libcurl ends the transfer with a write error
    }
    transfer->m_response.append(data, bytes);
    return bytes;
}

long CurlTransfer::Status() const
{
    long status = 0;
    curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

int CurlTransfer::Completed(CURLcode result) const
{
    if (result != CURLE_OK)
        return 0;
    const long status = Status();
    if (status >= 200 && status < 400)
        return 1;
    return status >= 400 && IsServiceRefusal(m_response) ? 1 : 0;
}

std::string CurlTransfer::Describe(CURLcode result) const
{
    if (m_policy.RefusedDowngrade()) {
        return "redirect from https to http refused";
    }
    if (m_responseTooLarge || result == CURLE_FILESIZE_EXCEEDED) {
        return "response larger than " + std::to_string(kMaxResponseBytes) + " bytes";
    }
    if (result != CURLE_OK) {
        std::string text = curl_easy_strerror(result);
        if (m_error[0] != '\0') {
            text += ": ";
            text += m_error;
        }
        return text;
    }
    return "HTTP status " + std::to_string(Status());
}

}  // namespace Netcall
