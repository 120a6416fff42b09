// GetCPUUsage: two samples of the system's idle time and time of day, half a
// second apart, from the NT native service.
#include <string.h>

#include "backend.h"
#include "cpu_usage.h"

namespace rw {

namespace {

constexpr ULONG kBasicInformation = 0;
constexpr ULONG kPerformanceInformation = 2;
constexpr ULONG kTimeOfDayInformation = 3;
constexpr DWORD kIntervalMs = 500;
// Passes after the first, for samples that must be taken again (an idle time of 0
// in the first sample, or an interval that cannot be measured). Bounded, so that
// a service that always answers so cannot hold the caller forever.
constexpr int kMaxExtraPasses = 4;

enum class Query { Answered, Empty, Failed };

// One query into a fixed buffer; Empty when the service wrote nothing.
Query query(ULONG infoClass, void* buffer, ULONG size, ULONG* status) {
    ULONG returned = 0;
    *status = static_cast<ULONG>(nativeServices.querySystemInformation(infoClass, buffer, size, &returned));
    if (*status != 0) return Query::Failed;
    return returned == 0 ? Query::Empty : Query::Answered;
}

LONGLONG read64(const BYTE* p) {
    LONGLONG v;
    memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

}  // namespace rw

using namespace rw;

extern "C" ULONG WINAPI GetCPUUsage(LONG* usage) {
    if (backendMode != kBackendNative) {
        if (usage) *usage = 0;
        return kNoBackend;
    }
    if (!usage) return kStatusInvalidParameter;

    BYTE basic[44] = {};
    BYTE timeOfDay[32] = {};
    BYTE performance[312] = {};
    ULONG status = 0;
    Query q = query(kBasicInformation, basic, sizeof basic, &status);
    if (q != Query::Answered) return status;  // a failure, or 0 with nothing written
    const unsigned processors = basic[40];

    CpuSample previous = {0, 0};
    for (int pass = 0; pass <= kMaxExtraPasses + 1; ++pass) {
        q = query(kTimeOfDayInformation, timeOfDay, sizeof timeOfDay, &status);
        if (q != Query::Answered) return status;
        q = query(kPerformanceInformation, performance, sizeof performance, &status);
        if (q != Query::Answered) return status;
        const CpuSample now = {read64(performance), read64(timeOfDay + 8)};
        if (previous.idle != 0) {
            switch (computeCpuUsage(previous, now, processors, usage)) {
                case CpuVerdict::Value: return kStatusSuccess;
                case CpuVerdict::Invalid: return kStatusUnsuccessful;
                case CpuVerdict::Resample: break;
            }
        }
        previous = now;
        if (pass <= kMaxExtraPasses) Sleep(kIntervalMs);
    }
    return kStatusUnsuccessful;
}
