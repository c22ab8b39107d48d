#include "ProxyRules.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace Http {
namespace ProxyRules {
namespace {

using Ipv4 = std::array<uint8_t, 4>;
using Ipv6 = std::array<uint8_t, 16>;

char LowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lower(std::string text)
{
    for (char& c : text)
        c = LowerAscii(c);
    return text;
}

bool IsDigits(const std::string& text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Dotted quad as inet_pton reads it: four decimal parts, no leading zeros.
bool ParseIpv4(const std::string& text, Ipv4& out)
{
    size_t start = 0;
    for (size_t part = 0; part < 4; ++part) {
        const size_t end = part < 3 ? text.find('.', start) : text.size();
        if (end == std::string::npos)
            return false;
        const std::string digits = text.substr(start, end - start);
        if (!IsDigits(digits) || digits.size() > 3 || (digits.size() > 1 && digits[0] == '0'))
            return false;
        const unsigned value = static_cast<unsigned>(std::stoul(digits));
        if (value > 255)
            return false;
        out[part] = static_cast<uint8_t>(value);
        start = end + 1;
    }
    return true;
}

// Groups of up to four hex digits, one "::" for a run of zero groups, an
// IPv4 dotted quad as the last 32 bits.
bool ParseIpv6(const std::string& text, Ipv6& out)
{
    std::vector<uint8_t> before;
    std::vector<uint8_t> after;
    bool compressed = false;
    size_t i = 0;
    if (text.compare(0, 2, "::") == 0) {
        compressed = true;
        i = 2;
    }
    while (i < text.size()) {
        std::vector<uint8_t>& bytes = compressed ? after : before;
        const size_t end = text.find(':', i);
        const std::string part = text.substr(i, end == std::string::npos ? std::string::npos : end - i);
        if (end == std::string::npos && part.find('.') != std::string::npos) {
            Ipv4 quad{};
            if (!ParseIpv4(part, quad))
                return false;
            bytes.insert(bytes.end(), quad.begin(), quad.end());
            break;
        }
        if (part.empty() || part.size() > 4)
            return false;
        for (char c : part) {
            if (!IsHexDigit(c))
                return false;
        }
        const unsigned group = static_cast<unsigned>(std::stoul(part, nullptr, 16));
        bytes.push_back(static_cast<uint8_t>(group >> 8));
        bytes.push_back(static_cast<uint8_t>(group & 0xff));
        if (end == std::string::npos)
            break;
        i = end + 1;
        if (i < text.size() && text[i] == ':') {
            if (compressed)
                return false;
            compressed = true;
            ++i;
        } else if (i == text.size()) {
            return false;
        }
    }
    const size_t total = before.size() + after.size();
    if (compressed ? total > 14 : total != 16)
        return false;
    out.fill(0);
    std::copy(before.begin(), before.end(), out.begin());
    std::copy(after.begin(), after.end(), out.end() - static_cast<std::ptrdiff_t>(after.size()));
    return true;
}

// The first bits of both addresses agree; 0 bits, as for libcurl, means all.
template <size_t N>
bool SamePrefix(const std::array<uint8_t, N>& a, const std::array<uint8_t, N>& b, unsigned bits)
{
    if (bits == 0)
        bits = N * 8;
    for (size_t i = 0; i < N && bits > 0; ++i) {
        const unsigned take = bits >= 8 ? 8 : bits;
        const uint8_t mask = static_cast<uint8_t>(0xff << (8 - take));
        if ((a[i] & mask) != (b[i] & mask))
            return false;
        bits -= take;
    }
    return true;
}

// An entry against an address host: the entry's address, with an optional
// "/bits", of the host's family.
template <size_t N, typename Parse>
bool AddressMatches(const std::array<uint8_t, N>& host, const std::string& entry, Parse parse)
{
    const size_t slash = entry.find('/');
    unsigned bits = 0;
    if (slash != std::string::npos) {
        const std::string digits = entry.substr(slash + 1);
        if (!IsDigits(digits) || digits.size() > 3)
            return false;
        bits = static_cast<unsigned>(std::stoul(digits));
        if (bits > N * 8)
            return false;
    }
    std::array<uint8_t, N> network{};
    return parse(entry.substr(0, slash), network) && SamePrefix(host, network, bits);
}

bool NameMatches(const std::string& name, std::string entry)
{
    if (!entry.empty() && entry.back() == '.')
        entry.pop_back();
    if (!entry.empty() && entry.front() == '.')
        entry.erase(0, 1);
    if (entry.empty() || entry.size() > name.size())
        return false;
    if (entry.size() < name.size() && name[name.size() - entry.size() - 1] != '.')
        return false;
    return Lower(name.substr(name.size() - entry.size())) == Lower(entry);
}

std::vector<std::string> SplitEntries(const std::string& text)
{
    std::vector<std::string> entries;
    size_t i = 0;
    while (i < text.size()) {
        const size_t end = text.find_first_of(", \t", i);
        const size_t stop = end == std::string::npos ? text.size() : end;
        if (stop > i)
            entries.push_back(text.substr(i, stop - i));
        i = stop + 1;
    }
    return entries;
}

bool IsHostByte(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

}  // namespace

std::string CheckProxy(const std::string& text, std::string* canonical)
{
    const size_t separator = text.find("://");
    if (separator == std::string::npos)
        return "not an address of the form scheme://host:port";
    const std::string scheme = Lower(text.substr(0, separator));
    if (scheme != "http" && scheme != "socks5" && scheme != "socks5h")
        return "the scheme is not http, socks5 or socks5h";
    std::string rest = text.substr(separator + 3);
    if (rest.find('@') != std::string::npos)
        return "the address holds user info; give proxy_user and proxy_password instead";
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    if (rest.find_first_of("/?#") != std::string::npos)
        return "a proxy address has no path, query or fragment";

    std::string host;
    std::string port;
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        Ipv6 address{};
        if (close == std::string::npos || !ParseIpv6(rest.substr(1, close - 1), address))
            return "the host is not an IPv6 literal";
        host = rest.substr(0, close + 1);
        if (close + 1 >= rest.size() || rest[close + 1] != ':')
            return "no port";
        port = rest.substr(close + 2);
    } else {
        const size_t colon = rest.rfind(':');
        if (colon == std::string::npos)
            return "no port";
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (host.empty())
            return "no host";
        for (char c : host) {
            if (!IsHostByte(c))
                return "the host holds a character no host name has";
        }
    }
    if (!IsDigits(port) || port.size() > 5)
        return "the port is not a number";
    const unsigned long number = std::stoul(port);
    if (number == 0 || number > 65535)
        return "the port is not within 1..65535";
    *canonical = scheme + "://" + host + ":" + std::to_string(number);
    return std::string();
}

std::string NormalizeNoProxy(const std::string& text)
{
    std::string list;
    for (std::string entry : SplitEntries(text)) {
        if (entry.front() == '[') {
            const size_t close = entry.find(']');
            entry = close == std::string::npos ? std::string() : entry.substr(1, close - 1);
        } else if (entry.find(':') == entry.rfind(':')) {
            entry = entry.substr(0, entry.find(':'));
        }
        if (entry.empty())
            continue;
        if (entry == "*")
            return entry;
        list += (list.empty() ? "" : ",") + entry;
    }
    return list;
}

bool MatchesNoProxy(const std::string& host, const std::string& list)
{
    if (list == "*")
        return true;
    std::string name = host;
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    Ipv4 v4{};
    Ipv6 v6{};
    const bool isV4 = ParseIpv4(name, v4);
    const bool isV6 = !isV4 && name.find(':') != std::string::npos && ParseIpv6(name, v6);
    if (!isV4 && !isV6 && !name.empty() && name.back() == '.')
        name.pop_back();
    if (name.empty())
        return false;
    for (const std::string& entry : SplitEntries(list)) {
        // The libcurl this code ships with (7.88) never matches an IPv6
        // entry that has a prefix length; the websocket decides alike.
        const bool match = isV4   ? AddressMatches(v4, entry, ParseIpv4)
                           : isV6 ? entry.find('/') == std::string::npos && AddressMatches(v6, entry, ParseIpv6)
                                  : NameMatches(name, entry);
        if (match)
            return true;
    }
    return false;
}

}  // namespace ProxyRules
}  // namespace Http
