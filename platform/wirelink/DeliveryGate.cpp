#include "DeliveryGate.h"

#include <algorithm>

namespace Aux {
namespace CSCenter {

bool DeliveryGate::Enter()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_open)
        return false;
    m_inside.push_back(std::this_thread::get_id());
    return true;
}

void DeliveryGate::Leave()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = std::find(m_inside.begin(), m_inside.end(), std::this_thread::get_id());
    if (it != m_inside.end())
        m_inside.erase(it);
    m_left.notify_all();
}

void DeliveryGate::Close()
{
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(m_mutex);
    m_open = false;
    m_left.wait(lock, [this, self] {
        return std::all_of(m_inside.begin(), m_inside.end(), [self](std::thread::id t) { return t == self; });
    });
}

bool DeliveryGate::IsOpen()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_open;
}

}  // namespace CSCenter
}  // namespace Aux
