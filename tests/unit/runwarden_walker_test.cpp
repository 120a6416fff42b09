// The record walker over hand-made buffers: every layout, the bounds of the
// count, and chains that would loop or run off the buffer.
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "runwarden/procinfo/walker.h"

namespace {

using rw::RecordWalker;

struct Buffer {
    std::vector<BYTE> bytes;
    explicit Buffer(size_t n) : bytes(n, 0xEE) {}
    Buffer& word(size_t at, ULONG v) {
        memcpy(&bytes[at], &v, 4);
        return *this;
    }
};

struct Case {
    const char* name;
    Buffer buffer;
    ULONG size;  // may be less than the buffer: the valid bytes
    ULONG start, elementSize, flags;
    std::vector<ULONG> offsets;  // of the elements handed out, in order
};

// Walks with firstRecord/nextRecord and returns the offsets handed out.
std::vector<ULONG> walk(RecordWalker& w) {
    std::vector<ULONG> seen;
    for (const BYTE* e = rw::firstRecord(&w); e; e = rw::nextRecord(&w, e)) {
        seen.push_back(static_cast<ULONG>(e - w.buffer));
        if (seen.size() > 1000) break;
    }
    return seen;
}

TEST(Walker, LayoutsAndTheirBounds) {
    const Case cases[] = {
        {"relative links", Buffer(28).word(0, 12).word(12, 8).word(20, 0), 28, 0, 8, rw::kLinkedRelative, {0, 12, 20}},
        {"relative links from a start offset", Buffer(24).word(4, 8).word(12, 0), 24, 4, 8, rw::kLinkedRelative,
         {4, 12}},
        {"absolute links", Buffer(32).word(4, 16).word(16, 24).word(24, 0), 32, 4, 8, rw::kLinkedAbsolute,
         {4, 16, 24}},
        {"fixed size", Buffer(30), 30, 2, 8, rw::kFixedSize, {2, 10, 18}},
        {"fixed size, element size 0", Buffer(30), 30, 0, 0, rw::kFixedSize, {0}},
        {"count header caps fixed size", Buffer(44).word(0, 3), 44, 4, 8, rw::kCountHeader | rw::kFixedSize,
         {4, 12, 20}},
        {"count header above the fixed count", Buffer(44).word(0, 10), 44, 4, 8, rw::kCountHeader | rw::kFixedSize,
         {4, 12, 20, 28, 36}},
        {"count header ignored with start below 4", Buffer(40).word(0, 1), 40, 0, 8,
         rw::kCountHeader | rw::kFixedSize, {0, 8, 16, 24, 32}},
        {"count header without fixed size", Buffer(44).word(0, 3), 44, 4, 8, rw::kCountHeader, {}},
        {"count header, element size 0", Buffer(44).word(0, 3), 44, 4, 0, rw::kCountHeader | rw::kFixedSize, {4}},

        // A chain whose third record's 136-byte fixed part ends past the length.
        {"third fixed part cut", Buffer(600).word(0, 200).word(200, 200).word(400, 0), 400 + 135, 0, 136,
         rw::kLinkedRelative, {0, 200}},
        {"third fixed part just inside", Buffer(600).word(0, 200).word(200, 200).word(400, 0), 400 + 136, 0, 136,
         rw::kLinkedRelative, {0, 200, 400}},
        // The link 0 ends the walk although more bytes follow.
        {"link 0 is the last", Buffer(64).word(0, 16).word(16, 0).word(32, 0), 64, 0, 8, rw::kLinkedRelative,
         {0, 16}},
        // A link past the valid bytes ends the walk.
        {"link past the length", Buffer(64).word(0, 16).word(16, 40), 64, 0, 32, rw::kLinkedRelative, {0, 16}},
        {"too short for one element", Buffer(16), 16, 0, 17, rw::kLinkedRelative, {}},
        {"too short for one link word", Buffer(8), 3, 0, 0, rw::kLinkedRelative, {}},
        {"start past the length", Buffer(16), 16, 20, 4, rw::kFixedSize, {}},
        {"start plus element size wraps", Buffer(16), 16, 0xFFFFFFF0u, 0x20, rw::kFixedSize, {}},

        // Chains that would never end, or leave the buffer, end the walk.
        {"relative link wraps", Buffer(32).word(0, 16).word(16, 0xFFFFFFF0u), 32, 0, 8, rw::kLinkedRelative,
         {0, 16}},
        {"absolute link backwards", Buffer(32).word(4, 16).word(16, 4), 32, 4, 8, rw::kLinkedAbsolute, {4, 16}},
        {"absolute link to itself", Buffer(32).word(8, 8), 32, 8, 8, rw::kLinkedAbsolute, {8}},
        {"absolute link 0xFFFFFFFF", Buffer(32).word(0, 0xFFFFFFFFu), 32, 0, 8, rw::kLinkedAbsolute, {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordWalker w = {c.buffer.bytes.data(), c.size, c.start, c.elementSize, c.flags, 0, 0xDEAD};
        EXPECT_EQ(c.offsets.size(), rw::countRecords(&w));
        EXPECT_EQ(c.offsets.size(), w.count);
        EXPECT_EQ(c.offsets, walk(w));
    }
}

TEST(Walker, NextAfterTheLastGivesNoneAndChangesNothing) {
    Buffer b = Buffer(32).word(0, 16).word(16, 0);
    RecordWalker w = {b.bytes.data(), 32, 0, 8, rw::kLinkedRelative, 0, 0};
    ASSERT_EQ(2u, rw::countRecords(&w));
    const BYTE* first = rw::firstRecord(&w);
    const BYTE* last = rw::nextRecord(&w, first);
    ASSERT_EQ(b.bytes.data() + 16, last);
    EXPECT_EQ(1u, w.index);
    EXPECT_EQ(nullptr, rw::nextRecord(&w, last));
    EXPECT_EQ(nullptr, rw::nextRecord(&w, last));
    EXPECT_EQ(1u, w.index);
    EXPECT_EQ(2u, w.count);
    // No current element starts over.
    EXPECT_EQ(first, rw::nextRecord(&w, nullptr));
    EXPECT_EQ(0u, w.index);
}

TEST(Walker, NoBufferCountsZero) {
    RecordWalker w = {nullptr, 4096, 0, 136, rw::kLinkedRelative, 0, 0xDEAD};
    EXPECT_EQ(0u, rw::countRecords(&w));
    EXPECT_EQ(0u, w.count);
    EXPECT_EQ(nullptr, rw::firstRecord(&w));
    EXPECT_EQ(nullptr, rw::nextRecord(&w, nullptr));

    RecordWalker fixed = {nullptr, 4096, 0, 0, rw::kFixedSize, 0, 0xDEAD};
    EXPECT_EQ(0u, rw::countRecords(&fixed)) << "even where element size 0 would count 1";
}

TEST(Walker, NullWalker) {
    BYTE b[8] = {};
    EXPECT_EQ(0u, rw::countRecords(nullptr));
    EXPECT_EQ(nullptr, rw::firstRecord(nullptr));
    EXPECT_EQ(nullptr, rw::nextRecord(nullptr, b));
    EXPECT_EQ(nullptr, rw::nextRecord(nullptr, nullptr));
}

}  // namespace
