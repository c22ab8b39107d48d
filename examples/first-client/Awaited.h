#pragma once
// Awaited<T>: one value handed from a library thread to the waiting main
// thread. The library reports on threads of its own (netcall's, wirelink's,
// bucketput's, fetcher's I/O threads; docs/architecture.md): a receiver
// there only keeps what it heard, and the main thread waits for it, never
// longer than it is told, so a result that does not come cannot hang the
// program.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

template <typename T>
class Awaited {
public:
    // Keeps the first value; later ones are dropped.
    void Set(T value)
    {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_value)
                return;
            m_value = std::move(value);
        }
        m_arrived.notify_all();
    }

    // The value once it is there; nullopt when patience ran out first.
    std::optional<T> Wait(std::chrono::seconds patience)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_arrived.wait_for(lock, patience, [this] { return m_value.has_value(); });
        return m_value;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::optional<T> m_value;
};
