// The Beast side of the websocket endpoint: one session per connection on
// its own strand, with a write queue; the hub decides what to answer.

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "WsUpgrade.h"

namespace DevServer {
namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace http = beast::http;
namespace net = boost::asio;

// Larger frames from a client end its session.
constexpr std::size_t kMaxFrameBytes = 1u << 20;

template <class Next>
class WsSession : public WsHub::Peer, public std::enable_shared_from_this<WsSession<Next>> {
public:
    WsSession(WsHub& hub, Next&& stream) : m_hub(hub), m_ws(std::move(stream)) {}
    // However the session ends (a failed read, a handler that threw, the
    // server stopping), its entry goes with it: a later connection may get
    // the same address and must not inherit a log-in.
    ~WsSession() override { m_hub.Detach(this); }

    void Run(http::request<http::string_body> request)
    {
        // A reply queued behind a stream of pushes would otherwise wait for
        // the client's delayed acknowledgement (up to 40 ms) before leaving.
        beast::error_code ignored;
        beast::get_lowest_layer(m_ws).socket().set_option(net::ip::tcp::no_delay(true), ignored);
        m_ws.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        m_ws.read_message_max(kMaxFrameBytes);
        m_ws.async_accept(request, beast::bind_front_handler(&WsSession::OnAccept, this->shared_from_this()));
    }

    void SendFrame(std::string payload, bool binary, unsigned delayMs) override
    {
        auto self = this->shared_from_this();
        net::post(m_ws.get_executor(), [self, payload = std::move(payload), binary, delayMs]() mutable {
            if (delayMs == 0)
                return self->Queue(std::move(payload), binary);
            auto timer = std::make_shared<net::steady_timer>(self->m_ws.get_executor());
            timer->expires_after(std::chrono::milliseconds(delayMs));
            timer->async_wait([self, timer, payload = std::move(payload), binary](beast::error_code ec) mutable {
                if (!ec)
                    self->Queue(std::move(payload), binary);
            });
        });
    }

    void Drop() override
    {
        net::post(m_ws.get_executor(), [self = this->shared_from_this()] {
            self->m_dropped = true;
            // A send into a client that stopped reading ends only when
            // cancelled: closing alone leaves it pending on Windows.
            beast::error_code ignored;
            beast::get_lowest_layer(self->m_ws).socket().cancel(ignored);
            beast::get_lowest_layer(self->m_ws).close();
        });
    }

private:
    void OnAccept(beast::error_code ec)
    {
        if (ec)
            return;
        m_hub.Attach(this->shared_from_this());
        DoRead();
    }

    void DoRead()
    {
        m_ws.async_read(m_buffer, beast::bind_front_handler(&WsSession::OnRead, this->shared_from_this()));
    }

    void OnRead(beast::error_code ec, std::size_t)
    {
        if (ec)
            return m_hub.Detach(this);
        if (m_ws.got_text())
            m_hub.OnText(*this, beast::buffers_to_string(m_buffer.data()));
        m_buffer.consume(m_buffer.size());
        DoRead();
    }

    void Queue(std::string payload, bool binary)
    {
        if (m_dropped)
            return;
        m_queue.emplace_back(std::move(payload), binary);
        if (m_queue.size() == 1)
            DoWrite();
    }

    void DoWrite()
    {
        m_ws.binary(m_queue.front().second);
        m_ws.async_write(net::buffer(m_queue.front().first),
                         beast::bind_front_handler(&WsSession::OnWrite, this->shared_from_this()));
    }

    void OnWrite(beast::error_code ec, std::size_t)
    {
        if (ec) {
            m_queue.clear();
            return;
        }
        m_queue.pop_front();
        if (!m_queue.empty())
            DoWrite();
    }

    WsHub& m_hub;
    websocket::stream<Next> m_ws;
    beast::flat_buffer m_buffer;
    std::deque<std::pair<std::string, bool>> m_queue;
    bool m_dropped = false;
};

}  // namespace

void AcceptWebsocket(WsHub& hub, beast::tcp_stream&& stream, http::request<http::string_body>&& request)
{
    beast::get_lowest_layer(stream).expires_never();
    std::make_shared<WsSession<beast::tcp_stream>>(hub, std::move(stream))->Run(std::move(request));
}

void AcceptWebsocket(WsHub& hub, beast::ssl_stream<beast::tcp_stream>&& stream,
                     http::request<http::string_body>&& request)
{
    beast::get_lowest_layer(stream).expires_never();
    std::make_shared<WsSession<beast::ssl_stream<beast::tcp_stream>>>(hub, std::move(stream))
        ->Run(std::move(request));
}

}  // namespace DevServer
