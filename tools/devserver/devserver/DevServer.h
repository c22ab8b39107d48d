#pragma once
// The local conference server: HTTP and HTTPS on loopback, playing the REST
// service (and, as the product grows, the websocket session, object storage,
// the version manifest and picture downloads). Runs in-process (tests, the
// demo) or as the pelbo-devserver program.
//
// Routes are registered per family (see Routes*.cpp); each route has fault
// switches that tests and developers set at run time.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace DevServer {

struct HttpRequest {
    std::string method;                         // "GET", "POST", ...
    std::string target;                         // path and query as received
    std::string path;                           // decoded path, without the query
    std::map<std::string, std::string> query;   // decoded query parameters
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
};

struct HttpResponse {
    int status = 200;
    std::string contentType = "application/json";
    std::map<std::string, std::string> headers;
    std::string body;
};

// What a route does instead of answering normally.
struct Fault {
    unsigned delayMs = 0;        // wait before answering
    bool closeWithoutAnswer = false;
    bool closeMidResponse = false; // send the headers and part of the body, then close
    bool garbageBody = false;    // answer 200 with a body that is not JSON
    bool emptyBody = false;      // answer 200 with an empty body
    int httpStatus = 0;          // answer with this status (and a short non-JSON body)
    std::string redirectTo;      // answer 302 with this Location instead
    // Announce the whole body, send only its first cutAfterBytes bytes (0
    // included), then close; -1 = off. Wins over closeMidResponse.
    long long cutAfterBytes = -1;
    bool ignoreRange = false;    // answer as if the request had no Range (and no If-Range)
    int remaining = -1;          // how many requests it applies to; -1 = all
};

using Handler = std::function<HttpResponse(const HttpRequest&)>;

struct Options {
    std::string host = "127.0.0.1";
    uint16_t port = 0;      // 0: a free port is chosen
    bool tls = false;
    // Certificate and key (PEM files). Empty with tls: a throw-away CA and a
    // server certificate for 127.0.0.1 and localhost are made at start; the
    // CA certificate is written to caCertOut so clients can trust it.
    std::string certFile;
    std::string keyFile;
    std::string caCertOut;
    unsigned threads = 2;
    bool quiet = true;      // no request log on standard output
    // Larger request bodies are refused with 413 and the connection closed,
    // so a runaway client cannot make the server hold unbounded memory.
    std::size_t bodyLimit = 8u << 20;
    // A proxy on a port of its own (proxyPort, 0: a free one), on the same
    // host: HTTP CONNECT and SOCKS5, tunnelling to loopback targets only.
    // With proxyUser it asks for these credentials (Basic, RFC 1929).
    bool proxy = false;
    uint16_t proxyPort = 0;
    std::string proxyUser;
    std::string proxyPassword;
};

class Server {
public:
    explicit Server(Options options);
    ~Server();  // stops and joins
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds, listens and starts the I/O threads. False with a reason on error.
    bool Start(std::string* error = nullptr);
    void Stop();

    uint16_t Port() const;
    // "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT"
    std::string BaseUrl() const;
    // Path of the CA certificate clients must trust (tls without certFile).
    std::string CaCertFile() const;

    // Routes by method and exact path; later registrations replace earlier ones.
    void Route(const std::string& method, const std::string& path, Handler handler);
    // Handler of the requests no route matches (object storage).
    void RouteFallback(Handler handler);
    // Fault switches per route ("POST /v1/account/refreshtoken"; a path
    // ending in "*" covers every path it begins, say "PUT /pelbo-docs/*"). False when
    // the fault is refused (httpStatus outside 100..599); remaining == 0
    // clears the route's fault. Routes under "/_dev/" never fail.
    bool SetFault(const std::string& method, const std::string& path, const Fault& fault);
    void ClearFaults();

    // Writes a line to the request log (standard output) unless quiet.
    void Note(const std::string& line);

    // Counters for tests and the benchmarks.
    uint64_t RequestCount() const;
    uint64_t ConnectionCount() const;
    uint64_t TlsHandshakeCount() const;
    // Bytes of response bodies handed to connections: whole answers, and
    // what was sent of the answers a fault cut off.
    uint64_t BodyBytesSent() const;
    // The proxy's port (0 without one), the tunnels it opened and the
    // attempts it refused since the object was made.
    uint16_t ProxyPort() const;
    uint64_t ProxyTunnelCount() const;
    uint64_t ProxyRefusalCount() const;

    // The server's in-memory state (accounts, rooms, ...), shared by routes.
    struct State;
    State& GetState();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace DevServer
