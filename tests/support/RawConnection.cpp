#include "support/RawConnection.h"

#include <functional>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

namespace TestSupport {

namespace net = boost::asio;
using tcp = net::ip::tcp;

struct RawConnection::Impl {
    net::io_context ioc;
    tcp::socket socket{ioc};
};

RawConnection::RawConnection() : m_impl(std::make_unique<Impl>()) {}
RawConnection::~RawConnection() = default;

bool RawConnection::Connect(const std::string& host, uint16_t port)
{
    boost::system::error_code ec;
    const auto address = net::ip::make_address(host, ec);
    if (ec)
        return false;
    m_impl->socket.connect(tcp::endpoint(address, port), ec);
    return !ec;
}

bool RawConnection::Send(const std::string& bytes)
{
    boost::system::error_code ec;
    net::write(m_impl->socket, net::buffer(bytes), ec);
    return !ec;
}

std::string RawConnection::ReadUntilClosed(std::chrono::milliseconds limit, bool* closed)
{
    std::string received;
    char chunk[4096];
    bool ended = false;
    std::function<void(const boost::system::error_code&, std::size_t)> onRead;
    onRead = [&](const boost::system::error_code& ec, std::size_t size) {
        received.append(chunk, size);
        if (ec) {
            ended = ec != net::error::operation_aborted;
            return;
        }
        m_impl->socket.async_read_some(net::buffer(chunk), onRead);
    };
    m_impl->socket.async_read_some(net::buffer(chunk), onRead);
    m_impl->ioc.restart();
    m_impl->ioc.run_for(limit);
    if (!m_impl->ioc.stopped()) {
        // Time is up: cancel the read and let its handler run before the
        // locals it refers to go away.
        m_impl->socket.cancel();
        m_impl->ioc.run();
    }
    *closed = ended;
    return received;
}

}  // namespace TestSupport
