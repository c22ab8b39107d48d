#pragma once
// The shutdown matrix of one run: a family's flows for a few rounds while a
// second thread and the library's callbacks call the family's stop, exit and
// remove functions at random points, with a ledger of every request.
//
// Randomness comes from std::mt19937 seeded with the run's seed, so a run
// can be repeated and a failure names its seed (see docs/testing.md). The
// threads interleave as they will; the seed fixes every choice the test
// makes.
//
// The ledger holds what each request may and must do:
//  - a request issued while no stop of its scope ran, and reported before
//    any such stop began, or never stopped at all, is reported exactly once;
//  - any request is reported at most once;
//  - a request issued after its family closed for good is never reported;
//  - a request ended by a stop that promises silence (an upload sink's stop,
//    a monitor's removal, a conversion's cancellation), called where the
//    function waits (outside any callback of the library), is not called
//    after that stop returned.
// Reports name their request by family, kind and tag. A kind whose reports
// carry nothing to tell two requests apart uses an empty tag: its report is
// counted against any of that kind's open requests, those that must be
// reported first, so a late report of a stopped request can hide a lost one
// of the same kind but never raise a false alarm.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

class ShutdownMatrix {
public:
    using Id = uint64_t;

    // The requests a stop ends: those of one family (every family when
    // empty), of one group within it (an upload's path, a monitor channel),
    // or one request.
    struct Scope {
        static Scope Everything() { return Scope(); }
        static Scope Family(std::string family) { return Scope{std::move(family), std::string(), 0}; }
        static Scope Group(std::string family, std::string group)
        {
            return Scope{std::move(family), std::move(group), 0};
        }
        static Scope Request(std::string family, Id request)
        {
            return Scope{std::move(family), std::string(), request};
        }

        std::string family;
        std::string group;
        Id request = 0;
    };

    // Brackets one stop: from its construction until its destruction the
    // stop runs, and every request of its scope that is open meanwhile no
    // longer has to be reported.
    class Stop {
    public:
        // silences: the stop promises that the requests it ended hear
        // nothing once it returns (only true where the function waits).
        Stop(ShutdownMatrix& matrix, std::string what, Scope scope, bool silences);
        ~Stop();
        Stop(const Stop&) = delete;
        Stop& operator=(const Stop&) = delete;

    private:
        ShutdownMatrix& m_matrix;
        Id m_id;
    };

    ShutdownMatrix(std::string name, uint32_t seed);
    ~ShutdownMatrix();
    ShutdownMatrix(const ShutdownMatrix&) = delete;
    ShutdownMatrix& operator=(const ShutdownMatrix&) = delete;

    uint32_t Seed() const { return m_seed; }
    int Round() const;
    // "<name> seed <seed> round <round>": what a failure or a hang names.
    std::string Where() const;

    // A number below `below`, from the generator shared by every thread
    // (the callbacks draw from it).
    uint32_t Draw(uint32_t below);
    bool Chance(unsigned percent) { return Draw(100) < percent; }
    // A generator of its own for one thread, from the seed and a stream
    // number.
    std::mt19937 Stream(uint32_t stream) const;

    // Enters a request before the call that makes it, so a report that
    // comes before the call returns finds it. mustReport false: the request
    // may be reported once or not at all.
    Id Issue(const std::string& family, const std::string& kind, const std::string& tag,
             const std::string& group = std::string(), bool mustReport = true);
    // The call did not accept the request: nothing may report it.
    void Withdraw(Id id);
    // A report, from inside the callback that tells it.
    void Report(const std::string& family, const std::string& kind, const std::string& tag);
    // Any other call of a client object that belongs to a request (an
    // upload's progress, a window's later summaries): it must not come
    // after a stop that silenced the request.
    void Heard(const std::string& family, const std::string& kind, const std::string& tag);
    // After a final exit returned: what the family is asked from now on is
    // never reported.
    void CloseForGood(const std::string& family);
    bool IsClosedForGood(const std::string& family) const;

    // Runs the rounds. Each runs under a hang watchdog: drive(round) makes
    // the round's requests, while a second thread waits a random while and
    // calls stopAtRandom with its generator, a random number of times
    // (none in some rounds). Then the round's requests are waited for and
    // the ledger's findings become test failures. A round with findings
    // ends the run: the later rounds would mostly repeat them.
    void RunRounds(int rounds, const std::function<void(int)>& drive,
                   const std::function<void(std::mt19937&)>& stopAtRandom);
    // Waits until every request of the ledger is settled: reported,
    // withdrawn, optional, or stopped by a stop that has ended. What must
    // be reported and is not within the limit is a lost report.
    void Settle();
    // True when every request is settled (for a loop that cannot block).
    bool Settled();
    // Turns the findings so far into test failures; false when there were
    // any.
    bool Check();
    // The open requests that must still be reported, for a message.
    std::string Outstanding();
    // How many requests were made, reported, stopped and refused, and how
    // many stops ran: a line for the log, which shows that a run tested
    // something.
    std::string Summary() const;
    // How many stops have begun so far.
    unsigned Stops() const;

private:
    struct Request {
        std::string family;
        std::string kind;
        std::string tag;
        std::string group;
        bool must = true;
        bool afterClose = false;
        bool withdrawn = false;
        bool stopped = false;
        bool silenced = false;
        std::string silencedBy;
        int reports = 0;
    };
    struct ActiveStop {
        std::string what;
        Scope scope;
        bool silences = false;
        std::vector<Id> ended;
    };

    static bool InScope(const Scope& scope, Id id, const Request& request);
    // Under m_lock.
    Request* FindLocked(const std::string& family, const std::string& kind, const std::string& tag);
    bool SettledLocked() const;
    void FailLocked(const std::string& what);
    Id BeginStop(std::string what, Scope scope, bool silences);
    void EndStop(Id stop);

    const std::string m_name;
    const uint32_t m_seed;
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::mt19937 m_shared;
    int m_round = 0;
    Id m_lastId = 0;
    std::map<Id, Request> m_requests;
    std::map<Id, ActiveStop> m_stops;
    std::map<std::string, bool> m_closed;
    unsigned m_stopCount = 0;
    std::vector<std::string> m_findings;
};
