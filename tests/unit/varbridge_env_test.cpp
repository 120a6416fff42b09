// The Env natives on the stand-in's msvcrt environment: listing, reading and
// setting, texts beyond ASCII and what other modules see of them, texts at and
// past the lengths that matter, null arguments, U+0000 and the VM's failures.
#include <gtest/gtest.h>
#include <standin/control.h>

#include "jnihost.h"
#include "jninatives.h"

// msvcrt's own functions and tables, as another module of the process uses them.
#include <crtenv.h>

namespace {

using jnihost::JniHost;
const std::vector<std::string> kNone;

// A literal with its inner U+0000 kept.
template <size_t N>
std::u16string whole(const char16_t (&s)[N]) {
    return std::u16string(s, N - 1);
}

// msvcrt's narrow table, as another module of the process walks it.
std::vector<std::string> narrowTable() {
    std::vector<std::string> out;
    for (char** p = *__p__environ(); p && *p; ++p) out.push_back(*p);
    return out;
}

// A zero-terminated UTF-16 text for msvcrt's wide functions.
std::vector<WCHAR> wide(const std::string& utf8) {
    std::vector<WCHAR> w = standin::utf16(utf8);
    w.push_back(0);
    return w;
}

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

// Names and values beyond ASCII round trip whole through the natives, and
// msvcrt's narrow table, which another module's getenv reads, holds the same
// variables in the active code page: the exact bytes of the characters it can
// hold (é, ß in 1252), '?' for those it cannot (Ж, 日本); all of them in UTF-8.
TEST_F(Env, NonAsciiTextsRoundTripAndNarrowReadersSeeThemInTheCodePage) {
    struct Case {
        UINT codePage;
        const char* cafe;   // the narrow entries of the two variables set below
        const char* cjk;
        const char* cafeName;
    } cases[] = {
        {1252, "Caf\xE9=\xE9t\xE9 \xDF", "\?\?\?=\? \?\?", "Caf\xE9"},
        {65001, "Caf\u00E9=\u00E9t\u00E9 \u00DF", "\u0416\u65E5\u672C=\u0416 \u65E5\u672C", "Caf\u00E9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codePage);
        standin::setCodePage(c.codePage);
        standin::setEnvironment({"PATH=C:\\bin"});
        host.resetLocalReferenceCount();

        EXPECT_TRUE(set("Caf\u00E9", "\u00E9t\u00E9 \u00DF"));
        EXPECT_TRUE(set2("\u0416\u65E5\u672C=\u0416 \u65E5\u672C"));
        EXPECT_EQ("\u00E9t\u00E9 \u00DF", get("Caf\u00E9"));
        EXPECT_EQ("\u00E9t\u00E9 \u00DF", get("CAF\u00E9")) << "ASCII letters compare without case";
        EXPECT_EQ("\u0416 \u65E5\u672C", get("\u0416\u65E5\u672C"));
        EXPECT_EQ((std::vector<std::string>{"PATH=C:\\bin", "Caf\u00E9=\u00E9t\u00E9 \u00DF",
                                            "\u0416\u65E5\u672C=\u0416 \u65E5\u672C"}),
                  list());

        EXPECT_EQ((std::vector<std::string>{"PATH=C:\\bin", c.cafe, c.cjk}), narrowTable());
        const char* narrowValue = getenv(c.cafeName);
        ASSERT_NE(nullptr, narrowValue);
        EXPECT_EQ(std::string(c.cafe).substr(strlen(c.cafeName) + 1), narrowValue);
    }
    expectClean();
}

// Two names that differ only in characters the code page cannot hold are one
// name to a narrow reader ("?") but two variables to Java.
TEST_F(Env, NamesTheCodePageCannotTellApartStayTwoVariables) {
    EXPECT_TRUE(set("\u0416", "1"));
    EXPECT_TRUE(set("\u042F", "2"));
    EXPECT_EQ("1", get("\u0416"));
    EXPECT_EQ("2", get("\u042F"));
    EXPECT_EQ((std::vector<std::string>{"PATH=C:\\bin", "HOME=C:\\home", "\u0416=1", "\u042F=2"}), list());
    expectClean();
}

// What other modules set, through either of msvcrt's calls, reads back as the
// text they meant: narrow bytes are taken in the code page, wide text as is.
TEST_F(Env, VariablesSetByOtherModulesReadBackAsText) {
    ASSERT_EQ(0, _putenv("CAF\xC9=\xE9t\xE9 \x80"));  // 1252: CAFÉ=été €
    const std::vector<WCHAR> entry = wide("\u0416\u65E5=\u65E5\u672C \U0001F600");
    ASSERT_EQ(0, _wputenv(entry.data()));
    EXPECT_EQ("\u00E9t\u00E9 \u20AC", get("CAF\u00C9"));
    EXPECT_EQ("\u65E5\u672C \U0001F600", get("\u0416\u65E5"));
    EXPECT_EQ((std::vector<std::string>{"PATH=C:\\bin", "HOME=C:\\home", "CAF\u00C9=\u00E9t\u00E9 \u20AC",
                                        "\u0416\u65E5=\u65E5\u672C \U0001F600"}),
              list());
    expectClean();
}

// msvcrt builds its wide table only on a first wide call; a listing that is
// the process's first wide use of the environment still sees every entry,
// narrow bytes beyond ASCII taken in the code page.
TEST_F(Env, AFreshEnvironmentListsEveryEntryBeforeAnyWideCall) {
    standin::setEnvironment({"PATH=C:\\bin", "CAF\xC9=\xE9t\xE9", "EMPTY="});
    ASSERT_FALSE(standin::wideEnvironmentInitialised());
    EXPECT_EQ((std::vector<std::string>{"PATH=C:\\bin", "CAF\u00C9=\u00E9t\u00E9", "EMPTY="}), list());
    expectClean();
}

// No Windows text can hold U+0000. A name, value or entry holding it is
// refused (null, false) rather than cut short there, which would read or set
// another variable than the one asked for.
TEST_F(Env, TextsHoldingUPlus0000AreRefused) {
    EXPECT_EQ("<null>", get(host.newString(whole(u"PATH\0X"))));
    EXPECT_EQ("<null>", get(host.newString(whole(u"\0"))));
    EXPECT_FALSE(set(host.newString(whole(u"HOME\0X")), str("v")));
    EXPECT_FALSE(set(str("HOME"), host.newString(whole(u"v\0w"))));
    EXPECT_FALSE(set(str("NEW"), host.newString(whole(u"\0"))));
    EXPECT_FALSE(set2(host.newString(whole(u"HOME=v\0B=2"))));
    EXPECT_FALSE(set2(host.newString(whole(u"NEW=\0"))));
    EXPECT_EQ((std::vector<std::string>{"PATH=C:\\bin", "HOME=C:\\home"}), list());
    EXPECT_EQ(0, standin::liveAllocations());
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

// Texts are handled whole at any length the platform holds: 1023 (one less
// than a 1024-byte buffer would hold with its NUL) and far beyond; an entry
// longer than 32 767 UTF-16 characters is refused and changes nothing. The
// limit counts UTF-16 characters: not UTF-8 bytes (Ж takes two), not code
// points (U+1F600 takes two characters).
TEST_F(Env, LongEntriesRoundTripWholeUntilThePlatformLimit) {
    struct Case {
        size_t entryLength;  // UTF-16 characters, name and '=' included
        bool accepted;
    } cases[] = {{1023, true}, {1024, true}, {32000, true}, {32767, true}, {32768, false}, {40000, false}};
    for (const std::u16string filler : {u"v", u"\u0416", u"\U0001F600"}) {
        SCOPED_TRACE(host.utf8(host.newString(filler)));
        for (const Case& c : cases) {
            SCOPED_TRACE(c.entryLength);
            const std::u16string name = u"BIG";
            std::u16string value;
            while (value.size() + filler.size() <= c.entryLength - name.size() - 1) value += filler;
            value.resize(c.entryLength - name.size() - 1, u'v');
            const std::u16string entry = name + u"=" + value;
            ASSERT_EQ(c.entryLength, entry.size());
            const std::vector<WCHAR> w(value.begin(), value.end());
            const std::string valueUtf8 = standin::utf8(w.data(), w.size());
            for (bool whole : {false, true}) {
                SCOPED_TRACE(whole ? "setEnvironment2" : "setEnvironment");
                standin::setEnvironment({"BIG=old"});
                host.resetLocalReferenceCount();
                EXPECT_EQ(c.accepted, whole ? set2(host.newString(entry))
                                            : set(host.newString(name), host.newString(value)));
                EXPECT_EQ(c.accepted ? valueUtf8 : "old", get("BIG"));
                EXPECT_EQ(std::vector<std::string>{c.accepted ? "BIG=" + valueUtf8 : "BIG=old"}, list());
            }
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
        {"NewString", [](jnihost::Failures& f) { f.newString = true; }},
        {"GetStringChars", [](jnihost::Failures& f) { f.getStringChars = true; }},
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
