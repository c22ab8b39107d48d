#pragma once
// Route table and fault switches of the local server. Knows nothing of
// sockets: the connection code asks it which fault applies to a request and
// what to answer, then carries that out on the wire.

#include <map>
#include <mutex>
#include <string>

#include "devserver/DevServer.h"

namespace DevServer {

// What a connection does once a request's fault (if any) is known.
struct Reply {
    enum class Action {
        Answer,           // write the response
        Close,            // close without answering
        CloseMidResponse, // send the headers and part of the body, then close
    };
    Action action = Action::Answer;
    HttpResponse response;
    // With CloseMidResponse: the body bytes sent before closing, the whole
    // length announced; -1: half of the body, a longer length announced.
    long long cutAfterBytes = -1;
};

class Router {
public:
    void Route(const std::string& method, const std::string& path, Handler handler);
    // Answers requests that no route matches (object storage, whose paths
    // are object keys); without one they get 404.
    void Fallback(Handler handler);

    // A fault with an HTTP status outside 100..599 is refused (returns
    // false); one with remaining == 0 clears the route's fault.
    bool SetFault(const std::string& method, const std::string& path, const Fault& fault);
    void ClearFaults();

    // The fault that applies to this request, counted against its remaining
    // uses. A fault set for a path ending in "*" applies to every path that
    // begins with the text before it, when the exact path has none. Development routes ("/_dev/...") never fail, so a developer can
    // always clear what they switched on.
    Fault TakeFault(const std::string& method, const std::string& path);

    // The reply under the given fault; the delay has already been waited
    // out. Runs the route's handler only when the fault needs its answer.
    // Never throws: a throwing handler is answered 500.
    Reply Answer(const HttpRequest& request, const Fault& fault) const;

    // Splits a request target into its decoded path and query parameters.
    // False when the target is not an origin-form path or has a bad escape.
    static bool ParseTarget(const std::string& target, std::string* path,
                            std::map<std::string, std::string>* query);

private:
    HttpResponse Dispatch(const HttpRequest& request) const;

    mutable std::mutex m_mutex;
    std::map<std::string, Handler> m_routes;  // by "METHOD path"
    Handler m_fallback;
    std::map<std::string, Fault> m_faults;    // by "METHOD path"
};

}  // namespace DevServer
