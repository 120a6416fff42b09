/* A MinGW C program that uses runwarden.dll as other native code does: it
 * includes <windows.h> (new enough to declare KERNEL32's own
 * GetProcessInformation) and then the two public headers, links the import
 * library runwarden.dll.a and loads nothing by hand. It calls every export of
 * the DLL against its own process and against children it starts, and checks
 * that each import-library symbol is bound to the intended export.
 *
 * Usage: dist_mingw_consumer.exe            the test; exit status 0 when every check held
 *        dist_mingw_consumer.exe wait PID   waits until process PID has ended
 *        dist_mingw_consumer.exe tree PID   starts "wait PID" as its own child, then waits likewise
 * The children wait for the test process, so none outlives it even when a check
 * fails before the test ends them.
 */
#include <windows.h>

#include "runwarden/natives/natives.h"
#include "runwarden/procinfo/win32ext.h"
#include "import_table.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

/* ------------------------------------------------------------------ checks */

static int failures;

static void fail(int line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    printf("FAIL line %d: ", line);
    vprintf(format, args);
    printf("\n");
    va_end(args);
    ++failures;
}

#define CHECK(cond)                                     \
    do {                                                \
        if (!(cond)) fail(__LINE__, "%s", #cond);       \
    } while (0)

#define CHECK_EQ(expected, actual)                                                                        \
    do {                                                                                                  \
        unsigned long e_ = (unsigned long)(expected), a_ = (unsigned long)(actual);                       \
        if (e_ != a_) fail(__LINE__, "%s == %s: expected %lu (0x%lx), got %lu (0x%lx)", #expected, #actual, \
                           e_, e_, a_, a_);                                                               \
    } while (0)

/* ------------------------------------------------------------------ the natives, as the VM sees them */

/* The JNI natives are declared here with the C types of a JNI host that has no
 * <jni.h>: jstring is a C string of this program's fake VM, jobject a FakeObject. */
void __stdcall Java_com_velmora_util_exec_ScriptProcessManager_init(void* env, void* cls);
long __stdcall Java_com_velmora_util_exec_ScriptProcessManager_executeProcess(void* env, void* cls, const char* app,
                                                                              const char* cmd, const char* block,
                                                                              const char* dir);
long __stdcall Java_com_velmora_util_exec_ScriptProcessManager_killProcess(void* env, void* cls, long pid);
long __stdcall Java_com_velmora_util_exec_ScriptProcessManager_killAllChildren(void* env, void* cls, long pid);
long __stdcall Java_com_velmora_util_exec_ScriptProcessManager_childProcessesCount(void* env, void* cls, long pid);
long __stdcall Java_com_velmora_util_exec_ScriptProcessManager_getPID(void* env, void* cls, void* process);
long __stdcall Java_com_velmora_util_exec_ScriptProcessManager_getCPUUsage(void* env, void* cls);

/* ------------------------------------------------------------------ import-library symbols */

/* Each symbol a MinGW caller links against is bound to the intended export. */
#define DECLARE_SLOT(var, symbol, exportName) extern void* var __asm__(symbol);
RUNWARDEN_C_IMPORTS(DECLARE_SLOT)

struct ImportCase {
    void* const* slot;
    const char* symbol;
    const char* exportName;
};

#define IMPORT_CASE(var, symbol, exportName) {&var, symbol, exportName},
static const struct ImportCase importCases[] = {RUNWARDEN_C_IMPORTS(IMPORT_CASE)};

static void checkImportBindings(void) {
    HMODULE dll = GetModuleHandleA("runwarden.dll");
    size_t i;
    CHECK(dll != NULL);
    if (!dll) return;
    for (i = 0; i < sizeof importCases / sizeof importCases[0]; ++i) {
        void* exported = (void*)GetProcAddress(dll, importCases[i].exportName);
        if (!exported || *importCases[i].slot != exported)
            fail(__LINE__, "%s is bound to %p, export %s is at %p", importCases[i].symbol, *importCases[i].slot,
                 importCases[i].exportName, exported);
    }
}

/* ------------------------------------------------------------------ a fake JNI environment */

/* The slots of the JNI function table that the library's code calls. */
enum {
    kExceptionClear = 17,
    kFatalError = 18,
    kDeleteLocalRef = 23,
    kGetObjectClass = 31,
    kGetFieldID = 94,
    kGetObjectField = 95, /* then Boolean, Byte, Char, Short, Int, Long, Float, Double */
    kGetStringLength = 164,
    kGetStringChars = 165,
    kReleaseStringChars = 166,
    kGetStringUTFLength = 168,
    kGetStringUTFChars = 169,
    kReleaseStringUTFChars = 170,
    kTableSize = 234
};

typedef struct FakeField {
    const char* name;
    const char* signature;
    RunwardenJValue value;
} FakeField;

/* An object and its class are one structure here: the class reference that
 * GetObjectClass hands out is &object->classRef. */
typedef struct FakeObject {
    const FakeField* fields;
    int count;
    char classRef;
} FakeObject;

static void* jniTable[kTableSize];
static void* const* jniFunctions = jniTable;
#define ENV ((void*)&jniFunctions)

static int pendingException;  /* a NoSuchFieldError the fake VM would hold */
static int deletedRefs;
static void* lastDeletedRef;
static char lastGetter;       /* the field getter called last: its signature letter */
static int outstandingStrings;

static void* __stdcall fakeGetObjectClass(void* env, void* obj) {
    (void)env;
    return &((FakeObject*)obj)->classRef;
}

static void* __stdcall fakeGetFieldID(void* env, void* cls, const char* name, const char* signature) {
    const FakeObject* obj = (const FakeObject*)((char*)cls - offsetof(FakeObject, classRef));
    int i;
    (void)env;
    for (i = 0; i < obj->count; ++i)
        if (strcmp(obj->fields[i].name, name) == 0 && strcmp(obj->fields[i].signature, signature) == 0)
            return (void*)&obj->fields[i];
    pendingException = 1;
    return NULL;
}

#define FIELD(fid) (((const FakeField*)(fid))->value)
static void* __stdcall getObjectField(void* e, void* o, void* f) { (void)e; (void)o; lastGetter = 'L'; return FIELD(f).l; }
static unsigned char __stdcall getBooleanField(void* e, void* o, void* f) { (void)e; (void)o; lastGetter = 'Z'; return FIELD(f).z; }
static signed char __stdcall getByteField(void* e, void* o, void* f) { (void)e; (void)o; lastGetter = 'B'; return FIELD(f).b; }
static unsigned short __stdcall getCharField(void* e, void* o, void* f) { (void)e; (void)o; lastGetter = 'C'; return FIELD(f).c; }
static short __stdcall getShortField(void* e, void* o, void* f) { (void)e; (void)o; lastGetter = 'S'; return FIELD(f).s; }
static long __stdcall getIntField(void* e, void* o, void* f) { (void)e; (void)o; lastGetter = 'I'; return FIELD(f).i; }
static long long __stdcall getLongField(void* e, void* o, void* f) { (void)e; (void)o; lastGetter = 'J'; return FIELD(f).j; }
static float __stdcall getFloatField(void* e, void* o, void* f) { (void)e; (void)o; lastGetter = 'F'; return FIELD(f).f; }
static double __stdcall getDoubleField(void* e, void* o, void* f) { (void)e; (void)o; lastGetter = 'D'; return FIELD(f).d; }

static void __stdcall fakeDeleteLocalRef(void* env, void* ref) {
    (void)env;
    ++deletedRefs;
    lastDeletedRef = ref;
}

static void __stdcall fakeExceptionClear(void* env) {
    (void)env;
    pendingException = 0;
}

static void __stdcall fakeFatalError(void* env, const char* message) {
    (void)env;
    printf("FAIL: FatalError(\"%s\") called\n", message);
    ExitProcess(3);
}

/* A string here is its ASCII text; its UTF-16 characters are a widened copy. */
static long __stdcall fakeGetStringLength(void* env, const char* s) {
    (void)env;
    return (long)strlen(s);
}

static const unsigned short* __stdcall fakeGetStringChars(void* env, const char* s, unsigned char* isCopy) {
    size_t n = strlen(s), i;
    unsigned short* chars = (unsigned short*)HeapAlloc(GetProcessHeap(), 0, (n + 1) * sizeof *chars);
    (void)env;
    if (isCopy) *isCopy = 1;
    if (!chars) return NULL;
    for (i = 0; i <= n; ++i) chars[i] = (unsigned char)s[i];
    ++outstandingStrings;
    return chars;
}

static void __stdcall fakeReleaseStringChars(void* env, const char* s, const unsigned short* chars) {
    (void)env;
    (void)s;
    HeapFree(GetProcessHeap(), 0, (void*)chars);
    --outstandingStrings;
}

static long __stdcall fakeGetStringUTFLength(void* env, const char* s) {
    (void)env;
    return (long)strlen(s);
}

static const char* __stdcall fakeGetStringUTFChars(void* env, const char* s, unsigned char* isCopy) {
    (void)env;
    if (isCopy) *isCopy = 0;
    ++outstandingStrings;
    return s;
}

static void __stdcall fakeReleaseStringUTFChars(void* env, const char* s, const char* bytes) {
    (void)env;
    if (s != bytes) printf("FAIL: ReleaseStringUTFChars with bytes of another string\n"), ++failures;
    --outstandingStrings;
}

static void setUpJni(void) {
    jniTable[kExceptionClear] = (void*)fakeExceptionClear;
    jniTable[kFatalError] = (void*)fakeFatalError;
    jniTable[kDeleteLocalRef] = (void*)fakeDeleteLocalRef;
    jniTable[kGetObjectClass] = (void*)fakeGetObjectClass;
    jniTable[kGetFieldID] = (void*)fakeGetFieldID;
    jniTable[kGetObjectField + 0] = (void*)getObjectField;
    jniTable[kGetObjectField + 1] = (void*)getBooleanField;
    jniTable[kGetObjectField + 2] = (void*)getByteField;
    jniTable[kGetObjectField + 3] = (void*)getCharField;
    jniTable[kGetObjectField + 4] = (void*)getShortField;
    jniTable[kGetObjectField + 5] = (void*)getIntField;
    jniTable[kGetObjectField + 6] = (void*)getLongField;
    jniTable[kGetObjectField + 7] = (void*)getFloatField;
    jniTable[kGetObjectField + 8] = (void*)getDoubleField;
    jniTable[kGetStringLength] = (void*)fakeGetStringLength;
    jniTable[kGetStringChars] = (void*)fakeGetStringChars;
    jniTable[kReleaseStringChars] = (void*)fakeReleaseStringChars;
    jniTable[kGetStringUTFLength] = (void*)fakeGetStringUTFLength;
    jniTable[kGetStringUTFChars] = (void*)fakeGetStringUTFChars;
    jniTable[kReleaseStringUTFChars] = (void*)fakeReleaseStringUTFChars;
}

/* ------------------------------------------------------------------ JNU_GetFieldByName */

static void checkFieldReads(void) {
    static char objectTarget, arrayTarget;
    FakeField fields[10];
    FakeObject obj;
    int i;
    memset(fields, 0, sizeof fields);
    fields[0].name = "z", fields[0].signature = "Z", fields[0].value.z = 1;
    fields[1].name = "b", fields[1].signature = "B", fields[1].value.b = -5;
    fields[2].name = "c", fields[2].signature = "C", fields[2].value.c = 0xFFFE;
    fields[3].name = "s", fields[3].signature = "S", fields[3].value.s = -2;
    fields[4].name = "i", fields[4].signature = "I", fields[4].value.i = -7;
    fields[5].name = "j", fields[5].signature = "J", fields[5].value.j = 0x1122334455667788LL;
    fields[6].name = "f", fields[6].signature = "F", fields[6].value.f = 1.5f;
    fields[7].name = "d", fields[7].signature = "D", fields[7].value.d = -2.25;
    fields[8].name = "o", fields[8].signature = "Ljava/lang/Object;", fields[8].value.l = &objectTarget;
    fields[9].name = "a", fields[9].signature = "[I", fields[9].value.l = &arrayTarget;
    obj.fields = fields;
    obj.count = 10;

    for (i = 0; i < 10; ++i) {
        unsigned char flag = 0xAA;
        RunwardenJValue got;
        deletedRefs = 0;
        lastGetter = 0;
        got = JNU_GetFieldByName(ENV, &flag, &obj, fields[i].name, fields[i].signature);
        /* The field's member holds the value and every other byte is 0, which is
         * exactly how the fixture's value was built. */
        if (memcmp(&got, &fields[i].value, sizeof got) != 0)
            fail(__LINE__, "JNU_GetFieldByName(%s %s) gave other bytes", fields[i].signature, fields[i].name);
        CHECK_EQ(fields[i].signature[0] == '[' ? 'L' : fields[i].signature[0], lastGetter);
        CHECK_EQ(0, flag);
        CHECK_EQ(1, deletedRefs);
        CHECK(lastDeletedRef == &obj.classRef);
        CHECK_EQ(0, pendingException);
    }

    {   /* A missing field: all zero bytes, the VM's exception left pending. */
        unsigned char flag = 0xAA;
        static const unsigned char zero[8];
        RunwardenJValue got;
        deletedRefs = 0;
        got = JNU_GetFieldByName(ENV, &flag, &obj, "i", "J");
        CHECK(memcmp(&got, zero, sizeof got) == 0);
        CHECK_EQ(0, flag);
        CHECK_EQ(1, pendingException);
        CHECK_EQ(1, deletedRefs);
        pendingException = 0;
    }
}

/* ------------------------------------------------------------------ processes */

static DWORD self;
static WCHAR exePath[MAX_PATH];
static const WCHAR* exeName;

static int containsId(const unsigned long* ids, unsigned long count, unsigned long id) {
    unsigned long i;
    for (i = 0; i < count; ++i)
        if (ids[i] == id) return 1;
    return 0;
}

static unsigned long readU32(const unsigned char* p) {
    unsigned long v;
    memcpy(&v, p, sizeof v);
    return v;
}

static ULONGLONG readU64(const unsigned char* p) {
    ULONGLONG v;
    memcpy(&v, p, sizeof v);
    return v;
}

/* The command line that makes this program run in the given mode for this process. */
static void childCommand(char* buffer, size_t size, const char* mode) {
    char path[MAX_PATH];
    GetModuleFileNameA(NULL, path, MAX_PATH);
    snprintf(buffer, size, "\"%s\" %s %lu", path, mode, (unsigned long)self);
}

static int sameName(const WCHAR* a, const WCHAR* b) { return _wcsicmp(a, b) == 0; }

/* The first child of parent that runs this program, polled with a deadline. */
static DWORD findChildRunningMe(DWORD parent) {
    static unsigned long ids[1024];
    DWORD deadline = GetTickCount() + 30000;
    do {
        unsigned long count = 0, i;
        if (GetChildProcesses(parent, ids, 1024, &count) == 0) {
            for (i = 0; i < count; ++i) {
                WCHAR name[MAX_PATH];
                if (GetProcessModuleName(ids[i], name, MAX_PATH) == 0 && sameName(name, exeName)) return ids[i];
            }
        }
        Sleep(20);
    } while ((LONG)(GetTickCount() - deadline) < 0);
    return 0;
}

/* Waits up to 30 s for a process to end; 1 when it did. */
static int ended(HANDLE process) { return process && WaitForSingleObject(process, 30000) == WAIT_OBJECT_0; }

static void endProcess(HANDLE* process) {
    if (*process) {
        TerminateProcess(*process, 1); /* no-op once it has ended */
        WaitForSingleObject(*process, 30000);
        CloseHandle(*process);
        *process = NULL;
    }
}

/* ------------------------------------------------------------------ the checks, export by export */

static void checkQueriesOnSelf(void) {
    static unsigned long ids[1024];
    unsigned char record[WIN32EXT_PROCESS_RECORD_SIZE + 8], after[WIN32EXT_PROCESS_RECORD_SIZE];
    unsigned long parent = 0xFFFFFFFF, count = 0, value = 0;
    WCHAR name[MAX_PATH];
    SYSTEMTIME created, expectedCreated;
    FILETIME creation, exitTime, kernel, user;
    ULONGLONG userTime = 0, kernelTime = 0;
    HANDLE real, event;
    unsigned long basePriority, expectedClass;
    long usage = -1000;

    memset(record, 0xCC, sizeof record);
    CHECK_EQ(0, Win32Ext_GetProcessInformation(self, record));
    CHECK_EQ(self, readU32(record + 0x44));
    CHECK(readU32(record + 0x04) >= 1); /* thread count */
    CHECK_EQ(0xCCCCCCCCul, readU32(record + WIN32EXT_PROCESS_RECORD_SIZE)); /* nothing past the fixed part */

    CHECK_EQ(0, GetParentProcessId(self, &parent));
    CHECK_EQ(readU32(record + 0x48), parent);

    CHECK_EQ(0, GetProcessModuleName(self, name, MAX_PATH));
    if (!sameName(name, exeName)) fail(__LINE__, "module name %ls, expected %ls", name, exeName);

    CHECK_EQ(0, GetChildProcesses(0, ids, 1024, &count));
    CHECK(count >= 1 && count < 1024);
    CHECK(containsId(ids, count, self));

    CHECK_EQ(0, GetNumberOfProcesses(&value));
    CHECK(value >= 1);

    count = 0;
    CHECK_EQ(0, GetProcessThreadIds(self, ids, 1024, &count));
    CHECK(containsId(ids, count, GetCurrentThreadId()));
    count = 0;
    CHECK_EQ(0, GetProcessThreadHandles(self, ids, 1024, &count));
    CHECK(containsId(ids, count, GetCurrentThreadId()));

    value = 0;
    CHECK_EQ(0, GetProcessHandle(self, &value));
    CHECK_EQ(self, value);

    CHECK_EQ(0, GetProcessCommitCharge(self, &value));

    /* Times, against the platform's own view of this process. */
    CHECK(GetProcessTimes(GetCurrentProcess(), &creation, &exitTime, &kernel, &user));
    CHECK(FileTimeToSystemTime(&creation, &expectedCreated));
    CHECK_EQ(0, GetProcessCreationTime(self, &created));
    CHECK(memcmp(&created, &expectedCreated, sizeof created) == 0);
    /* User and kernel time come from the record that GetProcessInformation
     * copies (Wine counts them apart from GetProcessTimes): they lie between a
     * copy taken before and one taken after. */
    CHECK_EQ(0, GetProcessUserTime(self, &userTime));
    CHECK_EQ(0, GetProcessKernelTime(self, &kernelTime));
    CHECK_EQ(0, Win32Ext_GetProcessInformation(self, after));
    CHECK(readU64(record + 0x28) <= userTime && userTime <= readU64(after + 0x28));
    CHECK(readU64(record + 0x30) <= kernelTime && kernelTime <= readU64(after + 0x30));

    /* The priority class follows from the record's base priority (offset 0x40);
     * a value without a class (Wine records the class itself there) writes 0
     * and fails. */
    basePriority = readU32(record + 0x40);
    expectedClass = basePriority == 4 ? 0x40 : basePriority == 8 ? 0x20 : basePriority == 13 ? 0x80
                  : basePriority == 24 ? 0x100 : 0;
    value = 0xFFFF;
    CHECK_EQ(expectedClass ? 0 : 0xC0000001ul, GetProcessBasePriority(self, &value));
    CHECK_EQ(expectedClass, value);

    /* The id behind a handle: the pseudo-handle, a real handle, and a handle
     * that names no process (the platform's answer for it is 0 too). */
    value = 0;
    CHECK_EQ(0, GetProcessID(GetCurrentProcess(), &value));
    CHECK_EQ(self, value);
    real = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, self);
    value = 0;
    CHECK_EQ(0, GetProcessID(real, &value));
    CHECK_EQ(self, value);
    CloseHandle(real);
    event = CreateEventA(NULL, TRUE, FALSE, NULL);
    value = 1234;
    CHECK_EQ(0, GetProcessID(event, &value));
    CHECK_EQ(GetProcessId(event), value);
    CHECK_EQ(0, value);
    CloseHandle(event);

    /* Usage over half a second; not clamped, so allow the rounding of
     * counters that come from different clocks. */
    CHECK_EQ(0, GetCPUUsage(&usage));
    if (usage < -2 || usage > 102) fail(__LINE__, "GetCPUUsage gave %ld%%", usage);

    CHECK_EQ(0, numberOfChilds(0xFFFFFFFCul)); /* no process has that parent */
    count = 0;
    CHECK_EQ(0, GetChildProcesses(self, ids, 1024, &count));
    CHECK_EQ(count, numberOfChilds(self));
    CHECK(numberOfChilds(0) >= 1);
}

/* executeProcess, numberOfChilds, isMyChild, killAllChild and killProcess on
 * a child that runs a grandchild. */
static void checkTreeKill(void) {
    RunwardenProcessInformation child;
    char command[2 * MAX_PATH];
    HANDLE grandchild = NULL, childProcess = NULL;
    DWORD grandchildId, exitCode = 1;
    unsigned long parent = 0, bogus = 0xFFFFFFF0ul;
    static unsigned long ids[1024];
    unsigned long count = 0, i;

    memset(&child, 0, sizeof child);
    childCommand(command, sizeof command, "tree");
    CHECK_EQ(0, executeProcess(NULL, command, NULL, NULL, &child));
    CHECK(child.dwProcessId != 0 && child.hProcess && child.hThread);
    if (!child.hProcess) return;
    childProcess = child.hProcess;
    CloseHandle(child.hThread);

    CHECK_EQ(0, GetParentProcessId(child.dwProcessId, &parent));
    CHECK_EQ(self, parent);
    grandchildId = findChildRunningMe(child.dwProcessId);
    CHECK(grandchildId != 0);
    if (grandchildId) grandchild = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, grandchildId);
    CHECK(grandchild != NULL);

    CHECK(numberOfChilds(child.dwProcessId) >= 1);
    CHECK_EQ(numberOfChilds(child.dwProcessId),
             Java_com_velmora_util_exec_ScriptProcessManager_childProcessesCount(ENV, NULL, (long)child.dwProcessId));
    CHECK_EQ(1, isMyChild(child.dwProcessId));

    CHECK_EQ(0, killAllChild(child.dwProcessId));
    CHECK(ended(grandchild));
    if (grandchild) CHECK(GetExitCodeProcess(grandchild, &exitCode) && exitCode == 0);
    CHECK_EQ(WAIT_TIMEOUT, WaitForSingleObject(childProcess, 0)); /* the named process keeps running */

    /* Now the caller is this process: the child descends from it, a process
     * whose recorded parent is 0 does not. */
    CHECK_EQ(1, isMyChild(child.dwProcessId));
    if (GetChildProcesses(0, ids, 1024, &count) == 0) {
        for (i = 0; i < count; ++i) {
            if (ids[i] != 0 && ids[i] != self && GetParentProcessId(ids[i], &parent) == 0 && parent == 0) {
                CHECK_EQ(0, isMyChild(ids[i]));
                break;
            }
        }
    }

    CHECK_EQ(0, killProcess(child.dwProcessId));
    CHECK(ended(childProcess));
    exitCode = 1;
    CHECK(GetExitCodeProcess(childProcess, &exitCode) && exitCode == 0);

    /* An id that names no process, as the platform itself sees it. */
    {
        HANDLE none = OpenProcess(PROCESS_TERMINATE, FALSE, bogus);
        CHECK(none == NULL);
        if (none) CloseHandle(none);
        CHECK_EQ(-1, killProcess(bogus));
    }

    endProcess(&grandchild);
    endProcess(&childProcess);
}

/* The natives, called as the VM calls them, through the fake environment:
 * the same tree as above, launched, counted, pruned and ended by them. */
static void checkNatives(void) {
    char command[2 * MAX_PATH];
    long pid, usage;
    HANDLE process = NULL, grandchild = NULL;
    DWORD grandchildId;
    FakeField handleField;
    FakeObject processObject;

    Java_com_velmora_util_exec_ScriptProcessManager_init(ENV, NULL);

    childCommand(command, sizeof command, "tree");
    pid = Java_com_velmora_util_exec_ScriptProcessManager_executeProcess(ENV, NULL, NULL, command, NULL, NULL);
    CHECK(pid != 0);
    CHECK_EQ(0, outstandingStrings);
    if (pid == 0) return;
    process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, (DWORD)pid);
    CHECK(process != NULL);
    grandchildId = findChildRunningMe((DWORD)pid);
    CHECK(grandchildId != 0);
    if (grandchildId) grandchild = OpenProcess(SYNCHRONIZE, FALSE, grandchildId);

    memset(&handleField, 0, sizeof handleField);
    handleField.name = "handle";
    handleField.signature = "I";
    handleField.value.i = (long)(ULONG_PTR)process;
    processObject.fields = &handleField;
    processObject.count = 1;
    CHECK_EQ(pid, Java_com_velmora_util_exec_ScriptProcessManager_getPID(ENV, NULL, &processObject));
    CHECK_EQ(-1, Java_com_velmora_util_exec_ScriptProcessManager_getPID(ENV, NULL, NULL));

    CHECK_EQ(numberOfChilds((unsigned long)pid),
             Java_com_velmora_util_exec_ScriptProcessManager_childProcessesCount(ENV, NULL, pid));
    CHECK_EQ(0, Java_com_velmora_util_exec_ScriptProcessManager_killAllChildren(ENV, NULL, pid));
    CHECK(ended(grandchild));
    CHECK_EQ(WAIT_TIMEOUT, WaitForSingleObject(process, 0));
    CHECK_EQ(0, Java_com_velmora_util_exec_ScriptProcessManager_killProcess(ENV, NULL, pid));
    CHECK(ended(process));

    usage = Java_com_velmora_util_exec_ScriptProcessManager_getCPUUsage(ENV, NULL);
    if (usage < -2 || usage > 102) fail(__LINE__, "getCPUUsage gave %ld", usage);

    endProcess(&grandchild);
    endProcess(&process);
}

/* ------------------------------------------------------------------ child modes */

static int waitFor(DWORD pid) {
    HANDLE watched = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (watched) {
        WaitForSingleObject(watched, INFINITE);
        CloseHandle(watched);
    }
    return 0;
}

static int runTree(DWORD pid) {
    WCHAR command[2 * MAX_PATH];
    STARTUPINFOW startup;
    PROCESS_INFORMATION created;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    _snwprintf(command, 2 * MAX_PATH, L"\"%ls\" wait %lu", exePath, (unsigned long)pid);
    command[2 * MAX_PATH - 1] = 0;
    if (!CreateProcessW(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &created)) return 2;
    CloseHandle(created.hThread);
    CloseHandle(created.hProcess);
    return waitFor(pid);
}

int main(int argc, char** argv) {
    WCHAR* slash;
    GetModuleFileNameW(NULL, exePath, MAX_PATH);
    slash = wcsrchr(exePath, L'\\');
    exeName = slash ? slash + 1 : exePath;
    if (argc == 3 && strcmp(argv[1], "wait") == 0) return waitFor(strtoul(argv[2], NULL, 10));
    if (argc == 3 && strcmp(argv[1], "tree") == 0) return runTree(strtoul(argv[2], NULL, 10));

    self = GetCurrentProcessId();
    setvbuf(stdout, NULL, _IONBF, 0);
    setUpJni();

    checkImportBindings();
    CHECK_EQ(1, Win32Ext_VersionOK());
    checkQueriesOnSelf();
    checkFieldReads();
    checkTreeKill();
    checkNatives();

    printf("%s: %d failure(s)\n", failures ? "FAILED" : "passed", failures);
    return failures ? 1 : 0;
}
