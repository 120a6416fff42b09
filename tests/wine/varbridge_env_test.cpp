// The Env natives on the real msvcrt.dll under Wine. The test shares the
// runtime's environment with the natives and checks each change through its own
// getenv and _putenv; what the runtime itself does with a text (an empty value,
// no equals sign) is the expectation for the natives.
#include <gtest/gtest.h>
#include <jni.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "jnihost.h"
#include "jninatives.h"

namespace {

using jnihost::JniHost;
const std::vector<std::string> kNone;
const char* const kNull = "<null>";

// The runtime's tables as the test sees them.
std::vector<std::string> narrowTable() {
    std::vector<std::string> out;
    for (char** t = *__p__environ(); t && *t; ++t) out.push_back(*t);
    return out;
}

std::vector<std::u16string> wideTable() {
    _wgetenv(L"PATH");  // the runtime builds its wide table on first use
    std::vector<std::u16string> out;
    for (wchar_t** t = *__p__wenviron(); t && *t; ++t) out.emplace_back(reinterpret_cast<const char16_t*>(*t));
    return out;
}

std::string raw(const char* name) {
    const char* v = getenv(name);
    return v ? v : kNull;
}

class Env : public ::testing::Test {
protected:
    void TearDown() override {
        for (const std::string& name : touched) _putenv((name + "=").c_str());
        EXPECT_EQ(0u, host.unreleasedStringChars());
        EXPECT_EQ(kNone, host.jniErrors());
        EXPECT_FALSE(host.exceptionPending()) << host.pendingClass();
    }

    // A variable name of this test, removed again afterwards.
    std::string name(const std::string& base) {
        const std::string n = "RW_ENV_TEST_" + base;
        touched.push_back(n);
        return n;
    }

    jstring str(const std::string& s) { return host.newStringUtf8(s); }

    std::vector<std::u16string> list() {
        jobjectArray array = Java_com_velmora_util_exec_Env_getEnvironments(host.env(), nullptr);
        EXPECT_NE(nullptr, array);
        std::vector<std::u16string> out;
        if (!array) return out;
        for (jobject e : host.elements(array)) out.push_back(e ? host.text(static_cast<jstring>(e)) : u"<null>");
        return out;
    }
    bool listed(const std::string& entry) {
        const std::u16string wanted(entry.begin(), entry.end());  // ASCII
        for (const std::u16string& e : list())
            if (e == wanted) return true;
        return false;
    }
    std::string get(jstring name) {
        jstring v = Java_com_velmora_util_exec_Env_getEnvironment(host.env(), nullptr, name);
        host.resetLocalReferenceCount();
        return v ? host.utf8(v) : kNull;
    }
    std::string get(const std::string& n) { return get(str(n)); }
    bool set(jstring n, jstring v) {
        return Java_com_velmora_util_exec_Env_setEnvironment(host.env(), nullptr, n, v) == JNI_TRUE;
    }
    bool set(const std::string& n, const std::string& v) { return set(str(n), str(v)); }
    bool set2(jstring entry) {
        return Java_com_velmora_util_exec_Env_setEnvironment2(host.env(), nullptr, entry) == JNI_TRUE;
    }
    bool set2(const std::string& entry) { return set2(str(entry)); }

    JniHost host;
    std::vector<std::string> touched;
};

TEST_F(Env, ListsTheRuntimesTableInOrderAsNameEqualsValue) {
    const std::string n = name("LISTED");
    ASSERT_EQ(0, _putenv((n + "=a=b c").c_str()));
    const std::vector<std::u16string> listing = list();
    EXPECT_EQ(wideTable(), listing);
    EXPECT_EQ(narrowTable().size(), listing.size());
    EXPECT_TRUE(listed(n + "=a=b c"));
}

TEST_F(Env, ReadsWhatTheRuntimeHolds) {
    const std::string set = name("READ"), unset = name("UNSET");
    ASSERT_EQ(0, _putenv((set + "=x y=z").c_str()));
    EXPECT_EQ("x y=z", get(set));
    EXPECT_EQ(kNull, get(unset));
    EXPECT_EQ(raw("PATH"), get("path")) << "names compare without case, as the runtime's";
}

TEST_F(Env, ChangesAreSeenByTheRuntimesOwnFunctions) {
    const std::string a = name("SET"), b = name("SET2");
    EXPECT_TRUE(set(a, "v=1"));
    EXPECT_TRUE(set2(b + "=w"));
    EXPECT_EQ("v=1", raw(a.c_str()));
    EXPECT_EQ("w", raw(b.c_str()));
    EXPECT_TRUE(listed(a + "=v=1"));
    EXPECT_TRUE(set(a, "replaced"));
    EXPECT_EQ("replaced", raw(a.c_str()));
    EXPECT_EQ("replaced", get(a));
}

// "NAME=" and "NAME": the natives report and do what _putenv does with the
// same text, done first on a variable of its own.
TEST_F(Env, AnEmptyValueAndATextWithoutEqualsDoWhatTheRuntimeDoes) {
    const std::string rawEmpty = name("RAW_EMPTY"), empty = name("EMPTY"), empty2 = name("EMPTY2");
    const std::string rawBare = name("RAW_BARE"), bare = name("BARE");
    for (const std::string& n : {rawEmpty, empty, empty2}) ASSERT_EQ(0, _putenv((n + "=before").c_str()));

    const bool rawEmptyAccepted = _putenv((rawEmpty + "=").c_str()) == 0;
    const std::string afterEmpty = raw(rawEmpty.c_str());
    EXPECT_EQ(rawEmptyAccepted, set(empty, ""));
    EXPECT_EQ(afterEmpty, raw(empty.c_str()));
    EXPECT_EQ(afterEmpty, get(empty));
    EXPECT_EQ(rawEmptyAccepted, set2(empty2 + "="));
    EXPECT_EQ(afterEmpty, get(empty2));

    const bool rawBareAccepted = _putenv(rawBare.c_str()) == 0;
    EXPECT_EQ(rawBareAccepted, set2(bare));
    EXPECT_EQ(raw(rawBare.c_str()), raw(bare.c_str()));
}

// Whole at any length the platform holds; an entry longer than 32 767
// characters is refused and changes nothing.
TEST_F(Env, LongEntriesRoundTripWholeAndTooLongOnesAreRefused) {
    const std::string n = name("BIG");
    struct Case {
        size_t entryLength;
        bool accepted;
    } const cases[] = {{1023, true}, {32000, true}, {32768, false}};
    for (const Case& c : cases) {
        for (bool whole : {false, true}) {
            SCOPED_TRACE(std::to_string(c.entryLength) + (whole ? " setEnvironment2" : " setEnvironment"));
            ASSERT_EQ(0, _putenv((n + "=old").c_str()));
            const std::string value(c.entryLength - n.size() - 1, whole ? 'w' : 'v');
            const std::string entry = n + "=" + value;
            EXPECT_EQ(c.accepted, whole ? set2(entry) : set(n, value));
            const std::string expected = c.accepted ? value : "old";
            EXPECT_EQ(expected, raw(n.c_str()));
            EXPECT_EQ(expected, get(n));
            EXPECT_TRUE(listed(n + "=" + expected));
        }
    }
}

TEST_F(Env, NullArgumentsGiveNullOrFalseAndChangeNothing) {
    const std::vector<std::string> before = narrowTable();
    EXPECT_EQ(kNull, get(static_cast<jstring>(nullptr)));
    EXPECT_FALSE(set(nullptr, str("v")));
    EXPECT_FALSE(set(str(name("NULL_VALUE")), nullptr));
    EXPECT_FALSE(set(nullptr, nullptr));
    EXPECT_FALSE(set2(nullptr));
    EXPECT_EQ(before, narrowTable());
}

}  // namespace
