#include "Router.h"

#include <exception>
#include <utility>

#include "devserver/JsonHelpers.h"

namespace DevServer {
namespace {

const char kDevPrefix[] = "/_dev/";

std::string Key(const std::string& method, const std::string& path)
{
    return method + " " + path;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Percent-decoding; in a query '+' also stands for a space.
bool Decode(const std::string& text, bool plusIsSpace, std::string* out)
{
    out->clear();
    out->reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size())
                return false;
            const int high = HexValue(text[i + 1]);
            const int low = HexValue(text[i + 2]);
            if (high < 0 || low < 0)
                return false;
            out->push_back(static_cast<char>(high * 16 + low));
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            out->push_back(' ');
        } else {
            out->push_back(c);
        }
    }
    return true;
}

bool ParseQuery(const std::string& text, std::map<std::string, std::string>* query)
{
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('&', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string pair = text.substr(start, end - start);
        if (!pair.empty()) {
            const std::size_t eq = pair.find('=');
            std::string name;
            std::string value;
            if (!Decode(pair.substr(0, eq), true, &name))
                return false;
            if (eq != std::string::npos && !Decode(pair.substr(eq + 1), true, &value))
                return false;
            (*query)[name] = value;
        }
        start = end + 1;
    }
    return true;
}

HttpResponse FaultStatusResponse(int status)
{
    HttpResponse response;
    response.status = status;
    response.contentType = "text/plain";
    response.body = "fault switch: status " + std::to_string(status) + "\n";
    return response;
}

HttpResponse RedirectResponse(const std::string& location)
{
    HttpResponse response;
    response.status = 302;
    response.contentType = "text/plain";
    response.headers["Location"] = location;
    response.body = "fault switch: moved to " + location + "\n";
    return response;
}

HttpResponse GarbageResponse()
{
    // Looks like a proxy's error page cut short, with bytes that are not
    // even UTF-8: no JSON parser may accept it.
    HttpResponse response;
    response.body = "<html><body>gateway \xff\xfe error</body>{\"code\":";
    return response;
}

// A server that knows no ranges never looks at If-Range either.
HttpRequest WithoutRange(const HttpRequest& request)
{
    HttpRequest plain = request;
    plain.headers.erase("range");
    plain.headers.erase("if-range");
    return plain;
}

}  // namespace

void Router::Route(const std::string& method, const std::string& path, Handler handler)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_routes[Key(method, path)] = std::move(handler);
}

void Router::Fallback(Handler handler)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fallback = std::move(handler);
}

bool Router::SetFault(const std::string& method, const std::string& path, const Fault& fault)
{
    if (fault.httpStatus != 0 && (fault.httpStatus < 100 || fault.httpStatus > 599))
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (fault.remaining == 0) {
        m_faults.erase(Key(method, path));
        return true;
    }
    m_faults[Key(method, path)] = fault;
    return true;
}

void Router::ClearFaults()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.clear();
}

Fault Router::TakeFault(const std::string& method, const std::string& path)
{
    if (path.compare(0, sizeof(kDevPrefix) - 1, kDevPrefix) == 0)
        return Fault();
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_faults.find(Key(method, path));
    if (it == m_faults.end()) {
        for (it = m_faults.begin(); it != m_faults.end(); ++it) {
            const std::string& key = it->first;
            const std::string prefix = key.substr(0, key.size() - 1);
            if (!key.empty() && key.back() == '*' && Key(method, path).compare(0, prefix.size(), prefix) == 0)
                break;
        }
    }
    if (it == m_faults.end())
        return Fault();
    const Fault fault = it->second;
    if (it->second.remaining > 0 && --it->second.remaining == 0)
        m_faults.erase(it);
    return fault;
}

Reply Router::Answer(const HttpRequest& request, const Fault& fault) const
{
    Reply reply;
    if (fault.closeWithoutAnswer) {
        reply.action = Reply::Action::Close;
        return reply;
    }
    if (!fault.redirectTo.empty())
        reply.response = RedirectResponse(fault.redirectTo);
    else if (fault.httpStatus != 0)
        reply.response = FaultStatusResponse(fault.httpStatus);
    else if (fault.garbageBody)
        reply.response = GarbageResponse();
    else if (fault.emptyBody)
        reply.response = HttpResponse();
    else if (fault.ignoreRange)
        reply.response = Dispatch(WithoutRange(request));
    else
        reply.response = Dispatch(request);
    if (fault.closeMidResponse || fault.cutAfterBytes >= 0)
        reply.action = Reply::Action::CloseMidResponse;
    reply.cutAfterBytes = fault.cutAfterBytes;
    return reply;
}

HttpResponse Router::Dispatch(const HttpRequest& request) const
{
    Handler handler;
    {
        // Copied out so a handler may change routes or faults itself.
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_routes.find(Key(request.method, request.path));
        if (it != m_routes.end())
            handler = it->second;
        else
            handler = m_fallback;
    }
    if (!handler)
        return JsonError(404, 404, "no route for " + request.method + " " + request.path);
    try {
        return handler(request);
    } catch (const std::exception& e) {
        return JsonError(500, 500, std::string("internal error: ") + e.what());
    } catch (...) {
        return JsonError(500, 500, "internal error");
    }
}

bool Router::ParseTarget(const std::string& target, std::string* path,
                         std::map<std::string, std::string>* query)
{
    if (target.empty() || target[0] != '/')
        return false;
    const std::size_t mark = target.find('?');
    if (!Decode(target.substr(0, mark), false, path))
        return false;
    query->clear();
    return mark == std::string::npos || ParseQuery(target.substr(mark + 1), query);
}

}  // namespace DevServer
