#pragma once
// The local server's proxy: HTTP CONNECT and SOCKS5 on one port, told apart
// by the first byte (SOCKS5 begins with 0x05). It tunnels to loopback only
// (127.0.0.1, ::1, localhost and names under .localhost), so that a proxy
// run for the tests and the demo can never become a way out of the machine.
// Tunnels opened and attempts refused are counted, so a test can prove an
// exchange went through it. Runs on the server's I/O context.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace DevServer {

class TunnelProxy {
public:
    struct Shared;
    struct Counts {
        std::atomic<uint64_t> tunnels{0};
        std::atomic<uint64_t> refusals{0};
    };

    // An empty user asks for no credentials (SOCKS5 "no authentication");
    // otherwise Basic for CONNECT and RFC 1929 for SOCKS5. log gets one line
    // per attempt, never with credentials.
    TunnelProxy(boost::asio::io_context& ioc, std::string user, std::string password, std::shared_ptr<Counts> counts,
                std::function<void(const std::string&)> log);
    ~TunnelProxy();
    TunnelProxy(const TunnelProxy&) = delete;
    TunnelProxy& operator=(const TunnelProxy&) = delete;

    bool Listen(const boost::asio::ip::address& address, uint16_t port, std::string* error);
    uint16_t Port() const;
    // Closes the listener and every connection it holds; safe from any
    // thread. What the closing ends runs on the I/O context.
    void Stop();

private:
    void Accept();

    std::shared_ptr<Shared> m_shared;  // outlives the connections, which hold it too
    boost::asio::io_context& m_ioc;
    boost::asio::ip::tcp::acceptor m_acceptor;
    uint16_t m_port = 0;
};

}  // namespace DevServer
