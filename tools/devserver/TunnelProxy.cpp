#include "TunnelProxy.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <openssl/evp.h>

namespace DevServer {
namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using ErrorCode = boost::system::error_code;

// Negotiating a tunnel takes this long at most; a tunnel itself has no limit.
constexpr std::chrono::seconds kNegotiationTimeout{15};
// An HTTP request head, CONNECT line and headers, is never longer.
constexpr std::size_t kMaxHead = 16 * 1024;

constexpr uint8_t kSocksVersion = 0x05;
constexpr uint8_t kNoAuthentication = 0x00;
constexpr uint8_t kUserPassword = 0x02;
constexpr uint8_t kNoAcceptableMethod = 0xFF;
// RFC 1928 replies.
constexpr uint8_t kSocksSucceeded = 0x00;
constexpr uint8_t kSocksNotAllowed = 0x02;
constexpr uint8_t kSocksRefused = 0x05;
constexpr uint8_t kSocksCommandUnsupported = 0x07;
constexpr uint8_t kSocksAddressUnsupported = 0x08;

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Base64(const std::string& text)
{
    std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                       reinterpret_cast<const unsigned char*>(text.data()),
                                       static_cast<int>(text.size()));
    out.resize(static_cast<std::size_t>(std::max(length, 0)));
    return out;
}

bool ParsePort(const std::string& text, uint16_t* port)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long value = std::stoul(text);
    if (value == 0 || value > 65535)
        return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

// Where a tunnel may lead: loopback addresses, and the names that mean
// loopback (RFC 6761), which are tried as 127.0.0.1 and then ::1. Nothing
// is looked up.
std::vector<tcp::endpoint> LoopbackEndpoints(const std::string& host, uint16_t port)
{
    ErrorCode ec;
    const net::ip::address address = net::ip::make_address(host, ec);
    if (!ec)
        return address.is_loopback() ? std::vector<tcp::endpoint>{{address, port}} : std::vector<tcp::endpoint>{};
    const std::string name = Lower(host);
    static const std::string kSuffix = ".localhost";
    const bool local = name == "localhost" || (name.size() > kSuffix.size() &&
                                               name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0);
    if (!local)
        return {};
    return {{net::ip::address_v4::loopback(), port}, {net::ip::address_v6::loopback(), port}};
}

// A connection as the proxy sees it when it stops.
class Link;

}  // namespace

struct TunnelProxy::Shared {
    std::string user;
    std::string password;
    std::function<void(const std::string&)> log;
    std::shared_ptr<Counts> counts;

    std::mutex liveMutex;
    std::unordered_map<const Link*, std::weak_ptr<Link>> live;
};

namespace {

// One client connection: the negotiation, then the relay both ways. Both
// sockets share one strand, on which every handler runs.
class Link : public std::enable_shared_from_this<Link> {
public:
    Link(std::shared_ptr<TunnelProxy::Shared> shared, tcp::socket client)
        : m_shared(std::move(shared)),
          m_client(std::move(client)),
          m_target(m_client.get_executor()),
          m_timer(m_client.get_executor())
    {
    }

    ~Link()
    {
        std::lock_guard<std::mutex> lock(m_shared->liveMutex);
        m_shared->live.erase(this);
    }

    void Start()
    {
        {
            std::lock_guard<std::mutex> lock(m_shared->liveMutex);
            m_shared->live[this] = shared_from_this();
        }
        m_timer.expires_after(kNegotiationTimeout);
        m_timer.async_wait([self = shared_from_this()](ErrorCode ec) {
            if (!ec)
                self->CloseBoth();
        });
        ReadExactly(1, &Link::OnFirstByte);
    }

    void Abort()
    {
        net::post(m_client.get_executor(), [self = shared_from_this()] { self->CloseBoth(); });
    }

private:
    using Step = void (Link::*)();

    void ReadExactly(std::size_t count, Step next)
    {
        m_in.assign(count, '\0');
        net::async_read(m_client, net::buffer(m_in), [self = shared_from_this(), next](ErrorCode ec, std::size_t) {
            if (ec)
                return self->CloseBoth();
            ((*self).*next)();
        });
    }

    uint8_t Byte(std::size_t i) const { return static_cast<uint8_t>(m_in[i]); }

    void OnFirstByte()
    {
        if (Byte(0) == kSocksVersion)
            return ReadExactly(1, &Link::OnSocksMethodCount);
        // Anything else is taken for an HTTP request head; its first byte is
        // kept at the front of the buffer the head is read into.
        net::async_read_until(m_client, net::dynamic_buffer(m_in, kMaxHead), "\r\n\r\n",
                              [self = shared_from_this()](ErrorCode ec, std::size_t size) {
                                  if (ec == net::error::not_found)
                                      return self->RefuseHttp(400, "Bad Request", "request head too long");
                                  if (ec)
                                      return self->CloseBoth();
                                  self->OnHttpHead(size);
                              });
    }

    // ---- HTTP CONNECT ----

    void OnHttpHead(std::size_t size)
    {
        const std::string head = m_in.substr(0, size);
        m_early = m_in.substr(size);
        const std::size_t lineEnd = head.find("\r\n");
        const std::string line = head.substr(0, lineEnd);
        const std::size_t firstSpace = line.find(' ');
        const std::size_t lastSpace = line.rfind(' ');
        if (firstSpace == std::string::npos || lastSpace == firstSpace || line.substr(0, firstSpace) != "CONNECT" ||
            line.compare(lastSpace + 1, 5, "HTTP/") != 0)
            return RefuseHttp(400, "Bad Request", "not a CONNECT request");
        const std::string target = line.substr(firstSpace + 1, lastSpace - firstSpace - 1);
        const std::size_t colon = target.rfind(':');
        std::string host = colon == std::string::npos ? std::string() : target.substr(0, colon);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        if (host.empty() || !ParsePort(target.substr(colon + 1), &m_port))
            return RefuseHttp(400, "Bad Request", "CONNECT target is not host:port");
        m_what = "CONNECT " + target;

        if (!m_shared->user.empty() && !HasCredentials(head))
            return RefuseHttp(407, "Proxy Authentication Required", "no or wrong credentials");
        m_endpoints = LoopbackEndpoints(host, m_port);
        if (m_endpoints.empty())
            return RefuseHttp(403, "Forbidden", "not a loopback target");
        ConnectTarget(&Link::OnHttpTargetConnected);
    }

    // A "Proxy-Authorization: Basic ..." header with the configured user
    // and password.
    bool HasCredentials(const std::string& head) const
    {
        const std::string expected = "basic " + Base64(m_shared->user + ":" + m_shared->password);
        std::size_t at = head.find("\r\n");
        while (at != std::string::npos && at + 2 < head.size()) {
            const std::size_t end = head.find("\r\n", at + 2);
            const std::string field = head.substr(at + 2, end - at - 2);
            at = end;
            const std::size_t colon = field.find(':');
            if (colon == std::string::npos || Lower(field.substr(0, colon)) != "proxy-authorization")
                continue;
            std::string value = field.substr(colon + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            value.erase(value.find_last_not_of(" \t") + 1);
            const std::size_t space = value.find(' ');
            if (space != std::string::npos && Lower(value.substr(0, space)) + value.substr(space) == expected)
                return true;
        }
        return false;
    }

    void OnHttpTargetConnected(bool connected)
    {
        if (!connected)
            return RefuseHttp(502, "Bad Gateway", "the target refused the connection");
        Opened();
        m_out = "HTTP/1.1 200 Connection established\r\n\r\n";
        net::async_write(m_client, net::buffer(m_out), [self = shared_from_this()](ErrorCode ec, std::size_t) {
            if (ec)
                return self->CloseBoth();
            self->ForwardEarlyBytes();
        });
    }

    // Whatever the client sent behind its request head belongs to the target.
    void ForwardEarlyBytes()
    {
        if (m_early.empty())
            return Relay();
        net::async_write(m_target, net::buffer(m_early), [self = shared_from_this()](ErrorCode ec, std::size_t) {
            if (ec)
                return self->CloseBoth();
            self->Relay();
        });
    }

    void RefuseHttp(int status, const char* reason, const char* why)
    {
        Refused(std::to_string(status) + " (" + why + ")");
        m_out = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
        if (status == 407)
            m_out += "Proxy-Authenticate: Basic realm=\"pelbo-devserver\"\r\n";
        m_out += "Content-Length: 0\r\nConnection: close\r\n\r\n";
        WriteAndEnd();
    }

    // ---- SOCKS5 (RFC 1928, RFC 1929) ----

    void OnSocksMethodCount()
    {
        if (Byte(0) == 0)
            return RefuseSocksGreeting();
        ReadExactly(Byte(0), &Link::OnSocksMethods);
    }

    void OnSocksMethods()
    {
        const uint8_t wanted = m_shared->user.empty() ? kNoAuthentication : kUserPassword;
        if (m_in.find(static_cast<char>(wanted)) == std::string::npos)
            return RefuseSocksGreeting();
        m_out = {static_cast<char>(kSocksVersion), static_cast<char>(wanted)};
        net::async_write(m_client, net::buffer(m_out), [self = shared_from_this(), wanted](ErrorCode ec, std::size_t) {
            if (ec)
                return self->CloseBoth();
            if (wanted == kUserPassword)
                self->ReadExactly(2, &Link::OnSocksUserLength);
            else
                self->ReadExactly(4, &Link::OnSocksRequest);
        });
    }

    void RefuseSocksGreeting()
    {
        m_what = "SOCKS5";
        Refused("no acceptable authentication method");
        m_out = {static_cast<char>(kSocksVersion), static_cast<char>(kNoAcceptableMethod)};
        WriteAndEnd();
    }

    void OnSocksUserLength()
    {
        if (Byte(0) != 0x01)
            return CloseBoth();
        // The user name and the password's length behind it.
        ReadExactly(static_cast<std::size_t>(Byte(1)) + 1, &Link::OnSocksUser);
    }

    void OnSocksUser()
    {
        m_socksUser = m_in.substr(0, m_in.size() - 1);
        const std::size_t passwordLength = Byte(m_in.size() - 1);
        if (passwordLength > 0)
            return ReadExactly(passwordLength, &Link::OnSocksPassword);
        m_in.clear();
        OnSocksPassword();
    }

    // m_in holds the password.
    void OnSocksPassword()
    {
        const bool accepted = m_socksUser == m_shared->user && m_in == m_shared->password;
        m_out = {0x01, static_cast<char>(accepted ? 0x00 : 0x01)};
        if (!accepted) {
            m_what = "SOCKS5";
            Refused("wrong user name or password");
            return WriteAndEnd();
        }
        net::async_write(m_client, net::buffer(m_out), [self = shared_from_this()](ErrorCode ec, std::size_t) {
            if (ec)
                return self->CloseBoth();
            self->ReadExactly(4, &Link::OnSocksRequest);
        });
    }

    void OnSocksRequest()
    {
        m_what = "SOCKS5";
        if (Byte(0) != kSocksVersion)
            return CloseBoth();
        m_socksCommand = Byte(1);
        switch (Byte(3)) {
        case 0x01:
            return ReadExactly(4 + 2, &Link::OnSocksAddress);
        case 0x04:
            return ReadExactly(16 + 2, &Link::OnSocksAddress);
        case 0x03:
            return ReadExactly(1, &Link::OnSocksNameLength);
        default:
            return RefuseSocks(kSocksAddressUnsupported, "address type not supported");
        }
    }

    void OnSocksNameLength()
    {
        m_socksName = true;
        ReadExactly(static_cast<std::size_t>(Byte(0)) + 2, &Link::OnSocksAddress);
    }

    void OnSocksAddress()
    {
        const std::size_t hostBytes = m_in.size() - 2;
        m_port = static_cast<uint16_t>(Byte(hostBytes) << 8 | Byte(hostBytes + 1));
        std::string host;
        if (m_socksName) {
            host = m_in.substr(0, hostBytes);
        } else if (hostBytes == 4) {
            net::ip::address_v4::bytes_type bytes{};
            std::copy(m_in.begin(), m_in.begin() + 4, bytes.begin());
            host = net::ip::address_v4(bytes).to_string();
        } else {
            net::ip::address_v6::bytes_type bytes{};
            std::copy(m_in.begin(), m_in.begin() + 16, bytes.begin());
            host = net::ip::address_v6(bytes).to_string();
        }
        m_what = "SOCKS5 " + host + ":" + std::to_string(m_port);
        if (m_socksCommand != 0x01)
            return RefuseSocks(kSocksCommandUnsupported, "only CONNECT is supported");
        m_endpoints = LoopbackEndpoints(host, m_port);
        if (m_endpoints.empty() || m_port == 0)
            return RefuseSocks(kSocksNotAllowed, "not a loopback target");
        ConnectTarget(&Link::OnSocksTargetConnected);
    }

    void OnSocksTargetConnected(bool connected)
    {
        if (!connected)
            return RefuseSocks(kSocksRefused, "the target refused the connection");
        ErrorCode ec;
        const tcp::endpoint bound = m_target.local_endpoint(ec);
        Opened();
        m_out = SocksReply(kSocksSucceeded, ec ? tcp::endpoint() : bound);
        net::async_write(m_client, net::buffer(m_out), [self = shared_from_this()](ErrorCode writeError, std::size_t) {
            if (writeError)
                return self->CloseBoth();
            self->Relay();
        });
    }

    static std::string SocksReply(uint8_t code, const tcp::endpoint& bound)
    {
        std::string reply = {static_cast<char>(kSocksVersion), static_cast<char>(code), 0x00};
        if (bound.address().is_v6()) {
            reply += '\x04';
            for (unsigned char b : bound.address().to_v6().to_bytes())
                reply += static_cast<char>(b);
        } else {
            reply += '\x01';
            for (unsigned char b : bound.address().to_v4().to_bytes())
                reply += static_cast<char>(b);
        }
        reply += static_cast<char>(bound.port() >> 8);
        reply += static_cast<char>(bound.port() & 0xff);
        return reply;
    }

    void RefuseSocks(uint8_t code, const char* why)
    {
        Refused("reply " + std::to_string(code) + " (" + why + ")");
        m_out = SocksReply(code, tcp::endpoint());
        WriteAndEnd();
    }

    // ---- both ----

    void ConnectTarget(void (Link::*next)(bool))
    {
        net::async_connect(m_target, m_endpoints,
                           [self = shared_from_this(), next](ErrorCode ec, const tcp::endpoint&) {
                               ((*self).*next)(!ec);
                           });
    }

    void Opened()
    {
        ++m_shared->counts->tunnels;
        Note("tunnel");
    }

    void Refused(const std::string& why)
    {
        ++m_shared->counts->refusals;
        Note("refused " + why);
    }

    void Note(const std::string& outcome)
    {
        if (m_shared->log)
            m_shared->log("proxy: " + (m_what.empty() ? std::string("request") : m_what) + " -> " + outcome);
    }

    // Sends the refusal, then lets the client close first, so that the
    // answer is not lost to a reset of a socket closed with unread data.
    void WriteAndEnd()
    {
        net::async_write(m_client, net::buffer(m_out), [self = shared_from_this()](ErrorCode ec, std::size_t) {
            if (ec)
                return self->CloseBoth();
            ErrorCode ignored;
            self->m_client.shutdown(tcp::socket::shutdown_send, ignored);
            self->DrainClient();
        });
    }

    void DrainClient()
    {
        m_client.async_read_some(net::buffer(m_up), [self = shared_from_this()](ErrorCode ec, std::size_t) {
            if (ec)
                return self->CloseBoth();
            self->DrainClient();
        });
    }

    void Relay()
    {
        m_timer.cancel();
        Pump(m_client, m_target, m_up, m_upEnded);
        Pump(m_target, m_client, m_down, m_downEnded);
    }

    // One direction: what one side sends is written to the other. The end
    // of one direction is passed on as such; the link closes when both
    // have ended, or at once on an error.
    void Pump(tcp::socket& from, tcp::socket& to, std::array<char, 16 * 1024>& buffer, bool& ended)
    {
        from.async_read_some(net::buffer(buffer), [self = shared_from_this(), &from, &to, &buffer,
                                                   &ended](ErrorCode ec, std::size_t size) {
            if (ec == net::error::eof) {
                ErrorCode ignored;
                to.shutdown(tcp::socket::shutdown_send, ignored);
                ended = true;
                if (self->m_upEnded && self->m_downEnded)
                    self->CloseBoth();
                return;
            }
            if (ec)
                return self->CloseBoth();
            net::async_write(to, net::buffer(buffer.data(), size),
                             [self, &from, &to, &buffer, &ended](ErrorCode writeError, std::size_t) {
                                 if (writeError)
                                     return self->CloseBoth();
                                 self->Pump(from, to, buffer, ended);
                             });
        });
    }

    void CloseBoth()
    {
        m_timer.cancel();
        ErrorCode ignored;
        for (tcp::socket* socket : {&m_client, &m_target}) {
            socket->cancel(ignored);
            socket->shutdown(tcp::socket::shutdown_both, ignored);
            socket->close(ignored);
        }
    }

    std::shared_ptr<TunnelProxy::Shared> m_shared;
    tcp::socket m_client;
    tcp::socket m_target;
    net::steady_timer m_timer;
    std::string m_in;
    std::string m_out;
    std::string m_early;
    std::string m_what;
    std::string m_socksUser;
    uint8_t m_socksCommand = 0;
    bool m_socksName = false;
    uint16_t m_port = 0;
    std::vector<tcp::endpoint> m_endpoints;
    std::array<char, 16 * 1024> m_up{};
    std::array<char, 16 * 1024> m_down{};
    bool m_upEnded = false;
    bool m_downEnded = false;
};

}  // namespace

TunnelProxy::TunnelProxy(net::io_context& ioc, std::string user, std::string password,
                         std::shared_ptr<Counts> counts, std::function<void(const std::string&)> log)
    : m_shared(std::make_shared<Shared>()), m_ioc(ioc), m_acceptor(net::make_strand(ioc))
{
    m_shared->user = std::move(user);
    m_shared->password = std::move(password);
    m_shared->log = std::move(log);
    m_shared->counts = std::move(counts);
}

TunnelProxy::~TunnelProxy() = default;

bool TunnelProxy::Listen(const net::ip::address& address, uint16_t port, std::string* error)
{
    const tcp::endpoint endpoint(address, port);
    ErrorCode ec;
    if (m_acceptor.open(endpoint.protocol(), ec) || m_acceptor.set_option(net::socket_base::reuse_address(true), ec) ||
        m_acceptor.bind(endpoint, ec) || m_acceptor.listen(net::socket_base::max_listen_connections, ec)) {
        *error = "cannot listen for the proxy on port " + std::to_string(port) + ": " + ec.message();
        return false;
    }
    m_port = m_acceptor.local_endpoint().port();
    Accept();
    return true;
}

uint16_t TunnelProxy::Port() const
{
    return m_port;
}

void TunnelProxy::Accept()
{
    m_acceptor.async_accept(net::make_strand(m_ioc),
                            [this, shared = m_shared](ErrorCode ec, tcp::socket socket) {
                                if (ec == net::error::operation_aborted || !m_acceptor.is_open())
                                    return;
                                if (!ec)
                                    std::make_shared<Link>(shared, std::move(socket))->Start();
                                // A failed accept (out of descriptors) must not end the listening.
                                Accept();
                            });
}

void TunnelProxy::Stop()
{
    net::post(m_acceptor.get_executor(), [this] {
        ErrorCode ignored;
        m_acceptor.close(ignored);
    });
    std::vector<std::shared_ptr<Link>> links;
    {
        std::lock_guard<std::mutex> lock(m_shared->liveMutex);
        for (auto& entry : m_shared->live)
            if (auto link = entry.second.lock())
                links.push_back(std::move(link));
    }
    for (auto& link : links)
        link->Abort();
}

}  // namespace DevServer
