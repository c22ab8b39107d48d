#pragma once
// One websocket connection attempt and, once open, the connection itself:
// look the host up, TCP connect (through a proxy: to the proxy, then the tunnel is
// opened), TLS handshake (wss), websocket upgrade, then reading text frames
// and writing from a queue. Every member is called on the
// transport's strand and every handler runs there.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/strand.hpp>

#include "LockedContext.h"
#include "ProxyTunnel.h"
#include "WsUrl.h"

namespace Wirelink {

using Strand = boost::asio::strand<LockedContext::Executor<boost::asio::io_context::executor_type>>;
// Stored inside an any_io_executor (timers, resolver, stream) without an
// allocation and the reference counting that comes with one.
static_assert(sizeof(Strand) <= sizeof(std::shared_ptr<void>) + sizeof(void*), "the strand outgrew any_io_executor");

class LookupThreads;

struct ConnectionLimits {
    unsigned phaseMs = 10000;         // each of resolve, connect (with the tunnel), TLS handshake, upgrade
    unsigned idleMs = 30000;          // silence (pings unanswered) this long ends it
    unsigned maxFrameBytes = 1u << 20;
};

class WsConnection {
public:
    struct Events {
        std::function<void()> opened;
        std::function<void(std::string&& text)> text;
        // Once, when the attempt fails or the open connection breaks; never
        // after Close or Abort.
        std::function<void(bool wasOpen, const std::string& why)> ended;
        std::function<void(const std::string& line)> log;
    };

    // tls is required for a wss address and ignored otherwise; with a proxy
    // the connection goes through it. Host names are looked up on threads
    // counted in lookups.
    static std::shared_ptr<WsConnection> Create(const Strand& strand, std::shared_ptr<LookupThreads> lookups,
                                                std::shared_ptr<boost::asio::ssl::context> tls,
                                                const WsUrl& url, std::optional<ProxyConfig> proxy,
                                                std::vector<std::pair<std::string, std::string>> headers,
                                                const ConnectionLimits& limits, Events events);

    // A client context that verifies the server's certificate and name
    // against caFile (PEM), or the system's store when caFile is empty. Null,
    // with a reason, when the file cannot be used.
    static std::shared_ptr<boost::asio::ssl::context> MakeTlsContext(const std::string& caFile, std::string* error);

    virtual ~WsConnection() = default;
    virtual void Start() = 0;
    // Queues a text frame; dropped unless open.
    virtual void Write(std::string text) = 0;
    // Closes politely (close frame) when open, else stops the attempt;
    // done runs once it is over.
    virtual void Close(std::function<void()> done) = 0;
    // Drops the socket at once.
    virtual void Abort() = 0;
};

}  // namespace Wirelink
