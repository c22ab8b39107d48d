#pragma once
// The local server's in-memory state, shared by the route families and
// reachable in-process (tests, the demo) through Server::GetState(). Every
// member is safe to call from any thread.

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "devserver/AccountBook.h"
#include "devserver/DevServer.h"
#include "devserver/MaterialBook.h"
#include "devserver/RoomBook.h"
#include "devserver/WsHub.h"
#include "devserver/DownloadShelf.h"
#include "devserver/ObjectStore.h"
#include "devserver/ReleaseDesk.h"

namespace DevServer {

struct Server::State {
    static constexpr std::chrono::seconds kTokenLifetime{7200};

    struct IssuedToken {
        std::string token;
        std::chrono::seconds lifetime{0};
    };

    // A new session token for the user. A lifetime of 0 gives a token that
    // is already expired (for tests of the refusal path).
    IssuedToken IssueToken(uint32_t userId, std::chrono::seconds lifetime = kTokenLifetime);

    // Replaces a live token by a new one for the same user; the old token
    // stops working at once. Nothing when the token is unknown, revoked or
    // expired.
    std::optional<IssuedToken> RefreshToken(const std::string& token);

    // The user a live token belongs to.
    std::optional<uint32_t> UserOfToken(const std::string& token) const;

    // Users, corporations, verification codes (locked on its own).
    AccountBook accounts;
    // Meeting rooms and materials (each locked on its own).
    RoomBook rooms;
    MaterialBook materials;

    // Files under "/download/" (locked on its own).
    DownloadShelf downloads;

    // The release the version manifest announces (locked on its own).
    ReleaseDesk release;

    // Object storage for upload tickets (locked on its own).
    ObjectStore storage;

    // The websocket command session: sessions, rooms, pushes, its faults.
    WsHub ws{*this};

private:
    struct TokenEntry {
        uint32_t userId = 0;
        std::chrono::steady_clock::time_point expires;
    };

    IssuedToken IssueLocked(uint32_t userId, std::chrono::seconds lifetime);
    void DropExpiredLocked(std::chrono::steady_clock::time_point now);

    mutable std::mutex m_mutex;
    std::map<std::string, TokenEntry> m_tokens;
};

}  // namespace DevServer
