#pragma once
// The request service behind Util::HttpsRequest: a client of the transfer
// engine, whose thread runs every request and delivers every result.
//
// Locking: m_mutex guards everything the callers and the engine's thread
// share. Identifiers are written to the caller under it, and the engine's
// thread takes it to look up the sink before a delivery, so a caller always
// sees its identifier before the result. Deliveries run without the lock, so
// a sink may call back into the service from its callback.

#include <curl/curl.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "pelbo/netcall/HttpsRequest.h"
#include "transfer/Engine.h"

namespace Netcall {

class CurlTransfer;

class CurlService final : public Util::HttpsRequest::IHttpsService, private Transfer::Client {
public:
    CurlService();
    ~CurlService() override;
    CurlService(const CurlService&) = delete;
    CurlService& operator=(const CurlService&) = delete;

    int Request(unsigned& id, IHttpsRequestSink* sink, const ST_HttpsReqInfo& info) override;
    void RemoveSink(const unsigned& id) override;
    void DetachSink(IHttpsRequestSink* sink) override;
    // Drops every request (nothing more is delivered) and, when nothing else
    // runs on the engine, ends its thread and closes the cached connections.
    // From inside a delivery it only asks for that.
    void Shutdown();

private:
    using ActiveMap = std::unordered_map<unsigned, std::unique_ptr<CurlTransfer>>;

    unsigned NextIdLocked();
    // Takes the queued requests and cancellations into the loop.
    Turn Prepare(Transfer::Loop& loop) override;
    void Finished(Transfer::Loop& loop, CURL* easy, CURLcode result) override;
    bool Stop(Transfer::Loop& loop) override;
    void Deliver(const CurlTransfer& transfer, CURLcode result);

    const std::shared_ptr<Transfer::Engine> m_engine;
    std::mutex m_mutex;
    std::condition_variable m_deliveryEnded;
    // Accepted requests whose result is still to be delivered.
    std::unordered_map<unsigned, IHttpsRequestSink*> m_sinks;
    std::vector<std::unique_ptr<CurlTransfer>> m_incoming;
    std::vector<unsigned> m_cancelled;
    unsigned m_lastId = 0;
    IHttpsRequestSink* m_deliveringTo = nullptr;
    // Requests in the loop; the engine's thread only.
    ActiveMap m_active;
};

}  // namespace Netcall
