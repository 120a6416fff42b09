#!/usr/bin/env python3
"""What the shipped DLLs show the outside world, read from the PE files.

For each DLL given on the command line (runwarden.dll, dirlaunch.dll,
varbridge.dll, recognised by file name):
  - it is a 32-bit x86 DLL;
  - its export table names exactly the expected exports, each once, and nothing
    else: no export without a name, no forwarder;
  - it imports from KERNEL32.dll and msvcrt.dll only, with no delay-loaded
    imports (a Windows user has no MinGW runtime DLL);
  - it is smaller than 64 KiB.
Exit status 0 when every check holds; every failed check is printed.
"""
import os
import struct
import sys

PREFIX = "_Java_com_velmora_util_exec_"
EXPECTED = {
    "runwarden.dll": {
        PREFIX + "ScriptProcessManager_init@8",
        PREFIX + "ScriptProcessManager_executeProcess@24",
        PREFIX + "ScriptProcessManager_killProcess@12",
        PREFIX + "ScriptProcessManager_killAllChildren@12",
        PREFIX + "ScriptProcessManager_childProcessesCount@12",
        PREFIX + "ScriptProcessManager_getPID@12",
        PREFIX + "ScriptProcessManager_getCPUUsage@8",
        "executeProcess",
        "killProcess",
        "isMyChild",
        "killAllChild",
        "?numberOfChilds@@YAKK@Z",
        "?JNU_GetFieldByName@@YG?ATjvalue@@PAUJNIEnv_@@PAEPAV_jobject@@PBD3@Z",
        "_Win32Ext_VersionOK@0",
        "_GetProcessInformation@8",
        "_GetProcessModuleName@12",
        "_GetParentProcessId@8",
        "_GetChildProcesses@16",
        "_GetNumberOfProcesses@4",
        "_GetProcessThreadHandles@16",
        "_GetProcessHandle@8",
        "_GetProcessThreadIds@16",
        "_GetProcessCommitCharge@8",
        "_GetProcessCreationTime@8",
        "_GetProcessUserTime@8",
        "_GetProcessKernelTime@8",
        "_GetProcessBasePriority@8",
        "_GetProcessID@8",
        "_GetCPUUsage@4",
    },
    "dirlaunch.dll": {
        PREFIX + "Executor_createProcessIn@20",
    },
    "varbridge.dll": {
        PREFIX + "Env_getEnvironments@8",
        PREFIX + "Env_getEnvironment@12",
        PREFIX + "Env_setEnvironment@16",
        PREFIX + "Env_setEnvironment2@12",
    },
}
ALLOWED_IMPORTS = {"kernel32.dll", "msvcrt.dll"}
SIZE_LIMIT = 64 * 1024

IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_FILE_DLL = 0x2000
PE32_MAGIC = 0x10B
DIR_EXPORT, DIR_IMPORT, DIR_DELAY_IMPORT = 0, 1, 13


class PeError(Exception):
    pass


class Pe:
    """The parts of a PE32 image that the checks read, every read bounds-checked."""

    def __init__(self, data):
        self.data = data
        if self.u16(0) != 0x5A4D:
            raise PeError("no MZ header")
        pe = self.u32(0x3C)
        if self.bytes(pe, 4) != b"PE\0\0":
            raise PeError("no PE signature")
        self.machine, nsections = struct.unpack_from("<HH", data, pe + 4)
        opt_size, self.characteristics = struct.unpack_from("<HH", data, pe + 20)
        opt = pe + 24
        if self.u16(opt) != PE32_MAGIC:
            raise PeError("not a PE32 (32-bit) image")
        ndirs = self.u32(opt + 92)
        self.dirs = [struct.unpack_from("<II", data, opt + 96 + 8 * i) for i in range(min(ndirs, 16))]
        self.sections = []
        for i in range(nsections):
            s = opt + opt_size + 40 * i
            vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", data, s + 8)
            self.sections.append((va, max(vsize, rawsize), rawptr, rawsize))

    def bytes(self, off, n):
        if off < 0 or off + n > len(self.data):
            raise PeError("read of %d bytes at 0x%x is outside the file" % (n, off))
        return self.data[off:off + n]

    def u16(self, off):
        return struct.unpack("<H", self.bytes(off, 2))[0]

    def u32(self, off):
        return struct.unpack("<I", self.bytes(off, 4))[0]

    def offset(self, rva):
        for va, size, rawptr, rawsize in self.sections:
            if va <= rva < va + size:
                if rva - va >= rawsize:
                    raise PeError("RVA 0x%x has no file data" % rva)
                return rawptr + rva - va
        raise PeError("RVA 0x%x is in no section" % rva)

    def cstring(self, rva):
        off = self.offset(rva)
        end = self.data.find(b"\0", off)
        if end < 0:
            raise PeError("unterminated string at RVA 0x%x" % rva)
        return self.data[off:end].decode("latin-1")

    def directory(self, index):
        return self.dirs[index] if index < len(self.dirs) else (0, 0)

    def exports(self):
        """(names, problems): the exported names, and what is wrong with the table."""
        rva, size = self.directory(DIR_EXPORT)
        if rva == 0:
            return [], []
        d = self.offset(rva)
        nfuncs, nnames, funcs, names, ordinals = struct.unpack_from("<IIIII", self.bytes(d + 20, 20))
        problems = []
        if nfuncs != nnames:
            problems.append("%d exported functions but %d names: exports without a name" % (nfuncs, nnames))
        result = []
        for i in range(nnames):
            name = self.cstring(self.u32(self.offset(names) + 4 * i))
            ordinal = self.u16(self.offset(ordinals) + 2 * i)
            if ordinal >= nfuncs:
                problems.append("%s: ordinal index %d outside the address table" % (name, ordinal))
                continue
            target = self.u32(self.offset(funcs) + 4 * ordinal)
            if rva <= target < rva + size:
                problems.append("%s is a forwarder to %s" % (name, self.cstring(target)))
            result.append(name)
        return result, problems

    def imports(self):
        rva, _ = self.directory(DIR_IMPORT)
        dlls = []
        if rva == 0:
            return dlls
        d = self.offset(rva)
        while True:
            desc = struct.unpack("<IIIII", self.bytes(d, 20))
            if desc == (0, 0, 0, 0, 0):
                return dlls
            dlls.append(self.cstring(desc[3]))
            d += 20

    def has_delay_imports(self):
        rva, size = self.directory(DIR_DELAY_IMPORT)
        return rva != 0 and size != 0


def check(path):
    """The failures found in one DLL, as text lines."""
    name = os.path.basename(path).lower()
    if name not in EXPECTED:
        return ["%s: not one of the shipped DLLs (%s)" % (path, ", ".join(sorted(EXPECTED)))]
    with open(path, "rb") as f:
        data = f.read()
    failures = []
    try:
        pe = Pe(data)
        if pe.machine != IMAGE_FILE_MACHINE_I386:
            failures.append("machine 0x%x, not i386" % pe.machine)
        if not pe.characteristics & IMAGE_FILE_DLL:
            failures.append("not a DLL")
        exports, problems = pe.exports()
        failures += problems
        expected = EXPECTED[name]
        for dup in sorted({e for e in exports if exports.count(e) > 1}):
            failures.append("exported more than once: %s" % dup)
        for missing in sorted(expected - set(exports)):
            failures.append("missing export: %s" % missing)
        for extra in sorted(set(exports) - expected):
            failures.append("unexpected export: %s" % extra)
        imports = pe.imports()
        for dll in imports:
            if dll.lower() not in ALLOWED_IMPORTS:
                failures.append("imports from %s (only KERNEL32.dll and msvcrt.dll allowed)" % dll)
        if pe.has_delay_imports():
            failures.append("has delay-loaded imports")
        print("%s: %d bytes, %d exports, imports %s" % (name, len(data), len(exports), ", ".join(imports)))
    except (PeError, struct.error) as e:
        failures.append("unreadable PE file: %s" % e)
    if len(data) >= SIZE_LIMIT:
        failures.append("%d bytes: not under %d" % (len(data), SIZE_LIMIT))
    return ["%s: %s" % (name, f) for f in failures]


def main(paths):
    if not paths:
        print("usage: check_exports.py DLL...", file=sys.stderr)
        return 2
    seen = {os.path.basename(p).lower() for p in paths}
    failures = ["%s: not checked (not given)" % n for n in sorted(set(EXPECTED) - seen)]
    for path in paths:
        failures += check(path)
    for f in failures:
        print("FAIL " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
