#pragma once
// CNetMonitor: the network monitor behind Aux::AuxNetMon (see AuxNetMon.h).
//
// Serialisation: one mutex guards the states, broken ticks, controls, the
// interaction registry and the bookkeeping of calls in progress. Nothing
// outside the monitor is called while it is held: the clock is read before
// taking it, the log written, controls and interactions called after
// releasing it. A call out is registered under the mutex before it starts,
// so RemoveInteraction and the control setters can wait for it.
//
// Reconnect timers: whether a channel's timer should run is decided under the
// mutex (the "armed" flag, with a generation number that counts decisions).
// Bringing the real timer in line happens afterwards, by whichever thread
// holds the channel's apply lock: it applies the latest decision and repeats
// until no newer one was made. A thread that finds the apply lock taken
// leaves its decision to the holder, so no thread ever waits for that lock,
// and a timer tick never waits for a thread that is stopping its timer.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "pelbo/session/AuxNetMon.h"

class CNetMonitor : public INetMon, public CTIMNetEvent, public CWSNetEvent, public CTRTCNetEvent,
                    public CInteractionEvent {
public:
    // The periodic timer a channel reconnects with; the production one is the
    // thread pool's CTaskTimerHelper.
    class ITimer {
    public:
        virtual ~ITimer() = default;
        virtual void SetCallBack(std::function<void()> callback) = 0;
        virtual int Start(unsigned periodMs, int immediate) = 0;
        virtual void Stop() = 0;
    };
    using TimerFactory = std::function<std::unique_ptr<ITimer>()>;
    // Milliseconds.
    using Clock = std::function<int64_t()>;

    static constexpr unsigned kReconnectPeriodMs = 1000;
    static constexpr int64_t kReconnectDelayMs = 3000;

    // The render engine's clock and thread-pool timers.
    CNetMonitor();
    CNetMonitor(Clock clock, const TimerFactory& timers);
    // Closes the monitor; calls no control and no interaction.
    ~CNetMonitor() override;
    CNetMonitor(const CNetMonitor&) = delete;
    CNetMonitor& operator=(const CNetMonitor&) = delete;

    void SetTimCtrl(CTIMNetControl* tim) override;
    void SetWsCtrl(CWSNetControl* ws) override;
    void SetTrtcCtrl(CTRTCNetControl* trtc) override;
    CTIMNetEvent* GetTimEvent() override { return this; }
    CWSNetEvent* GetWsEvent() override { return this; }
    CTRTCNetEvent* GetTrtcEvent() override { return this; }
    void InsertInteraction(CInteractionControl* ui, const int& triggle) override;
    int RemoveInteraction(CInteractionControl* ui) override;
    void GetNetStates(int* tim, int* ws, int* trtc) override;

    // For good: no control or interaction is called after it returns (a call
    // running on another thread is waited for), no timer runs; the other
    // functions keep working on the states.
    void Close();

    void OnTimConnect() override;
    void OnTimDisconnect(const int& inner_auto_reconnect) override;
    void OnWsConnect() override;
    void OnWsDisconnect(const int& inner_auto_reconnect) override;
    void OnTrtcConnect(const int& weak) override;
    void OnTrtcDisconnect(const int& inner_auto_reconnect) override;
    void OnTrtcQuality(const int& weak) override;

private:
    enum E_CHANNEL { CH_TIM, CH_WS, CH_TRTC, CH_COUNT };

    struct Channel {
        int state = 0;
        int64_t brokenTick = 0;
        bool armed = false;
        uint64_t decision = 0;
        const void* control = nullptr;
    };
    struct TimerSlot {
        std::unique_ptr<ITimer> timer;
        std::mutex applyLock;
        uint64_t applied = 0;  // guarded by applyLock
    };
    struct States {
        int tim = 0;
        int ws = 0;
        int trtc = 0;
    };

    void Connect(E_CHANNEL ch, int newState);
    void Disconnect(E_CHANNEL ch, int innerAutoReconnect);
    void OnReConTimer(E_CHANNEL ch);
    void SetControl(E_CHANNEL ch, const void* control);
    void CallReConn(E_CHANNEL ch, const void* control);
    void DoSummaryAction();

    // Under m_mutex.
    void Arm(Channel& c, bool armed);
    States SnapshotLocked() const;
    // False, and nothing registered, once the monitor is closed.
    bool BeginCallLocked(const void* target);
    // Calls of target (of anything when null) on other threads.
    void WaitForOtherCallsLocked(std::unique_lock<std::mutex>& lock, const void* target);
    void EndCall(const void* target);

    void ApplyTimer(E_CHANNEL ch);

    const Clock m_clock;
    std::mutex m_mutex;
    std::condition_variable m_callEnded;
    Channel m_channels[CH_COUNT];
    uint64_t m_insertions = 0;
    std::map<CInteractionControl*, uint64_t> m_interactions;
    std::vector<std::pair<const void*, std::thread::id>> m_calls;
    bool m_closing = false;
    TimerSlot m_timers[CH_COUNT];
};

namespace Aux {
namespace AuxNetMon {
// The monitor when it exists, without creating one; null after Exit.
INetMon* PeekNetMon();
}  // namespace AuxNetMon
}  // namespace Aux
