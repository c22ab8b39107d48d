#pragma once
// netcall: asynchronous HTTP(S) requests with a result sink.
//
// Requests run on the library's one transfer thread (a libcurl multi handle
// shared with downloads and uploads), many at a time, reusing connections
// (HTTP/2 where the server offers it). TLS certificates are always verified
// against the configured CA bundle (Http::GetCaBundle) or the system store.
// Results are delivered on the transfer thread.
//
// Guarantees:
//  1. The identifier is written through id before its result can be
//     delivered, and is non-zero for an accepted request.
//  2. One OnHttpsReqResult per accepted request, with the same identifier,
//     unless RemoveSink was called for it.
//  3. Nothing is delivered to a sink after its destructor has returned: the
//     destructor detaches the sink and waits for a delivery to it running on
//     the transfer thread (not when it runs inside that delivery).
//  4. The descriptor is only borrowed for the call.
//
// Completion flag: 1 when a whole response with an HTTP status below 400
// arrived, or one with a status of 400 or above whose body is the REST
// service's own refusal: a JSON object with a "code" member that reads as a
// non-zero integer (a number, or text beginning with digits). 0 when the
// exchange failed (connection refused, time-out, TLS failure, truncated
// response) or the status was 400 or above with any other body (a proxy's
// error page, "{}", a code of 0). The response text is whatever body arrived,
// converted from UTF-8; a body over 4 MiB (counted after decompression) ends
// the exchange as failed and is not delivered (the text is empty).

#include <map>
#include <string>

#include "pelbo/netcall/NetcallExport.h"

struct ST_HttpsReqInfo {
    std::wstring strUrl;
    // JSON body for POST, PUT and DELETE; query string without "?" for GET.
    std::wstring strContent;
    int nOption1 = 7;
    // 1 POST, 2 GET, 3 PUT, 4 DELETE.
    int nMethod = 1;
    int nOption2 = 3;
    std::map<std::string, std::string> mapHeaders;
};

class NETCALL_API IHttpsRequestSink {
public:
    virtual ~IHttpsRequestSink();
    virtual void OnHttpsReqResult(unsigned& id, const std::wstring& request, const std::wstring& response,
                                  int& completed) = 0;

protected:
    IHttpsRequestSink();
    IHttpsRequestSink(const IHttpsRequestSink&);
    IHttpsRequestSink& operator=(const IHttpsRequestSink&);
    // Does now what the destructor does (drop pending results, wait for a
    // running delivery). By the time this base destructor runs, the derived
    // part is already gone; a derived class whose callback uses its own
    // members calls this first in its destructor so that no delivery can
    // overlap their destruction. Calling it more than once is harmless.
    void DetachHttpsSink();
};

namespace Util {
namespace HttpsRequest {

// What Request and RemoveSink go through. The default is the libcurl
// service; tests of the managers may install a double with SetService.
class NETCALL_API IHttpsService {
public:
    virtual ~IHttpsService();
    virtual int Request(unsigned& id, IHttpsRequestSink* sink, const ST_HttpsReqInfo& info) = 0;
    virtual void RemoveSink(const unsigned& id) = 0;
    // Called by the sink's destructor: forget the sink, wait for a running
    // delivery to it on another thread.
    virtual void DetachSink(IHttpsRequestSink* sink) = 0;
};

// Returns non-zero when the request was accepted; id receives its identifier.
NETCALL_API int Request(unsigned& id, IHttpsRequestSink* sink, const ST_HttpsReqInfo& info);
NETCALL_API void RemoveSink(const unsigned& id);

// Installs another service (null restores the libcurl one). Not for use
// while requests are in flight.
NETCALL_API void SetService(IHttpsService* service);
// Cancels every request (nothing more is delivered) and, when no download or
// upload is running either, ends the transfer thread and closes the cached
// connections; a later Request starts it again. Called from inside a
// delivery it cannot wait for its own thread: the requests are dropped once
// that delivery returns.
NETCALL_API void Shutdown();

}  // namespace HttpsRequest
}  // namespace Util
