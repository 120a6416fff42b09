// CPU usage arithmetic, apart from the platform so that it can be tested with
// tables of samples.
#pragma once

#include <windows.h>

namespace rw {

struct CpuSample {
    LONGLONG idle;  // idle time of all processors together, 100 ns units
    LONGLONG time;  // system time of day, same units
};

enum class CpuVerdict {
    Value,     // *usage holds the percentage
    Resample,  // the interval cannot be measured: take a new pair of samples
    Invalid,   // the answers cannot give a value (no processors)
};

// Usage in percent over the interval between two samples: 100 minus the idle
// share of all processors, rounded half up (x + 0.5, truncated).
//
// Sound limits around that formula:
// - no processors: Invalid;
// - a time delta that is not positive (the clock was set back or did not move),
//   longer than kMaxInterval (the clock was set forward), or an idle counter that
//   went backwards: Resample, since no share can be taken from such an interval;
// - an idle delta a little above time delta x processors, which coarse idle
//   counters produce on an idle machine: the value is clamped to 0, so that it
//   never collides with the -1 that reports a failure; likewise nothing above 100.
CpuVerdict computeCpuUsage(const CpuSample& previous, const CpuSample& now, unsigned processors, LONG* usage);

// Longest interval believed to be the sampler's half second: a loaded machine may
// oversleep, but not by a minute.
constexpr LONGLONG kMaxInterval = 60LL * 10000000LL;

}  // namespace rw
