// A program with the Visual C++ ABI that uses runwarden.dll as Visual C++ code
// does: compiled by clang in MSVC mode, linked by lld-link against runwarden.lib,
// nothing loaded by hand. It reaches the Win32Ext functions through
// win32ext.h and numberOfChilds and JNU_GetFieldByName through plain C++
// declarations of its own, whose Visual C++ names are the exports' names, and
// checks the results, the stack cleanup each callee does and the 8-byte jvalue
// that comes back in EDX:EAX.
//
// There is no MSVC runtime or SDK here: the program is freestanding (its own
// entry point, no default libraries) and declares the few KERNEL32 functions it
// calls. It reports on stdout and through its exit status (0: every check held).
#include "runwarden/natives/natives.h"
#include "runwarden/procinfo/win32ext.h"
#include "import_table.h"

using size_t = decltype(sizeof 0);

// ------------------------------------------------------------------ KERNEL32 and the runtime's pieces

struct FileTime {
    unsigned long low, high;
};

extern "C" {
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);
__declspec(dllimport) int __stdcall FileTimeToSystemTime(const FileTime* time, Win32ExtSystemTime* broken);
__declspec(dllimport) void* __stdcall GetCurrentProcess(void);
__declspec(dllimport) unsigned long __stdcall GetCurrentProcessId(void);
__declspec(dllimport) unsigned long __stdcall GetCurrentThreadId(void);
__declspec(dllimport) unsigned long __stdcall GetModuleFileNameW(void* module, wchar_t* path, unsigned long size);
__declspec(dllimport) void* __stdcall GetModuleHandleA(const char* name);
__declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);
__declspec(dllimport) int __stdcall GetProcessTimes(void* process, FileTime* creation, FileTime* exit,
                                                    FileTime* kernel, FileTime* user);
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);

// What the compiler may call or reference without a runtime library.
int _fltused = 0;
void* __cdecl memset(void* destination, int value, size_t size) {
    volatile unsigned char* d = static_cast<unsigned char*>(destination);
    while (size--) *d++ = static_cast<unsigned char>(value);
    return destination;
}
void* __cdecl memcpy(void* destination, const void* source, size_t size) {
    volatile unsigned char* d = static_cast<unsigned char*>(destination);
    const unsigned char* s = static_cast<const unsigned char*>(source);
    while (size--) *d++ = *s++;
    return destination;
}
}

// ------------------------------------------------------------------ the Visual C++-named exports

// Plain C++ declarations, as a Visual C++ caller with <jni.h> writes them. The
// JNI types are this program's own, with jni.h's names and layout: the names
// are part of the exports' names.
struct JNIEnv_ {
    void* const* functions;
};
class _jobject {};
union jvalue {
    unsigned char z;
    signed char b;
    unsigned short c;
    short s;
    long i;
    long long j;
    float f;
    double d;
    _jobject* l;
};
unsigned long numberOfChilds(unsigned long pid);
jvalue __stdcall JNU_GetFieldByName(JNIEnv_* env, unsigned char* exceptionFlag, _jobject* obj, const char* name,
                                    const char* signature);

// The alias for callers whose <windows.h> declares KERNEL32's GetProcessInformation.
extern "C" unsigned long __stdcall Win32Ext_GetProcessInformation(unsigned long pid, void* record);

// Calls fn with the n 32-bit arguments args[0..n-1] (args[0] first, as C
// passes them) and returns the number of bytes the callee removed from the
// stack: 0 for __cdecl, 4 × n for __stdcall. EDX:EAX after the call go to
// *edxEax.
extern "C" unsigned long __cdecl rawCall(const void* fn, const unsigned long* args, unsigned long n,
                                         unsigned long long* edxEax);
__asm__(
    ".text\n"
    ".globl _rawCall\n"
    "_rawCall:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %ebx\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  movl 12(%ebp), %esi\n"
    "  movl 16(%ebp), %ecx\n"
    "1:\n"
    "  testl %ecx, %ecx\n"
    "  jz 2f\n"
    "  pushl -4(%esi,%ecx,4)\n"
    "  decl %ecx\n"
    "  jmp 1b\n"
    "2:\n"
    "  movl %esp, %ebx\n"
    "  call *8(%ebp)\n"
    "  movl 20(%ebp), %ecx\n"
    "  movl %eax, (%ecx)\n"
    "  movl %edx, 4(%ecx)\n"
    "  movl %esp, %eax\n"
    "  subl %ebx, %eax\n"
    "  leal -12(%ebp), %esp\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebx\n"
    "  popl %ebp\n"
    "  ret\n");

namespace {

// ------------------------------------------------------------------ output and checks

int failures = 0;

void say(const char* text) {
    unsigned long length = 0, written = 0;
    while (text[length]) ++length;
    WriteFile(GetStdHandle(static_cast<unsigned long>(-11)), text, length, &written, nullptr);
}

void sayNumber(unsigned long value) {
    char digits[16];
    int at = 15;
    digits[at] = 0;
    do {
        digits[--at] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    say(digits + at);
}

void fail(int line, const char* what, unsigned long expected, unsigned long actual) {
    say("FAIL line ");
    sayNumber(static_cast<unsigned long>(line));
    say(": ");
    say(what);
    say(": expected ");
    sayNumber(expected);
    say(", got ");
    sayNumber(actual);
    say("\n");
    ++failures;
}

#define CHECK(cond)                                      \
    do {                                                 \
        if (!(cond)) fail(__LINE__, #cond, 1, 0);        \
    } while (0)
#define CHECK_EQ(expected, actual)                                                        \
    do {                                                                                  \
        unsigned long e_ = (unsigned long)(expected), a_ = (unsigned long)(actual);       \
        if (e_ != a_) fail(__LINE__, #expected " == " #actual, e_, a_);                   \
    } while (0)

bool sameBytes(const void* a, const void* b, size_t n) {
    const unsigned char* x = static_cast<const unsigned char*>(a);
    const unsigned char* y = static_cast<const unsigned char*>(b);
    for (size_t i = 0; i < n; ++i)
        if (x[i] != y[i]) return false;
    return true;
}

unsigned long readU32(const unsigned char* p) {
    return p[0] | (static_cast<unsigned long>(p[1]) << 8) | (static_cast<unsigned long>(p[2]) << 16) |
           (static_cast<unsigned long>(p[3]) << 24);
}

unsigned long long readU64(const unsigned char* p) {
    return readU32(p) | (static_cast<unsigned long long>(readU32(p + 4)) << 32);
}

bool contains(const unsigned long* ids, unsigned long count, unsigned long id) {
    for (unsigned long i = 0; i < count; ++i)
        if (ids[i] == id) return true;
    return false;
}

wchar_t lower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool sameName(const wchar_t* a, const wchar_t* b) {
    for (; *a && *b; ++a, ++b)
        if (lower(*a) != lower(*b)) return false;
    return *a == *b;
}

// ------------------------------------------------------------------ import bindings

#define DECLARE_SLOT(var, symbol, exportName) extern "C" void* var __asm__(symbol);
RUNWARDEN_C_IMPORTS(DECLARE_SLOT)
RUNWARDEN_MSVC_IMPORTS(DECLARE_SLOT)

struct ImportCase {
    void* const* slot;
    const char* symbol;
    const char* exportName;
};
#define IMPORT_CASE(var, symbol, exportName) {&var, symbol, exportName},
const ImportCase importCases[] = {RUNWARDEN_C_IMPORTS(IMPORT_CASE) RUNWARDEN_MSVC_IMPORTS(IMPORT_CASE)};

void checkImportBindings() {
    void* dll = GetModuleHandleA("runwarden.dll");
    CHECK(dll != nullptr);
    if (!dll) return;
    for (const ImportCase& c : importCases) {
        void* exported = GetProcAddress(dll, c.exportName);
        if (!exported || *c.slot != exported) {
            say("FAIL: ");
            say(c.symbol);
            say(" is not bound to the export ");
            say(c.exportName);
            say("\n");
            ++failures;
        }
    }
}

// ------------------------------------------------------------------ a fake JNI environment

enum : unsigned {
    kDeleteLocalRef = 23,
    kGetObjectClass = 31,
    kGetFieldID = 94,
    kGetObjectField = 95,  // then Boolean, Byte, Char, Short, Int, Long, Float, Double
    kTableSize = 234
};

struct FakeField {
    const char* name;
    const char* signature;
    jvalue value;
};

// An object and its class are one structure; the class reference handed out is &classRef.
struct FakeObject : _jobject {
    const FakeField* fields;
    int count;
    _jobject classRef;
};

void* table[kTableSize];
JNIEnv_ env = {table};
bool pendingException = false;
int deletedRefs = 0;
_jobject* lastDeleted = nullptr;

bool sameText(const char* a, const char* b) {
    for (; *a && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}

FakeObject* objectOf(_jobject* cls) {
    return reinterpret_cast<FakeObject*>(reinterpret_cast<char*>(cls) - __builtin_offsetof(FakeObject, classRef));
}

_jobject* __stdcall getObjectClass(JNIEnv_*, _jobject* obj) { return &static_cast<FakeObject*>(obj)->classRef; }
const FakeField* __stdcall getFieldID(JNIEnv_*, _jobject* cls, const char* name, const char* signature) {
    const FakeObject* obj = objectOf(cls);
    for (int i = 0; i < obj->count; ++i)
        if (sameText(obj->fields[i].name, name) && sameText(obj->fields[i].signature, signature))
            return &obj->fields[i];
    pendingException = true;
    return nullptr;
}
void __stdcall deleteLocalRef(JNIEnv_*, _jobject* ref) {
    ++deletedRefs;
    lastDeleted = ref;
}
_jobject* __stdcall getObject(JNIEnv_*, _jobject*, const FakeField* f) { return f->value.l; }
unsigned char __stdcall getBoolean(JNIEnv_*, _jobject*, const FakeField* f) { return f->value.z; }
signed char __stdcall getByte(JNIEnv_*, _jobject*, const FakeField* f) { return f->value.b; }
unsigned short __stdcall getChar(JNIEnv_*, _jobject*, const FakeField* f) { return f->value.c; }
short __stdcall getShort(JNIEnv_*, _jobject*, const FakeField* f) { return f->value.s; }
long __stdcall getInt(JNIEnv_*, _jobject*, const FakeField* f) { return f->value.i; }
long long __stdcall getLong(JNIEnv_*, _jobject*, const FakeField* f) { return f->value.j; }
float __stdcall getFloat(JNIEnv_*, _jobject*, const FakeField* f) { return f->value.f; }
double __stdcall getDouble(JNIEnv_*, _jobject*, const FakeField* f) { return f->value.d; }

void setUpJni() {
    table[kDeleteLocalRef] = reinterpret_cast<void*>(deleteLocalRef);
    table[kGetObjectClass] = reinterpret_cast<void*>(getObjectClass);
    table[kGetFieldID] = reinterpret_cast<void*>(getFieldID);
    table[kGetObjectField + 0] = reinterpret_cast<void*>(getObject);
    table[kGetObjectField + 1] = reinterpret_cast<void*>(getBoolean);
    table[kGetObjectField + 2] = reinterpret_cast<void*>(getByte);
    table[kGetObjectField + 3] = reinterpret_cast<void*>(getChar);
    table[kGetObjectField + 4] = reinterpret_cast<void*>(getShort);
    table[kGetObjectField + 5] = reinterpret_cast<void*>(getInt);
    table[kGetObjectField + 6] = reinterpret_cast<void*>(getLong);
    table[kGetObjectField + 7] = reinterpret_cast<void*>(getFloat);
    table[kGetObjectField + 8] = reinterpret_cast<void*>(getDouble);
}

// ------------------------------------------------------------------ the checks

void checkFieldReads() {
    // The C++ declaration above, not natives.h's C one for callers without <jni.h>.
    jvalue(__stdcall* const getField)(JNIEnv_*, unsigned char*, _jobject*, const char*, const char*) =
        &JNU_GetFieldByName;
    static _jobject target;
    FakeField fields[9] = {};
    fields[0] = {"z", "Z", {}};
    fields[0].value.z = 1;
    fields[1] = {"b", "B", {}};
    fields[1].value.b = -5;
    fields[2] = {"c", "C", {}};
    fields[2].value.c = 0xFFFE;
    fields[3] = {"s", "S", {}};
    fields[3].value.s = -2;
    fields[4] = {"i", "I", {}};
    fields[4].value.i = -7;
    fields[5] = {"j", "J", {}};
    fields[5].value.j = 0x1122334455667788LL;
    fields[6] = {"f", "F", {}};
    fields[6].value.f = 1.5f;
    fields[7] = {"d", "D", {}};
    fields[7].value.d = -2.25;
    fields[8] = {"o", "Ljava/lang/Object;", {}};
    fields[8].value.l = &target;
    FakeObject obj;
    obj.fields = fields;
    obj.count = 9;

    for (const FakeField& field : fields) {
        // As compiled from the declaration: the member holds the value, every
        // other byte is 0 (as in the fixture's value).
        unsigned char flag = 0xAA;
        deletedRefs = 0;
        jvalue got = getField(&env, &flag, &obj, field.name, field.signature);
        if (!sameBytes(&got, &field.value, sizeof got)) fail(__LINE__, field.signature, 0, 1);
        CHECK_EQ(0, flag);
        CHECK_EQ(1, deletedRefs);
        CHECK(lastDeleted == &obj.classRef);

        // At the machine level: the callee removes its 20 bytes of arguments
        // (__stdcall) and the value comes back in EDX:EAX.
        unsigned long long edxEax = 0;
        const unsigned long args[5] = {reinterpret_cast<unsigned long>(&env), reinterpret_cast<unsigned long>(&flag),
                                       reinterpret_cast<unsigned long>(static_cast<_jobject*>(&obj)),
                                       reinterpret_cast<unsigned long>(field.name),
                                       reinterpret_cast<unsigned long>(field.signature)};
        CHECK_EQ(20, rawCall(reinterpret_cast<const void*>(getField), args, 5, &edxEax));
        if (!sameBytes(&edxEax, &field.value, sizeof edxEax)) fail(__LINE__, field.signature, 0, 1);
    }
    CHECK(!pendingException);

    unsigned char flag = 0xAA;
    const jvalue zero = {};
    jvalue got = JNU_GetFieldByName(&env, &flag, &obj, "i", "J");
    CHECK(sameBytes(&got, &zero, sizeof got));
    CHECK_EQ(0, flag);
    CHECK(pendingException);
}

void checkQueries(unsigned long self) {
    static unsigned long ids[1024];
    unsigned char record[WIN32EXT_PROCESS_RECORD_SIZE] = {};
    unsigned char viaAlias[WIN32EXT_PROCESS_RECORD_SIZE] = {};
    CHECK_EQ(0, GetProcessInformation(self, record));
    CHECK_EQ(self, readU32(record + 0x44));
    CHECK_EQ(0, Win32Ext_GetProcessInformation(self, viaAlias));
    CHECK_EQ(self, readU32(viaAlias + 0x44));

    unsigned long value = 0xFFFFFFFF, count = 0;
    CHECK_EQ(0, GetParentProcessId(self, &value));
    CHECK_EQ(readU32(record + 0x48), value);

    wchar_t name[260] = {}, path[260] = {};
    CHECK_EQ(0, GetProcessModuleName(self, name, 260));
    unsigned long n = GetModuleFileNameW(nullptr, path, 260);
    const wchar_t* base = path;
    for (unsigned long i = 0; i < n; ++i)
        if (path[i] == L'\\') base = path + i + 1;
    CHECK(sameName(name, base));

    CHECK_EQ(0, GetNumberOfProcesses(&value));
    CHECK(value >= 1);
    CHECK_EQ(0, GetChildProcesses(0, ids, 1024, &count));
    CHECK(contains(ids, count, self));
    count = 0;
    CHECK_EQ(0, GetProcessThreadIds(self, ids, 1024, &count));
    CHECK(contains(ids, count, GetCurrentThreadId()));
    count = 0;
    CHECK_EQ(0, GetProcessThreadHandles(self, ids, 1024, &count));
    CHECK(contains(ids, count, GetCurrentThreadId()));
    value = 0;
    CHECK_EQ(0, GetProcessHandle(self, &value));
    CHECK_EQ(self, value);
    CHECK_EQ(0, GetProcessCommitCharge(self, &value));

    FileTime creation, exit, kernel, user;
    Win32ExtSystemTime created = {}, expected = {};
    CHECK(GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user));
    CHECK(FileTimeToSystemTime(&creation, &expected));
    CHECK_EQ(0, GetProcessCreationTime(self, &created));
    CHECK(sameBytes(&created, &expected, sizeof created));
    // User and kernel time lie between those of a record copied before and one
    // copied after (Wine counts them apart from GetProcessTimes).
    unsigned long long userTime = ~0ull, kernelTime = ~0ull;
    unsigned char after[WIN32EXT_PROCESS_RECORD_SIZE] = {};
    CHECK_EQ(0, GetProcessUserTime(self, &userTime));
    CHECK_EQ(0, GetProcessKernelTime(self, &kernelTime));
    CHECK_EQ(0, GetProcessInformation(self, after));
    CHECK(readU64(record + 0x28) <= userTime && userTime <= readU64(after + 0x28));
    CHECK(readU64(record + 0x30) <= kernelTime && kernelTime <= readU64(after + 0x30));

    // The priority class follows from the record's base priority; a value
    // without a class (Wine records the class itself there) writes 0 and fails.
    const unsigned long priority = readU32(record + 0x40);
    const unsigned long expectedClass = priority == 4    ? 0x40
                                        : priority == 8  ? 0x20
                                        : priority == 13 ? 0x80
                                        : priority == 24 ? 0x100
                                                         : 0;
    value = 0xFFFF;
    CHECK_EQ(expectedClass ? 0 : 0xC0000001ul, GetProcessBasePriority(self, &value));
    CHECK_EQ(expectedClass, value);

    value = 0;
    CHECK_EQ(0, GetProcessID(GetCurrentProcess(), &value));
    CHECK_EQ(self, value);

    long usage = -1000;
    CHECK_EQ(0, GetCPUUsage(&usage));
    CHECK(usage >= -2 && usage <= 102);  // not clamped; counters from different clocks round

    // A __stdcall query at the machine level: 8 bytes removed by the callee.
    unsigned long long edxEax = 0;
    value = 0;
    const unsigned long args[2] = {self, reinterpret_cast<unsigned long>(&value)};
    CHECK_EQ(8, rawCall(reinterpret_cast<const void*>(&GetProcessHandle), args, 2, &edxEax));
    CHECK_EQ(0, static_cast<unsigned long>(edxEax));
    CHECK_EQ(self, value);
}

void checkHelpers(unsigned long self) {
    static unsigned long ids[1024];
    unsigned long count = 0;
    CHECK_EQ(0, GetChildProcesses(self, ids, 1024, &count));
    CHECK_EQ(count, numberOfChilds(self));
    const unsigned long all = numberOfChilds(0);
    CHECK(all >= 1 && all != 0xFFFFFFFFul);

    // __cdecl at the machine level: the caller removes the argument.
    unsigned long long edxEax = 0;
    const unsigned long args[1] = {self};
    CHECK_EQ(0, rawCall(reinterpret_cast<const void*>(&numberOfChilds), args, 1, &edxEax));
    CHECK_EQ(count, static_cast<unsigned long>(edxEax));

    CHECK_EQ(static_cast<unsigned long>(-1), killProcess(0xFFFFFFF0ul));  // names no process
}

unsigned int run() {
    const unsigned long self = GetCurrentProcessId();
    setUpJni();
    checkImportBindings();
    CHECK_EQ(1, Win32Ext_VersionOK());
    checkQueries(self);
    checkHelpers(self);
    checkFieldReads();
    say(failures ? "FAILED: " : "passed: ");
    sayNumber(static_cast<unsigned long>(failures));
    say(" failure(s)\n");
    return failures ? 1 : 0;
}

}  // namespace

extern "C" void __cdecl consumerEntry(void) { ExitProcess(run()); }
