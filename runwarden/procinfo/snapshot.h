// The system process snapshot (NT class 5) and checked reads of its records.
#pragma once

#include "backend.h"
#include "walker.h"

namespace rw {

// Buffer size the next snapshot starts with; grows by 64 KiB per too-small
// answer and never shrinks. Unlocked: a lost update costs one more growth step.
extern volatile ULONG snapshotSizeHint;

// Takes a snapshot into a new heap buffer. On 0 the caller owns *buffer (null
// after a zero-length answer) and *length holds the valid bytes; on any other
// status there is nothing to release.
ULONG takeProcessSnapshot(BYTE** buffer, ULONG* length);
void releaseProcessSnapshot(BYTE* buffer);

// Offsets in a process record (the 136-byte fixed part).
enum RecordField : ULONG {
    kNextOffset = 0x00,
    kThreadCount = 0x04,
    kCreateTime = 0x20,
    kUserTime = 0x28,
    kKernelTime = 0x30,
    kNameLength = 0x38,
    kNameBuffer = 0x3C,
    kBasePriority = 0x40,
    kProcessId = 0x44,
    kParentId = 0x48,
    kCommitCharge = 0x84,
};
constexpr ULONG kFixedPartSize = 0x88;
constexpr ULONG kThreadRecordSize = 0x40;
constexpr ULONG kThreadOwner = 0x20;
constexpr ULONG kThreadId = 0x24;
// Where thread records begin: right behind the fixed part (the original
// layout) or behind 48 bytes of I/O counters (Windows 2000 and later, Wine).
constexpr ULONG kThreadsAfterFixedPart = 0x88;
constexpr ULONG kThreadsAfterIoCounters = 0xB8;

ULONG readU32(const BYTE* p);
ULONGLONG readU64(const BYTE* p);

// One snapshot, owned for the length of a query.
class ProcessSnapshot {
public:
    ProcessSnapshot() = default;
    ~ProcessSnapshot() { releaseProcessSnapshot(data_); }
    ProcessSnapshot(const ProcessSnapshot&) = delete;
    ProcessSnapshot& operator=(const ProcessSnapshot&) = delete;

    ULONG take() { return takeProcessSnapshot(&data_, &length_); }
    const BYTE* data() const { return data_; }
    ULONG length() const { return length_; }

    // A walker over the records, counted: only records whose fixed part lies
    // wholly inside the snapshot are handed out.
    RecordWalker walker() const;

    // Offset of the thread records in this snapshot's process records, decided
    // once per snapshot (see threadLayoutOf).
    ULONG threadsOffset();

    // Thread record j of the record at rec, or null when it does not lie wholly
    // inside the snapshot.
    const BYTE* threadRecord(const BYTE* rec, ULONG j);
    // True when all T thread records of rec lie inside the snapshot.
    bool threadsInside(const BYTE* rec);

    // The image name's characters, or null when they do not lie inside the snapshot.
    const BYTE* imageName(const BYTE* rec, ULONG nameBytes) const;

private:
    BYTE* data_ = nullptr;
    ULONG length_ = 0;
    ULONG threadsOffset_ = 0;  // 0: not yet decided
};

// Decides where the thread records of a snapshot begin. The first record that
// can tell decides for the whole snapshot: one with a non-zero id and at least
// one thread whose first thread record names the process as its owner at
// exactly one of the two candidate offsets, or, failing that, whose image name
// begins right behind the thread records of exactly one candidate. Records of
// the idle process (id 0) and records without threads cannot tell. When no
// record can tell, the original layout (behind the fixed part) is assumed.
ULONG threadLayoutOf(const BYTE* snapshot, ULONG length);

}  // namespace rw
