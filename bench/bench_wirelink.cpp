// Command round trips through wirelink (CCSSinkHelper, one command in
// flight) against bare Beast clients doing the same: ping after ping over ws
// and wss on loopback, in two shapes.
//  - The next ping is sent from the callback that receives the answer to the
//    last (the library's own round trip, Send to OnRecvReply), against a
//    bare synchronous client.
//  - A sending thread waits for each answer, which arrives on another thread,
//    against a bare asynchronous client of that shape (its I/O thread reads,
//    the ping is posted to it, the sending thread waits). The hop back to the
//    waiting thread is in both.
// Five runs of each, every client in every run, taking turns to go first;
// each row is the median of the five. Then the websocket session
// (WebsocketApi) taking 10 000 pushes a second, each sequence stored, while
// ping after ping goes over the same connection, against the same pings
// without pushes. Prints table rows "path | ours | reference | ratio | target"
// for tools/scripts/bench.sh.

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pelbo/account/UserCache.h"
#include "pelbo/account/UserConfig.h"
#include "pelbo/core/ServiceEvent.h"
#include "pelbo/corekit/Event.h"
#include "pelbo/corekit/HttpSettings.h"
#include "pelbo/corekit/Path.h"
#include "pelbo/corekit/XData.h"
#include "devserver/DevServer.h"
#include "devserver/State.h"
#include "pelbo/session/WebsocketApi.h"
#include "pelbo/wirelink/CSCenter.h"
#include "pelbo/wirelink/CSSinkHelper.h"

bool RunBareWsClient(const std::string& host, const std::string& port, bool tls, bool asynchronous,
                     const std::string& caFile, const std::string& token, int total, std::vector<double>* latenciesUs,
                     double* seconds);

namespace {

constexpr int kTotal = 5000;
constexpr int kRuns = 5;
constexpr unsigned kUser = 9001;

struct Stats {
    double medianUs = 0;
    double p99Us = 0;
    double perSecond = 0;
    bool ok = false;
};

Stats Summarise(std::vector<double> latencies, double seconds)
{
    Stats s;
    if (latencies.empty())
        return s;
    std::sort(latencies.begin(), latencies.end());
    s.medianUs = latencies[latencies.size() / 2];
    s.p99Us = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    s.perSecond = seconds > 0 ? latencies.size() / seconds : 0;
    s.ok = true;
    return s;
}

// Waits for each answer in turn.
class Waiter {
public:
    Waiter() : m_marker(this) {}
    void Attach(Aux::CSCenter::CCSSinkHelper& sink)
    {
        sink.evtRecvReply.Subscribe(this, &Waiter::OnReply, &m_marker);
        sink.evtTimeout.Subscribe(this, &Waiter::OnTimeout, &m_marker);
    }
    void OnReply(IXData*, IXData*) { Done(false); }
    void OnTimeout(IXData*) { Done(true); }
    bool Wait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_answered; });
        m_answered = false;
        return !m_timedOut;
    }

private:
    void Done(bool timedOut)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_answered = true;
        m_timedOut = timedOut;
        m_changed.notify_all();
    }
    Util::LivenessMarker m_marker;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_answered = false;
    bool m_timedOut = false;
};

class StateWaiter : public Aux::CSCenter::CConnectSink {
public:
    void OnConnectState(int state) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state = state;
        m_changed.notify_all();
    }
    void OnSerPsuhLastSeq(uint64_t) override {}
    bool WaitConnected()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [this] { return m_state == 0; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_state = -1;
};

XDataPtr<IXData> Command(const wchar_t* name)
{
    XDataPtr<IXData> command;
    CreateIXData(command.Receive(), 0);
    command->SetIXDataStr(L"CMDNO", name);
    return command;
}

std::wstring Widen(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

// One ping after another on the transport the session set up; the
// latencies, or none when one failed.
std::vector<double> Pings(int total)
{
    Aux::CSCenter::CCSSinkHelper sink;
    Waiter waiter;
    waiter.Attach(sink);
    std::vector<double> latencies;
    latencies.reserve(static_cast<size_t>(total));
    for (int i = 0; i < total; ++i) {
        const auto start = std::chrono::steady_clock::now();
        XDataPtr<IXData> ping = Command(L"ping");
        ping->SetIXDataI64(L"LastMsgSeq", 0);
        if (sink.Send(ping.get(), nullptr) != 1 || !waiter.Wait())
            return std::vector<double>();
        latencies.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    return latencies;
}

// One ping after another, each sent from the callback that received the
// answer to the one before; the latencies, or none when one failed.
class ChainedPings {
public:
    ChainedPings() : m_marker(this)
    {
        m_sink.evtRecvReply.Subscribe(this, &ChainedPings::OnReply, &m_marker);
        m_sink.evtTimeout.Subscribe(this, &ChainedPings::OnTimeout, &m_marker);
    }

    std::vector<double> Run(int total)
    {
        m_total = static_cast<size_t>(total);
        m_latencies.reserve(m_total);
        SendNext();
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_done; });
        return m_failed ? std::vector<double>() : std::move(m_latencies);
    }

private:
    void SendNext()
    {
        m_start = std::chrono::steady_clock::now();
        XDataPtr<IXData> ping = Command(L"ping");
        ping->SetIXDataI64(L"LastMsgSeq", 0);
        if (m_sink.Send(ping.get(), nullptr) != 1)
            Finish(true);
    }

    void OnReply(IXData*, IXData*)
    {
        m_latencies.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - m_start).count());
        if (m_latencies.size() == m_total)
            return Finish(false);
        SendNext();
    }

    void OnTimeout(IXData*) { Finish(true); }

    void Finish(bool failed)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_failed = failed;
        m_done = true;
        m_changed.notify_all();
    }

    Aux::CSCenter::CCSSinkHelper m_sink;
    Util::LivenessMarker m_marker;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_done = false;
    bool m_failed = false;
    size_t m_total = 0;
    std::chrono::steady_clock::time_point m_start;
    std::vector<double> m_latencies;
};

Stats RunOurs(const std::string& url, const std::string& caFile, const std::string& token, bool chained)
{
    Http::SetCaBundle(Widen(caFile).c_str());
    StateWaiter states;
    Aux::CSCenter::LWS_Init(1, nullptr, kUser, L"", L"");
    Stats stats;
    if (Aux::CSCenter::LWS_StartConn(Widen(url).c_str(), &states) == 1 && states.WaitConnected()) {
        Aux::CSCenter::CCSSinkHelper sink;
        Waiter waiter;
        waiter.Attach(sink);
        XDataPtr<IXData> connect = Command(L"connect");
        connect->SetIXDataStr(L"Token", Widen(token).c_str());
        connect->SetIXDataBool(L"Force", true);
        if (sink.Send(connect.get(), nullptr) == 1 && waiter.Wait()) {
            const auto begin = std::chrono::steady_clock::now();
            std::vector<double> latencies = chained ? ChainedPings().Run(kTotal) : Pings(kTotal);
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
            if (!latencies.empty())
                stats = Summarise(std::move(latencies), took.count());
        }
    }
    Aux::CSCenter::DoExit();
    return stats;
}

Stats RunReference(uint16_t port, bool tls, bool asynchronous, const std::string& caFile, const std::string& token)
{
    std::vector<double> latencies;
    double seconds = 0;
    if (!RunBareWsClient("127.0.0.1", std::to_string(port), tls, asynchronous, caFile, token, kTotal, &latencies,
                         &seconds))
        return Stats();
    return Summarise(std::move(latencies), seconds);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void Row(const std::string& path, double ours, double reference, double ratio, const char* target)
{
    std::printf("%-48s | %14.1f | %14.1f | %7.2f | %s\n", path.c_str(), ours, reference, ratio, target);
}

bool RunPath(bool tls)
{
    DevServer::Options options;
    options.tls = tls;
    DevServer::Server server(options);
    std::string error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "bench_wirelink: server did not start: %s\n", error.c_str());
        return false;
    }
    const std::string token = server.GetState().IssueToken(kUser).token;
    std::string url = server.BaseUrl();
    url.replace(0, url.find(':'), tls ? "wss" : "ws");
    url += "/ws";
    // Ours and its reference, in each shape.
    enum Client { kChained, kSynchronous, kWaiting, kAsynchronous, kClients };
    const char* const names[kClients] = {"ours (from the callback)", "bare synchronous", "ours (a waiting thread)",
                                         "bare asynchronous"};
    std::vector<Stats> runs[kClients];
    const auto measure = [&](int client) {
        switch (client) {
        case kChained:
            return RunOurs(url, server.CaCertFile(), token, true);
        case kWaiting:
            return RunOurs(url, server.CaCertFile(), token, false);
        default:
            return RunReference(server.Port(), tls, client == kAsynchronous, server.CaCertFile(), token);
        }
    };
    for (int run = 0; run < kRuns; ++run) {
        // Taking turns to go first, so that none always meets a server (and
        // caches) warmed by the others.
        for (int i = 0; i < kClients; ++i) {
            const int client = (run + i) % kClients;
            runs[client].push_back(measure(client));
            if (!runs[client].back().ok) {
                std::fprintf(stderr, "bench_wirelink: %s run %d failed: %s\n", tls ? "wss" : "ws", run + 1,
                             names[client]);
                return false;
            }
        }
    }
    const auto median = [&](int client, double Stats::*figure) {
        std::vector<double> values;
        for (const Stats& stats : runs[client])
            values.push_back(stats.*figure);
        return Median(std::move(values));
    };
    const auto rows = [&](const std::string& path, int ours, int reference) {
        const double oursMedian = median(ours, &Stats::medianUs);
        const double referenceMedian = median(reference, &Stats::medianUs);
        const double oursP99 = median(ours, &Stats::p99Us);
        const double referenceP99 = median(reference, &Stats::p99Us);
        const double oursRate = median(ours, &Stats::perSecond);
        const double referenceRate = median(reference, &Stats::perSecond);
        Row(path + " round trip median (us)", oursMedian, referenceMedian, oursMedian / referenceMedian,
            "<= 1.25 (median of 5 runs)");
        Row(path + " round trip p99 (us)", oursP99, referenceP99, oursP99 / referenceP99,
            "<= 1.25 (median of 5 runs)");
        Row(path + " commands/s (1 in flight)", oursRate, referenceRate, oursRate / referenceRate,
            ">= 0.80 (median of 5 runs)");
    };
    const std::string scheme = tls ? "wss" : "ws";
    rows("wirelink " + scheme, kChained, kSynchronous);
    rows("wirelink " + scheme + ", waiting", kWaiting, kAsynchronous);
    // What the hop to a waiting thread costs by itself, whoever's client.
    const double hop = median(kAsynchronous, &Stats::medianUs);
    const double direct = median(kSynchronous, &Stats::medianUs);
    Row("bare " + scheme + ", waiting vs synchronous median (us)", hop, direct, hop / direct, "none (the hop)");
    return true;
}

constexpr double kPushesPerSecond = 10000;

// Pushes to every logged-in connection at kPushesPerSecond until told to
// stop; the last sequence sent and when the first went out.
class Pusher {
public:
    explicit Pusher(DevServer::WsHub& hub) : m_hub(hub), m_thread([this] { Run(); }) {}
    ~Pusher() { Stop(); }
    void Stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    uint64_t LastSeq() const { return m_lastSeq; }
    std::chrono::steady_clock::time_point Began() const { return m_began; }
    double Offered() const { return m_offered; }

private:
    void Run()
    {
        m_began = std::chrono::steady_clock::now();
        uint64_t sent = 0;
        while (!m_stop) {
            const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - m_began;
            const auto due = static_cast<uint64_t>(elapsed.count() * kPushesPerSecond);
            for (; sent < due; ++sent)
                m_lastSeq = m_hub.Push("room.notify");
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - m_began;
        m_offered = took.count() > 0 ? static_cast<double>(sent) / took.count() : 0;
    }

    DevServer::WsHub& m_hub;
    std::atomic<bool> m_stop{false};
    uint64_t m_lastSeq = 0;
    std::chrono::steady_clock::time_point m_began;
    double m_offered = 0;
    std::thread m_thread;
};

bool RunSessionPushes()
{
    char folder[] = "/tmp/pelbo-bench-session-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return false;
    Util::Path::SetRootFolder(Widen(folder).c_str());
    DevServer::Server server(DevServer::Options{});
    std::string error;
    bool ok = server.Start(&error);
    if (!ok)
        std::fprintf(stderr, "bench_wirelink: server did not start: %s\n", error.c_str());

    std::mutex mutex;
    std::condition_variable changed;
    int result = -1;
    event::scoped_connection results = ServiceEvent::ConnectResult().connect([&](int code) {
        std::lock_guard<std::mutex> lock(mutex);
        result = code;
        changed.notify_all();
    });
    std::vector<double> quiet;
    std::vector<double> busy;
    double stored = 0;
    double offered = 0;
    if (ok) {
        std::string url = server.BaseUrl();
        url.replace(0, url.find(':'), "ws");
        Http::SetWSSUrl(Widen(url + "/ws").c_str());
        Aux::UserCache::SetUserID(kUser, 1);
        Aux::UserCache::SetToken(Widen(server.GetState().IssueToken(kUser).token).c_str());
        Aux::UserConfig::SetLastMsgID(0);
        WebsocketApi::Init();
        WebsocketApi::StartConn(0, 1);
        std::unique_lock<std::mutex> lock(mutex);
        ok = changed.wait_for(lock, std::chrono::seconds(10), [&] { return result == 0; });
    }
    if (ok) {
        quiet = Pings(kTotal);
        Pusher pusher(server.GetState().ws);
        busy = Pings(kTotal);
        pusher.Stop();
        offered = pusher.Offered();
        // Every push's sequence stored, in order: the session kept up.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (Aux::UserConfig::GetLastMsgID() != static_cast<int64_t>(pusher.LastSeq()) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - pusher.Began();
        if (Aux::UserConfig::GetLastMsgID() == static_cast<int64_t>(pusher.LastSeq()))
            stored = static_cast<double>(pusher.LastSeq()) / took.count();
    }
    WebsocketApi::DoExit();
    Aux::CSCenter::DoExit();
    Aux::UserCache::DoExit();
    Http::ResetSettings();
    server.Stop();
    Util::Path::SetRootFolder(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);

    if (quiet.empty() || busy.empty() || stored == 0) {
        std::fprintf(stderr, "bench_wirelink: session run failed (connected %d, pings %zu/%zu, stored %.0f/s)\n",
                     ok, quiet.size(), busy.size(), stored);
        return false;
    }
    const Stats withPushes = Summarise(std::move(busy), 0);
    const Stats without = Summarise(std::move(quiet), 0);
    Row("session pushes stored/s (10000/s offered)", stored, offered, stored / offered, ">= 0.95");
    Row("session ping median, pushes vs none (us)", withPushes.medianUs, without.medianUs,
        withPushes.medianUs / without.medianUs, "<= 3.00");
    Row("session ping p99, pushes vs none (us)", withPushes.p99Us, without.p99Us, withPushes.p99Us / without.p99Us,
        "<= 6.00");
    return true;
}

}  // namespace

int main()
{
    const bool ok = RunPath(false) && RunPath(true) && RunSessionPushes();
    return ok ? 0 : 1;
}
