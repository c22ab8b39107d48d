#include "pelbo/session/NetMonitor.h"

#include <algorithm>
#include <cstdint>
#include <random>

#include "pelbo/core/CallOut.h"
#include "pelbo/core/ExportGuard.h"
#include "pelbo/corekit/Log.h"
#include "pelbo/corekit/ThreadPool.h"
#include "pelbo/drawhub/RecordTimeMeter.h"

namespace {

const wchar_t kTag[] = L"CNetMonitor";

// The log names a control or window by a 32-bit tag that stays the same for
// the same object during the process, never by its address: an address in a
// log file a user sends us would undo the address-space randomisation that
// keeps exploits from knowing where the client's objects live. The tag is the
// address mixed with a key drawn once per process (the mixing step of
// splitmix64); null stays 0.
unsigned LogPtr(const void* p)
{
    if (p == nullptr)
        return 0;
    static const uint64_t key = (static_cast<uint64_t>(std::random_device()()) << 32) | std::random_device()();
    uint64_t x = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)) ^ key;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    return static_cast<unsigned>(x) | 1u;
}

class CPoolTimer : public CNetMonitor::ITimer {
public:
    void SetCallBack(std::function<void()> callback) override { m_timer.SetCallBack(std::move(callback)); }
    int Start(unsigned periodMs, int immediate) override { return m_timer.Start(periodMs, immediate); }
    void Stop() override { m_timer.Stop(); }

private:
    ThreadPoolV4::CTaskTimerHelper m_timer;
};

// The monitor lives from the first GetNetMon to the end of the process. The
// client keeps the pointer GetNetMon gave it, its windows' destructors and
// the websocket manager call in at any moment, so Exit closes the monitor
// instead of freeing it: a call that races the exit, or comes after it
// through a kept pointer, finds a closed monitor that calls nobody.
class CMonitorHolder {
public:
    CNetMonitor* Get() noexcept
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_monitor == nullptr && !m_closed) {
            try {
                m_monitor = new CNetMonitor();
            } catch (...) {
                m_monitor = nullptr;
            }
        }
        return m_closed ? nullptr : m_monitor;
    }

    CNetMonitor* Peek() noexcept
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_closed ? nullptr : m_monitor;
    }

    // An exit before the first GetNetMon has nothing to close and leaves the
    // family open.
    void Exit()
    {
        CNetMonitor* monitor = nullptr;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_monitor == nullptr || m_closed)
                return;
            m_closed = true;
            monitor = m_monitor;
        }
        monitor->Close();
    }

private:
    std::mutex m_lock;
    CNetMonitor* m_monitor = nullptr;
    bool m_closed = false;
};

CMonitorHolder& Holder()
{
    static CMonitorHolder holder;
    return holder;
}

}  // namespace

CNetMonitor::CNetMonitor()
    : CNetMonitor([] { return AuxRenderOverall::RecordTimeMeter::GetCurrentClock(); },
                  [] { return std::unique_ptr<ITimer>(new CPoolTimer); })
{
    // The render clock stands still until the session's first "ping" answer
    // sets it; a break timed on a still clock would never be retried.
    AuxRenderOverall::RecordTimeMeter::Start();
}

CNetMonitor::CNetMonitor(Clock clock, const TimerFactory& timers) : m_clock(std::move(clock))
{
    for (int ch = 0; ch < CH_COUNT; ++ch) {
        m_timers[ch].timer = timers();
        const E_CHANNEL channel = static_cast<E_CHANNEL>(ch);
        m_timers[ch].timer->SetCallBack([this, channel] { OnReConTimer(channel); });
    }
}

CNetMonitor::~CNetMonitor()
{
    Close();
    for (TimerSlot& slot : m_timers)
        slot.timer.reset();
}

void CNetMonitor::Close()
{
    // No decision reaches a timer and no call out starts any more; a call
    // running on another thread is waited for, so the client may free its
    // controls and windows once Exit has returned.
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_closing = true;
        WaitForOtherCallsLocked(lock, nullptr);
    }
    // Each timer is stopped by the holder of its apply lock (waiting for a
    // tick in progress, which calls nobody now), so no tick runs afterwards.
    for (TimerSlot& slot : m_timers) {
        std::lock_guard<std::mutex> apply(slot.applyLock);
        slot.timer->Stop();
    }
}

void CNetMonitor::SetTimCtrl(CTIMNetControl* tim)
{
    Util::Log::Info(kTag, L"SetTimCtrl, tim: 0x%x", LogPtr(tim));
    SetControl(CH_TIM, tim);
}

void CNetMonitor::SetWsCtrl(CWSNetControl* ws)
{
    Util::Log::Info(kTag, L"SetWsCtrl, ws: 0x%x", LogPtr(ws));
    SetControl(CH_WS, ws);
}

void CNetMonitor::SetTrtcCtrl(CTRTCNetControl* trtc)
{
    Util::Log::Info(kTag, L"SetTrtcCtrl, trtc: 0x%x", LogPtr(trtc));
    SetControl(CH_TRTC, trtc);
}

void CNetMonitor::SetControl(E_CHANNEL ch, const void* control)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const void* old = m_channels[ch].control;
    m_channels[ch].control = control;
    if (old != nullptr && old != control)
        WaitForOtherCallsLocked(lock, old);
}

void CNetMonitor::InsertInteraction(CInteractionControl* ui, const int& triggle)
{
    Util::Log::Info(kTag, L"InsertInteraction, ui: 0x%x, triggle: %d", LogPtr(ui), triggle);
    if (ui == nullptr)
        return;
    States states;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_interactions[ui] = ++m_insertions;
        if (triggle == 0)
            return;
        states = SnapshotLocked();
        if (!BeginCallLocked(ui))
            return;
    }
    // As in a summary pass: a throwing window must neither leave its call
    // open (a later removal would wait for it for ever) nor throw into the
    // caller of the library.
    try {
        const Frame::CCallOut callOut;
        ui->OnNetSummary(&states.tim, &states.ws, &states.trtc);
    } catch (...) {
        Util::Log::Info(kTag, L"InsertInteraction: the interaction threw");
    }
    EndCall(ui);
}

int CNetMonitor::RemoveInteraction(CInteractionControl* ui)
{
    Util::Log::Info(kTag, L"RemoveInteraction, ui: 0x%x", LogPtr(ui));
    std::unique_lock<std::mutex> lock(m_mutex);
    const int removed = static_cast<int>(m_interactions.erase(ui));
    WaitForOtherCallsLocked(lock, ui);
    return removed;
}

void CNetMonitor::GetNetStates(int* tim, int* ws, int* trtc)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (tim != nullptr)
        *tim = m_channels[CH_TIM].state;
    if (ws != nullptr)
        *ws = m_channels[CH_WS].state;
    if (trtc != nullptr)
        *trtc = m_channels[CH_TRTC].state;
}

void CNetMonitor::OnTimConnect() { Connect(CH_TIM, 3); }

void CNetMonitor::OnWsConnect() { Connect(CH_WS, 3); }

void CNetMonitor::OnTrtcConnect(const int& weak) { Connect(CH_TRTC, weak != 0 ? 3 : 4); }

void CNetMonitor::OnTimDisconnect(const int& inner_auto_reconnect) { Disconnect(CH_TIM, inner_auto_reconnect); }

void CNetMonitor::OnWsDisconnect(const int& inner_auto_reconnect) { Disconnect(CH_WS, inner_auto_reconnect); }

void CNetMonitor::OnTrtcDisconnect(const int& inner_auto_reconnect) { Disconnect(CH_TRTC, inner_auto_reconnect); }

void CNetMonitor::OnTrtcQuality(const int& weak)
{
    int before = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Channel& c = m_channels[CH_TRTC];
        before = c.state;
        if (c.state == 3 || c.state == 4)
            c.state = weak != 0 ? 3 : 4;
    }
    Util::Log::Info(kTag, L"OnTrtcQuality, _trtc_state: %d, weak: %d", before, weak);
    if (before == 3 || before == 4)
        DoSummaryAction();
}

void CNetMonitor::Connect(E_CHANNEL ch, int newState)
{
    int before = 0;
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Channel& c = m_channels[ch];
        before = c.state;
        const bool connected = c.state == 3 || (ch == CH_TRTC && c.state == 4);
        if (!connected) {
            Arm(c, false);
            c.state = newState;
            changed = true;
        }
    }
    switch (ch) {
    case CH_TIM:
        Util::Log::Info(kTag, L"OnTimConnect, _tim_state: %d", before);
        break;
    case CH_WS:
        Util::Log::Info(kTag, L"OnWsConnect, _ws_state: %d", before);
        break;
    default:
        Util::Log::Info(kTag, L"OnTrtcConnect, _trtc_state: %d, weak: %d", before, newState == 3 ? 1 : 0);
        break;
    }
    if (!changed)
        return;
    ApplyTimer(ch);
    DoSummaryAction();
}

void CNetMonitor::Disconnect(E_CHANNEL ch, int innerAutoReconnect)
{
    const int64_t now = m_clock();
    int before = 0;
    bool wasActive = false;
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Channel& c = m_channels[ch];
        before = c.state;
        wasActive = c.armed;
        if (innerAutoReconnect != 0) {
            if (c.state != 1) {
                c.state = 1;
                Arm(c, false);
                changed = true;
            }
        } else if (c.state != 2) {
            c.state = 2;
            if (!c.armed) {
                c.brokenTick = now;
                Arm(c, true);
            }
            changed = true;
        }
    }
    static const wchar_t* const kFormats[CH_COUNT] = {
        L"OnTimDisconnect, _tim_state: %d, now: %lld, _tim_timer.IsActive: %d, inner_auto_reconnect: %d",
        L"OnWsDisconnect, _ws_state: %d, now: %lld, _ws_timer.IsActive: %d, inner_auto_reconnect: %d",
        L"OnTrtcDisconnect, _trtc_state: %d, now: %lld, _trtc_timer.IsActive: %d, inner_auto_reconnect: %d",
    };
    Util::Log::Info(kTag, kFormats[ch], before, static_cast<long long>(now), wasActive ? 1 : 0, innerAutoReconnect);
    if (!changed)
        return;
    ApplyTimer(ch);
    DoSummaryAction();
}

void CNetMonitor::OnReConTimer(E_CHANNEL ch)
{
    const int64_t now = m_clock();
    bool fired = false;
    int before = 0;
    int64_t brokenTick = 0;
    const void* control = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Channel& c = m_channels[ch];
        if (c.armed) {
            // The session sets the clock to the server's time, which may lie
            // behind it (or be missing, 0): the wait starts again from the
            // new reading instead of lasting until the clock catches up.
            if (now < c.brokenTick)
                c.brokenTick = now;
            if (now < c.brokenTick + kReconnectDelayMs)
                return;
            Arm(c, false);
            fired = true;
            before = c.state;
            brokenTick = c.brokenTick;
            c.state = 1;
            control = c.control;
            if (control != nullptr && !BeginCallLocked(control))
                control = nullptr;
        }
    }
    // Stops this timer; a tick of a timer that a later decision stopped
    // (before the real timer followed) only brings the timer in line.
    ApplyTimer(ch);
    if (!fired)
        return;
    static const wchar_t* const kFormats[CH_COUNT] = {
        L"OnTimReConTimer, _tim_state: %d, now: %lld, _tim_broken_tick: %lld",
        L"OnWsReConTimer, _ws_state: %d, now: %lld, _ws_broken_tick: %lld",
        L"OnTrtcReConTimer, _trtc_state: %d, now: %lld, _trtc_broken_tick: %lld",
    };
    Util::Log::Info(kTag, kFormats[ch], before, static_cast<long long>(now), static_cast<long long>(brokenTick));
    if (control != nullptr) {
        CallReConn(ch, control);
        EndCall(control);
    }
    DoSummaryAction();
}

void CNetMonitor::CallReConn(E_CHANNEL ch, const void* control)
{
    // The client's control may throw; the tick's thread belongs to the pool.
    try {
        const Frame::CCallOut callOut;
        switch (ch) {
        case CH_TIM:
            static_cast<CTIMNetControl*>(const_cast<void*>(control))->ReConn();
            break;
        case CH_WS:
            static_cast<CWSNetControl*>(const_cast<void*>(control))->ReConn();
            break;
        default:
            static_cast<CTRTCNetControl*>(const_cast<void*>(control))->ReConn();
            break;
        }
    } catch (...) {
        Util::Log::Info(kTag, L"ReConn: the control threw");
    }
}

void CNetMonitor::DoSummaryAction()
{
    uint64_t limit = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        limit = m_insertions;
    }
    CInteractionControl* cursor = nullptr;
    for (;;) {
        States states;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_interactions.upper_bound(cursor);
            if (it == m_interactions.end())
                return;
            cursor = it->first;
            if (it->second > limit)
                continue;
            states = SnapshotLocked();
            if (!BeginCallLocked(cursor))
                return;
        }
        Util::Log::Info(kTag, L"DoSummaryAction, cursor: 0x%x, _tim_state: %d, _ws_state: %d, _trtc_state: %d",
                        LogPtr(cursor), states.tim, states.ws, states.trtc);
        try {
            const Frame::CCallOut callOut;
            cursor->OnNetSummary(&states.tim, &states.ws, &states.trtc);
        } catch (...) {
            Util::Log::Info(kTag, L"DoSummaryAction: an interaction threw");
        }
        EndCall(cursor);
    }
}

void CNetMonitor::Arm(Channel& c, bool armed)
{
    if (c.armed != armed) {
        c.armed = armed;
        ++c.decision;
    }
}

CNetMonitor::States CNetMonitor::SnapshotLocked() const
{
    States states;
    states.tim = m_channels[CH_TIM].state;
    states.ws = m_channels[CH_WS].state;
    states.trtc = m_channels[CH_TRTC].state;
    return states;
}

bool CNetMonitor::BeginCallLocked(const void* target)
{
    if (m_closing)
        return false;
    m_calls.emplace_back(target, std::this_thread::get_id());
    return true;
}

void CNetMonitor::EndCall(const void* target)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto call = std::make_pair(target, std::this_thread::get_id());
    const auto it = std::find(m_calls.begin(), m_calls.end(), call);
    if (it != m_calls.end())
        m_calls.erase(it);
    m_callEnded.notify_all();
}

void CNetMonitor::WaitForOtherCallsLocked(std::unique_lock<std::mutex>& lock, const void* target)
{
    const std::thread::id self = std::this_thread::get_id();
    Frame::CCallOut::Wait(lock, m_callEnded, [this, target, self] {
        return std::none_of(m_calls.begin(), m_calls.end(), [target, self](const auto& call) {
            return (target == nullptr || call.first == target) && call.second != self;
        });
    });
}

void CNetMonitor::ApplyTimer(E_CHANNEL ch)
{
    TimerSlot& slot = m_timers[ch];
    std::unique_lock<std::mutex> apply(slot.applyLock, std::try_to_lock);
    if (!apply.owns_lock())
        return;
    for (;;) {
        bool armed = false;
        uint64_t decision = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const Channel& c = m_channels[ch];
            if (m_closing || c.decision == slot.applied) {
                // Released under the monitor's lock: a decision made after
                // this check finds the apply lock free and applies itself.
                apply.unlock();
                return;
            }
            armed = c.armed;
            decision = c.decision;
        }
        if (armed)
            slot.timer->Start(kReconnectPeriodMs, 0);
        else
            slot.timer->Stop();
        slot.applied = decision;
    }
}

INetMon* Aux::AuxNetMon::GetNetMon()
{
    return Frame::GuardExport(L"Aux::AuxNetMon::GetNetMon", static_cast<INetMon*>(nullptr),
                              [] { return static_cast<INetMon*>(Holder().Get()); });
}

void Aux::AuxNetMon::Exit()
{
    Frame::GuardExport(L"Aux::AuxNetMon::Exit", [] { Holder().Exit(); });
}

INetMon* Aux::AuxNetMon::PeekNetMon() { return Holder().Peek(); }

CInteractionControl::~CInteractionControl()
{
    if (INetMon* monitor = Aux::AuxNetMon::PeekNetMon())
        monitor->RemoveInteraction(this);
}
