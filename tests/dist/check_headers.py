#!/usr/bin/env python3
"""The public headers of runwarden.dll in every way a caller compiles them.

For each compiler mode (MinGW C and C++, Visual C++ C and C++ through clang's
MSVC mode) and each thing a caller may include first (nothing, <windows.h>,
<jni.h>, RUNWARDEN_WIN32EXT_ALIASES):
  - each header compiles on its own and twice in a row, without warnings
    (-Wall -Wextra -Werror);
  - a file that calls every function the two headers declare compiles, and
    every symbol it references is one that the import library of that
    compiler's family defines (runwarden.dll.a for MinGW, runwarden.lib for
    Visual C++); the two Visual C++-named functions are reached under the
    names the mode is meant to use.
Exit status 0 when all of it holds; every failure is printed with the
compiler's output.
"""
import argparse
import os
import subprocess
import sys
import tempfile

NATIVES = '#include "runwarden/natives/natives.h"\n'
WIN32EXT = '#include "runwarden/procinfo/win32ext.h"\n'

MSVC_NUMBER_OF_CHILDS = "?numberOfChilds@@YAKK@Z"
MSVC_GET_FIELD = "?JNU_GetFieldByName@@YG?ATjvalue@@PAUJNIEnv_@@PAEPAV_jobject@@PBD3@Z"

# A call of every declared function. GetProcessInformation is declared only
# when nothing of <windows.h> nor the alias switch came first.
CALLS = """
void rwCallEverything(void);
void rwCallEverything(void) {
    unsigned long id = 0, ids[4];
    Win32ExtChar name[8];
    Win32ExtSystemTime created;
    unsigned long long t = 0;
    long usage = 0;
    unsigned char flag = 0, record[WIN32EXT_PROCESS_RECORD_SIZE];
    RunwardenProcessInformation info;
    executeProcess(0, 0, 0, 0, &info);
    killProcess(1);
    isMyChild(1);
    killAllChild(1);
    numberOfChilds(1);
    JNU_GetFieldByName(0, &flag, 0, "handle", "I");
    Win32Ext_VersionOK();
    Win32Ext_GetProcessInformation(1, record);
#if PLAIN_GET_PROCESS_INFORMATION
    GetProcessInformation(1, record);
#endif
    GetProcessModuleName(1, name, 8);
    GetParentProcessId(1, &id);
    GetChildProcesses(0, ids, 4, &id);
    GetNumberOfProcesses(&id);
    GetProcessThreadHandles(1, ids, 4, &id);
    GetProcessHandle(1, &id);
    GetProcessThreadIds(1, ids, 4, &id);
    GetProcessCommitCharge(1, &id);
    GetProcessCreationTime(1, &created);
    GetProcessUserTime(1, &t);
    GetProcessKernelTime(1, &t);
    GetProcessBasePriority(1, &id);
    GetProcessID(0, &id);
    GetCPUUsage(&usage);
}
"""


class Mode:
    def __init__(self, name, family, cxx, command):
        self.name, self.family, self.cxx, self.command = name, family, cxx, command


def modes(args, stub_dir):
    # The JDK's headers are another party's: their own warnings are not checked.
    jni = ["-isystem", args.jni_include, "-isystem", args.jni_md_include]
    warn = ["-Wall", "-Wextra", "-Werror"]
    msvc = [args.clang, "--target=i686-pc-windows-msvc", "-isystem", stub_dir]
    return [
        Mode("mingw-c", "mingw", False,
             [args.mingw_cc, "-x", "c", "-std=c99", "-pedantic", "-Wstrict-prototypes"] + warn + jni),
        Mode("mingw-c++", "mingw", True, [args.mingw_cxx, "-x", "c++", "-std=c++11", "-pedantic"] + warn + jni),
        Mode("msvc-c", "msvc", False, msvc + ["-x", "c", "-std=c99", "-Wstrict-prototypes"] + warn + jni),
        Mode("msvc-c++", "msvc", True, msvc + ["-x", "c++", "-std=c++14"] + warn + jni),
    ]


# What a caller may put before the headers: (name, text, families it applies to).
PRELUDES = [
    ("alone", "", ("mingw", "msvc")),
    # Today's <windows.h>, which declares KERNEL32's GetProcessInformation.
    ("windows.h", "#define _WIN32_WINNT 0x0A00\n#include <windows.h>\n", ("mingw",)),
    ("jni.h", "#include <jni.h>\n", ("mingw", "msvc")),
    ("aliases", "#define RUNWARDEN_WIN32EXT_ALIASES\n", ("mingw", "msvc")),
]


def run(command):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    return result.returncode, result.stdout


def library_symbols(nm, library):
    code, out = run([nm, library])
    if code != 0:
        raise RuntimeError("%s %s failed:\n%s" % (nm, library, out))
    defined = set()
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[1] != "U":
            defined.add(parts[2])
    return defined


def undefined_symbols(nm, obj):
    code, out = run([nm, "-u", obj])
    if code != 0:
        raise RuntimeError("%s -u %s failed:\n%s" % (nm, obj, out))
    return {line.split()[-1] for line in out.splitlines() if line.strip()}


def expected_names(mode, prelude):
    """The symbols under which this mode must reach numberOfChilds and JNU_GetFieldByName."""
    if mode.family == "msvc" and mode.cxx:
        return {MSVC_NUMBER_OF_CHILDS, MSVC_GET_FIELD if prelude == "jni.h" else "_JNU_GetFieldByName@20"}
    return {"_numberOfChilds", "_JNU_GetFieldByName@20"}


def main():
    parser = argparse.ArgumentParser()
    for option in ("root", "jni-include", "jni-md-include", "mingw-cc", "mingw-cxx", "clang", "nm", "mingw-implib",
                   "msvc-implib"):
        parser.add_argument("--" + option, required=True)
    args = parser.parse_args()

    implibs = {"mingw": library_symbols(args.nm, args.mingw_implib),
               "msvc": library_symbols(args.nm, args.msvc_implib)}
    failures = []
    checked = 0
    with tempfile.TemporaryDirectory() as work:
        # jni.h includes <stdio.h>, which the MSVC mode has no SDK for; jni.h needs nothing from it.
        stub_dir = os.path.join(work, "stub")
        os.mkdir(stub_dir)
        open(os.path.join(stub_dir, "stdio.h"), "w").close()

        for mode in modes(args, stub_dir):
            for prelude, text, families in PRELUDES:
                if mode.family not in families:
                    continue
                label = "%s, %s first" % (mode.name, prelude)
                plain = prelude == "alone" or prelude == "jni.h"
                sources = {
                    "natives": text + NATIVES + NATIVES,
                    "win32ext": text + WIN32EXT + WIN32EXT,
                    "calls": text + "#define PLAIN_GET_PROCESS_INFORMATION %d\n" % plain + NATIVES + WIN32EXT + CALLS,
                }
                for what, source in sources.items():
                    path = os.path.join(work, "%s-%s-%s.%s" % (mode.name, prelude, what, "cpp" if mode.cxx else "c"))
                    with open(path, "w") as f:
                        f.write(source)
                    obj = path + ".obj"
                    code, out = run(mode.command + ["-I" + args.root, "-c", path, "-o", obj])
                    checked += 1
                    if code != 0:
                        failures.append("%s: %s does not compile:\n%s" % (label, what, out))
                        continue
                    if what != "calls":
                        continue
                    referenced = undefined_symbols(args.nm, obj)
                    for symbol in sorted(referenced - implibs[mode.family]):
                        failures.append("%s: references %s, which the %s import library does not define"
                                        % (label, symbol, mode.family))
                    for symbol in sorted(expected_names(mode, prelude) - referenced):
                        failures.append("%s: does not reach %s" % (label, symbol))
    for f in failures:
        print("FAIL " + f)
    print("%d compilations, %d failure(s)" % (checked, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
