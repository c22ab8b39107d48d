#pragma once
// CUserCacheIdentity: who is signed in, kept in memory for the life of the
// library and never written to disk. Guarded by a lock; readers take a
// snapshot and work on it with the lock released.

#include <cstdint>
#include <mutex>
#include <string>

namespace Account {

class CUserCacheIdentity {
public:
    struct Snapshot {
        uint32_t userId = 0;
        int guest = 0;
        std::wstring guestName;
        std::wstring guestToken;
    };

    static CUserCacheIdentity& Instance();

    Snapshot Get();
    // A user id of 0 keeps the stored one; the guest flag is always taken.
    void Set(uint32_t userId, int guest);
    // Replace the guest's value when the sign-in is a guest sign-in; false
    // (and nothing changed) otherwise. Test and change are one step, so a
    // concurrent SetUserID cannot slip between them.
    bool SetGuestName(const std::wstring& name);
    bool SetGuestToken(const std::wstring& token);

private:
    std::mutex m_lock;
    Snapshot m_state;
};

}  // namespace Account
