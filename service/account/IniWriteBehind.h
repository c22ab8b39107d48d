#pragma once
// CIniWriteBehind: keys of the configuration file that change too often to
// be written one by one (a write replaces the whole file and flushes it to
// disk, some milliseconds each). Put keeps the newest value in memory, where
// Peek finds it at once, and a thread of its own writes what changed at most
// once a period. Flush writes everything at once and lets the thread go, so
// nothing is lost at exit and no thread outlives it; the next Put starts one
// again. A write the file refuses is dropped, as a direct one would be.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>

namespace Account {

class CIniWriteBehind {
public:
    explicit CIniWriteBehind(unsigned periodMs);
    ~CIniWriteBehind();
    CIniWriteBehind(const CIniWriteBehind&) = delete;
    CIniWriteBehind& operator=(const CIniWriteBehind&) = delete;

    void Put(const std::wstring& path, const std::wstring& section, const std::wstring& key, const std::wstring& value);
    // The value put for the key of that file and not yet written; false when
    // there is none (the file holds the newest value).
    bool Peek(const std::wstring& path, const std::wstring& section, const std::wstring& key,
              std::wstring* value) const;
    // Writes every waiting value now and ends the thread. Never called from
    // the writing thread itself.
    void Flush();

private:
    // File, section, key.
    using Slot = std::tuple<std::wstring, std::wstring, std::wstring>;

    void Run(uint64_t generation);
    void WriteWaiting();

    const unsigned m_periodMs;
    // Held for a whole round of writes: a round that took older values
    // never lands after one that took newer ones.
    std::mutex m_writeMutex;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::map<Slot, std::wstring> m_waiting;
    std::thread m_thread;
    // A thread serves while its generation is the current one; Flush moves
    // the generation on.
    uint64_t m_generation = 0;
};

}  // namespace Account
