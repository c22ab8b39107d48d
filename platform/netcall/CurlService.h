#pragma once
// The libcurl-multi request service behind Util::HttpsRequest.
//
// One I/O thread drives every transfer of one multi handle, whose connection
// cache keeps connections (and TLS sessions) for reuse. The thread starts with
// the first request, ends after a short idle spell and starts again with the
// next request; the multi handle, and so the cache, outlives it until
// Shutdown.
//
// Locking: m_mutex guards everything the callers and the I/O thread share.
// Identifiers are written to the caller under it, and the I/O thread takes it
// to look up the sink before a delivery, so a caller always sees its
// identifier before the result. Deliveries run without the lock, so a sink
// may call back into the service from its callback.

#include <curl/curl.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "pelbo/netcall/HttpsRequest.h"

namespace Netcall {

class CurlTransfer;

class CurlService final : public Util::HttpsRequest::IHttpsService {
public:
    CurlService();
    ~CurlService() override;
    CurlService(const CurlService&) = delete;
    CurlService& operator=(const CurlService&) = delete;

    int Request(unsigned& id, IHttpsRequestSink* sink, const ST_HttpsReqInfo& info) override;
    void RemoveSink(const unsigned& id) override;
    void DetachSink(IHttpsRequestSink* sink) override;
    // Drops every request (nothing more is delivered), stops the I/O thread
    // and closes the cached connections. From inside a delivery it only
    // tells the thread to stop after the delivery.
    void Shutdown();

private:
    using ActiveMap = std::unordered_map<unsigned, std::unique_ptr<CurlTransfer>>;

    unsigned NextIdLocked();
    void WakeLocked();
    bool EnsureThreadLocked();
    void Run(CURLM* multi);
    // Takes the queued requests and cancellations into the multi handle.
    // False when the thread is to end (stopped, or idle long enough).
    bool TakeWork(CURLM* multi, ActiveMap& active, bool idleExpired);
    void FinishDone(CURLM* multi, ActiveMap& active);
    void Deliver(const CurlTransfer& transfer, CURLcode result);
    void StopThread(CURLM* multi, ActiveMap& active);

    std::mutex m_mutex;
    std::condition_variable m_deliveryEnded;
    // Accepted requests whose result is still to be delivered.
    std::unordered_map<unsigned, IHttpsRequestSink*> m_sinks;
    std::vector<std::unique_ptr<CurlTransfer>> m_incoming;
    std::vector<unsigned> m_cancelled;
    unsigned m_lastId = 0;
    CURLM* m_multi = nullptr;
    std::thread m_thread;
    std::thread::id m_ioThreadId;
    bool m_running = false;
    bool m_stopping = false;
    IHttpsRequestSink* m_deliveringTo = nullptr;
};

}  // namespace Netcall
