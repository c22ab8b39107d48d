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
// Correctness does not rest on the marker alone: reading the marker of a
// subscriber whose memory was already freed would itself be a fault, so a
// subscriber unsubscribes in its destructor. Unsubscribe waits until a call
// of that handler running on another thread has returned, so the subscriber
// is never called afterwards. Unsubscribe from inside the handler's own call
// does not wait.
//
// A node is freed only when no call and no waiting Unsubscribe refers to it,
// so a handler may unsubscribe itself or any other handler, fire the event
// again or even destroy the event while it runs.
//
// The lock is re-entrant. A thread that must wait for a call on another
// thread hands the lock back in full while it waits (a handler that runs
// under the lock may be the one waiting), and takes it again afterwards.

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "pelbo/compat/ThreadId.h"

namespace Util {

// 16 bytes of '#' followed by the marker's own offset inside its subscriber.
// The subscriber owns one as a member and zeroes it in its destructor (the
// marker's destructor does that). The bytes are atomic because a firing on
// another thread may read them while the subscriber is being destroyed.
class LivenessMarker {
public:
    template <typename Owner>
    explicit LivenessMarker(const Owner* owner)
    {
        for (std::atomic<char>& c : m_tag)
            c.store('#', std::memory_order_relaxed);
        m_offset = static_cast<int32_t>(reinterpret_cast<const char*>(this) -
                                        reinterpret_cast<const char*>(owner));
    }
    LivenessMarker(const LivenessMarker&) = delete;
    LivenessMarker& operator=(const LivenessMarker&) = delete;
    ~LivenessMarker() { Kill(); }

    void Kill()
    {
        for (std::atomic<char>& c : m_tag)
            c.store('\0', std::memory_order_release);
    }
    bool IsAlive() const
    {
        for (const std::atomic<char>& c : m_tag)
            if (c.load(std::memory_order_acquire) != '#')
                return false;
        return true;
    }
    int32_t Offset() const { return m_offset; }

private:
    static_assert(sizeof(std::atomic<char>) == 1, "the tag must stay 16 bytes");
    std::atomic<char> m_tag[16];
    int32_t m_offset;
};

template <typename... Args>
class CEvent {
public:
    CEvent() : m_state(std::make_shared<State>()) {}
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;
    ~CEvent() { RemoveAll(); }

    // Returns non-zero when subscribed; a null subscriber is refused.
    template <typename T>
    int Subscribe(T* subscriber, void (T::*handler)(Args...), const LivenessMarker* marker)
    {
        if (subscriber == nullptr || handler == nullptr)
            return 0;
        std::unique_ptr<Node> node(new Node);
        node->subscriber = subscriber;
        node->key = KeyOf(handler);
        node->marker = marker;
        node->call = [subscriber, handler](Args... args) { (subscriber->*handler)(args...); };
        State& s = *m_state;
        std::unique_lock<std::mutex> inner(s.mutex);
        Acquire(s, inner);
        node->next = s.head;
        s.head = node.release();
        Release(s);
        return 1;
    }

    // Marks the first matching node as removed (freed at the next firing) and
    // waits for a call of it that runs on another thread. Non-zero when found.
    template <typename T>
    int Unsubscribe(T* subscriber, void (T::*handler)(Args...))
    {
        const HandlerKey key = KeyOf(handler);
        const void* object = subscriber;
        State& s = *m_state;
        std::unique_lock<std::mutex> inner(s.mutex);
        Acquire(s, inner);
        Node* found = s.head;
        while (found != nullptr && (found->removed || found->subscriber != object || found->key != key))
            found = found->next;
        if (found != nullptr) {
            found->removed = true;
            WaitForOtherCalls(s, inner, *found);
        }
        Release(s);
        return found != nullptr ? 1 : 0;
    }

    void Fire(Args... args)
    {
        // A handler may destroy the event; the list lives on until this
        // firing is over.
        const std::shared_ptr<State> state = m_state;
        State& s = *state;
        const Compat::ThreadId self = Compat::CurrentThreadId();
        std::unique_lock<std::mutex> inner(s.mutex);
        Acquire(s, inner);
        Purge(s);
        Node* cur = NextLive(s.head);
        while (cur != nullptr) {
            // A node with a caller stays linked, so cur->next is still
            // meaningful after the call.
            cur->callers.push_back(self);
            const bool last = NextLive(cur->next) == nullptr;
            if (last)
                Release(s);
            inner.unlock();
            Invoke(*cur, args...);
            inner.lock();
            cur->callers.erase(std::find(cur->callers.begin(), cur->callers.end(), self));
            s.changed.notify_all();
            if (last)
                return;
            cur = NextLive(cur->next);
        }
        Release(s);
    }

    // Frees every node, after waiting for calls of them running on other
    // threads. A node whose handler the calling thread is inside of is freed
    // once that call has returned.
    void RemoveAll()
    {
        State& s = *m_state;
        const Compat::ThreadId self = Compat::CurrentThreadId();
        std::unique_lock<std::mutex> inner(s.mutex);
        Acquire(s, inner);
        for (Node* n = s.head; n != nullptr; n = n->next)
            n->removed = true;
        for (;;) {
            Node* busy = s.head;
            while (busy != nullptr && !(busy->removed && HasOtherCaller(*busy, self) && !IsCaller(*busy, self)))
                busy = busy->next;
            if (busy == nullptr)
                break;
            WaitForOtherCalls(s, inner, *busy);
        }
        Purge(s);
        Release(s);
    }

    bool IsEmpty()
    {
        State& s = *m_state;
        std::lock_guard<std::mutex> inner(s.mutex);
        return NextLive(s.head) == nullptr;
    }

private:
    using HandlerKey = std::array<unsigned char, 4 * sizeof(void*)>;

    struct Node {
        bool removed = false;
        Node* next = nullptr;
        const void* subscriber = nullptr;
        HandlerKey key{};
        const LivenessMarker* marker = nullptr;
        std::function<void(Args...)> call;
        // One entry per call in progress (a thread may be in several when it
        // fires the event again from a handler).
        std::vector<Compat::ThreadId> callers;
        // Unsubscribe/RemoveAll calls waiting for this node's callers.
        int waiters = 0;
    };

    // Shared with every firing in progress. The inner mutex guards all of it;
    // owner and depth make up the event's re-entrant lock.
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        Compat::ThreadId owner{};
        unsigned depth = 0;
        Node* head = nullptr;

        State() = default;
        State(const State&) = delete;
        State& operator=(const State&) = delete;
        ~State()
        {
            while (head != nullptr) {
                Node* next = head->next;
                delete head;
                head = next;
            }
        }
    };

    template <typename T>
    static HandlerKey KeyOf(void (T::*handler)(Args...))
    {
        static_assert(sizeof(handler) <= sizeof(HandlerKey), "member function pointer too large");
        HandlerKey key{};
        std::memcpy(key.data(), &handler, sizeof(handler));
        return key;
    }

    static void Acquire(State& s, std::unique_lock<std::mutex>& inner)
    {
        const Compat::ThreadId self = Compat::CurrentThreadId();
        if (s.owner != self) {
            s.changed.wait(inner, [&s] { return s.depth == 0; });
            s.owner = self;
        }
        ++s.depth;
    }

    static void Release(State& s)
    {
        if (--s.depth == 0) {
            s.owner = Compat::ThreadId();
            s.changed.notify_all();
        }
    }

    static bool IsLive(const Node& n) { return !n.removed && (n.marker == nullptr || n.marker->IsAlive()); }

    static Node* NextLive(Node* n)
    {
        while (n != nullptr && !IsLive(*n))
            n = n->next;
        return n;
    }

    static bool IsCaller(const Node& n, Compat::ThreadId thread)
    {
        return std::find(n.callers.begin(), n.callers.end(), thread) != n.callers.end();
    }

    static bool HasOtherCaller(const Node& n, Compat::ThreadId thread)
    {
        return std::any_of(n.callers.begin(), n.callers.end(), [thread](Compat::ThreadId t) { return t != thread; });
    }

    // Unlinks and frees the dead nodes that nothing refers to any more.
    static void Purge(State& s)
    {
        Node** link = &s.head;
        while (*link != nullptr) {
            Node* n = *link;
            if (!IsLive(*n) && n->callers.empty() && n->waiters == 0) {
                *link = n->next;
                delete n;
            } else {
                link = &n->next;
            }
        }
    }

    // Waits until no other thread is inside a call of n, unless the calling
    // thread is inside one itself (waiting for the others could then close a
    // cycle). The caller owns the lock and has marked n removed, so no new
    // call of n begins.
    static void WaitForOtherCalls(State& s, std::unique_lock<std::mutex>& inner, Node& n)
    {
        const Compat::ThreadId self = Compat::CurrentThreadId();
        if (IsCaller(n, self) || !HasOtherCaller(n, self))
            return;
        ++n.waiters;
        const unsigned depth = s.depth;
        s.depth = 0;
        s.owner = Compat::ThreadId();
        s.changed.notify_all();
        s.changed.wait(inner, [&n, self] { return !HasOtherCaller(n, self); });
        s.changed.wait(inner, [&s] { return s.depth == 0; });
        s.owner = self;
        s.depth = depth;
        --n.waiters;
    }

    // A throwing handler must neither leave its node marked as called nor
    // keep the remaining handlers from running.
    static void Invoke(Node& n, Args... args)
    {
        try {
            n.call(args...);
        } catch (...) {
        }
    }

    std::shared_ptr<State> m_state;
};

}  // namespace Util
