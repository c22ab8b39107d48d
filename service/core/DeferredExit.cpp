#include "core/DeferredExit.h"

CDeferredExit::CDeferredExit() = default;

CDeferredExit::~CDeferredExit() = default;

CDeferredExit::Scope::Scope(CDeferredExit& owner) : m_owner(owner)
{
    std::lock_guard<std::mutex> lock(m_owner.m_lock);
    ++m_owner.m_depth[std::this_thread::get_id()];
}

CDeferredExit::Scope::~Scope()
{
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(m_owner.m_lock);
        const auto it = m_owner.m_depth.find(std::this_thread::get_id());
        if (--it->second == 0) {
            m_owner.m_depth.erase(it);
            last = m_owner.m_ended;
        }
    }
    // The end was asked for on this thread while its handler ran: nothing
    // of the handler runs after this scope, the first thing it made.
    if (last) {
        delete &m_owner;
    }
}

void CDeferredExit::End(CDeferredExit* object)
{
    if (object == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(object->m_lock);
        if (object->m_depth.count(std::this_thread::get_id()) != 0) {
            object->m_ended = true;
            return;
        }
    }
    delete object;
}
