// The Env natives on the stand-in's msvcrt environment: listing, reading and
// setting, texts at and past the lengths that matter, null arguments and the
// VM's failures.
#include <gtest/gtest.h>
#include <standin/control.h>

#include "jnihost.h"

extern "C" {
JNIEXPORT jobjectArray JNICALL Java_com_velmora_util_exec_Env_getEnvironments(JNIEnv*, jclass);
JNIEXPORT jstring JNICALL Java_com_velmora_util_exec_Env_getEnvironment(JNIEnv*, jclass, jstring);
JNIEXPORT jboolean JNICALL Java_com_velmora_util_exec_Env_setEnvironment(JNIEnv*, jclass, jstring, jstring);
JNIEXPORT jboolean JNICALL Java_com_velmora_util_exec_Env_setEnvironment2(JNIEnv*, jclass, jstring);
}

namespace {

using jnihost::JniHost;
const std::vector<std::string> kNone;

class Env : public ::testing::Test {
protected:
    void SetUp() override {
        standin::reset();
        standin::setEnvironment({"PATH=C:\\bin", "HOME=C:\\home"});
    }
    void TearDown() override { standin::setEnvironment({}); }

    jstring str(const std::string& s) { return host.newStringUtf8(s); }

    // The listing as UTF-8 texts; null elements as "<null>".
    std::vector<std::string> list() {
        jobjectArray array = Java_com_velmora_util_exec_Env_getEnvironments(host.env(), nullptr);
        EXPECT_NE(nullptr, array);
        std::vector<std::string> out;
        if (!array) return out;
        for (jobject e : host.elements(array)) out.push_back(e ? host.utf8(static_cast<jstring>(e)) : "<null>");
        return out;
    }

    // The value as UTF-8; "<null>" when the native gives null. The returned
    // reference is the caller's, as after the native's return.
    std::string get(jstring name) {
        jstring v = Java_com_velmora_util_exec_Env_getEnvironment(host.env(), nullptr, name);
        host.resetLocalReferenceCount();
        return v ? host.utf8(v) : "<null>";
    }
    std::string get(const std::string& name) { return get(str(name)); }

    bool set(jstring name, jstring value) {
        return Java_com_velmora_util_exec_Env_setEnvironment(host.env(), nullptr, name, value) == JNI_TRUE;
    }
    bool set(const std::string& name, const std::string& value) { return set(str(name), str(value)); }

    bool set2(jstring entry) { return Java_com_velmora_util_exec_Env_setEnvironment2(host.env(), nullptr, entry) == JNI_TRUE; }
    bool set2(const std::string& entry) { return set2(str(entry)); }

    void expectClean() {
        EXPECT_EQ(0u, host.unreleasedStringChars());
        EXPECT_EQ(kNone, host.jniErrors());
        EXPECT_EQ(kNone, host.jniWarnings());
        EXPECT_FALSE(host.exceptionPending()) << host.pendingClass();
    }

    JniHost host;
};

TEST_F(Env, ListsEveryEntryWholeInTableOrder) {
    standin::setEnvironment({"ZETA=last=first", "alpha=1", "Mid=a b c"});
    EXPECT_EQ((std::vector<std::string>{"ZETA=last=first", "alpha=1", "Mid=a b c"}), list());
    EXPECT_EQ(1u, host.liveLocalReferences()) << "only the array: the class and each element are deleted";
    expectClean();
}

TEST_F(Env, AnEmptyTableGivesAnEmptyArray) {
    standin::setEnvironment({});
    EXPECT_EQ(std::vector<std::string>{}, list());
    expectClean();
}

TEST_F(Env, ReadsAVariableOrNull) {
    EXPECT_EQ("C:\\bin", get("PATH"));
    EXPECT_EQ("C:\\bin", get("path")) << "names compare without case, as msvcrt's";
    EXPECT_EQ("<null>", get("NOT_SET"));
    expectClean();
}

TEST_F(Env, SetVariablesAreReadAndListed) {
    EXPECT_TRUE(set("NEW", "value=with=equals"));
    EXPECT_TRUE(set2("OTHER=2"));
    EXPECT_TRUE(set("PATH", "C:\\other"));
    EXPECT_EQ("value=with=equals", get("NEW"));
    EXPECT_EQ("2", get("OTHER"));
    EXPECT_EQ((std::vector<std::string>{"PATH=C:\\other", "HOME=C:\\home", "NEW=value=with=equals", "OTHER=2"}), list());
    expectClean();
}

// What _putenv does with these texts is what the natives report.
TEST_F(Env, AnEmptyValueRemovesAndATextWithoutEqualsIsRefused) {
    EXPECT_TRUE(set("HOME", ""));
    EXPECT_EQ("<null>", get("HOME"));
    EXPECT_TRUE(set2("PATH="));
    EXPECT_EQ("<null>", get("PATH"));
    EXPECT_FALSE(set2("NOEQUALS"));
    EXPECT_EQ(std::vector<std::string>{}, list());
    expectClean();
}

// Texts are handled whole at any length the platform holds: 1023 bytes (one
// less than a 1024-byte buffer would hold with its NUL) and far beyond; an
// entry longer than 32 767 characters is refused and changes nothing.
TEST_F(Env, LongEntriesRoundTripWholeUntilThePlatformLimit) {
    struct Case {
        size_t entryLength;
        bool accepted;
    } cases[] = {{1023, true}, {1024, true}, {32000, true}, {32767, true}, {32768, false}, {40000, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entryLength);
        for (bool whole : {false, true}) {
            SCOPED_TRACE(whole ? "setEnvironment2" : "setEnvironment");
            standin::setEnvironment({"BIG=old"});
            host.resetLocalReferenceCount();
            const std::string name = "BIG";
            const std::string value(c.entryLength - name.size() - 1, 'v');
            const std::string entry = name + "=" + value;
            EXPECT_EQ(c.accepted, whole ? set2(entry) : set(name, value));
            EXPECT_EQ(c.accepted ? value : "old", get(name));
            EXPECT_EQ(std::vector<std::string>{c.accepted ? entry : "BIG=old"}, list());
        }
    }
    expectClean();
}

TEST_F(Env, NullArgumentsGiveNullOrFalse) {
    EXPECT_EQ("<null>", get(static_cast<jstring>(nullptr)));
    EXPECT_FALSE(set(nullptr, str("v")));
    EXPECT_FALSE(set(str("N"), nullptr));
    EXPECT_FALSE(set(nullptr, nullptr));
    EXPECT_FALSE(set2(nullptr));
    EXPECT_EQ((std::vector<std::string>{"PATH=C:\\bin", "HOME=C:\\home"}), list());
    expectClean();
}

TEST_F(Env, ALargeListingKeepsFewLocalReferencesLive) {
    std::vector<std::string> entries;
    for (int i = 0; i < 5000; ++i) entries.push_back("V" + std::to_string(i) + "=" + std::to_string(i * 7));
    standin::setEnvironment(entries);
    host.resetLocalReferenceCount();
    EXPECT_EQ(entries, list());
    EXPECT_LE(host.maxLiveLocalReferences(), 3u);
    expectClean();
}

// A VM that cannot do what is asked: the native gives null or false with the
// VM's exception pending, calls nothing more under it, and holds nothing.
TEST_F(Env, VmFailuresLeaveTheirExceptionAndNoMisuse) {
    struct Case {
        const char* name;
        void (*arm)(jnihost::Failures&);
    } cases[] = {
        {"FindClass", [](jnihost::Failures& f) { f.findClass = true; }},
        {"NewObjectArray", [](jnihost::Failures& f) { f.newObjectArray = true; }},
        {"NewStringUTF", [](jnihost::Failures& f) { f.newStringUTF = true; }},
        {"GetStringUTFChars", [](jnihost::Failures& f) { f.getStringUTFChars = true; }},
        {"SecondGetStringUTFChars", [](jnihost::Failures& f) { f.getStringUTFCharsFailAfter = 1; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        standin::setEnvironment({"A=1"});
        auto fresh = [&](JniHost& vm) { c.arm(vm.failures()); };
        {
            JniHost vm;
            fresh(vm);
            jobjectArray a = Java_com_velmora_util_exec_Env_getEnvironments(vm.env(), nullptr);
            if (vm.exceptionPending()) EXPECT_EQ(nullptr, a);
            EXPECT_EQ(kNone, vm.jniErrors());
        }
        {
            JniHost vm;
            fresh(vm);
            jstring v = Java_com_velmora_util_exec_Env_getEnvironment(vm.env(), nullptr, vm.newString(u"A"));
            if (vm.exceptionPending()) EXPECT_EQ(nullptr, v);
            EXPECT_EQ(kNone, vm.jniErrors());
            EXPECT_EQ(0u, vm.unreleasedStringChars());
        }
        {
            JniHost vm;
            fresh(vm);
            const jboolean ok = Java_com_velmora_util_exec_Env_setEnvironment(vm.env(), nullptr, vm.newString(u"B"),
                                                                             vm.newString(u"2"));
            if (vm.exceptionPending()) EXPECT_EQ(JNI_FALSE, ok);
            EXPECT_EQ(kNone, vm.jniErrors());
            EXPECT_EQ(0u, vm.unreleasedStringChars());
        }
        {
            JniHost vm;
            fresh(vm);
            const jboolean ok = Java_com_velmora_util_exec_Env_setEnvironment2(vm.env(), nullptr, vm.newString(u"C=3"));
            if (vm.exceptionPending()) EXPECT_EQ(JNI_FALSE, ok);
            EXPECT_EQ(kNone, vm.jniErrors());
            EXPECT_EQ(0u, vm.unreleasedStringChars());
        }
    }
}

}  // namespace
