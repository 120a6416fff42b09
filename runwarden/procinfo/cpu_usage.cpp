#include "cpu_usage.h"

namespace rw {

namespace {

// The signed 64-bit count as a double, from its two halves.
double toDouble(LONGLONG v) {
    const ULONGLONG u = static_cast<ULONGLONG>(v);
    const LONG high = static_cast<LONG>(u >> 32);
    const ULONG low = static_cast<ULONG>(u & 0xFFFFFFFFu);
    return static_cast<double>(high) * 4294967296.0 + static_cast<double>(low);
}

}  // namespace

CpuVerdict computeCpuUsage(const CpuSample& previous, const CpuSample& now, unsigned processors, LONG* usage) {
    if (processors == 0) return CpuVerdict::Invalid;
    const double idleDelta = toDouble(now.idle) - toDouble(previous.idle);
    const double timeDelta = toDouble(now.time) - toDouble(previous.time);
    if (!(timeDelta > 0.0) || timeDelta > static_cast<double>(kMaxInterval) || idleDelta < 0.0) {
        return CpuVerdict::Resample;
    }
    double x = 100.0 - ((idleDelta / timeDelta) * 100.0 / static_cast<double>(processors)) + 0.5;
    if (x < 0.0) x = 0.0;
    if (x > 100.5) x = 100.5;
    *usage = static_cast<LONG>(static_cast<LONGLONG>(x));
    return CpuVerdict::Value;
}

}  // namespace rw
