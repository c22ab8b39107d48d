#pragma once
// Event lists with subscriber liveness markers.
//
// An event owns a lock and a singly linked list of handler nodes; each node
// binds a subscriber object, one of its member functions and the address of
// the subscriber's liveness marker. Subscribing puts the node at the head
// (handlers run in the reverse order of subscription). Firing walks from the
// head under the lock: a node that was unsubscribed, or whose subscriber's
// marker no longer reads sixteen '#', is unlinked and freed; a live node's
// handler runs with the lock held, except the last live node, whose handler
// runs after the lock is released.
//
// Correctness does not rest on the marker alone: Unsubscribe waits until a
// call of that handler running on another thread has returned, so a
// subscriber that unsubscribes in its destructor is never called afterwards.
// Unsubscribe from inside the handler's own call does not wait.

#include <array>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <type_traits>

namespace Util {

// 16 bytes of '#' followed by the marker's own offset inside its subscriber.
// The subscriber owns one as a member and zeroes it in its destructor (the
// marker's destructor does that).
class LivenessMarker {
public:
    template <typename Owner>
    explicit LivenessMarker(const Owner* owner)
    {
        std::memset(m_tag, '#', sizeof(m_tag));
        m_offset = static_cast<int32_t>(reinterpret_cast<const char*>(this) -
                                        reinterpret_cast<const char*>(owner));
    }
    LivenessMarker(const LivenessMarker&) = delete;
    LivenessMarker& operator=(const LivenessMarker&) = delete;
    ~LivenessMarker() { Kill(); }

    void Kill() { std::memset(m_tag, 0, sizeof(m_tag)); }
    bool IsAlive() const
    {
        for (char c : m_tag)
            if (c != '#')
                return false;
        return true;
    }
    int32_t Offset() const { return m_offset; }

private:
    char m_tag[16];
    int32_t m_offset;
};

template <typename... Args>
class CEvent {
public:
    CEvent() = default;
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;
    ~CEvent() { RemoveAll(); }

    // Returns non-zero when subscribed; a null subscriber is refused.
    template <typename T>
    int Subscribe(T* subscriber, void (T::*handler)(Args...), const LivenessMarker* marker)
    {
        if (subscriber == nullptr || handler == nullptr)
            return 0;
        Node* node = new Node;
        node->subscriber = subscriber;
        node->key = KeyOf(handler);
        node->marker = marker;
        node->call = [subscriber, handler](Args... args) { (subscriber->*handler)(args...); };
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        node->next = m_head;
        m_head = node;
        return 1;
    }

    // Marks the first matching node as removed (freed at the next firing) and
    // waits for a call of it that runs on another thread. Non-zero when found.
    template <typename T>
    int Unsubscribe(T* subscriber, void (T::*handler)(Args...))
    {
        const HandlerKey key = KeyOf(handler);
        std::unique_lock<std::recursive_mutex> lock(m_lock);
        for (Node* n = m_head; n != nullptr; n = n->next) {
            if (!n->removed && n->subscriber == subscriber && n->key == key) {
                n->removed = true;
                WaitForCallsOf(n, lock);
                return 1;
            }
        }
        return 0;
    }

    void Fire(Args... args)
    {
        std::unique_lock<std::recursive_mutex> lock(m_lock);
        Node* prev = nullptr;
        Node* n = m_head;
        Node* last = nullptr;
        while (n != nullptr) {
            Node* next = n->next;
            if (n->removed || (n->marker != nullptr && !n->marker->IsAlive())) {
                if (n->activeCalls == 0) {
                    (prev == nullptr ? m_head : prev->next) = next;
                    delete n;
                } else {
                    prev = n;
                }
                n = next;
                continue;
            }
            if (last != nullptr)
                CallLocked(last, args...);
            last = n;
            prev = n;
            n = next;
        }
        if (last == nullptr)
            return;
        if (last->removed || (last->marker != nullptr && !last->marker->IsAlive()))
            return;
        // The last handler runs outside the lock; activeCalls keeps its node
        // alive and lets Unsubscribe wait for it.
        ++last->activeCalls;
        const std::thread::id self = std::this_thread::get_id();
        last->callers[last->callerCount < kMaxCallers ? last->callerCount : kMaxCallers - 1] = self;
        ++last->callerCount;
        lock.unlock();
        last->call(args...);
        lock.lock();
        --last->callerCount;
        --last->activeCalls;
        m_idle.notify_all();
    }

    // Frees every node under the lock, waiting for calls running elsewhere.
    void RemoveAll()
    {
        std::unique_lock<std::recursive_mutex> lock(m_lock);
        for (Node* n = m_head; n != nullptr; n = n->next)
            n->removed = true;
        for (Node* n = m_head; n != nullptr; n = n->next)
            WaitForCallsOf(n, lock);
        Node* n = m_head;
        m_head = nullptr;
        while (n != nullptr) {
            Node* next = n->next;
            if (n->activeCalls == 0)
                delete n;
            else
                m_orphans = n;  // only reachable when the caller is inside this handler
            n = next;
        }
        (void)m_orphans;
    }

    bool IsEmpty()
    {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        for (Node* n = m_head; n != nullptr; n = n->next)
            if (!n->removed)
                return false;
        return true;
    }

private:
    using HandlerKey = std::array<unsigned char, 2 * sizeof(void*)>;
    static constexpr int kMaxCallers = 8;

    struct Node {
        bool removed = false;
        Node* next = nullptr;
        const void* subscriber = nullptr;
        HandlerKey key{};
        const LivenessMarker* marker = nullptr;
        std::function<void(Args...)> call;
        int activeCalls = 0;
        int callerCount = 0;
        std::thread::id callers[kMaxCallers];
    };

    template <typename T>
    static HandlerKey KeyOf(void (T::*handler)(Args...))
    {
        static_assert(sizeof(handler) <= sizeof(HandlerKey), "member function pointer too large");
        HandlerKey key{};
        std::memcpy(key.data(), &handler, sizeof(handler));
        return key;
    }

    void CallLocked(Node* n, Args... args) { n->call(args...); }

    void WaitForCallsOf(Node* n, std::unique_lock<std::recursive_mutex>& lock)
    {
        const std::thread::id self = std::this_thread::get_id();
        auto calledHere = [n, self] {
            for (int i = 0; i < n->callerCount && i < kMaxCallers; ++i)
                if (n->callers[i] == self)
                    return true;
            return false;
        };
        while (n->activeCalls > 0 && !calledHere())
            m_idle.wait(lock);
    }

    std::recursive_mutex m_lock;
    std::condition_variable_any m_idle;
    Node* m_head = nullptr;
    Node* m_orphans = nullptr;
};

}  // namespace Util
