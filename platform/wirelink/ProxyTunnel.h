#pragma once
// Opening a tunnel through a proxy, apart from the sockets: the proxy the
// settings name for a host, and the exchange that opens the tunnel (HTTP
// CONNECT, or the SOCKS5 handshake of RFC 1928 with RFC 1929 credentials)
// as bytes to send and bytes received. The connection does the I/O.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace Wirelink {

struct ProxyConfig {
    enum class Kind { Http, Socks5, Socks5h };
    Kind kind = Kind::Http;
    std::string host;  // an IPv6 literal without brackets
    std::string port;
    std::string user;  // empty: no credentials
    std::string password;
    // The address as the settings name it, without credentials.
    std::string Shown() const;
};

// The proxy an exchange with host goes through, from the settings (proxy,
// proxy_user, proxy_password, no_proxy); nothing when it goes direct.
std::optional<ProxyConfig> ProxyFor(const std::string& host);

class ProxyHandshake {
public:
    enum class State { Reading, Open, Failed };

    // The answers a proxy may give before the tunnel opens are never longer.
    static constexpr std::size_t kMaxAnswerBytes = 16 * 1024;

    // targetAddress: for socks5, which resolves names here, the target's
    // address (4 or 16 bytes in network order); ignored otherwise.
    ProxyHandshake(const ProxyConfig& proxy, const std::string& targetHost, uint16_t targetPort,
                   const std::string& targetAddress);

    // What to send next; empty when nothing is to be sent.
    std::string TakeOutput();
    // Takes bytes from the proxy: Reading while more are needed (send what
    // TakeOutput gives first), Open once the tunnel stands, Failed with
    // Failure() saying why, in words that never hold the credentials.
    State Feed(const char* data, std::size_t size);
    const std::string& Failure() const { return m_failure; }

private:
    enum class Step { HttpAnswer, SocksMethod, SocksAuthentication, SocksReply, Done };

    State ReadHttpAnswer();
    State ReadSocks();
    void QueueSocksRequest();
    State Fail(std::string why);

    ProxyConfig m_proxy;
    std::string m_host;
    uint16_t m_port;
    std::string m_address;
    Step m_step;
    std::string m_output;
    std::string m_input;
    std::string m_failure;
};

}  // namespace Wirelink
