// The shutdown matrix of the network monitor. Each round the three channels
// connect, get a control of their own and break, and windows come in (some
// asking for the states at once); the monitor's timer then asks each
// broken channel's control to reconnect, once. Meanwhile a second thread,
// the windows (from their summaries) and the controls (from their
// reconnects) remove windows and replace or drop controls at random points.
// Aux::AuxNetMon::Exit closes the family for good: it may come in the
// middle rounds and always has in the last, after which nothing of the
// family is called. A window or control let go outside any callback is not
// called after the function returned. Controls and windows live until the
// end of the test.

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ShutdownMatrix.h"
#include "pelbo/core/CallOut.h"
#include "pelbo/core/CoreApi.h"
#include "pelbo/drawhub/RecordTimeMeter.h"
#include "pelbo/session/AuxNetMon.h"
#include "support/HangWatchdog.h"

namespace {

const char kMonitor[] = "monitor";
const char kReconnect[] = "reconnect";
const char kWindow[] = "window";
const char* const kChannels[] = {"TIM", "WS", "TRTC"};

constexpr int kRounds = 5;
constexpr int kFirstClosingRound = 2;
constexpr int kClosedRound = kRounds - 1;
constexpr unsigned kCallbackStops = 15;

// The render clock the monitor times breaks on, moved by hand.
std::atomic<int64_t> g_clock{0};
int64_t HandClock() { return g_clock.load(); }

// The window being inserted on this thread: its summary then is the answer
// to the insertion, any other one the report of a change.
thread_local const void* t_inserting = nullptr;

class NetMonMatrix;

// A control of the TIM or TRTC channel; each answers to one break (or
// stands in after a replacement and may or may not be asked).
class Control : public CTIMNetControl, public CTRTCNetControl {
public:
    Control(NetMonMatrix& owner, std::string tag) : m_owner(owner), m_tag(std::move(tag)) {}
    void ReConn() override;
    void Logout() override {}
    void ExitRoom() override {}
    void SwitchRole(const int&) override {}

private:
    NetMonMatrix& m_owner;
    const std::string m_tag;
};

// CWSNetControl's ReConn returns a value: a control of its own.
class WsControl : public CWSNetControl {
public:
    WsControl(NetMonMatrix& owner, std::string tag) : m_owner(owner), m_tag(std::move(tag)) {}
    int ReConn() override;
    void StopConn() override {}

private:
    NetMonMatrix& m_owner;
    const std::string m_tag;
};

class Window : public CInteractionControl {
public:
    Window(NetMonMatrix& owner, std::string tag) : m_owner(owner), m_tag(std::move(tag)) {}
    void OnNetSummary(int*, int*, int*) override;
    const std::string& Tag() const { return m_tag; }

private:
    NetMonMatrix& m_owner;
    const std::string m_tag;
};

class NetMonMatrix : public ::testing::TestWithParam<uint32_t> {
public:
    void OnReConn(const std::string& tag)
    {
        matrix->Report(kMonitor, kReconnect, tag);
        MaybeStop();
    }

    void OnSummary(const Window* window)
    {
        if (t_inserting == window)
            matrix->Report(kMonitor, kWindow, window->Tag());
        else
            matrix->Heard(kMonitor, kWindow, window->Tag());
        MaybeStop();
    }

protected:
    void SetUp() override
    {
        AuxRenderOverall::RecordTimeMeter::SetClockSource(&HandClock);
        AuxRenderOverall::RecordTimeMeter::Reset(0);
        AuxRenderOverall::RecordTimeMeter::Start();
        matrix = std::make_unique<ShutdownMatrix>(kMonitor, GetParam());
        monitor = Aux::AuxNetMon::GetNetMon();
        // Another seed's run in this process may have closed the family.
        if (monitor == nullptr) {
            matrix->CloseForGood(kMonitor);
            monitor = kept;
        } else {
            kept = monitor;
        }
    }

    void TearDown() override { AuxRenderOverall::RecordTimeMeter::SetClockSource(nullptr); }

    void MaybeStop()
    {
        if (matrix->Chance(kCallbackStops))
            StopAtRandom(matrix->Draw(1u << 20));
    }

    std::string Fresh(const char* prefix)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return prefix + std::to_string(++m_serial);
    }

    // Registers a new control with this tag for channel ch (none when the
    // tag is empty). The object is made under the test's lock and handed
    // over outside it: the setter waits for a call of the old control,
    // which may itself be making a control.
    void SetControl(int ch, const std::string& tag)
    {
        CTIMNetControl* tim = nullptr;
        CWSNetControl* ws = nullptr;
        CTRTCNetControl* trtc = nullptr;
        if (!tag.empty()) {
            std::lock_guard<std::mutex> lock(m_lock);
            if (ch == 1) {
                m_wsControls.push_back(std::make_unique<WsControl>(*this, tag));
                ws = m_wsControls.back().get();
            } else {
                m_controls.push_back(std::make_unique<Control>(*this, tag));
                tim = m_controls.back().get();
                trtc = m_controls.back().get();
            }
        }
        if (ch == 0)
            monitor->SetTimCtrl(tim);
        else if (ch == 1)
            monitor->SetWsCtrl(ws);
        else
            monitor->SetTrtcCtrl(trtc);
    }

    Window* NewWindow(const std::string& tag)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_windows.push_back(std::make_unique<Window>(*this, tag));
        return m_windows.back().get();
    }

    Window* AnyWindow(uint32_t choice)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_windows.empty() ? nullptr : m_windows[choice % m_windows.size()].get();
    }

    void StopAtRandom(uint32_t choice)
    {
        const bool waits = !Frame::CCallOut::Inside();
        const uint32_t what = choice % 16;
        if (what == 0) {
            // Not one of its families: the monitor goes on.
            Aux::Core::DoExit();
            return;
        }
        if (what == 1 && matrix->Round() >= kFirstClosingRound) {
            Close(waits);
            return;
        }
        if (what <= 8) {
            Window* window = AnyWindow(choice / 16);
            if (window == nullptr)
                return;
            const ShutdownMatrix::Stop stop(*matrix, "RemoveInteraction",
                                            ShutdownMatrix::Scope::Group(kMonitor, window->Tag()), waits);
            monitor->RemoveInteraction(window);
            return;
        }
        // Replaces the channel's control with a stand-in, or with none.
        const int ch = static_cast<int>((choice / 16) % 3);
        const ShutdownMatrix::Stop stop(*matrix, std::string("Set") + kChannels[ch] + "Ctrl",
                                        ShutdownMatrix::Scope::Group(kMonitor, kChannels[ch]), waits);
        std::string tag;
        if ((choice / 64) % 2 == 0) {
            tag = Fresh("stand-in-");
            matrix->Issue(kMonitor, kReconnect, tag, kChannels[ch], false);
        }
        SetControl(ch, tag);
    }

    void Close(bool waits)
    {
        const ShutdownMatrix::Stop stop(*matrix, "Aux::AuxNetMon::Exit", ShutdownMatrix::Scope::Family(kMonitor),
                                        waits);
        Aux::AuxNetMon::Exit();
        matrix->CloseForGood(kMonitor);
    }

    void Connect(int ch)
    {
        if (ch == 0)
            monitor->GetTimEvent()->OnTimConnect();
        else if (ch == 1)
            monitor->GetWsEvent()->OnWsConnect();
        else
            monitor->GetTrtcEvent()->OnTrtcConnect(0);
    }

    void Break(int ch)
    {
        if (ch == 0)
            monitor->GetTimEvent()->OnTimDisconnect(0);
        else if (ch == 1)
            monitor->GetWsEvent()->OnWsDisconnect(0);
        else
            monitor->GetTrtcEvent()->OnTrtcDisconnect(0);
    }

    void InsertWindow(bool triggle)
    {
        const std::string tag = Fresh("window-");
        Window* window = NewWindow(tag);
        // Each window is a group of its own, so that removing it ends it.
        matrix->Issue(kMonitor, kWindow, tag, tag, triggle);
        t_inserting = window;
        monitor->InsertInteraction(window, triggle ? 1 : 0);
        t_inserting = nullptr;
    }

    void PlayRound(int round, std::mt19937& random)
    {
        if (round == kClosedRound && !matrix->IsClosedForGood(kMonitor))
            Close(true);
        for (int ch = 0; ch < 3; ++ch)
            Connect(ch);
        for (uint32_t i = random() % 3; i > 0; --i)
            InsertWindow(random() % 2 == 0);
        for (int ch = 0; ch < 3; ++ch) {
            if (random() % 4 == 0)
                continue;
            // Entered first: a replacement from now on ends this break's
            // request.
            const std::string tag = Fresh("control-");
            matrix->Issue(kMonitor, kReconnect, tag, kChannels[ch]);
            SetControl(ch, tag);
            Break(ch);
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 5));
        }
        for (uint32_t i = random() % 3; i > 0; --i)
            InsertWindow(random() % 2 == 0);
        // Past the reconnect delay: the next tick of each broken channel's
        // timer asks its control.
        g_clock += 10000;
        monitor->GetTrtcEvent()->OnTrtcQuality(static_cast<int>(random() % 2));
    }

    std::unique_ptr<ShutdownMatrix> matrix;
    INetMon* monitor = nullptr;
    // The monitor's pointer outlives its family, for the process.
    static inline INetMon* kept = nullptr;

private:
    std::mutex m_lock;
    unsigned m_serial = 0;
    std::deque<std::unique_ptr<Control>> m_controls;
    std::deque<std::unique_ptr<WsControl>> m_wsControls;
    std::deque<std::unique_ptr<Window>> m_windows;
};

void Control::ReConn() { m_owner.OnReConn(m_tag); }

int WsControl::ReConn()
{
    m_owner.OnReConn(m_tag);
    return 1;
}

void Window::OnNetSummary(int*, int*, int*) { m_owner.OnSummary(this); }

TEST_P(NetMonMatrix, Channels)
{
    std::mt19937 random = matrix->Stream(1u << 21);
    matrix->RunRounds(
        kRounds, [&](int round) { PlayRound(round, random); },
        [this](std::mt19937& stopper) { StopAtRandom(stopper()); });
    EXPECT_TRUE(matrix->IsClosedForGood(kMonitor));
    EXPECT_EQ(Aux::AuxNetMon::GetNetMon(), nullptr);
    {
        const TestSupport::HangWatchdog watchdog(matrix->Where() + " final exit");
        Close(true);
    }
    matrix->Check();
}

INSTANTIATE_TEST_SUITE_P(Shutdown, NetMonMatrix, ::testing::Values(101u, 202u, 303u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             return "seed_" + std::to_string(info.param);
                         });

}  // namespace
