#include "pelbo/account/UserCacheIdentity.h"

namespace Account {

CUserCacheIdentity& CUserCacheIdentity::Instance()
{
    static CUserCacheIdentity identity;
    return identity;
}

CUserCacheIdentity::Snapshot CUserCacheIdentity::Get()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_state;
}

void CUserCacheIdentity::Set(uint32_t userId, int guest)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (userId != 0)
        m_state.userId = userId;
    m_state.guest = guest;
}

bool CUserCacheIdentity::SetGuestName(const std::wstring& name)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_state.guest == 0)
        return false;
    m_state.guestName = name;
    return true;
}

bool CUserCacheIdentity::SetGuestToken(const std::wstring& token)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_state.guest == 0)
        return false;
    m_state.guestToken = token;
    return true;
}

}  // namespace Account
