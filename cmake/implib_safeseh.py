#!/usr/bin/env python3
"""Marks the alias members of an i386 import library as SafeSEH-compatible.

An import-library alias (`alias == target` in a .def file) becomes a small COFF
object holding one weak external and no code. LLVM 14 writes those objects with
the @feat.00 symbol 0, which claims they were built without SafeSEH support, so
a 32-bit program linked with /SAFESEH (the default of lld-link and of Visual
Studio's release builds) is refused as soon as it uses an alias. An object
without code registers no exception handler, so it is SafeSEH-compatible: this
sets bit 0 of @feat.00 in every member that has the symbol and no executable
section. Other members, and every byte but those flags, stay as they are.

Usage: implib_safeseh.py LIBRARY     (rewritten in place; prints how many members it marked)
"""
import struct
import sys

IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_SCN_CNT_CODE = 0x20
IMAGE_SCN_MEM_EXECUTE = 0x20000000


def members(data):
    """(offset, size) of the contents of every object member of a COFF archive
    (the linker members "/" and the long-name member "//" left out)."""
    if not data.startswith(b"!<arch>\n"):
        raise ValueError("not an archive")
    at = 8
    while at + 60 <= len(data):
        name = bytes(data[at:at + 16]).rstrip(b" ")
        size = int(data[at + 48:at + 58].decode("ascii").strip())
        if name not in (b"/", b"//"):
            yield at + 60, size
        at += 60 + size + (size & 1)


def mark(data, start, size):
    """Sets the SafeSEH bit of @feat.00 in the COFF object at start; True when it did."""
    if size < 20:
        return False
    machine, nsections, _, symtab, nsymbols, optsize, _ = struct.unpack_from("<HHIIIHH", data, start)
    if machine != IMAGE_FILE_MACHINE_I386 or symtab == 0 or start + symtab + 18 * nsymbols > start + size:
        return False  # an import header (short import records start with machine 0) or no symbols
    for i in range(nsections):
        flags = struct.unpack_from("<I", data, start + 20 + optsize + 40 * i + 36)[0]
        if flags & (IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE):
            return False
    index = 0
    while index < nsymbols:
        entry = start + symtab + 18 * index
        if bytes(data[entry:entry + 8]) == b"@feat.00":
            value = struct.unpack_from("<I", data, entry + 8)[0]
            if value & 1:
                return False
            struct.pack_into("<I", data, entry + 8, value | 1)
            return True
        index += 1 + data[entry + 17]  # skip the auxiliary records
    return False


def main(path):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    marked = sum(mark(data, start, size) for start, size in list(members(data)))
    with open(path, "wb") as f:
        f.write(data)
    print("%s: %d alias member(s) marked SafeSEH-compatible" % (path, marked))
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1]))
