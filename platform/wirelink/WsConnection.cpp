#include "WsConnection.h"

#include <array>
#include <chrono>
#include <deque>
#include <optional>
#include <type_traits>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#if defined(_WIN32)
#include <wincrypt.h>
#endif

#include "HostLookup.h"

namespace Wirelink {
namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

bool IsIpLiteral(const std::string& host)
{
    boost::system::error_code ec;
    net::ip::make_address(host, ec);
    return !ec;
}

// Beast's unlimited rate, as a type of this file's own: the streams built on
// it close as below, and nobody else's do.
class Unlimited : public beast::unlimited_rate_policy {};
using TcpStream = beast::basic_stream<tcp, net::any_io_executor, Unlimited>;
using TlsStream = beast::ssl_stream<TcpStream>;

// Once the close frame has gone out, Beast would wait for the server to end
// TCP (and TLS) first, reading and throwing away whatever it still sends.
// A server that does neither, say after a frame refused at its header, kept
// the connection until the idle time-out, and the refusal was reported as
// that time-out. The client closes the socket at once instead; the close
// frame already told the server everything a close_notify would.
template <class Handler>
void async_teardown(beast::role_type, TcpStream& stream, Handler&& handler)
{
    beast::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream.socket().close(ignored);
    net::post(stream.get_executor(), beast::bind_front_handler(std::forward<Handler>(handler), beast::error_code()));
}

template <class Handler>
void async_teardown(beast::role_type role, TlsStream& stream, Handler&& handler)
{
    async_teardown(role, stream.next_layer(), std::forward<Handler>(handler));
}

template <class Next>
class Connection : public WsConnection, public std::enable_shared_from_this<Connection<Next>> {
public:
    static constexpr bool kTls = std::is_same_v<Next, TlsStream>;

    template <class... StreamArgs>
    Connection(const Strand& strand, std::shared_ptr<LookupThreads> lookups, std::shared_ptr<ssl::context> tls,
               const WsUrl& url,
               std::optional<ProxyConfig> proxy, std::vector<std::pair<std::string, std::string>> headers,
               const ConnectionLimits& limits, Events events, StreamArgs&&... streamArgs)
        : m_tls(std::move(tls)),
          m_url(url),
          m_proxy(std::move(proxy)),
          m_headers(std::move(headers)),
          m_limits(limits),
          m_events(std::move(events)),
          m_lookup(strand, std::move(lookups)),
          m_timer(strand),
          m_ws(std::forward<StreamArgs>(streamArgs)...)
    {
    }

    void Start() override
    {
        m_timer.expires_after(std::chrono::milliseconds(m_limits.phaseMs));
        m_timer.async_wait([self = this->shared_from_this()](beast::error_code ec) {
            // A lookup has no time-out of its own.
            if (!ec && self->m_lookingUp) {
                self->m_lookup.Cancel();
                self->Fail(net::error::make_error_code(net::error::timed_out), self->m_lookupPhase);
            }
        });
        // Through a proxy, the proxy is what is looked up and connected to.
        LookUp(m_proxy ? m_proxy->host : m_url.host, m_proxy ? m_proxy->port : m_url.port,
               m_proxy ? "resolve proxy" : "resolve", &Connection::OnResolve);
    }

    void Write(std::string text) override
    {
        if (!m_open || m_closing)
            return;
        m_queue.push_back(std::move(text));
        if (m_queue.size() == 1)
            DoWrite();
    }

    void Close(std::function<void()> done) override
    {
        if (m_closing)
            return;
        m_closing = true;
        m_onClosed = std::move(done);
        if (!m_open) {
            StopAll();
            return Closed();
        }
        // A close may not overlap a write; the write's end starts it.
        m_queue.clear();
        if (!m_writing)
            DoClose();
    }

    void Abort() override
    {
        m_closing = true;
        StopAll();
        Closed();
    }

private:
    using Results = tcp::resolver::results_type;

    void LookUp(const std::string& host, const std::string& port, const char* phase,
                void (Connection::*next)(beast::error_code, Results))
    {
        m_lookingUp = true;
        m_lookupPhase = phase;
        m_lookup.Start(host, port, [self = this->shared_from_this(), next](beast::error_code ec, Results results) {
            self->m_lookingUp = false;
            if (ec) {
                self->m_timer.cancel();
                return self->Fail(ec, self->m_lookupPhase);
            }
            ((*self).*next)(ec, std::move(results));
        });
    }

    void OnResolve(beast::error_code, Results results)
    {
        // SOCKS5 without the "h" gives the proxy an address resolved here,
        // within the same resolve time-out.
        if (m_proxy && m_proxy->kind == ProxyConfig::Kind::Socks5) {
            m_proxyEndpoints = std::move(results);
            LookUp(m_url.host, m_url.port, "resolve", &Connection::OnTargetResolve);
            return;
        }
        ConnectTo(results);
    }

    void OnTargetResolve(beast::error_code, Results results)
    {
        const net::ip::address address = results.begin()->endpoint().address();
        if (address.is_v4()) {
            const auto bytes = address.to_v4().to_bytes();
            m_targetAddress.assign(bytes.begin(), bytes.end());
        } else {
            const auto bytes = address.to_v6().to_bytes();
            m_targetAddress.assign(bytes.begin(), bytes.end());
        }
        ConnectTo(m_proxyEndpoints);
    }

    void ConnectTo(const tcp::resolver::results_type& endpoints)
    {
        m_timer.cancel();
        // Through a proxy this limit also covers opening the tunnel.
        beast::get_lowest_layer(m_ws).expires_after(std::chrono::milliseconds(m_limits.phaseMs));
        beast::get_lowest_layer(m_ws).async_connect(
            endpoints, beast::bind_front_handler(&Connection::OnConnect, this->shared_from_this()));
    }

    void OnConnect(beast::error_code ec, const tcp::endpoint&)
    {
        if (ec)
            return Fail(ec, m_proxy ? "connect to proxy" : "connect");
        if (m_proxy) {
            m_tunnel.emplace(*m_proxy, m_url.host, static_cast<uint16_t>(std::stoul(m_url.port)), m_targetAddress);
            return TunnelStep();
        }
        AfterTcp();
    }

    // One round of the tunnel's exchange: send what the handshake has to
    // say, then read its answer.
    void TunnelStep()
    {
        m_tunnelOutput = m_tunnel->TakeOutput();
        if (m_tunnelOutput.empty())
            return TunnelRead();
        net::async_write(beast::get_lowest_layer(m_ws), net::buffer(m_tunnelOutput),
                         [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                             if (ec)
                                 return self->Fail(ec, "proxy tunnel");
                             self->TunnelRead();
                         });
    }

    void TunnelRead()
    {
        beast::get_lowest_layer(m_ws).async_read_some(
            net::buffer(m_tunnelInput), [self = this->shared_from_this()](beast::error_code ec, std::size_t size) {
                if (ec)
                    return self->Fail(ec, "proxy tunnel");
                switch (self->m_tunnel->Feed(self->m_tunnelInput.data(), size)) {
                case ProxyHandshake::State::Reading:
                    return self->TunnelStep();
                case ProxyHandshake::State::Open:
                    return self->AfterTcp();
                case ProxyHandshake::State::Failed:
                    return self->FailWith("proxy tunnel: " + self->m_tunnel->Failure());
                }
            });
    }

    void AfterTcp()
    {
        if constexpr (kTls) {
            auto& tlsStream = m_ws.next_layer();
            if (!IsIpLiteral(m_url.host) && !SSL_set_tlsext_host_name(tlsStream.native_handle(), m_url.host.c_str()))
                return Fail(beast::error_code(static_cast<int>(::ERR_get_error()), net::error::get_ssl_category()),
                            "TLS server name");
            tlsStream.set_verify_mode(ssl::verify_peer);
            tlsStream.set_verify_callback(ssl::host_name_verification(m_url.host));
            beast::get_lowest_layer(m_ws).expires_after(std::chrono::milliseconds(m_limits.phaseMs));
            tlsStream.async_handshake(ssl::stream_base::client,
                                      beast::bind_front_handler(&Connection::OnTlsHandshake, this->shared_from_this()));
        } else {
            Upgrade();
        }
    }

    void OnTlsHandshake(beast::error_code ec)
    {
        if (ec)
            return Fail(ec, "TLS handshake");
        Upgrade();
    }

    void Upgrade()
    {
        // From here on the websocket's own time-outs apply.
        beast::get_lowest_layer(m_ws).expires_never();
        websocket::stream_base::timeout timeout{};
        timeout.handshake_timeout = std::chrono::milliseconds(m_limits.phaseMs);
        timeout.idle_timeout = std::chrono::milliseconds(m_limits.idleMs);
        timeout.keep_alive_pings = true;
        m_ws.set_option(timeout);
        m_ws.set_option(websocket::stream_base::decorator(
            [headers = m_headers](websocket::request_type& request) {
                request.set(beast::http::field::user_agent, "wirelink");
                for (const auto& header : headers)
                    request.set(header.first, header.second);
            }));
        m_ws.read_message_max(m_limits.maxFrameBytes);
        m_ws.async_handshake(m_url.HostHeader(), m_url.target,
                             beast::bind_front_handler(&Connection::OnUpgrade, this->shared_from_this()));
    }

    void OnUpgrade(beast::error_code ec)
    {
        if (ec)
            return Fail(ec, "websocket upgrade");
        if (m_closing)
            return;
        // Commands and replies are small frames each awaited by someone: none
        // may wait for the acknowledgement of the one before.
        beast::error_code ignored;
        beast::get_lowest_layer(m_ws).socket().set_option(tcp::no_delay(true), ignored);
        m_open = true;
        m_events.opened();
        DoRead();
    }

    void DoRead()
    {
        m_ws.async_read(m_buffer, beast::bind_front_handler(&Connection::OnRead, this->shared_from_this()));
    }

    void OnRead(beast::error_code ec, std::size_t bytes)
    {
        if (ec) {
            if (ec == websocket::error::message_too_big)
                m_events.log("a frame over " + std::to_string(m_limits.maxFrameBytes) + " bytes ends the connection");
            return Fail(ec, "read");
        }
        if (m_closing)
            return;
        const bool text = m_ws.got_text();
        std::string frame = text ? beast::buffers_to_string(m_buffer.data()) : std::string();
        m_buffer.consume(m_buffer.size());
        // The next read is under way before the frame is handed on: the
        // handing on may end in a callback whose thread sends the next
        // command at once, and finds the strand free the sooner.
        DoRead();
        if (text)
            m_events.text(std::move(frame));
        else
            m_events.log("binary frame of " + std::to_string(bytes) + " bytes dropped");
    }

    void DoWrite()
    {
        m_writing = true;
        m_ws.text(true);
        m_ws.async_write(net::buffer(m_queue.front()),
                         beast::bind_front_handler(&Connection::OnWrite, this->shared_from_this()));
    }

    void OnWrite(beast::error_code ec, std::size_t)
    {
        m_writing = false;
        if (m_closing) {
            if (m_open && !m_closeStarted)
                DoClose();
            return;
        }
        if (ec)
            return Fail(ec, "write");
        m_queue.pop_front();
        if (!m_queue.empty())
            DoWrite();
    }

    void DoClose()
    {
        m_closeStarted = true;
        m_ws.async_close(websocket::close_code::normal,
                         beast::bind_front_handler(&Connection::OnClose, this->shared_from_this()));
    }

    void OnClose(beast::error_code)
    {
        StopAll();
        Closed();
    }

    void Closed()
    {
        if (m_onClosed) {
            auto done = std::move(m_onClosed);
            m_onClosed = nullptr;
            done();
        }
    }

    void StopAll()
    {
        m_timer.cancel();
        m_lookup.Cancel();
        m_lookingUp = false;
        beast::error_code ignored;
        beast::get_lowest_layer(m_ws).socket().close(ignored);
    }

    void Fail(beast::error_code ec, const char* phase)
    {
        FailWith(std::string(phase) + ": " + ec.message());
    }

    void FailWith(const std::string& why)
    {
        if (m_closing || m_ended)
            return;
        m_ended = true;
        const bool wasOpen = m_open;
        m_open = false;
        m_queue.clear();
        StopAll();
        m_events.ended(wasOpen, why);
    }

    std::shared_ptr<ssl::context> m_tls;  // outlives the stream that uses it
    WsUrl m_url;
    std::optional<ProxyConfig> m_proxy;
    tcp::resolver::results_type m_proxyEndpoints;
    std::string m_targetAddress;  // what socks5 gives the proxy
    std::optional<ProxyHandshake> m_tunnel;
    std::string m_tunnelOutput;
    std::array<char, 1024> m_tunnelInput{};
    std::vector<std::pair<std::string, std::string>> m_headers;
    ConnectionLimits m_limits;
    Events m_events;
    HostLookup m_lookup;
    bool m_lookingUp = false;
    const char* m_lookupPhase = "resolve";
    net::steady_timer m_timer;
    websocket::stream<Next> m_ws;
    beast::flat_buffer m_buffer;
    std::deque<std::string> m_queue;
    std::function<void()> m_onClosed;
    bool m_open = false;
    bool m_writing = false;
    bool m_closing = false;
    bool m_closeStarted = false;
    bool m_ended = false;
};

#if defined(_WIN32)
// OpenSSL has no certificate store of its own on Windows: the roots the
// system trusts are copied into the context's store.
bool UseSystemRoots(ssl::context& context)
{
    const HCERTSTORE store = ::CertOpenSystemStoreW(0, L"ROOT");
    if (store == nullptr)
        return false;
    X509_STORE* trusted = SSL_CTX_get_cert_store(context.native_handle());
    int added = 0;
    for (PCCERT_CONTEXT cert = ::CertEnumCertificatesInStore(store, nullptr); cert != nullptr;
         cert = ::CertEnumCertificatesInStore(store, cert)) {
        const unsigned char* der = cert->pbCertEncoded;
        X509* x509 = d2i_X509(nullptr, &der, static_cast<long>(cert->cbCertEncoded));
        if (x509 == nullptr)
            continue;
        if (X509_STORE_add_cert(trusted, x509) == 1)
            ++added;
        X509_free(x509);
    }
    ::CertCloseStore(store, 0);
    return added > 0;
}
#endif

}  // namespace

std::shared_ptr<ssl::context> WsConnection::MakeTlsContext(const std::string& caFile, std::string* error)
{
    auto context = std::make_shared<ssl::context>(ssl::context::tls_client);
    context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                         ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
    context->set_verify_mode(ssl::verify_peer);
    beast::error_code ec;
    if (caFile.empty()) {
#if defined(_WIN32)
        if (!UseSystemRoots(*context))
            ec = boost::asio::error::make_error_code(boost::asio::error::no_recovery);
#else
        context->set_default_verify_paths(ec);
#endif
    } else {
        context->load_verify_file(caFile, ec);
    }
    if (ec) {
        *error = (caFile.empty() ? std::string("system certificate store") : "CA file " + caFile) + ": " + ec.message();
        return nullptr;
    }
    return context;
}

std::shared_ptr<WsConnection> WsConnection::Create(const Strand& strand, std::shared_ptr<LookupThreads> lookups,
                                                   std::shared_ptr<ssl::context> tls,
                                                   const WsUrl& url, std::optional<ProxyConfig> proxy,
                                                   std::vector<std::pair<std::string, std::string>> headers,
                                                   const ConnectionLimits& limits, Events events)
{
    if (url.tls) {
        ssl::context& context = *tls;
        return std::make_shared<Connection<TlsStream>>(strand, std::move(lookups), std::move(tls), url, std::move(proxy),
                                                       std::move(headers), limits, std::move(events), strand,
                                                       context);
    }
    return std::make_shared<Connection<TcpStream>>(strand, std::move(lookups), std::move(tls), url, std::move(proxy), std::move(headers),
                                                   limits, std::move(events), strand);
}

}  // namespace Wirelink
