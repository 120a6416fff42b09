// The Env natives with texts beyond ASCII (é ß Ж 日本), on the real msvcrt.dll
// under Wine. The test shares the runtime's environment with the natives and
// reads back through the runtime's wide services (_wgetenv, the wide table)
// and the process environment (GetEnvironmentVariableW). What a module that
// reads the narrow getenv sees is computed from the platform: the text through
// the ANSI code page (GetACP), with '?' where that code page has no character.
#include <gtest/gtest.h>
#include <jni.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "jnihost.h"
#include "jninatives.h"
#include "wineutil.h"

namespace {

using jnihost::JniHost;

// é ß Ж 日本, spelled out so that the code stays ASCII.
const std::wstring kMixed = L"\u00e9\u00df\u0416\u65e5\u672c";
const std::wstring kNul(1, L'\0');

// The runtime's tables and its wide lookup, as the test sees them.
std::vector<std::wstring> wideTable() {
    _wgetenv(L"PATH");  // the runtime builds its wide table on first use
    std::vector<std::wstring> out;
    for (wchar_t** t = *__p__wenviron(); t && *t; ++t) out.emplace_back(*t);
    return out;
}

std::vector<std::string> narrowTable() {
    std::vector<std::string> out;
    for (char** t = *__p__environ(); t && *t; ++t) out.emplace_back(*t);
    return out;
}

bool contains(const std::vector<std::wstring>& table, const std::wstring& entry) {
    return std::find(table.begin(), table.end(), entry) != table.end();
}

// What the runtime's wide lookup gives; false when the variable is not set.
bool runtimeValue(const std::wstring& name, std::wstring* value) {
    const wchar_t* v = _wgetenv(name.c_str());
    if (v) *value = v;
    return v != nullptr;
}

bool processValue(const std::wstring& name, std::wstring* value) {
    const DWORD needed = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    if (needed == 0) return false;
    std::wstring v(needed, L'\0');
    const DWORD n = GetEnvironmentVariableW(name.c_str(), &v[0], needed);
    v.resize(n < needed ? n : 0);
    *value = v;
    return true;
}

class EnvText : public ::testing::Test {
protected:
    void TearDown() override {
        for (const std::wstring& name : touched) {
            _wputenv((name + L"=").c_str());
            SetEnvironmentVariableW(name.c_str(), nullptr);
        }
        EXPECT_EQ(0u, host.unreleasedStringChars());
        EXPECT_TRUE(host.jniErrors().empty());
        EXPECT_FALSE(host.exceptionPending()) << host.pendingClass();
    }

    // A variable name of this test, removed again afterwards.
    std::wstring name(const std::wstring& base) {
        const std::wstring n = L"RW_TEXT_" + base;
        touched.push_back(n);
        return n;
    }

    jstring str(const std::wstring& s) { return host.newString(std::u16string(s.begin(), s.end())); }
    std::wstring text(jstring s) {
        const std::u16string t = host.text(s);
        return std::wstring(t.begin(), t.end());
    }

    std::vector<std::wstring> list() {
        jobjectArray array = Java_com_velmora_util_exec_Env_getEnvironments(host.env(), nullptr);
        host.resetLocalReferenceCount();
        EXPECT_NE(nullptr, array);
        std::vector<std::wstring> out;
        if (!array) return out;
        for (jobject e : host.elements(array)) out.push_back(e ? text(static_cast<jstring>(e)) : L"<null>");
        return out;
    }
    // The value the native reads; false when it gives null.
    bool get(const std::wstring& n, std::wstring* value) {
        jstring v = Java_com_velmora_util_exec_Env_getEnvironment(host.env(), nullptr, str(n));
        host.resetLocalReferenceCount();
        if (v) *value = text(v);
        return v != nullptr;
    }
    bool set(const std::wstring& n, const std::wstring& v) {
        return Java_com_velmora_util_exec_Env_setEnvironment(host.env(), nullptr, str(n), str(v)) == JNI_TRUE;
    }
    bool set2(const std::wstring& entry) {
        return Java_com_velmora_util_exec_Env_setEnvironment2(host.env(), nullptr, str(entry)) == JNI_TRUE;
    }

    JniHost host;
    std::vector<std::wstring> touched;
};

// Set through either native, read back through the natives, the runtime's wide
// services and the process environment: the same text each time. The long
// value is more than 32 767 bytes in UTF-8 but fewer characters, which is what
// the platform's limit counts.
TEST_F(EnvText, NonAsciiNamesAndValuesRoundTrip) {
    struct Case {
        const char* what;
        std::wstring name, value;
        bool whole;  // setEnvironment2 with name=value, else setEnvironment
    } const cases[] = {
        {"setEnvironment", name(L"SET_" + kMixed), L"Gr\u00fc\u00dfe " + kMixed + L" \U0001D11E", false},
        {"setEnvironment2", name(L"SET2_" + kMixed), L"D:\\Donn\u00e9es\\" + kMixed, true},
        {"long value", name(L"LONG_" + kMixed), std::wstring(30000, L'\u65e5'), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring entry = c.name + L"=" + c.value;
        ASSERT_TRUE(c.whole ? set2(entry) : set(c.name, c.value));

        std::wstring value;
        ASSERT_TRUE(get(c.name, &value));
        EXPECT_EQ(c.value, value);
        EXPECT_TRUE(contains(list(), entry));
        EXPECT_TRUE(contains(wideTable(), entry));
        ASSERT_TRUE(runtimeValue(c.name, &value));
        EXPECT_EQ(c.value, value);
        ASSERT_TRUE(processValue(c.name, &value)) << "what a launched child inherits";
        EXPECT_EQ(c.value, value);
    }
}

// msvcrt keeps its narrow table in step, through the ANSI code page: é and ß
// survive where that code page holds them, and a character it cannot hold
// reads as '?' (or the code page's best fit), exactly as the platform's own
// conversion gives it.
TEST_F(EnvText, TheNarrowGetenvSeesTheTextThroughTheAnsiCodePage) {
    const std::wstring n = name(L"NARROW");
    const std::wstring value = L"Gr\u00fc\u00dfe " + kMixed;
    ASSERT_TRUE(set(n, value));

    const std::string expected = wineutil::narrow(value);
    RecordProperty("ansi_code_page", static_cast<int>(GetACP()));
    const char* seen = getenv(wineutil::narrow(n).c_str());
    ASSERT_NE(nullptr, seen);
    EXPECT_EQ(expected, seen);
    BOOL lossy = FALSE;
    WideCharToMultiByte(CP_ACP, 0, L"\u65e5", 1, nullptr, 0, nullptr, &lossy);
    if (lossy) EXPECT_NE(std::string::npos, std::string(seen).find('?')) << "this code page has no U+65E5";
    const std::vector<std::string> table = narrowTable();
    EXPECT_NE(table.end(), std::find(table.begin(), table.end(), wineutil::narrow(n + L"=" + value)));
}

// Variables that another module of the process set through the runtime: with
// _wputenv in UTF-16, and with _putenv in the bytes of the ANSI code page. The
// natives list and read each as the runtime's wide lookup gives it.
TEST_F(EnvText, VariablesSetThroughTheRuntimeAreListedAndRead) {
    const std::wstring wideName = name(L"WPUTENV_" + kMixed), wideValue = L"Gr\u00fc\u00dfe " + kMixed;
    ASSERT_EQ(0, _wputenv((wideName + L"=" + wideValue).c_str()));

    const std::wstring narrowName = name(L"PUTENV");
    const std::string bytes = wineutil::narrow(narrowName + L"=caf\u00e9 Gr\u00fc\u00dfe");
    ASSERT_EQ(0, _putenv(bytes.c_str()));

    struct Case {
        const char* what;
        std::wstring name, expected;
    } const cases[] = {
        {"_wputenv", wideName, wideValue},
        {"_putenv", narrowName, wineutil::widen(bytes.substr(bytes.find('=') + 1))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::wstring runtime;
        ASSERT_TRUE(runtimeValue(c.name, &runtime));
        EXPECT_EQ(c.expected, runtime);
        std::wstring value;
        ASSERT_TRUE(get(c.name, &value));
        EXPECT_EQ(runtime, value);
        EXPECT_TRUE(contains(list(), c.name + L"=" + runtime));
    }
}

// SetEnvironmentVariableW changes the process environment, not msvcrt's
// tables: the natives, which work on those tables, agree with the runtime's
// lookup about it at every point.
//
// What Wine's msvcrt does here differs from Windows' and is recorded: it builds
// its wide table from the process environment on first use, and rebuilds both
// tables from it on every _putenv or _wputenv, so such a variable appears in
// msvcrt's view at those moments. While both tables exist and nothing is put,
// it reaches neither table on either platform.
TEST_F(EnvText, AVariableSetOnlyInTheProcessEnvironmentIsSeenAsTheRuntimeSeesIt) {
    auto agree = [&](const std::wstring& n) {
        std::wstring runtime, native;
        const bool inRuntime = runtimeValue(n, &runtime);
        EXPECT_EQ(inRuntime, get(n, &native));
        if (inRuntime) EXPECT_EQ(runtime, native);
        bool inTable = false;
        for (const std::wstring& e : wideTable()) inTable = inTable || e.compare(0, n.size() + 1, n + L"=") == 0;
        bool listed = false;
        for (const std::wstring& e : list()) listed = listed || e.compare(0, n.size() + 1, n + L"=") == 0;
        EXPECT_EQ(inTable, listed);
        return inRuntime;
    };
    std::wstring value;

    // Set before the first wide call of the process, where the test runs first.
    const bool wideTableBuilt = *__p__wenviron() != nullptr;
    const std::wstring early = name(L"OS_EARLY_" + kMixed);
    ASSERT_TRUE(SetEnvironmentVariableW(early.c_str(), kMixed.c_str()));
    ASSERT_TRUE(processValue(early, &value));
    EXPECT_EQ(nullptr, getenv(wineutil::narrow(early).c_str())) << "the narrow table is not touched";
    const bool earlySeen = agree(early);
    if (wideTableBuilt) EXPECT_FALSE(earlySeen);
    else RecordProperty("set_before_the_wide_table_was_built", earlySeen ? "in the wide table" : "absent");

    // Set while both tables exist.
    wideTable();
    const std::wstring late = name(L"OS_LATE_" + kMixed);
    ASSERT_TRUE(SetEnvironmentVariableW(late.c_str(), kMixed.c_str()));
    ASSERT_TRUE(processValue(late, &value));
    EXPECT_EQ(nullptr, getenv(wineutil::narrow(late).c_str()));
    EXPECT_FALSE(contains(wideTable(), late + L"=" + kMixed));
    EXPECT_FALSE(agree(late)) << "neither table holds it";

    // After an unrelated change through the runtime.
    ASSERT_EQ(0, _wputenv((name(L"OTHER") + L"=x").c_str()));
    RecordProperty("after_a_later_wputenv", agree(late) ? "in msvcrt's tables" : "absent");
}

// U+0000 cannot be said to the runtime. Cut there, each of these texts would
// read PATH or set a variable; whole, reads give null and writes false, and the
// environment stays as it was.
TEST_F(EnvText, TextsHoldingUPlus0000AreRefused) {
    const std::wstring n = name(L"NUL");
    std::wstring value;
    ASSERT_TRUE(runtimeValue(L"PATH", &value)) << "precondition: PATH is set";
    EXPECT_FALSE(get(L"PATH" + kNul + L"X", &value));

    const std::vector<std::wstring> before = wideTable();
    const std::vector<std::string> narrowBefore = narrowTable();
    EXPECT_FALSE(set(n + kNul + L"X", L"v"));
    EXPECT_FALSE(set(n, L"v" + kNul + L"w"));
    EXPECT_FALSE(set2(n + L"=v" + kNul + L"w"));
    EXPECT_EQ(before, wideTable());
    EXPECT_EQ(narrowBefore, narrowTable());
    EXPECT_FALSE(runtimeValue(n, &value));
    EXPECT_FALSE(processValue(n, &value));
}

}  // namespace
