#pragma once
// CLastReference: the base of a family's manager, which its last reference
// frees. The family's holder keeps one reference, an exported call keeps one
// while it runs, and each handler a platform component delivers to takes one
// for its run (Hold, the handler's first line). An exit closes the manager
// and drops the holder's reference without waiting for anything: a handler
// running on another thread keeps the manager whole until it returns, so a
// receiver that ends the family from inside its result, or that hands work
// synchronously to the exiting thread, can neither free the handler's object
// under it nor deadlock the exit. Whoever lets go last runs the destructor;
// when that is a handler, it runs on the platform component's delivery
// thread, where detaching from that component does not wait for itself.
//
// A closed manager starts no handler: a result that arrives after the exit
// reaches nobody, as it would have once the manager was gone.
//
// A manager owned otherwise (a test's own object) has no references: its
// handlers run unheld and its owner's destructor waits for them as before.

#include <atomic>
#include <memory>

class CLastReference : public std::enable_shared_from_this<CLastReference> {
public:
    // What Hold returns: true when the handler may run; it keeps the manager
    // alive until it goes out of scope.
    class Held {
    public:
        explicit operator bool() const noexcept { return m_run; }

    private:
        friend class CLastReference;
        Held(std::shared_ptr<CLastReference> reference, bool run) noexcept
            : m_reference(std::move(reference)), m_run(run)
        {
        }
        std::shared_ptr<CLastReference> m_reference;
        bool m_run;
    };

    virtual ~CLastReference();
    CLastReference(const CLastReference&) = delete;
    CLastReference& operator=(const CLastReference&) = delete;

    // Called by the holder as it lets go: handlers that start afterwards
    // return at once.
    void Close() noexcept { m_closed.store(true, std::memory_order_release); }
    bool IsClosed() const noexcept { return m_closed.load(std::memory_order_acquire); }

protected:
    CLastReference();
    // A handler's first line: `const Held held = Hold(); if (!held) return;`
    Held Hold() noexcept;

private:
    std::atomic<bool> m_closed{false};
};
