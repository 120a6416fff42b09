#include "snapshot.h"

#include <string.h>

namespace rw {

volatile ULONG snapshotSizeHint = 0x10000;

namespace {

constexpr ULONG kSystemProcessInformation = 5;
constexpr ULONG kGrowth = 0x10000;

BYTE* allocate(ULONG bytes) { return static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, bytes)); }

bool fits(ULONGLONG offset, ULONGLONG length, ULONGLONG size) { return offset + length <= size; }

}  // namespace

ULONG readU32(const BYTE* p) {
    ULONG v;
    memcpy(&v, p, sizeof v);
    return v;
}

ULONGLONG readU64(const BYTE* p) {
    ULONGLONG v;
    memcpy(&v, p, sizeof v);
    return v;
}

void releaseProcessSnapshot(BYTE* buffer) {
    if (buffer) HeapFree(GetProcessHeap(), 0, buffer);
}

// The buffer is one byte longer than the hint, as the service's callers have
// always offered it; the hint is shared and grows for every later snapshot.
ULONG takeProcessSnapshot(BYTE** buffer, ULONG* length) {
    *buffer = nullptr;
    ULONG size = snapshotSizeHint + 1;
    BYTE* data = allocate(size);
    if (!data) return kStatusNoMemory;
    ULONG returned = 0;
    LONG status = nativeServices.querySystemInformation(kSystemProcessInformation, data, size, &returned);
    while (static_cast<ULONG>(status) == kStatusInfoLengthMismatch) {
        const ULONG hint = snapshotSizeHint;
        const ULONG grown = hint + kGrowth;
        snapshotSizeHint = grown;
        releaseProcessSnapshot(data);
        if (grown < hint) return kStatusInfoLengthMismatch;
        size = grown + 1;
        data = allocate(size);
        if (!data) return kStatusNoMemory;
        status = nativeServices.querySystemInformation(kSystemProcessInformation, data, size, &returned);
    }
    if (status != 0) {
        releaseProcessSnapshot(data);
        return static_cast<ULONG>(status);
    }
    if (returned == 0) {
        releaseProcessSnapshot(data);
        *length = 0;
        return kStatusSuccess;
    }
    // A service that claims more than the buffer holds is not believed past the buffer.
    *length = returned < size ? returned : size;
    *buffer = data;
    return kStatusSuccess;
}

RecordWalker ProcessSnapshot::walker() const {
    RecordWalker w = {data_, data_ ? length_ : 0, 0, kFixedPartSize, kLinkedRelative, 0, 0};
    countRecords(&w);
    return w;
}

ULONG ProcessSnapshot::threadsOffset() {
    if (threadsOffset_ == 0) threadsOffset_ = threadLayoutOf(data_, data_ ? length_ : 0);
    return threadsOffset_;
}

const BYTE* ProcessSnapshot::threadRecord(const BYTE* rec, ULONG j) {
    const ULONGLONG at = static_cast<ULONGLONG>(rec - data_) + threadsOffset() + ULONGLONG{j} * kThreadRecordSize;
    return fits(at, kThreadRecordSize, length_) ? data_ + at : nullptr;
}

bool ProcessSnapshot::threadsInside(const BYTE* rec) {
    const ULONGLONG threads = readU32(rec + kThreadCount);
    return fits(static_cast<ULONGLONG>(rec - data_) + threadsOffset(), threads * kThreadRecordSize, length_);
}

const BYTE* ProcessSnapshot::imageName(const BYTE* rec, ULONG nameBytes) const {
    const ULONG address = readU32(rec + kNameBuffer);
    const ULONG base = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(data_));
    if (address < base) return nullptr;
    const ULONG offset = address - base;
    return fits(offset, nameBytes, length_) ? data_ + offset : nullptr;
}

ULONG threadLayoutOf(const BYTE* snapshot, ULONG length) {
    RecordWalker w = {snapshot, snapshot ? length : 0, 0, kFixedPartSize, kLinkedRelative, 0, 0};
    countRecords(&w);
    const ULONG base = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(snapshot));
    const ULONG candidates[2] = {kThreadsAfterFixedPart, kThreadsAfterIoCounters};
    for (const BYTE* rec = firstRecord(&w); rec; rec = nextRecord(&w, rec)) {
        const ULONG pid = readU32(rec + kProcessId);
        const ULONGLONG threads = readU32(rec + kThreadCount);
        if (pid == 0 || threads == 0) continue;
        const ULONGLONG at = static_cast<ULONGLONG>(rec - snapshot);
        bool ownerMatches[2];
        bool nameMatches[2];
        const ULONG nameAddress = readU32(rec + kNameBuffer);
        for (int k = 0; k < 2; ++k) {
            const ULONGLONG threadsAt = at + candidates[k];
            ownerMatches[k] = fits(threadsAt, threads * kThreadRecordSize, length) &&
                              readU32(snapshot + threadsAt + kThreadOwner) == pid;
            nameMatches[k] = nameAddress != 0 &&
                             ULONGLONG{nameAddress} == base + threadsAt + threads * kThreadRecordSize;
        }
        if (ownerMatches[0] != ownerMatches[1]) return ownerMatches[0] ? candidates[0] : candidates[1];
        if (nameMatches[0] != nameMatches[1]) return nameMatches[0] ? candidates[0] : candidates[1];
    }
    return kThreadsAfterFixedPart;
}

}  // namespace rw
