#include "pelbo/account/IniWriteBehind.h"

#include <chrono>
#include <system_error>

#include "pelbo/account/IniFile.h"

namespace Account {

CIniWriteBehind::CIniWriteBehind(unsigned periodMs) : m_periodMs(periodMs) {}

CIniWriteBehind::~CIniWriteBehind()
{
    Flush();
}

void CIniWriteBehind::Put(const std::wstring& path, const std::wstring& section, const std::wstring& key,
                          const std::wstring& value)
{
    bool noThread = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool wasIdle = m_waiting.empty();
        m_waiting[Slot(path, section, key)] = value;
        if (!m_thread.joinable()) {
            try {
                m_thread = std::thread(&CIniWriteBehind::Run, this, m_generation);
            } catch (const std::system_error&) {
                noThread = true;
            }
        } else if (wasIdle) {
            m_wake.notify_all();
        }
    }
    // Without a thread the value is written now rather than left waiting.
    if (noThread)
        WriteWaiting();
}

bool CIniWriteBehind::Peek(const std::wstring& path, const std::wstring& section, const std::wstring& key,
                           std::wstring* value) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_waiting.find(Slot(path, section, key));
    if (it == m_waiting.end())
        return false;
    *value = it->second;
    return true;
}

void CIniWriteBehind::Flush()
{
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_generation;
        thread = std::move(m_thread);
    }
    m_wake.notify_all();
    if (thread.joinable())
        thread.join();
    WriteWaiting();
}

void CIniWriteBehind::Run(uint64_t generation)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [&] { return generation != m_generation || !m_waiting.empty(); });
        if (generation != m_generation)
            return;
        // However many changes come within the period, one write takes them.
        if (m_wake.wait_for(lock, std::chrono::milliseconds(m_periodMs),
                            [&] { return generation != m_generation; }))
            return;  // Flush writes them
        lock.unlock();
        WriteWaiting();
        lock.lock();
    }
}

void CIniWriteBehind::WriteWaiting()
{
    std::lock_guard<std::mutex> round(m_writeMutex);
    std::map<Slot, std::wstring> taken;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        taken = m_waiting;
    }
    for (const auto& entry : taken) {
        try {
            CIniFile file;
            file.SetPath(std::get<0>(entry.first).c_str());
            file.WriteString(std::get<1>(entry.first).c_str(), std::get<2>(entry.first).c_str(),
                             entry.second.c_str());
        } catch (...) {
            // Dropped, as a refused write is; the file keeps its old value.
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& entry : taken) {
        // A value put meanwhile is still to be written.
        const auto it = m_waiting.find(entry.first);
        if (it != m_waiting.end() && it->second == entry.second)
            m_waiting.erase(it);
    }
}

}  // namespace Account
