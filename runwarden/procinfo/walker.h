// Stepping through a buffer of variable-length elements, as the NT service
// returns them. Pure logic: no platform calls.
#pragma once

#include <windows.h>

namespace rw {

enum WalkerFlags : ULONG {
    kLinkedRelative = 0,  // first word: offset of the next element from this one; 0 ends
    kCountHeader = 1,     // the buffer starts with a 32-bit element count (caps the count)
    kFixedSize = 2,       // elements back to back, elementSize bytes each
    kLinkedAbsolute = 4,  // first word: offset of the next element from the buffer start; 0 ends
};

// Seven 32-bit fields; the walker does not own the buffer. Fill the first five,
// then countRecords, firstRecord, and nextRecord with the element last returned.
struct RecordWalker {
    const BYTE* buffer;  // null: an empty walk
    ULONG size;          // valid bytes in buffer
    ULONG start;         // offset of the first element
    ULONG elementSize;   // for linked elements: the part that must lie inside the buffer
    ULONG flags;
    ULONG index;         // position of the element handed out last
    ULONG count;         // set by countRecords
};

// Counts the elements that lie wholly inside the buffer. A linked walk also ends
// at a link that does not lead forward, so a malformed chain cannot loop.
ULONG countRecords(RecordWalker* w);
const BYTE* firstRecord(RecordWalker* w);
const BYTE* nextRecord(RecordWalker* w, const BYTE* current);

}  // namespace rw
