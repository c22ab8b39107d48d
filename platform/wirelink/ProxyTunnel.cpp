#include "ProxyTunnel.h"

#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Signature.h"
#include "pelbo/corekit/Text.h"

namespace Wirelink {
namespace {

constexpr char kSocksVersion = 0x05;
constexpr char kNoAuthentication = 0x00;
constexpr char kUserPassword = 0x02;
constexpr std::size_t kMaxSocksField = 255;

const char* SocksReplyMeaning(unsigned code)
{
    switch (code) {
    case 1:
        return "general failure";
    case 2:
        return "connection not allowed by ruleset";
    case 3:
        return "network unreachable";
    case 4:
        return "host unreachable";
    case 5:
        return "connection refused";
    case 6:
        return "TTL expired";
    case 7:
        return "command not supported";
    case 8:
        return "address type not supported";
    default:
        return "unknown reply";
    }
}

unsigned Byte(const std::string& text, std::size_t i)
{
    return static_cast<unsigned char>(text[i]);
}

std::string HostAndPort(const std::string& host, uint16_t port)
{
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace

std::string ProxyConfig::Shown() const
{
    const char* scheme = kind == Kind::Http ? "http" : kind == Kind::Socks5 ? "socks5" : "socks5h";
    const bool v6 = host.find(':') != std::string::npos;
    return std::string(scheme) + "://" + (v6 ? "[" + host + "]" : host) + ":" + port;
}

std::optional<ProxyConfig> ProxyFor(const std::string& host)
{
    if (Http::BypassesProxy(Util::Convert::Utf8_2_W(host).c_str()) != 0)
        return std::nullopt;
    // The setting holds only addresses it checked: "scheme://host:port".
    const std::string address = Util::Convert::W_2_Utf8(Http::GetProxy().GetString());
    const std::size_t separator = address.find("://");
    const std::size_t colon = address.rfind(':');
    if (separator == std::string::npos || colon == std::string::npos || colon <= separator + 3)
        return std::nullopt;
    ProxyConfig proxy;
    const std::string scheme = address.substr(0, separator);
    if (scheme == "socks5")
        proxy.kind = ProxyConfig::Kind::Socks5;
    else if (scheme == "socks5h")
        proxy.kind = ProxyConfig::Kind::Socks5h;
    proxy.host = address.substr(separator + 3, colon - separator - 3);
    if (proxy.host.size() >= 2 && proxy.host.front() == '[' && proxy.host.back() == ']')
        proxy.host = proxy.host.substr(1, proxy.host.size() - 2);
    proxy.port = address.substr(colon + 1);
    proxy.user = Util::Convert::W_2_Utf8(Http::GetProxyUser().GetString());
    proxy.password = Util::Convert::W_2_Utf8(Http::GetProxyPassword().GetString());
    return proxy;
}

ProxyHandshake::ProxyHandshake(const ProxyConfig& proxy, const std::string& targetHost, uint16_t targetPort,
                               const std::string& targetAddress)
    : m_proxy(proxy), m_host(targetHost), m_port(targetPort), m_address(targetAddress), m_step(Step::HttpAnswer)
{
    if (m_proxy.kind == ProxyConfig::Kind::Http) {
        const std::string target = HostAndPort(m_host, m_port);
        m_output = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
        if (!m_proxy.user.empty()) {
            const std::string credentials = m_proxy.user + ":" + m_proxy.password;
            m_output += "Proxy-Authorization: Basic " +
                        Util::Signature::Base64Encode(Util::Signature::Bytes(credentials.begin(), credentials.end())) +
                        "\r\n";
        }
        m_output += "User-Agent: wirelink\r\n\r\n";
        return;
    }
    m_step = Step::SocksMethod;
    m_output = {kSocksVersion, 1, kNoAuthentication};
    if (!m_proxy.user.empty())
        m_output = {kSocksVersion, 2, kNoAuthentication, kUserPassword};
}

std::string ProxyHandshake::TakeOutput()
{
    std::string output;
    output.swap(m_output);
    return output;
}

ProxyHandshake::State ProxyHandshake::Feed(const char* data, std::size_t size)
{
    if (m_step == Step::Done)
        return m_failure.empty() ? State::Open : State::Failed;
    m_input.append(data, size);
    return m_step == Step::HttpAnswer ? ReadHttpAnswer() : ReadSocks();
}

ProxyHandshake::State ProxyHandshake::ReadHttpAnswer()
{
    const std::size_t end = m_input.find("\r\n\r\n");
    if (end == std::string::npos) {
        if (m_input.size() > kMaxAnswerBytes)
            return Fail("the proxy's answer to CONNECT is over " + std::to_string(kMaxAnswerBytes) + " bytes");
        return State::Reading;
    }
    // "HTTP/1.1 200 Connection established"
    const std::size_t space = m_input.find(' ');
    if (m_input.compare(0, 5, "HTTP/") != 0 || space == std::string::npos || space > end ||
        m_input.size() < space + 4 || m_input.find_first_not_of("0123456789", space + 1) != space + 4)
        return Fail("the proxy's answer to CONNECT is not HTTP");
    const std::string status = m_input.substr(space + 1, 3);
    if (status[0] != '2')
        return Fail("the proxy answered " + status);
    // The server behind the tunnel speaks only after the client.
    if (m_input.size() > end + 4)
        return Fail("the proxy sent data before the tunnel was used");
    m_step = Step::Done;
    return State::Open;
}

ProxyHandshake::State ProxyHandshake::ReadSocks()
{
    for (;;) {
        switch (m_step) {
        case Step::SocksMethod: {
            if (m_input.size() < 2)
                return State::Reading;
            if (m_input[0] != kSocksVersion)
                return Fail("not a SOCKS5 answer");
            const char method = m_input[1];
            m_input.erase(0, 2);
            if (method == kUserPassword && !m_proxy.user.empty()) {
                if (m_proxy.user.size() > kMaxSocksField || m_proxy.password.size() > kMaxSocksField)
                    return Fail("SOCKS5 user name or password longer than 255 bytes");
                m_output = std::string{0x01, static_cast<char>(m_proxy.user.size())} + m_proxy.user +
                           static_cast<char>(m_proxy.password.size()) + m_proxy.password;
                m_step = Step::SocksAuthentication;
            } else if (method == kNoAuthentication) {
                QueueSocksRequest();
                if (!m_failure.empty())
                    return State::Failed;
            } else {
                return Fail("the SOCKS5 proxy accepts none of the offered authentication methods");
            }
            break;
        }
        case Step::SocksAuthentication:
            if (m_input.size() < 2)
                return State::Reading;
            if (m_input[1] != 0)
                return Fail("the SOCKS5 proxy refused the user name or password");
            m_input.erase(0, 2);
            QueueSocksRequest();
            if (!m_failure.empty())
                return State::Failed;
            break;
        case Step::SocksReply: {
            // VER REP RSV ATYP, the bound address, its port. A refusal is
            // taken from its first two bytes: a proxy may close after them.
            if (m_input.size() < 2)
                return State::Reading;
            if (m_input[0] != kSocksVersion)
                return Fail("not a SOCKS5 answer");
            if (Byte(m_input, 1) != 0)
                return Fail("SOCKS5 reply " + std::to_string(Byte(m_input, 1)) + " (" +
                            SocksReplyMeaning(Byte(m_input, 1)) + ")");
            if (m_input.size() < 5)
                return State::Reading;
            const unsigned type = Byte(m_input, 3);
            std::size_t length = 0;
            if (type == 0x01)
                length = 4 + 4 + 2;
            else if (type == 0x04)
                length = 4 + 16 + 2;
            else if (type == 0x03)
                length = 4 + 1 + Byte(m_input, 4) + 2;
            else
                return Fail("not a SOCKS5 answer");
            if (m_input.size() < length)
                return State::Reading;
            if (m_input.size() > length)
                return Fail("the proxy sent data before the tunnel was used");
            m_step = Step::Done;
            return State::Open;
        }
        case Step::HttpAnswer:
        case Step::Done:
            return State::Failed;
        }
        if (m_input.empty())
            return State::Reading;
    }
}

void ProxyHandshake::QueueSocksRequest()
{
    std::string request = {kSocksVersion, 0x01, 0x00};
    if (m_proxy.kind == ProxyConfig::Kind::Socks5) {
        if (m_address.size() != 4 && m_address.size() != 16) {
            Fail("no address to give the SOCKS5 proxy");
            return;
        }
        request += static_cast<char>(m_address.size() == 4 ? 0x01 : 0x04);
        request += m_address;
    } else {
        if (m_host.size() > kMaxSocksField) {
            Fail("host name longer than 255 bytes");
            return;
        }
        request += static_cast<char>(0x03);
        request += static_cast<char>(m_host.size());
        request += m_host;
    }
    request += static_cast<char>(m_port >> 8);
    request += static_cast<char>(m_port & 0xff);
    m_output += request;
    m_step = Step::SocksReply;
}

ProxyHandshake::State ProxyHandshake::Fail(std::string why)
{
    m_failure = std::move(why);
    m_step = Step::Done;
    return State::Failed;
}

}  // namespace Wirelink
