#include "support/HostileServer.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

namespace TestSupport {

namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

constexpr auto kConnectionLife = std::chrono::minutes(1);
constexpr auto kAcceptPoll = std::chrono::milliseconds(5);

}  // namespace

struct HostileServer::Impl {
    Behaviour behaviour;
    net::io_context ioc;
    tcp::acceptor acceptor{ioc};
    std::atomic<bool> stopping{false};
    std::atomic<unsigned> requests{0};
    bool started = false;
    uint16_t port = 0;
    std::thread acceptThread;
    std::mutex lock;
    std::vector<std::thread> connections;

    void AcceptLoop()
    {
        unsigned accepted = 0;
        while (!stopping.load() && accepted < kMaxConnections) {
            boost::system::error_code ec;
            tcp::socket socket(ioc);
            acceptor.accept(socket, ec);
            if (ec) {
                std::this_thread::sleep_for(kAcceptPoll);
                continue;
            }
            ++accepted;
            std::lock_guard<std::mutex> guard(lock);
            connections.emplace_back(&Impl::Serve, this, std::move(socket));
        }
    }

    // Reads up to the end of the request's head, polling so that a client
    // that sends nothing cannot hold the server.
    bool ReadHead(tcp::socket& socket, std::chrono::steady_clock::time_point deadline)
    {
        boost::system::error_code ec;
        socket.non_blocking(true, ec);
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            if (stopping.load() || std::chrono::steady_clock::now() >= deadline || head.size() > (64u << 10))
                return false;
            const size_t size = socket.read_some(net::buffer(buffer), ec);
            if (ec == net::error::would_block) {
                std::this_thread::sleep_for(kAcceptPoll);
                continue;
            }
            if (ec)
                return false;
            head.append(buffer, size);
        }
        socket.non_blocking(false, ec);
        return !ec;
    }

    void Serve(tcp::socket socket)
    {
        const auto deadline = std::chrono::steady_clock::now() + kConnectionLife;
        if (!ReadHead(socket, deadline))
            return;
        ++requests;
        std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nConnection: close\r\n";
        if (behaviour.announced >= 0)
            answer += "Content-Length: " + std::to_string(behaviour.announced) + "\r\n";
        answer += "\r\n";
        if (!Write(socket, answer))
            return;
        unsigned long long sent = 0;
        while (sent < behaviour.served && !stopping.load() && std::chrono::steady_clock::now() < deadline) {
            const unsigned long long size = std::min(behaviour.chunk, behaviour.served - sent);
            if (!Write(socket, std::string(static_cast<size_t>(size), 'x')))
                return;
            sent += size;
            if (behaviour.pause.count() > 0)
                std::this_thread::sleep_for(behaviour.pause);
        }
        boost::system::error_code ec;
        socket.shutdown(tcp::socket::shutdown_both, ec);
    }

    static bool Write(tcp::socket& socket, const std::string& bytes)
    {
        boost::system::error_code ec;
        net::write(socket, net::buffer(bytes), ec);
        return !ec;
    }
};

HostileServer::Behaviour HostileServer::Trickle(unsigned long long size, std::chrono::milliseconds pause)
{
    Behaviour behaviour;
    behaviour.announced = static_cast<long long>(size);
    behaviour.served = size;
    behaviour.chunk = 1;
    behaviour.pause = pause;
    return behaviour;
}

HostileServer::Behaviour HostileServer::Flood(long long announced, unsigned long long served)
{
    Behaviour behaviour;
    behaviour.announced = announced;
    behaviour.served = served;
    return behaviour;
}

HostileServer::HostileServer(Behaviour behaviour) : m_impl(std::make_unique<Impl>())
{
    m_impl->behaviour = behaviour;
    boost::system::error_code ec;
    const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), 0);
    m_impl->acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        m_impl->acceptor.bind(endpoint, ec);
    if (!ec)
        m_impl->acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (!ec)
        m_impl->acceptor.non_blocking(true, ec);
    if (ec)
        return;
    m_impl->port = m_impl->acceptor.local_endpoint(ec).port();
    m_impl->started = !ec;
    if (m_impl->started)
        m_impl->acceptThread = std::thread(&Impl::AcceptLoop, m_impl.get());
}

HostileServer::~HostileServer()
{
    m_impl->stopping = true;
    if (m_impl->acceptThread.joinable())
        m_impl->acceptThread.join();
    for (std::thread& connection : m_impl->connections)
        connection.join();
}

bool HostileServer::Started() const
{
    return m_impl->started;
}

uint16_t HostileServer::Port() const
{
    return m_impl->port;
}

std::string HostileServer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(m_impl->port) + path;
}

unsigned HostileServer::Requests() const
{
    return m_impl->requests.load();
}

}  // namespace TestSupport
