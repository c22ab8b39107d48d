#pragma once
// CDeferredExit: lets a family be ended from inside its own manager's
// handler. A receiver of the manager's result may call the family's exit
// function, which would delete the manager while the handler that emitted
// the result still runs in it. Each handler of such a manager runs inside a
// Scope; an exit on a thread that is inside one of those scopes leaves the
// delete to the outermost scope on that thread, so the handler finishes in
// a whole object. An exit on any other thread deletes at once, and the
// manager's destructor waits for handlers on other threads as before.

#include <map>
#include <mutex>
#include <thread>

class CDeferredExit {
public:
    class Scope {
    public:
        explicit Scope(CDeferredExit& owner);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        CDeferredExit& m_owner;
    };

    virtual ~CDeferredExit();

    // Ends the object: deletes it now, or, when called from inside one of
    // its handlers on this thread, when that handler returns.
    static void End(CDeferredExit* object);

protected:
    CDeferredExit();
    CDeferredExit(const CDeferredExit&) = delete;
    CDeferredExit& operator=(const CDeferredExit&) = delete;

private:
    std::mutex m_lock;
    std::map<std::thread::id, int> m_depth;
    bool m_ended = false;
};
