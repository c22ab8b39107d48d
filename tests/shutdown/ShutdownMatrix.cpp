#include "ShutdownMatrix.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "support/HangWatchdog.h"

namespace {

// A round's requests are local: they settle in well under a second. The
// limit only turns a lost report into a failure instead of a hang.
constexpr auto kSettleLimit = std::chrono::seconds(30);
// Longer than the settle limit, so a lost report is named as one; shorter
// than the test runner's limit for one seed.
constexpr auto kRoundLimit = std::chrono::seconds(60);
// Stops the second thread makes in one round: none up to this many.
constexpr uint32_t kMostStopsPerRound = 2;
// How far into a round the second thread's stops fall.
constexpr uint32_t kStopSpreadMs = 40;
constexpr uint32_t kSharedStream = 1u << 20;

std::string Describe(ShutdownMatrix::Id id, const std::string& family, const std::string& kind,
                     const std::string& tag)
{
    std::ostringstream text;
    text << family << " " << kind;
    if (!tag.empty())
        text << " '" << tag << "'";
    text << " (#" << id << ")";
    return text.str();
}

}  // namespace

ShutdownMatrix::Stop::Stop(ShutdownMatrix& matrix, std::string what, Scope scope, bool silences)
    : m_matrix(matrix), m_id(matrix.BeginStop(std::move(what), std::move(scope), silences))
{
}

ShutdownMatrix::Stop::~Stop() { m_matrix.EndStop(m_id); }

ShutdownMatrix::ShutdownMatrix(std::string name, uint32_t seed)
    : m_name(std::move(name)), m_seed(seed)
{
    // A stream no round's second thread uses.
    m_shared = Stream(kSharedStream);
}

ShutdownMatrix::~ShutdownMatrix() = default;

int ShutdownMatrix::Round() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_round;
}

std::string ShutdownMatrix::Where() const
{
    return m_name + " seed " + std::to_string(m_seed) + " round " + std::to_string(Round());
}

uint32_t ShutdownMatrix::Draw(uint32_t below)
{
    std::lock_guard<std::mutex> lock(m_lock);
    return below == 0 ? 0 : static_cast<uint32_t>(m_shared() % below);
}

std::mt19937 ShutdownMatrix::Stream(uint32_t stream) const
{
    std::seed_seq sequence{m_seed, stream + 1};
    return std::mt19937(sequence);
}

bool ShutdownMatrix::InScope(const Scope& scope, Id id, const Request& request)
{
    if (!scope.family.empty() && scope.family != request.family)
        return false;
    if (!scope.group.empty() && scope.group != request.group)
        return false;
    return scope.request == 0 || scope.request == id;
}

ShutdownMatrix::Id ShutdownMatrix::Issue(const std::string& family, const std::string& kind, const std::string& tag,
                                         const std::string& group, bool mustReport)
{
    std::lock_guard<std::mutex> lock(m_lock);
    const Id id = ++m_lastId;
    Request& request = m_requests[id];
    request.family = family;
    request.kind = kind;
    request.tag = tag;
    request.group = group;
    request.must = mustReport;
    request.afterClose = m_closed[family];
    // A stop under way may end what is asked meanwhile, or may not: such a
    // request owes no report.
    for (const auto& entry : m_stops) {
        if (InScope(entry.second.scope, id, request))
            request.stopped = true;
    }
    return id;
}

void ShutdownMatrix::Withdraw(Id id)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        Request& request = m_requests[id];
        request.withdrawn = true;
        if (request.reports > 0)
            FailLocked("reported although its call refused it: " +
                       Describe(id, request.family, request.kind, request.tag));
    }
    m_changed.notify_all();
}

ShutdownMatrix::Request* ShutdownMatrix::FindLocked(const std::string& family, const std::string& kind,
                                                    const std::string& tag)
{
    Request* found = nullptr;
    if (!tag.empty()) {
        for (auto& entry : m_requests) {
            Request& r = entry.second;
            if (r.family == family && r.kind == kind && r.tag == tag)
                found = &r;
        }
        return found;
    }
    // Untagged: the oldest open request that must be reported, else the
    // oldest open one, else the newest already reported (for the message).
    Request* open = nullptr;
    for (auto& entry : m_requests) {
        Request& r = entry.second;
        if (r.family != family || r.kind != kind || !r.tag.empty())
            continue;
        if (r.reports > 0 || r.withdrawn) {
            found = &r;
            continue;
        }
        if (r.must && !r.stopped && !r.afterClose)
            return &r;
        if (open == nullptr)
            open = &r;
    }
    return open != nullptr ? open : found;
}

void ShutdownMatrix::Report(const std::string& family, const std::string& kind, const std::string& tag)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        Request* request = FindLocked(family, kind, tag);
        if (request == nullptr) {
            FailLocked("a report of no request: " + Describe(0, family, kind, tag));
        } else {
            const std::string name = Describe(0, family, kind, tag);
            if (++request->reports > 1)
                FailLocked("reported " + std::to_string(request->reports) + " times: " + name);
            if (request->withdrawn)
                FailLocked("reported although its call refused it: " + name);
            if (request->afterClose)
                FailLocked("reported although asked after its family closed for good: " + name);
            if (request->silenced)
                FailLocked("reported after " + request->silencedBy + " returned: " + name);
        }
    }
    m_changed.notify_all();
}

void ShutdownMatrix::Heard(const std::string& family, const std::string& kind, const std::string& tag)
{
    std::lock_guard<std::mutex> lock(m_lock);
    Request* request = FindLocked(family, kind, tag);
    if (request == nullptr)
        FailLocked("a call for no request: " + Describe(0, family, kind, tag));
    else if (request->silenced)
        FailLocked("called after " + request->silencedBy + " returned: " + Describe(0, family, kind, tag));
    else if (request->afterClose)
        FailLocked("called although asked after its family closed for good: " + Describe(0, family, kind, tag));
}

void ShutdownMatrix::CloseForGood(const std::string& family)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_closed[family] = true;
}

bool ShutdownMatrix::IsClosedForGood(const std::string& family) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    const auto it = m_closed.find(family);
    return it != m_closed.end() && it->second;
}

ShutdownMatrix::Id ShutdownMatrix::BeginStop(std::string what, Scope scope, bool silences)
{
    std::lock_guard<std::mutex> lock(m_lock);
    const Id id = ++m_lastId;
    ++m_stopCount;
    ActiveStop& stop = m_stops[id];
    stop.what = std::move(what);
    stop.scope = std::move(scope);
    stop.silences = silences;
    for (auto& entry : m_requests) {
        Request& request = entry.second;
        if (request.withdrawn || !InScope(stop.scope, entry.first, request))
            continue;
        // A reported request is not stopped, but its object is let go as
        // well: a window goes on hearing of changes until it is removed.
        if (request.reports == 0)
            request.stopped = true;
        stop.ended.push_back(entry.first);
    }
    return id;
}

void ShutdownMatrix::EndStop(Id id)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto it = m_stops.find(id);
        if (it == m_stops.end())
            return;
        if (it->second.silences) {
            for (Id ended : it->second.ended) {
                Request& request = m_requests[ended];
                if (!request.silenced) {
                    request.silenced = true;
                    request.silencedBy = it->second.what;
                }
            }
        }
        m_stops.erase(it);
    }
    m_changed.notify_all();
}

bool ShutdownMatrix::SettledLocked() const
{
    for (const auto& entry : m_requests) {
        const Request& r = entry.second;
        if (r.reports > 0 || r.withdrawn || !r.must || r.afterClose)
            continue;
        if (r.stopped && m_stops.empty())
            continue;
        return false;
    }
    return true;
}

bool ShutdownMatrix::Settled()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return SettledLocked();
}

std::string ShutdownMatrix::Outstanding()
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::string list;
    for (const auto& entry : m_requests) {
        const Request& r = entry.second;
        if (r.reports > 0 || r.withdrawn || !r.must || r.afterClose || r.stopped)
            continue;
        list += (list.empty() ? "" : ", ") + Describe(entry.first, r.family, r.kind, r.tag);
    }
    return list;
}

unsigned ShutdownMatrix::Stops() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_stopCount;
}

std::string ShutdownMatrix::Summary() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    unsigned reported = 0;
    unsigned stopped = 0;
    unsigned refused = 0;
    unsigned closed = 0;
    for (const auto& entry : m_requests) {
        const Request& r = entry.second;
        reported += r.reports > 0 ? 1 : 0;
        closed += r.afterClose ? 1 : 0;
        stopped += r.stopped && r.reports == 0 && !r.afterClose ? 1 : 0;
        refused += r.withdrawn ? 1 : 0;
    }
    std::ostringstream text;
    text << m_name << " seed " << m_seed << ": " << m_requests.size() << " requests, " << reported
         << " reported, " << stopped << " stopped before their report, " << refused << " refused, " << closed
         << " asked after the family closed; " << m_stopCount << " stops";
    return text.str();
}

void ShutdownMatrix::Settle()
{
    bool settled = false;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        settled = m_changed.wait_for(lock, kSettleLimit, [this] { return SettledLocked(); });
    }
    if (!settled) {
        const std::string lost = Outstanding();
        std::lock_guard<std::mutex> lock(m_lock);
        FailLocked("never reported: " + lost);
    }
}

void ShutdownMatrix::FailLocked(const std::string& what)
{
    m_findings.push_back("round " + std::to_string(m_round) + ": " + what);
}

bool ShutdownMatrix::Check()
{
    std::vector<std::string> findings;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        findings.swap(m_findings);
    }
    for (const std::string& finding : findings)
        ADD_FAILURE() << m_name << " seed " << m_seed << ", " << finding;
    return findings.empty();
}

void ShutdownMatrix::RunRounds(int rounds, const std::function<void(int)>& drive,
                               const std::function<void(std::mt19937&)>& stopAtRandom)
{
    for (int round = 0; round < rounds; ++round) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_round = round;
        }
        const TestSupport::HangWatchdog watchdog(Where(), kRoundLimit);
        std::mt19937 stopperRandom = Stream(static_cast<uint32_t>(round));
        std::thread stopper([&stopperRandom, &stopAtRandom] {
            const uint32_t stops = stopperRandom() % (kMostStopsPerRound + 1);
            for (uint32_t i = 0; i < stops; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(stopperRandom() % kStopSpreadMs));
                stopAtRandom(stopperRandom);
            }
        });
        drive(round);
        stopper.join();
        Settle();
        if (!Check())
            break;
    }
    std::printf("%s\n", Summary().c_str());
}
