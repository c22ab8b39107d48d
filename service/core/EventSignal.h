#pragma once
// The signal objects behind ServiceEvent: event::common_signal0 to
// event::common_signal3, and what the connecting side uses to bind
// receivers to them.
//
// A signal owns the connection records handed to it. Its lock is held for a
// whole emission, and every change of the list takes the same lock, which
// gives the two promises receivers rely on:
//  - a receiver may disconnect itself or any other receiver while it is
//    being called; the disconnected record is only marked during the
//    emission and released once the outermost emission has ended, so no
//    record is destroyed while it is still on the call stack;
//  - once disconnect has returned the receiver is never called again: from
//    the emitting thread the mark is seen by the rest of the walk, from any
//    other thread disconnect waits until the running emission has ended.
// Receivers connected during an emission are first called by the next one.
// An exception thrown by a receiver is caught and logged; the remaining
// receivers are still called.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "pelbo/core/EventMutex.h"
#include "pelbo/core/ServiceExport.h"

namespace event {

namespace detail {
// Logs a receiver's exception (what() of a std::exception, or null).
SERVICE_API void ReportReceiverFailure(const char* what) noexcept;
}  // namespace detail

// Binds one receiver to a signal. Invoke is called with the signal's
// arguments; Release is called exactly once, when the signal lets the record
// go (disconnect or the signal's destruction).
template <typename... Args>
class connection_record {
public:
    virtual void Invoke(Args... args) = 0;
    virtual void Release() = 0;

protected:
    virtual ~connection_record() = default;
};

using connection_base0 = connection_record<>;
template <typename A1>
using connection_base1 = connection_record<A1>;
template <typename A1, typename A2>
using connection_base2 = connection_record<A1, A2>;
template <typename A1, typename A2, typename A3>
using connection_base3 = connection_record<A1, A2, A3>;

// What a connection handle needs from a signal of any arity.
class signal_base {
public:
    virtual bool disconnect_id(uint64_t id) noexcept = 0;

protected:
    signal_base() = default;
    virtual ~signal_base() = default;
};

// Handle of one connection. Copies name the same connection; disconnecting
// twice, or a handle whose connection is already gone, does nothing.
class connection {
public:
    connection() = default;
    connection(signal_base* signal, uint64_t id) : m_signal(signal), m_id(id) {}

    bool connected() const { return m_signal != nullptr; }
    // True when this call removed the connection.
    bool disconnect() noexcept
    {
        signal_base* signal = m_signal;
        m_signal = nullptr;
        return signal != nullptr && signal->disconnect_id(m_id);
    }

private:
    signal_base* m_signal = nullptr;
    uint64_t m_id = 0;
};

// Disconnects in its destructor; movable, not copyable.
class scoped_connection {
public:
    scoped_connection() = default;
    scoped_connection(const connection& c) : m_connection(c) {}
    scoped_connection(scoped_connection&& other) noexcept : m_connection(other.m_connection)
    {
        other.m_connection = connection();
    }
    scoped_connection& operator=(scoped_connection&& other) noexcept
    {
        if (this != &other) {
            m_connection.disconnect();
            m_connection = other.m_connection;
            other.m_connection = connection();
        }
        return *this;
    }
    scoped_connection(const scoped_connection&) = delete;
    scoped_connection& operator=(const scoped_connection&) = delete;
    ~scoped_connection() { m_connection.disconnect(); }

    bool connected() const { return m_connection.connected(); }
    bool disconnect() noexcept { return m_connection.disconnect(); }
    // Gives up ownership: the connection stays after this object is gone.
    connection release()
    {
        connection c = m_connection;
        m_connection = connection();
        return c;
    }

private:
    connection m_connection;
};

// A record around any callable; the helpers below make these.
template <typename... Args>
class function_record final : public connection_record<Args...> {
public:
    explicit function_record(std::function<void(Args...)> function) : m_function(std::move(function)) {}
    void Invoke(Args... args) override { m_function(args...); }
    void Release() override { delete this; }

private:
    ~function_record() override = default;
    std::function<void(Args...)> m_function;
};

template <typename... Args>
class signal_impl : public signal_base {
public:
    using record_type = connection_record<Args...>;

    signal_impl() = default;
    signal_impl(const signal_impl&) = delete;
    signal_impl& operator=(const signal_impl&) = delete;
    ~signal_impl() override
    {
        std::lock_guard<event::mutex> guard(m_lock);
        for (const entry& e : m_entries)
            e.record->Release();
        m_entries.clear();
    }

    // Takes ownership of the record (it is released even when connecting
    // fails). An empty handle when the record is null or memory ran out.
    connection connect_record(record_type* record) noexcept
    {
        if (record == nullptr)
            return connection();
        std::lock_guard<event::mutex> guard(m_lock);
        try {
            const uint64_t id = ++m_lastId;
            m_entries.push_back(entry{record, id, true});
            return connection(this, id);
        } catch (...) {
            record->Release();
            return connection();
        }
    }

    // A free function, a lambda or a std::function.
    template <typename F, typename = std::enable_if_t<std::is_invocable_v<F&, Args...>>>
    connection connect(F&& function) noexcept
    {
        try {
            return connect_record(new function_record<Args...>(std::function<void(Args...)>(std::forward<F>(function))));
        } catch (...) {
            return connection();
        }
    }

    // A member function of an object that outlives the connection.
    template <typename T>
    connection connect(T* object, void (T::*method)(Args...)) noexcept
    {
        if (object == nullptr || method == nullptr)
            return connection();
        return connect([object, method](Args... args) { (object->*method)(args...); });
    }

    bool disconnect(connection& c) noexcept { return c.disconnect(); }

    bool disconnect_id(uint64_t id) noexcept override
    {
        std::lock_guard<event::mutex> guard(m_lock);
        for (size_t i = 0; i < m_entries.size(); ++i) {
            entry& e = m_entries[i];
            if (e.id != id || !e.live)
                continue;
            e.live = false;
            if (m_depth == 0)
                Compact();
            return true;
        }
        return false;
    }

    // Receivers currently connected.
    size_t connection_count() const
    {
        std::lock_guard<event::mutex> guard(m_lock);
        size_t n = 0;
        for (const entry& e : m_entries)
            n += e.live ? 1 : 0;
        return n;
    }

    void emit(Args... args) noexcept
    {
        std::lock_guard<event::mutex> guard(m_lock);
        // Receivers are callbacks of the library: a stop they call does not
        // wait for calls on other threads (Frame::CCallOut).
        const Frame::CCallOut callOut;
        ++m_depth;
        // Indices stay valid while anything is emitting: entries are only
        // removed by Compact, which waits for the outermost emission.
        const size_t count = m_entries.size();
        for (size_t i = 0; i < count; ++i) {
            if (!m_entries[i].live)
                continue;
            record_type* record = m_entries[i].record;
            try {
                record->Invoke(args...);
            } catch (const std::exception& e) {
                detail::ReportReceiverFailure(e.what());
            } catch (...) {
                detail::ReportReceiverFailure(nullptr);
            }
        }
        if (--m_depth == 0)
            Compact();
    }

    void operator()(Args... args) noexcept { emit(args...); }

private:
    struct entry {
        record_type* record;
        uint64_t id;
        bool live;
    };

    // Releases the records disconnected since the last call; lock held.
    void Compact() noexcept
    {
        size_t kept = 0;
        for (size_t i = 0; i < m_entries.size(); ++i) {
            if (m_entries[i].live)
                m_entries[kept++] = m_entries[i];
            else
                m_entries[i].record->Release();
        }
        m_entries.resize(kept, entry{nullptr, 0, false});
    }

    mutable event::mutex m_lock;
    std::vector<entry> m_entries;
    uint64_t m_lastId = 0;
    unsigned m_depth = 0;
};

class common_signal0 : public signal_impl<> {};
template <typename A1>
class common_signal1 : public signal_impl<A1> {};
template <typename A1, typename A2>
class common_signal2 : public signal_impl<A1, A2> {};
template <typename A1, typename A2, typename A3>
class common_signal3 : public signal_impl<A1, A2, A3> {};

}  // namespace event
