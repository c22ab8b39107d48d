// With WsSession.cpp and TunnelProxy.cpp, the only translation units that
// see Beast and Asio: the route families work on the plain request and
// response types of DevServer.h.

#include "devserver/DevServer.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include "Router.h"
#include "TunnelProxy.h"
#include "WsUpgrade.h"
#include "devserver/CertificateAuthority.h"
#include "devserver/JsonHelpers.h"
#include "devserver/Routes.h"
#include "devserver/State.h"

namespace DevServer {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

// A keep-alive connection that stays silent this long is closed.
constexpr std::chrono::seconds kIdleTimeout{60};
constexpr std::chrono::seconds kHandshakeTimeout{15};
// A TLS close waits this long for the peer's close_notify.
constexpr std::chrono::seconds kShutdownTimeout{5};
// How long a stop lets the loop finish what closing the connections ended.
constexpr std::chrono::seconds kDrainTimeout{10};

std::string RandomSuffix()
{
    std::random_device device;
    std::uniform_int_distribution<unsigned long long> pick;
    char text[32];
    std::snprintf(text, sizeof(text), "%016llx", pick(device));
    return text;
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// An HTTP connection as the server sees it when it stops.
class Connection {
public:
    virtual ~Connection() = default;
    // Ends the connection at once, whatever it is doing; safe from any thread.
    virtual void Abort() = 0;
};

// What the connections share with the server object.
struct Shared {
    explicit Shared(Options o) : options(std::move(o)) {}

    void Enrol(const std::shared_ptr<Connection>& connection)
    {
        std::lock_guard<std::mutex> lock(liveMutex);
        live[connection.get()] = connection;
    }

    void Leave(const Connection* connection)
    {
        std::lock_guard<std::mutex> lock(liveMutex);
        live.erase(connection);
    }

    void AbortAll()
    {
        std::vector<std::shared_ptr<Connection>> targets;
        {
            std::lock_guard<std::mutex> lock(liveMutex);
            for (auto& entry : live)
                if (auto connection = entry.second.lock())
                    targets.push_back(std::move(connection));
        }
        for (auto& connection : targets)
            connection->Abort();
    }

    void Log(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(logMutex);
        std::cout << line << std::endl;
    }

    const Options options;
    Router router;
    Server::State state;
    std::atomic<uint64_t> requests{0};
    std::atomic<uint64_t> connections{0};
    std::atomic<uint64_t> handshakes{0};
    std::atomic<uint64_t> bodyBytes{0};
    std::mutex logMutex;
    std::mutex liveMutex;
    std::unordered_map<const Connection*, std::weak_ptr<Connection>> live;
};

// One connection. Stream is a plain TCP stream or TLS over one; every step
// runs on the connection's strand, one handler per step.
template <class Stream>
class Session : public Connection, public std::enable_shared_from_this<Session<Stream>> {
public:
    static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

    template <class... Args>
    explicit Session(Shared& shared, Args&&... args)
        : m_shared(shared),
          m_stream(std::forward<Args>(args)...),
          m_executor(m_stream.get_executor()),
          m_timer(m_executor)
    {
    }

    ~Session() override { m_shared.Leave(this); }

    void Run()
    {
        m_shared.Enrol(this->shared_from_this());
        net::dispatch(m_stream.get_executor(), beast::bind_front_handler(&Session::OnStart, this->shared_from_this()));
    }

    void Abort() override
    {
        net::post(m_executor, [self = this->shared_from_this()] {
            self->m_timer.cancel();
            if (self->m_handedOver)
                return;
            // Closing alone does not end a send that waits for the peer to
            // read on every system: the operations are cancelled first.
            auto& socket = beast::get_lowest_layer(self->m_stream).socket();
            beast::error_code ignored;
            socket.cancel(ignored);
            socket.shutdown(tcp::socket::shutdown_both, ignored);
            socket.close(ignored);
        });
    }

private:
    void OnStart()
    {
        if constexpr (kTls) {
            beast::get_lowest_layer(m_stream).expires_after(kHandshakeTimeout);
            m_stream.async_handshake(ssl::stream_base::server,
                                     beast::bind_front_handler(&Session::OnHandshake, this->shared_from_this()));
        } else {
            ReadRequest();
        }
    }

    void OnHandshake(beast::error_code ec)
    {
        if (ec)
            return;
        ++m_shared.handshakes;
        ReadRequest();
    }

    void ReadRequest()
    {
        m_parser.emplace();
        m_parser->body_limit(m_shared.options.bodyLimit);
        beast::get_lowest_layer(m_stream).expires_after(kIdleTimeout);
        http::async_read(m_stream, m_buffer, *m_parser,
                         beast::bind_front_handler(&Session::OnRead, this->shared_from_this()));
    }

    void OnRead(beast::error_code ec, std::size_t)
    {
        if (ec == http::error::end_of_stream)
            return Close();
        if (ec == http::error::body_limit)
            return WriteResponse(JsonError(413, 413, "request body too large"), true);
        if (ec && ec.category() == http::make_error_code(http::error::bad_target).category())
            return WriteResponse(JsonError(400, 400, "malformed HTTP request"), true);
        if (ec)
            return;  // the peer went away or timed out: the session ends here

        beast::get_lowest_layer(m_stream).expires_never();
        auto message = m_parser->release();
        ++m_shared.requests;
        m_keepAlive = message.keep_alive();
        m_request = HttpRequest();
        m_request.method = std::string(message.method_string());
        m_request.target = std::string(message.target());
        for (const auto& field : message)
            m_request.headers[Lower(std::string(field.name_string()))] = std::string(field.value());
        m_request.body = std::move(message.body());
        if (!Router::ParseTarget(m_request.target, &m_request.path, &m_request.query))
            return WriteResponse(JsonError(400, 400, "malformed request target"), false);
        if (m_request.path == kWebsocketPath && beast::websocket::is_upgrade(message))
            return UpgradeToWebsocket(std::move(message));

        m_fault = m_shared.router.TakeFault(m_request.method, m_request.path);
        if (m_fault.delayMs == 0)
            return Answer();
        m_timer.expires_after(std::chrono::milliseconds(m_fault.delayMs));
        m_timer.async_wait(beast::bind_front_handler(&Session::OnDelay, this->shared_from_this()));
    }

    // The connection leaves this session for the websocket endpoint.
    void UpgradeToWebsocket(http::request<http::string_body>&& message)
    {
        WsHub& hub = m_shared.state.ws;
        if (hub.RefuseConnections()) {
            Log("503, websocket refused");
            return WriteResponse(JsonError(503, 503, "websocket connections refused"), true);
        }
        Log("101, websocket");
        m_handedOver = true;
        AcceptWebsocket(hub, std::move(m_stream), std::move(message));
    }

    void OnDelay(beast::error_code ec)
    {
        if (!ec)
            Answer();
    }

    void Answer()
    {
        Reply reply = m_shared.router.Answer(m_request, m_fault);
        switch (reply.action) {
        case Reply::Action::Close:
            Log("closed without answer");
            return Close();
        case Reply::Action::CloseMidResponse:
            Log(std::to_string(reply.response.status) + ", closed mid-response");
            return WritePartial(reply.response, reply.cutAfterBytes);
        case Reply::Action::Answer:
            Log(std::to_string(reply.response.status));
            return WriteResponse(reply.response, false);
        }
    }

    void Log(const std::string& outcome)
    {
        // The path only: a query may carry a token.
        if (!m_shared.options.quiet)
            m_shared.Log(m_request.method + " " + m_request.path + " -> " + outcome);
    }

    void WriteResponse(const HttpResponse& response, bool closeAfter)
    {
        m_response = {};
        m_response.version(11);
        m_response.result(static_cast<unsigned>(response.status));
        m_response.set(http::field::server, "pelbo-devserver");
        m_response.set(http::field::content_type, response.contentType);
        for (const auto& header : response.headers)
            m_response.set(header.first, header.second);
        m_response.body() = response.body;
        m_shared.bodyBytes += response.body.size();
        m_response.keep_alive(m_keepAlive && !closeAfter);
        m_response.prepare_payload();
        beast::get_lowest_layer(m_stream).expires_after(kIdleTimeout);
        http::async_write(m_stream, m_response,
                          beast::bind_front_handler(&Session::OnWrite, this->shared_from_this()));
    }

    void OnWrite(beast::error_code ec, std::size_t)
    {
        if (ec)
            return;
        if (!m_response.keep_alive())
            return Close();
        ReadRequest();
    }

    // Announces the whole body but sends only part of it, so the client sees
    // a response that breaks off: cutAfterBytes of it (all of a shorter
    // body), or else half with a length announced that it never reaches.
    void WritePartial(const HttpResponse& response, long long cutAfterBytes)
    {
        const std::size_t size = response.body.size();
        std::size_t sent = size / 2;
        std::size_t announced = std::max(size, sent + 1);
        if (cutAfterBytes >= 0) {
            sent = static_cast<unsigned long long>(cutAfterBytes) < size ? static_cast<std::size_t>(cutAfterBytes)
                                                                          : size;
            announced = size;
        }
        m_shared.bodyBytes += sent;
        const auto status = http::int_to_status(static_cast<unsigned>(response.status));
        m_raw = "HTTP/1.1 " + std::to_string(response.status) + " " + std::string(http::obsolete_reason(status)) +
                "\r\nServer: pelbo-devserver\r\nContent-Type: " + response.contentType + "\r\n";
        for (const auto& header : response.headers)
            m_raw += header.first + ": " + header.second + "\r\n";
        m_raw += "Content-Length: " + std::to_string(announced) + "\r\nConnection: close\r\n\r\n";
        m_raw.append(response.body, 0, sent);
        beast::get_lowest_layer(m_stream).expires_after(kIdleTimeout);
        net::async_write(m_stream, net::buffer(m_raw),
                         beast::bind_front_handler(&Session::OnPartialWritten, this->shared_from_this()));
    }

    void OnPartialWritten(beast::error_code ec, std::size_t)
    {
        if (!ec)
            Close();
    }

    void Close()
    {
        if constexpr (kTls) {
            beast::get_lowest_layer(m_stream).expires_after(kShutdownTimeout);
            m_stream.async_shutdown(beast::bind_front_handler(&Session::OnShutdown, this->shared_from_this()));
        } else {
            beast::error_code ignored;
            m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        }
    }

    void OnShutdown(beast::error_code)
    {
        beast::get_lowest_layer(m_stream).close();
    }

    Shared& m_shared;
    Stream m_stream;
    // Kept apart from the stream, which a websocket upgrade takes away.
    net::any_io_executor m_executor;
    bool m_handedOver = false;
    net::steady_timer m_timer;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::string_body>> m_parser;
    bool m_keepAlive = false;
    HttpRequest m_request;
    Fault m_fault;
    http::response<http::string_body> m_response;
    std::string m_raw;
};

}  // namespace

struct Server::Impl {
    explicit Impl(Options o) : shared(std::move(o)) {}

    void Accept();
    void OnAccept(beast::error_code ec, tcp::socket socket);
    bool SetUpTls(std::string* error);
    void StopLocked();
    void RunLoop();

    Shared shared;

    // Start and Stop; never held while a route runs, so routes may read the
    // fields under infoMutex.
    std::mutex lifecycleMutex;
    std::unique_ptr<net::io_context> ioc;
    std::unique_ptr<ssl::context> tlsContext;
    std::unique_ptr<tcp::acceptor> acceptor;
    std::unique_ptr<TunnelProxy> proxy;
    // Kept across a stop and a new start, as the other counters are.
    const std::shared_ptr<TunnelProxy::Counts> proxyCounts = std::make_shared<TunnelProxy::Counts>();
    std::vector<std::thread> threads;
    bool removeCaFile = false;

    std::mutex runMutex;
    std::condition_variable runEnded;
    unsigned runningThreads = 0;

    mutable std::mutex infoMutex;
    uint16_t port = 0;
    uint16_t proxyPort = 0;
    std::string caCertFile;
};

void Server::Impl::Accept()
{
    acceptor->async_accept(net::make_strand(*ioc), beast::bind_front_handler(&Impl::OnAccept, this));
}

void Server::Impl::OnAccept(beast::error_code ec, tcp::socket socket)
{
    if (ec == net::error::operation_aborted || !acceptor->is_open())
        return;
    if (!ec) {
        ++shared.connections;
        if (tlsContext)
            std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(shared, std::move(socket), *tlsContext)
                ->Run();
        else
            std::make_shared<Session<beast::tcp_stream>>(shared, std::move(socket))->Run();
    }
    // A failed accept (say, out of descriptors) must not end the listening.
    Accept();
}

bool Server::Impl::SetUpTls(std::string* error)
{
    auto context = std::make_unique<ssl::context>(ssl::context::tls_server);
    context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                         ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
    const Options& options = shared.options;
    beast::error_code ec;
    if (!options.certFile.empty()) {
        const std::string& keyFile = options.keyFile.empty() ? options.certFile : options.keyFile;
        if (context->use_certificate_chain_file(options.certFile, ec) ||
            context->use_private_key_file(keyFile, ssl::context::pem, ec)) {
            *error = "cannot load certificate " + options.certFile + " / key " + keyFile + ": " + ec.message();
            return false;
        }
        tlsContext = std::move(context);
        return true;
    }

    CertificateAuthority ca;
    CertificateAuthority::Issued leaf;
    if (!ca.Create("Pelbo devserver throw-away CA", error) || !ca.IssueLoopbackCertificate(&leaf, error))
        return false;
    if (context->use_certificate_chain(net::buffer(leaf.certificatePem), ec) ||
        context->use_private_key(net::buffer(leaf.privateKeyPem), ssl::context::pem, ec)) {
        *error = "cannot use the made certificate: " + ec.message();
        return false;
    }
    std::string path = options.caCertOut;
    const bool temporary = path.empty();
    if (temporary) {
        std::error_code fsError;
        const auto folder = std::filesystem::temp_directory_path(fsError);
        if (fsError) {
            *error = "no temporary folder for the CA certificate: " + fsError.message();
            return false;
        }
        path = (folder / ("pelbo-devserver-ca-" + RandomSuffix() + ".pem")).string();
    }
    if (!CertificateAuthority::WriteFile(path, ca.CertificatePem(), error))
        return false;
    removeCaFile = temporary;
    {
        std::lock_guard<std::mutex> lock(infoMutex);
        caCertFile = path;
    }
    tlsContext = std::move(context);
    return true;
}

void Server::Impl::RunLoop()
{
    for (;;) {
        try {
            ioc->run();
            break;
        } catch (const std::exception& e) {
            shared.Log(std::string("devserver: handler failed: ") + e.what());
        }
    }
    std::lock_guard<std::mutex> lock(runMutex);
    --runningThreads;
    runEnded.notify_all();
}

void Server::Impl::StopLocked()
{
    if (ioc) {
        // Every connection is closed while the loop still runs, and the loop
        // is given the time to take back what that ends. On Windows the
        // loop's destructor waits for each overlapped operation to come
        // back, and a send into a connection that nobody closes may never
        // do so: the stop would hang. What is still pending after the drain
        // is destroyed with the loop.
        net::post(acceptor->get_executor(), [this] {
            beast::error_code ignored;
            acceptor->close(ignored);
        });
        shared.AbortAll();
        shared.state.ws.DropAll();
        if (proxy)
            proxy->Stop();
        {
            std::unique_lock<std::mutex> lock(runMutex);
            runEnded.wait_for(lock, kDrainTimeout, [this] { return runningThreads == 0; });
        }
        ioc->stop();
        for (std::thread& thread : threads)
            thread.join();
        threads.clear();
        proxy.reset();
        acceptor.reset();
        ioc.reset();
    }
    tlsContext.reset();
    std::lock_guard<std::mutex> lock(infoMutex);
    if (removeCaFile && !caCertFile.empty()) {
        std::error_code ignored;
        std::filesystem::remove(caCertFile, ignored);
        caCertFile.clear();
    }
    removeCaFile = false;
}

Server::Server(Options options) : m_impl(std::make_unique<Impl>(std::move(options)))
{
    RegisterAllRoutes(*this);
}

Server::~Server()
{
    Stop();
}

bool Server::Start(std::string* error)
{
    std::string reason;
    std::lock_guard<std::mutex> lock(m_impl->lifecycleMutex);
    if (m_impl->ioc)
        reason = "already running";
    else if (m_impl->shared.options.tls && !m_impl->SetUpTls(&reason))
        reason = "TLS set-up failed: " + reason;
    if (reason.empty()) {
        const Options& options = m_impl->shared.options;
        beast::error_code ec;
        const auto address = net::ip::make_address(options.host, ec);
        if (ec) {
            reason = "bad host " + options.host + ": " + ec.message();
        } else {
            const unsigned threadCount = std::max(1u, options.threads);
            m_impl->ioc = std::make_unique<net::io_context>(static_cast<int>(threadCount));
            // Its own strand: the stop closes it from outside its handler.
            m_impl->acceptor = std::make_unique<tcp::acceptor>(net::make_strand(*m_impl->ioc));
            const tcp::endpoint endpoint(address, options.port);
            tcp::acceptor& acceptor = *m_impl->acceptor;
            if (acceptor.open(endpoint.protocol(), ec) ||
                acceptor.set_option(net::socket_base::reuse_address(true), ec) || acceptor.bind(endpoint, ec) ||
                acceptor.listen(net::socket_base::max_listen_connections, ec)) {
                reason = "cannot listen on " + options.host + ":" + std::to_string(options.port) + ": " +
                         ec.message();
            } else {
                {
                    std::lock_guard<std::mutex> infoLock(m_impl->infoMutex);
                    m_impl->port = acceptor.local_endpoint().port();
                }
                m_impl->Accept();
            }
            if (reason.empty() && options.proxy) {
                Shared& shared = m_impl->shared;
                m_impl->proxy = std::make_unique<TunnelProxy>(
                    *m_impl->ioc, options.proxyUser, options.proxyPassword, m_impl->proxyCounts,
                    [&shared](const std::string& line) {
                        if (!shared.options.quiet)
                            shared.Log(line);
                    });
                if (m_impl->proxy->Listen(address, options.proxyPort, &reason)) {
                    std::lock_guard<std::mutex> infoLock(m_impl->infoMutex);
                    m_impl->proxyPort = m_impl->proxy->Port();
                }
            }
            if (reason.empty()) {
                {
                    std::lock_guard<std::mutex> runLock(m_impl->runMutex);
                    m_impl->runningThreads = threadCount;
                }
                for (unsigned i = 0; i < threadCount; ++i)
                    m_impl->threads.emplace_back([impl = m_impl.get()] { impl->RunLoop(); });
            }
        }
    }
    if (reason.empty())
        return true;
    m_impl->StopLocked();
    if (error)
        *error = reason;
    return false;
}

void Server::Stop()
{
    std::lock_guard<std::mutex> lock(m_impl->lifecycleMutex);
    m_impl->StopLocked();
}

uint16_t Server::Port() const
{
    std::lock_guard<std::mutex> lock(m_impl->infoMutex);
    return m_impl->port;
}

std::string Server::BaseUrl() const
{
    const Options& options = m_impl->shared.options;
    const bool v6 = options.host.find(':') != std::string::npos;
    return std::string(options.tls ? "https" : "http") + "://" + (v6 ? "[" + options.host + "]" : options.host) +
           ":" + std::to_string(Port());
}

std::string Server::CaCertFile() const
{
    std::lock_guard<std::mutex> lock(m_impl->infoMutex);
    return m_impl->caCertFile;
}

void Server::Route(const std::string& method, const std::string& path, Handler handler)
{
    m_impl->shared.router.Route(method, path, std::move(handler));
}

void Server::RouteFallback(Handler handler)
{
    m_impl->shared.router.Fallback(std::move(handler));
}

bool Server::SetFault(const std::string& method, const std::string& path, const Fault& fault)
{
    return m_impl->shared.router.SetFault(method, path, fault);
}

void Server::ClearFaults()
{
    m_impl->shared.router.ClearFaults();
}

void Server::Note(const std::string& line)
{
    if (!m_impl->shared.options.quiet)
        m_impl->shared.Log(line);
}

uint64_t Server::RequestCount() const
{
    return m_impl->shared.requests;
}

uint64_t Server::ConnectionCount() const
{
    return m_impl->shared.connections;
}

uint64_t Server::TlsHandshakeCount() const
{
    return m_impl->shared.handshakes;
}

uint64_t Server::BodyBytesSent() const
{
    return m_impl->shared.bodyBytes;
}

uint16_t Server::ProxyPort() const
{
    std::lock_guard<std::mutex> lock(m_impl->infoMutex);
    return m_impl->proxyPort;
}

uint64_t Server::ProxyTunnelCount() const
{
    return m_impl->proxyCounts->tunnels;
}

uint64_t Server::ProxyRefusalCount() const
{
    return m_impl->proxyCounts->refusals;
}

Server::State& Server::GetState()
{
    return m_impl->shared.state;
}

}  // namespace DevServer
