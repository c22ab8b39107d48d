// Network-monitor family: a window registers with the monitor and hears
// every change of the three channel states. The client's own TIM and TRTC
// code reports through the monitor's event interfaces, the websocket session
// reports by itself; the local server cuts the websocket and the session
// comes back, and a TIM channel that broke without reconnecting by itself
// is asked to reconnect by the monitor.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "DemoSession.h"
#include "DemoSteps.h"
#include "devserver/DevServer.h"
#include "devserver/State.h"
#include "pelbo/session/AuxNetMon.h"
#include "pelbo/session/WebsocketApi.h"

namespace Demo {

namespace {

using Clock = std::chrono::steady_clock;

struct States {
    int tim = -1;
    int ws = -1;
    int trtc = -1;
};

const char* ChannelMeaning(int state)
{
    switch (state) {
    case 0:
        return "nothing reported";
    case 1:
        return "reconnecting";
    case 2:
        return "broken";
    case 3:
        return "connected";
    case 4:
        return "connected, good network";
    default:
        return "?";
    }
}

void PrintStates(const char* who, const States& s)
{
    Ok("%s TIM %d (%s), WS %d (%s), TRTC %d (%s)", who, s.tim, ChannelMeaning(s.tim), s.ws, ChannelMeaning(s.ws),
       s.trtc, ChannelMeaning(s.trtc));
}

// The client's window showing the channel states. The monitor calls it on
// the thread of the report or timer tick, so it only notes the states.
class SummaryWindow : public CInteractionControl {
public:
    ~SummaryWindow() override
    {
        if (INetMon* monitor = Aux::AuxNetMon::GetNetMon())
            monitor->RemoveInteraction(this);
    }

    void OnNetSummary(int* tim, int* ws, int* trtc) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_seen.push_back({*tim, *ws, *trtc});
        m_changed.notify_all();
    }

    size_t Count()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen.size();
    }

    // Waits for a summary after the first `from` that satisfies done.
    bool WaitFor(size_t from, int seconds, const std::function<bool(const States&)>& done)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(seconds), [&] {
            for (size_t i = from; i < m_seen.size(); ++i)
                if (done(m_seen[i]))
                    return true;
            return false;
        });
    }

    // Prints the summaries heard since `from`.
    void PrintSince(size_t from)
    {
        std::vector<States> seen;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            seen.assign(m_seen.begin() + static_cast<std::ptrdiff_t>(std::min(from, m_seen.size())), m_seen.end());
        }
        for (const States& s : seen)
            PrintStates("window:", s);
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<States> m_seen;
};

// The client's TIM code: asked to reconnect, it logs in again on its own
// thread, as the instant-messaging library does, and reports the connection
// back when that is done.
class TimChannel : public CTIMNetControl {
public:
    ~TimChannel() override { JoinLogin(); }

    void ReConn() override
    {
        ++reconnects;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_login.joinable())
            return;
        m_login = std::thread([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            if (INetMon* monitor = Aux::AuxNetMon::GetNetMon())
                monitor->GetTimEvent()->OnTimConnect();
        });
    }
    // The monitor never logs the channel out.
    void Logout() override {}

    void JoinLogin()
    {
        std::thread login;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            login = std::move(m_login);
        }
        if (login.joinable())
            login.join();
    }

    std::atomic<int> reconnects{0};

private:
    std::mutex m_mutex;
    std::thread m_login;
};

bool StepRegisterWindow(Context& context, INetMon& monitor, SummaryWindow& window)
{
    BeginStep(context, "a window registers with the network monitor");
    monitor.InsertInteraction(&window, 1);
    if (window.Count() != 1) {
        Fail("the window was not told the states at once");
        return false;
    }
    window.PrintSince(0);
    return true;
}

bool StepClientChannels(Context& context, INetMon& monitor, SummaryWindow& window, TimChannel& tim)
{
    BeginStep(context, "the client's TIM and TRTC channels connect");
    const size_t from = window.Count();
    monitor.SetTimCtrl(&tim);
    monitor.GetTimEvent()->OnTimConnect();
    monitor.GetTrtcEvent()->OnTrtcConnect(1);
    monitor.GetTrtcEvent()->OnTrtcQuality(0);
    window.PrintSince(from);
    States now;
    monitor.GetNetStates(&now.tim, &now.ws, &now.trtc);
    if (now.tim != 3 || now.trtc != 4) {
        Fail("TIM %d and TRTC %d, expected 3 and 4", now.tim, now.trtc);
        return false;
    }
    return true;
}

bool StepSessionConnects(Context& context, INetMon& monitor, SessionSignals& signals, SummaryWindow& window)
{
    const size_t from = window.Count();
    if (!StepOpenSession(context, signals))
        return false;
    // A transport that stayed connected from an earlier session changes no
    // state, so the window may hear nothing here.
    const auto connected = [&] {
        States now;
        monitor.GetNetStates(&now.tim, &now.ws, &now.trtc);
        return now.ws == 3;
    };
    if (!connected() &&
        !window.WaitFor(from, context.options.timeoutSeconds, [](const States& s) { return s.ws == 3; })) {
        Fail("the monitor does not show the websocket connected");
        return false;
    }
    window.PrintSince(from);
    return true;
}

bool StepWebsocketCut(Context& context, SessionSignals& signals, SummaryWindow& window)
{
    BeginStep(context, "the local server cuts the websocket; the session comes back by itself");
    const size_t from = window.Count();
    const size_t results = signals.Read<size_t>([&] { return signals.connectCodes.size(); });
    const unsigned dropped = context.localServer->GetState().ws.DropAll();
    Ok("%u connection(s) cut", dropped);
    const int seconds = context.options.timeoutSeconds;
    const bool lost = window.WaitFor(from, seconds, [](const States& s) { return s.ws != 3; });
    const bool back = lost && window.WaitFor(from, seconds, [](const States& s) { return s.ws == 3; }) &&
                      signals.Wait(seconds, [&] { return signals.connectCodes.size() > results; });
    window.PrintSince(from);
    if (!back) {
        Fail("the websocket did not %s", lost ? "come back" : "report the cut");
        return false;
    }
    const int code = signals.Read<int>([&] { return signals.connectCodes.back(); });
    Ok("ConnectResult %d (%s), connection state %d", code, ConnectMeaning(code), WebsocketApi::GetConnSate());
    return code == 0 || code == 10000003;
}

bool StepTimReconnect(Context& context, INetMon& monitor, SummaryWindow& window, TimChannel& tim)
{
    BeginStep(context, "TIM breaks; the monitor asks it to reconnect");
    const size_t from = window.Count();
    const auto started = Clock::now();
    monitor.GetTimEvent()->OnTimDisconnect(0);
    const bool asked = window.WaitFor(from, context.options.timeoutSeconds,
                                      [&](const States& s) { return tim.reconnects > 0 && s.tim == 3; });
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    tim.JoinLogin();
    window.PrintSince(from);
    if (!asked) {
        Fail("the monitor did not ask TIM to reconnect within %d s", context.options.timeoutSeconds);
        return false;
    }
    Ok("asked to reconnect %d time(s), after %.1f s", tim.reconnects.load(), seconds);
    return tim.reconnects == 1;
}

}  // namespace

bool RunNetMonSteps(Context& context)
{
    INetMon* monitor = Aux::AuxNetMon::GetNetMon();
    if (monitor == nullptr) {
        BeginStep(context, "the network monitor");
        Fail("no network monitor");
        return false;
    }
    SummaryWindow window;
    TimChannel tim;
    SessionSignals signals;
    if (!StepRegisterWindow(context, *monitor, window) || !StepClientChannels(context, *monitor, window, tim) ||
        !StepSessionConnects(context, *monitor, signals, window)) {
        monitor->SetTimCtrl(nullptr);
        return false;
    }
    bool ok = context.localServer == nullptr || StepWebsocketCut(context, signals, window);
    ok = ok && StepTimReconnect(context, *monitor, window, tim);
    ok = StepDisconnect(context, signals) && ok;
    monitor->SetTimCtrl(nullptr);
    monitor->RemoveInteraction(&window);
    return ok;
}

}  // namespace Demo
