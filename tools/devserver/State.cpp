#include "devserver/State.h"

#include <stdexcept>

#include <openssl/rand.h>

namespace DevServer {
namespace {

std::string RandomToken()
{
    unsigned char bytes[24];
    if (RAND_bytes(bytes, sizeof(bytes)) != 1)
        throw std::runtime_error("no random bytes for a token");
    static const char kHex[] = "0123456789abcdef";
    std::string token;
    token.reserve(sizeof(bytes) * 2);
    for (unsigned char b : bytes) {
        token.push_back(kHex[b >> 4]);
        token.push_back(kHex[b & 0x0f]);
    }
    return token;
}

}  // namespace

Server::State::IssuedToken Server::State::IssueToken(uint32_t userId, std::chrono::seconds lifetime)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    DropExpiredLocked(std::chrono::steady_clock::now());
    return IssueLocked(userId, lifetime);
}

std::optional<Server::State::IssuedToken> Server::State::RefreshToken(const std::string& token)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto now = std::chrono::steady_clock::now();
    const auto it = m_tokens.find(token);
    if (it == m_tokens.end() || it->second.expires <= now)
        return std::nullopt;
    const uint32_t userId = it->second.userId;
    // Issue before revoking: if making the new token fails, the caller's
    // token must still work.
    IssuedToken issued = IssueLocked(userId, kTokenLifetime);
    m_tokens.erase(it);
    DropExpiredLocked(now);
    return issued;
}

std::optional<uint32_t> Server::State::UserOfToken(const std::string& token) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_tokens.find(token);
    if (it == m_tokens.end() || it->second.expires <= std::chrono::steady_clock::now())
        return std::nullopt;
    return it->second.userId;
}

Server::State::IssuedToken Server::State::IssueLocked(uint32_t userId, std::chrono::seconds lifetime)
{
    IssuedToken issued;
    issued.token = RandomToken();
    issued.lifetime = lifetime;
    TokenEntry entry;
    entry.userId = userId;
    entry.expires = std::chrono::steady_clock::now() + lifetime;
    m_tokens[issued.token] = entry;
    return issued;
}

void Server::State::DropExpiredLocked(std::chrono::steady_clock::time_point now)
{
    for (auto it = m_tokens.begin(); it != m_tokens.end();) {
        if (it->second.expires <= now)
            it = m_tokens.erase(it);
        else
            ++it;
    }
}

}  // namespace DevServer
