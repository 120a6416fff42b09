#!/usr/bin/env python3
"""Writes the seed inputs of fuzz_procinfo into tests/fuzz/corpus.

The input format is described at the top of fuzz_procinfo.cpp: a 24-byte
header, then parts A, B and C.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def header(flags, len_a, len_b, too_small=0, alloc=0, hint64=0, reported=0, pid=1000, capacity=16,
           walker_flags=0, walker_start=0, walker_element=136, handle=0xFFFFFFFF, status=0):
    return struct.pack('<BHHBBBIHBBHHI', flags, len_a, len_b, too_small | status << 2, alloc, hint64, reported, pid,
                       capacity, walker_flags, walker_start, walker_element, handle)


def processes(specs, corruptions=()):
    b = bytes([len(corruptions)])
    for entry, size in corruptions:
        b += struct.pack('<BH', entry, size)
    for pid, parent, threads, base, toolhelp, path in specs:
        p = path.encode('latin-1')
        b += struct.pack('<HHBbbB', pid, parent, threads, base, toolhelp, len(p)) + p
    return b


def cpu(arith=None, answers=()):
    b = b''
    if arith:
        b += struct.pack('<qqqqB', *arith)
    for cls, status, length, value in answers:
        b += struct.pack('<BBBQ', cls, status, length, value)
    return b


def raw_snapshot():
    """Two class-5 records, threads after the fixed part, names rebased."""
    def record(link, pid, parent, threads, name):
        n = name.encode('utf-16-le')
        size = 0x88 + 0x40 * len(threads) + len(n) + 2
        r = bytearray(size)
        struct.pack_into('<II', r, 0, link, len(threads))
        struct.pack_into('<iII', r, 0x40, 8, pid, parent)
        for j, t in enumerate(threads):
            struct.pack_into('<II', r, 0x88 + 0x40 * j + 0x20, pid, t)
        name_at = 0x88 + 0x40 * len(threads)
        r[name_at:name_at + len(n)] = n
        struct.pack_into('<HHI', r, 0x38, len(n), len(n) + 2, name_at)  # offset within the record
        return bytes(r)

    first = record(0, 8, 0, [12, 16], 'a.exe')
    second = record(0, 20, 8, [24], 'b.exe')
    first = struct.pack('<I', len(first)) + first[4:]
    # The name pointers are rebased onto the buffer: make them buffer offsets.
    second = bytearray(second)
    struct.pack_into('<I', second, 0x3C, len(first) + struct.unpack_from('<I', second, 0x3C)[0])
    return first + bytes(second)


def write(name, data):
    with open(os.path.join(HERE, 'corpus', name), 'wb') as f:
        f.write(data)


def main():
    os.makedirs(os.path.join(HERE, 'corpus'), exist_ok=True)
    # The model's own snapshot, growing from a small hint.
    write('model-growth', header(0x1C, 0, 0, hint64=4))

    # Extra processes on both back ends (the differential check), CPU answers.
    b = processes([(2000, 1000, 2, 13, 13, 'C:\\bin\\a.exe'), (2004, 2000, 1, 4, 4, 'b.exe'),
                   (2008, 2000, 0, 24, 24, '\\c.exe'), (2012, 1000, 3, 9, 9, 'D:\\x\\y\\d.exe')])
    c = cpu(answers=[(0, 0, 0, 2), (3, 0, 0, 10**9), (2, 0, 0, 10**8), (3, 0, 0, 10**9 + 5 * 10**6),
                     (2, 0, 0, 10**8 + 5 * 10**6)])
    write('model-processes', header(0x54, 0, len(b), pid=2000) + b + c)

    # Edits of the model's answer, wrong Toolhelp sizes, an allocation failure.
    a = struct.pack('<HBHBHB', 0x04, 0x7F, 0x3C, 0x40, 0x100, 0x01)
    b = processes([(3000, 1000, 2, 8, 8, 'C:\\w\\worker.exe')], corruptions=[(1, 300), (3, 20)])
    write('model-edits', header(0x74, len(a), len(b), too_small=1, alloc=3, pid=3000, capacity=3) + a + b)

    # The model's answer failing (access denied) after one "too small" answer.
    write('model-failure', header(0x10, 0, 0, too_small=1, status=2))

    # A raw answer with rebased names, walked as linked records.
    a = raw_snapshot()
    write('raw-chain', header(0x13, len(a), 0, pid=8, capacity=8) + a)

    # The sampler: failures, empty answers, a clock set back; and the arithmetic.
    c = cpu(arith=(1000, 10**9, 1000 + 2500000, 10**9 + 5 * 10**6, 2),
            answers=[(0, 0, 0, 4), (3, 0, 0, 10**9), (2, 0, 0, 0), (3, 0, 0, 10**9 - 10**7),
                     (2, 0, 0, 10**8), (3, 0, 0, 10**9), (2, 0xF5, 0, 0), (3, 0, 0xF0, 0)])
    write('cpu', header(0x10, 0, 0, capacity=0) + c)


if __name__ == '__main__':
    main()
