// getPID under Wine: the id behind a real process handle held in a Java
// object's field "handle", with the platform's own answer for the same handle
// as the expectation.
#include <gtest/gtest.h>
#include <jni.h>

#include <string.h>

#include "jnihost.h"
#include "jninatives.h"
#include "runwarden/procinfo/backend.h"
#include "wineutil.h"

extern "C" {
jvalue JNICALL JNU_GetFieldByName(JNIEnv*, unsigned char*, jobject, const char*, const char*);
}

namespace {

using jnihost::JniHost;

// The id the platform gives for a handle (ProcessBasicInformation), or 0 when
// it will not answer for it.
DWORD rawIdOf(HANDLE h) {
    using QueryFn = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
    auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    BYTE basic[24] = {};
    if (!query || query(h, 0, basic, sizeof basic, nullptr) != 0) return 0;
    DWORD id;
    memcpy(&id, basic + 16, sizeof id);
    return id;
}

class GetPid : public ::testing::Test {
protected:
    void SetUp() override {
        Java_com_velmora_util_exec_ScriptProcessManager_init(nullptr, nullptr);
        ASSERT_EQ(rw::kBackendNative, rw::backendMode);
        child = wineutil::childproc({L"sleep"});
        ASSERT_TRUE(child.started()) << "error " << child.error();
        host.defineClass("com/example/IntHandle", {{"handle", "I"}});
        host.defineClass("com/example/LongHandle", {{"handle", "J"}});
    }

    // getPID of an object of the given class whose field "handle" holds h.
    jint pidThrough(const char* className, HANDLE h) {
        jobject process = host.newObject(className);
        jvalue v;
        memset(&v, 0, sizeof v);
        if (strcmp(className, "com/example/IntHandle") == 0) v.i = static_cast<jint>(reinterpret_cast<ULONG_PTR>(h));
        else v.j = static_cast<jlong>(reinterpret_cast<ULONG_PTR>(h));
        host.setField(process, "handle", v);
        return Java_com_velmora_util_exec_ScriptProcessManager_getPID(host.env(), nullptr, process);
    }

    wineutil::Child child;
    JniHost host;
};

TEST_F(GetPid, GivesTheIdBehindARealProcessHandle) {
    ASSERT_EQ(child.pid(), rawIdOf(child.handle()));
    for (const char* cls : {"com/example/IntHandle", "com/example/LongHandle"}) {
        EXPECT_EQ(static_cast<jint>(child.pid()), pidThrough(cls, child.handle())) << cls;
        EXPECT_FALSE(host.exceptionPending()) << cls << ": the int lookup's failure does not reach the caller";
    }
    // The pseudo-handle of the calling process is a handle the platform answers for.
    EXPECT_EQ(static_cast<jint>(GetCurrentProcessId()), pidThrough("com/example/IntHandle", GetCurrentProcess()));
    EXPECT_TRUE(host.jniErrors().empty());
}

// A handle the platform will not query gives 0, not -1: what it rejects is
// taken from the platform itself.
TEST_F(GetPid, AHandleThePlatformRejectsGivesZero) {
    HANDLE noQueryRight = OpenProcess(SYNCHRONIZE, FALSE, child.pid());
    ASSERT_NE(nullptr, noQueryRight);
    HANDLE closed = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, child.pid());
    ASSERT_NE(nullptr, closed);
    CloseHandle(closed);  // its value no longer names anything (nothing else opens a handle in between)
    HANDLE notAHandle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FFFFFF0));

    struct Case {
        const char* what;
        HANDLE handle;
    } const cases[] = {{"handle without query rights", noQueryRight},
                       {"closed handle", closed},
                       {"value that was never a handle", notAHandle}};
    int rejected = 0;
    for (const Case& c : cases) {
        const DWORD expected = rawIdOf(c.handle);
        rejected += expected == 0;
        EXPECT_EQ(static_cast<jint>(expected), pidThrough("com/example/IntHandle", c.handle)) << c.what;
    }
    EXPECT_GE(rejected, 2) << "the platform rejects at least the closed and the made-up handle";
    EXPECT_FALSE(host.exceptionPending());
    EXPECT_TRUE(host.jniErrors().empty());
    CloseHandle(noQueryRight);
}

// A real VM rejects such a signature in its field lookup already; a JNI table
// whose lookup accepts it shows that the type switch ends the VM with the
// fixed message rather than reading the field as anything.
TEST(FieldByName, AnIllegalSignatureIsAFatalError) {
    JniHost host;
    host.failures().acceptAnySignature = true;
    host.defineClass("com/example/Q", {{"q", "I"}});
    jobject obj = host.newObject("com/example/Q");
    unsigned char flag = 1;
    try {
        JNU_GetFieldByName(host.env(), &flag, obj, "q", "Q");
        FAIL() << "returned from FatalError";
    } catch (const JniHost::FatalErrorCalled& e) {
        EXPECT_EQ("JNU_GetFieldByName: illegal signature", e.message);
    }
}

}  // namespace
