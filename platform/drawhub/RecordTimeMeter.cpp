#include "pelbo/drawhub/RecordTimeMeter.h"

#include <chrono>
#include <mutex>

namespace AuxRenderOverall {
namespace {

int64_t SteadyNowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The meter's value is base while stopped and base + (now - startedAt) while
// running.
struct Meter {
    std::mutex mutex;
    RecordTimeMeter::ClockSource source = nullptr;
    int64_t base = 0;
    int64_t startedAt = 0;
    bool running = false;

    int64_t NowLocked() const { return source != nullptr ? source() : SteadyNowMs(); }
    int64_t ValueLocked() const { return running ? base + (NowLocked() - startedAt) : base; }
};

Meter& TheMeter()
{
    static Meter meter;
    return meter;
}

}  // namespace

void RecordTimeMeter::Reset(int64_t time)
{
    Meter& m = TheMeter();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.base = time;
    m.running = false;
}

void RecordTimeMeter::Start()
{
    Meter& m = TheMeter();
    std::lock_guard<std::mutex> lock(m.mutex);
    if (m.running)
        return;
    m.startedAt = m.NowLocked();
    m.running = true;
}

void RecordTimeMeter::Stop()
{
    Meter& m = TheMeter();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.base = m.ValueLocked();
    m.running = false;
}

bool RecordTimeMeter::IsRunning()
{
    Meter& m = TheMeter();
    std::lock_guard<std::mutex> lock(m.mutex);
    return m.running;
}

int64_t RecordTimeMeter::GetCurrentClock()
{
    Meter& m = TheMeter();
    std::lock_guard<std::mutex> lock(m.mutex);
    return m.ValueLocked();
}

void RecordTimeMeter::SetClockSource(ClockSource source)
{
    Meter& m = TheMeter();
    std::lock_guard<std::mutex> lock(m.mutex);
    // A running meter keeps its value across the switch.
    const int64_t value = m.ValueLocked();
    m.source = source;
    if (m.running) {
        m.base = value;
        m.startedAt = m.NowLocked();
    }
}

}  // namespace AuxRenderOverall
