#pragma once
// The render engine's time meter: a millisecond clock that the session sets
// from the server's time stamp, so that drawings of all participants share
// one time line. It counts on the monotonic clock, never on wall time, so a
// changed system clock does not make it jump. Safe from any thread.

#include <cstdint>

#include "pelbo/drawhub/DrawhubExport.h"

namespace AuxRenderOverall {

class DRAWHUB_API RecordTimeMeter {
public:
    // Sets the meter to time (milliseconds) and holds it there until Start.
    static void Reset(int64_t time);
    // Lets the meter run on from its current value; a running meter keeps
    // running undisturbed.
    static void Start();
    // Holds the meter at its current value.
    static void Stop();
    static bool IsRunning();
    // The meter's value in milliseconds.
    static int64_t GetCurrentClock();

    // The monotonic source the meter counts on, in milliseconds; null goes
    // back to std::chrono::steady_clock. Lets tests move time by hand.
    using ClockSource = int64_t (*)();
    static void SetClockSource(ClockSource source);

    RecordTimeMeter() = delete;
};

}  // namespace AuxRenderOverall
