#include "walker.h"

#include <string.h>

namespace rw {

namespace {

ULONG readWord(const BYTE* p) {
    ULONG v;
    memcpy(&v, p, sizeof v);
    return v;
}

// True when [offset, offset + length) lies inside size, without wrapping.
bool fits(ULONG offset, ULONG length, ULONG size) { return offset <= size && size - offset >= length; }

}  // namespace

ULONG countRecords(RecordWalker* w) {
    if (!w) return 0;
    ULONG count = 0;
    if (w->buffer && fits(w->start, w->elementSize, w->size)) {
        if (w->flags & kCountHeader) {
            if (w->flags & kFixedSize) count = w->elementSize ? (w->size - w->start) / w->elementSize : 1;
            if (w->start >= 4) {
                ULONG header = readWord(w->buffer);
                if (header < count) count = header;
            }
        } else if (w->flags & kFixedSize) {
            count = w->elementSize ? (w->size - w->start) / w->elementSize : 1;
        } else {
            const ULONG need = w->elementSize > 4 ? w->elementSize : 4;
            ULONG offset = w->start;
            while (fits(offset, need, w->size)) {
                ++count;
                ULONG link = readWord(w->buffer + offset);
                if (link == 0) break;
                ULONG next = (w->flags & kLinkedAbsolute) ? link : offset + link;
                if (next <= offset) break;  // wrapped or backwards: the chain lies
                offset = next;
            }
        }
    }
    w->count = count;
    return count;
}

const BYTE* firstRecord(RecordWalker* w) {
    if (!w) return nullptr;
    w->index = 0;
    return w->count > 0 ? w->buffer + w->start : nullptr;
}

const BYTE* nextRecord(RecordWalker* w, const BYTE* current) {
    if (!w) return nullptr;
    if (!current) return firstRecord(w);
    if (w->index + 1 >= w->count) return nullptr;
    const BYTE* next;
    if (w->flags & kFixedSize) {
        next = current + w->elementSize;
    } else if (w->flags & kLinkedAbsolute) {
        next = w->buffer + readWord(current);
    } else {
        next = current + readWord(current);
    }
    w->index++;
    return next;
}

}  // namespace rw
