// JNU_GetFieldByName and the native getPID on the stand-in: every field type,
// the failure rows and what each leaves pending for the Java caller.
#include <gtest/gtest.h>
#include "freshrunwarden.h"
#include <standin/control.h>

#include <cstring>

#include "jnihost.h"
#include "jninatives.h"
#include "runwarden/procinfo/backend.h"

extern "C" {
jvalue JNICALL JNU_GetFieldByName(JNIEnv* env, unsigned char* exceptionFlag, jobject obj, const char* name,
                                  const char* signature);
}

namespace {

using jnihost::JniHost;
const std::vector<std::string> kNone;

jvalue zero() {
    jvalue v;
    memset(&v, 0, sizeof v);
    return v;
}

std::string hex(const jvalue& v) {
    const auto* p = reinterpret_cast<const unsigned char*>(&v);
    std::string out;
    for (size_t i = 0; i < sizeof v; ++i) {
        char b[4];
        snprintf(b, sizeof b, "%02X ", p[i]);
        out += b;
    }
    return out;
}

class FieldByName : public ::testing::Test {
protected:
    void SetUp() override { standin::reset(); }

    jvalue read(jobject obj, const char* name, const char* signature) {
        flag = 0xAB;
        return JNU_GetFieldByName(host.env(), &flag, obj, name, signature);
    }

    JniHost host;
    unsigned char flag = 0xAB;
};

// Each first character of a signature: the value lands in its own member and
// every other byte of the 8-byte result is zero.
TEST_F(FieldByName, ReadsEachTypeIntoItsMemberAlone) {
    struct Case {
        const char* name;
        const char* signature;
        jvalue value;
    };
    jvalue b = zero(), c = zero(), d = zero(), f = zero(), i = zero(), j = zero(), s = zero(), z = zero();
    b.b = -2;
    c.c = 0xBEEF;
    d.d = -1.5;
    f.f = 3.25f;
    i.i = -123456789;
    j.j = 0x0123456789ABCDEFLL;
    s.s = -2;
    z.z = JNI_TRUE;
    const Case cases[] = {{"b", "B", b}, {"c", "C", c}, {"d", "D", d}, {"f", "F", f}, {"i", "I", i},
                          {"j", "J", j}, {"s", "S", s}, {"z", "Z", z}};
    std::vector<jnihost::FieldSpec> specs;
    for (const Case& k : cases) specs.push_back({k.name, k.signature});
    specs.push_back({"text", "Ljava/lang/String;"});
    specs.push_back({"list", "[Ljava/lang/String;"});
    host.defineClass("com/example/Fields", specs);
    jobject obj = host.newObject("com/example/Fields");
    for (const Case& k : cases) host.setField(obj, k.name, k.value);
    jvalue text = zero(), list = zero();
    text.l = host.newString(u"hello");
    list.l = host.newStringArray({u"a", u"b"});
    host.setField(obj, "text", text);
    host.setField(obj, "list", list);

    for (const Case& k : cases) {
        SCOPED_TRACE(k.signature);
        const jvalue got = read(obj, k.name, k.signature);
        EXPECT_EQ(hex(k.value), hex(got));
        EXPECT_EQ(0, flag);
        EXPECT_EQ(0u, host.liveLocalReferences()) << "the class reference is deleted";
    }
    for (const char* sig : {"Ljava/lang/String;", "[Ljava/lang/String;"}) {
        SCOPED_TRACE(sig);
        host.resetLocalReferenceCount();
        const jvalue got = read(obj, sig[0] == 'L' ? "text" : "list", sig);
        ASSERT_NE(nullptr, got.l);
        EXPECT_EQ(sig[0] == 'L' ? "java/lang/String" : "[Ljava/lang/String;", host.className(got.l));
        jvalue rest = got;
        rest.l = nullptr;
        EXPECT_EQ(hex(zero()), hex(rest));
        EXPECT_EQ(0, flag);
        EXPECT_EQ(1u, host.liveLocalReferences()) << "only the new reference, which the caller owns";
    }
    EXPECT_FALSE(host.exceptionPending());
    EXPECT_EQ(kNone, host.jniErrors());
}

TEST_F(FieldByName, AMissingFieldGivesZeroWithNoSuchFieldErrorPending) {
    host.defineClass("com/example/P", {{"handle", "J"}});
    jobject obj = host.newObject("com/example/P");
    jvalue v = zero();
    v.j = -1;
    host.setField(obj, "handle", v);

    for (auto [name, sig] : {std::pair<const char*, const char*>{"absent", "I"}, {"handle", "I"}}) {
        SCOPED_TRACE(std::string(name) + " " + sig);
        host.clearException();
        const jvalue got = read(obj, name, sig);
        EXPECT_EQ(hex(zero()), hex(got));
        EXPECT_EQ(0, flag);
        EXPECT_EQ("java/lang/NoSuchFieldError", host.pendingClass());
        EXPECT_EQ(0u, host.liveLocalReferences());
    }
    EXPECT_EQ(kNone, host.jniErrors());
}

TEST_F(FieldByName, AnIllegalSignatureIsAFatalError) {
    host.failures().acceptAnySignature = true;
    host.defineClass("com/example/Q", {{"q", "I"}});
    jobject obj = host.newObject("com/example/Q");
    try {
        read(obj, "q", "Q");
        FAIL() << "returned from FatalError";
    } catch (const JniHost::FatalErrorCalled& e) {
        EXPECT_EQ("JNU_GetFieldByName: illegal signature", e.message);
    }
}

// getPID over the rows of its failure table. The handle is a real one of the
// stand-in; "handle" fields hold it, 0, or a value whose low 32 bits are 0.
enum class Value { Absent, Zero, Handle, HighBitsOnly, Rejected };

struct PidCase {
    const char* name;
    Value intField, longField;
    bool expectPid;         // the process's id; otherwise `result`
    jint result;
    const char* pending;    // class left pending, "" for none
};

const PidCase kPidCases[] = {
    {"IntHandle", Value::Handle, Value::Absent, true, 0, ""},
    {"LongHandle", Value::Absent, Value::Handle, true, 0, ""},
    {"IntZeroThenLongHandle", Value::Zero, Value::Handle, true, 0, ""},
    {"NoHandleField", Value::Absent, Value::Absent, false, -1, "java/lang/NoSuchFieldError"},
    {"IntZeroWithoutLongField", Value::Zero, Value::Absent, false, -1, "java/lang/NoSuchFieldError"},
    {"IntZeroWithLongZero", Value::Zero, Value::Zero, false, -1, ""},
    {"LongZero", Value::Absent, Value::Zero, false, -1, ""},
    {"LongWithZeroLowBits", Value::Absent, Value::HighBitsOnly, false, -1, ""},
    {"IntHandleThePlatformRejects", Value::Rejected, Value::Absent, false, 0, ""},
    {"LongHandleThePlatformRejects", Value::Absent, Value::Rejected, false, 0, ""},
};

class GetPid : public ::testing::TestWithParam<PidCase> {
protected:
    void SetUp() override {
        freshRunwarden();
        ASSERT_EQ(1u, Win32Ext_VersionOK());
        ASSERT_EQ(rw::kBackendNative, rw::backendMode);
        pid = standin::addProcess({});
        handle = OpenProcess(0x1F0FFF, FALSE, pid);
        ASSERT_NE(nullptr, handle);
    }

    jlong valueOf(Value v) const {
        const jlong h = static_cast<jlong>(reinterpret_cast<uintptr_t>(handle));
        switch (v) {
            case Value::Handle: return h;
            case Value::HighBitsOnly: return static_cast<jlong>(0x100000000LL);
            case Value::Rejected: return 0x7FFF0000;  // no handle of the stand-in
            default: return 0;
        }
    }

    // A process object with the given "handle" fields.
    jobject processObject(Value intField, Value longField) {
        std::vector<jnihost::FieldSpec> fields;
        if (intField != Value::Absent) fields.push_back({"handle", "I"});
        if (longField != Value::Absent) fields.push_back({"handle", "J"});
        fields.push_back({"other", "I"});
        host.defineClass("com/example/Proc", fields);
        jobject obj = host.newObject("com/example/Proc");
        if (intField != Value::Absent) {
            jvalue v = zero();
            v.i = static_cast<jint>(valueOf(intField));
            host.setField(obj, "handle", "I", v);
        }
        if (longField != Value::Absent) {
            jvalue v = zero();
            v.j = valueOf(longField);
            host.setField(obj, "handle", "J", v);
        }
        return obj;
    }

    jint getPid(jobject obj) {
        return Java_com_velmora_util_exec_ScriptProcessManager_getPID(host.env(), nullptr, obj);
    }

    JniHost host;
    DWORD pid = 0;
    HANDLE handle = nullptr;
};

TEST_P(GetPid, FollowsItsTable) {
    const PidCase& c = GetParam();
    jobject obj = processObject(c.intField, c.longField);
    const jint got = getPid(obj);
    EXPECT_EQ(c.expectPid ? static_cast<jint>(pid) : c.result, got);
    EXPECT_EQ(c.pending, host.pendingClass());
    EXPECT_EQ(0u, host.liveLocalReferences());
    EXPECT_EQ(kNone, host.jniErrors());
}

INSTANTIATE_TEST_SUITE_P(Rows, GetPid, ::testing::ValuesIn(kPidCases),
                         [](const ::testing::TestParamInfo<PidCase>& info) { return info.param.name; });

TEST_F(GetPid, ANullObjectGivesMinusOneAndTouchesNothing) {
    EXPECT_EQ(-1, getPid(nullptr));
    EXPECT_FALSE(host.exceptionPending());
    EXPECT_TRUE(host.calls().empty());
}

TEST_F(GetPid, WithoutTheNativeBackEndEveryCallGivesMinusOne) {
    jobject obj = processObject(Value::Handle, Value::Absent);

    rw::backendMode = rw::kBackendNone;  // init never called
    EXPECT_EQ(-1, getPid(obj));

    standin::reset();
    rw::nativeServices = {};  // bindings outlive a selection: forget them
    standin::hideExport("NtQuerySystemInformation");
    ASSERT_EQ(1u, Win32Ext_VersionOK());
    ASSERT_EQ(rw::kBackendToolhelp, rw::backendMode);
    EXPECT_EQ(-1, getPid(obj));
    EXPECT_FALSE(host.exceptionPending());
    EXPECT_EQ(kNone, host.jniErrors());
}

}  // namespace
