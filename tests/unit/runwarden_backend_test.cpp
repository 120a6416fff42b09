// Back-end selection and binding on the stand-in.
#include <gtest/gtest.h>
#include "freshrunwarden.h"
#include <standin/control.h>

#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "runwarden/procinfo/backend.h"

namespace {

class Backend : public ::testing::Test {
protected:
    void SetUp() override {
        freshRunwarden();
    }

    static bool toolhelpUnbound() {
        const rw::ToolhelpServices& t = rw::toolhelpServices;
        return !t.createSnapshot && !t.process32First && !t.process32Next && !t.thread32First && !t.thread32Next;
    }
    static bool toolhelpBound() {
        const rw::ToolhelpServices& t = rw::toolhelpServices;
        return t.createSnapshot && t.process32First && t.process32Next && t.thread32First && t.thread32Next;
    }
};

TEST_F(Backend, PrefersTheNativeServicesWhereBothExist) {
    EXPECT_EQ(1u, Win32Ext_VersionOK());
    EXPECT_EQ(rw::kBackendNative, rw::backendMode);
}

TEST_F(Backend, PrefersTheNativeServicesOnThe9xFamilyToo) {
    standin::setPlatformId(VER_PLATFORM_WIN32_WINDOWS);
    EXPECT_EQ(1u, Win32Ext_VersionOK());
    EXPECT_EQ(rw::kBackendNative, rw::backendMode);
}

TEST_F(Backend, FallsBackToToolhelpWithoutTheNativeServices) {
    standin::hideExport("NtQueryInformationProcess");
    EXPECT_EQ(1u, Win32Ext_VersionOK());
    EXPECT_EQ(rw::kBackendToolhelp, rw::backendMode);
    EXPECT_EQ(nullptr, rw::nativeServices.querySystemInformation) << "a half binding is never recorded";
}

// Whatever piece of the NT services is missing, and whatever the platform id.
TEST_F(Backend, AnyMissingNativePieceSelectsToolhelp) {
    struct Case {
        const char* module;
        const char* exportName;
        DWORD platform;
    };
    const Case cases[] = {
        {"NTDLL", nullptr, VER_PLATFORM_WIN32_NT},
        {nullptr, "NtQuerySystemInformation", VER_PLATFORM_WIN32_NT},
        {nullptr, "NtQueryInformationProcess", VER_PLATFORM_WIN32_WINDOWS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.module ? c.module : c.exportName);
        SetUp();
        standin::setPlatformId(c.platform);
        if (c.module) standin::hideModule(c.module);
        if (c.exportName) standin::hideExport(c.exportName);
        EXPECT_EQ(1u, Win32Ext_VersionOK());
        EXPECT_EQ(rw::kBackendToolhelp, rw::backendMode);
        EXPECT_TRUE(toolhelpBound());
        EXPECT_EQ(nullptr, rw::nativeServices.querySystemInformation);
        EXPECT_EQ(nullptr, rw::nativeServices.queryInformationProcess);
    }
}

TEST_F(Backend, OneMissingToolhelpFunctionSelectsNone) {
    for (const char* name :
         {"CreateToolhelp32Snapshot", "Process32First", "Process32Next", "Thread32First", "Thread32Next"}) {
        SCOPED_TRACE(name);
        SetUp();
        rw::backendMode = rw::kBackendNative;  // a stale selection is overwritten
        standin::hideModule("NTDLL");
        standin::hideExport(name);
        EXPECT_EQ(0u, Win32Ext_VersionOK());
        EXPECT_EQ(rw::kBackendNone, rw::backendMode);
        EXPECT_TRUE(toolhelpUnbound()) << "none of the five is recorded";
    }
}

TEST_F(Backend, MissingKernel32SelectsNone) {
    standin::hideModule("NTDLL");
    standin::hideModule("KERNEL32");
    EXPECT_EQ(0u, Win32Ext_VersionOK());
    EXPECT_EQ(rw::kBackendNone, rw::backendMode);
}

TEST_F(Backend, SecondNativeSelectionReusesTheBoundEntryPoints) {
    ASSERT_EQ(1u, Win32Ext_VersionOK());
    const auto bound = rw::nativeServices;
    const unsigned modules = standin::moduleLookups(), exports = standin::exportLookups();
    EXPECT_EQ(1u, Win32Ext_VersionOK());
    EXPECT_EQ(rw::kBackendNative, rw::backendMode);
    EXPECT_EQ(modules, standin::moduleLookups());
    EXPECT_EQ(exports, standin::exportLookups());
    EXPECT_EQ(bound.querySystemInformation, rw::nativeServices.querySystemInformation);
}

// After a Toolhelp selection the NT services are looked for again (they may
// have become available), but the bound Toolhelp functions are re-used.
TEST_F(Backend, SecondToolhelpSelectionLooksOnlyForTheNativeServices) {
    standin::hideExport("NtQuerySystemInformation");
    ASSERT_EQ(1u, Win32Ext_VersionOK());
    ASSERT_EQ(rw::kBackendToolhelp, rw::backendMode);
    const unsigned modules = standin::moduleLookups(), exports = standin::exportLookups();
    EXPECT_EQ(1u, Win32Ext_VersionOK());
    EXPECT_EQ(rw::kBackendToolhelp, rw::backendMode);
    EXPECT_EQ(modules + 1, standin::moduleLookups()) << "NTDLL only";
    EXPECT_EQ(exports + 1, standin::exportLookups()) << "NtQuerySystemInformation only";
}

TEST_F(Backend, FailedBindingsAreTriedAgainOnTheNextCall) {
    standin::hideModule("NTDLL");
    standin::hideExport("Thread32Next");
    ASSERT_EQ(0u, Win32Ext_VersionOK());

    standin::reset();  // the services appear
    standin::hideModule("NTDLL");
    EXPECT_EQ(1u, Win32Ext_VersionOK());
    EXPECT_EQ(rw::kBackendToolhelp, rw::backendMode);

    standin::reset();
    EXPECT_EQ(1u, Win32Ext_VersionOK());
    EXPECT_EQ(rw::kBackendNative, rw::backendMode) << "the native back end wins once it can be bound";
}

// Our documented choice: a failed version query never leads to the Toolhelp
// attempt, even where Toolhelp was bound before; the NT services still win.
TEST_F(Backend, FailedVersionQuery) {
    standin::failVersionQuery(true);
    EXPECT_EQ(1u, Win32Ext_VersionOK());
    EXPECT_EQ(rw::kBackendNative, rw::backendMode);

    SetUp();
    standin::hideModule("NTDLL");
    ASSERT_EQ(1u, Win32Ext_VersionOK());  // Toolhelp bound while the query works
    standin::failVersionQuery(true);
    const unsigned exports = standin::exportLookups();
    EXPECT_EQ(0u, Win32Ext_VersionOK());
    EXPECT_EQ(rw::kBackendNone, rw::backendMode);
    EXPECT_EQ(exports, standin::exportLookups());
}

// Every member of the family answers 1151 while no back end is selected and
// leaves its out-parameters alone; GetCPUUsage alone writes 0.
TEST_F(Backend, EveryQueryAnswers1151BeforeSelection) {
    constexpr DWORD kMark = 0xA5A5A5A5;
    struct Outs {
        DWORD a[4] = {kMark, kMark, kMark, kMark};
        DWORD k = kMark;
        WCHAR name[4] = {0xA5A5, 0xA5A5, 0xA5A5, 0xA5A5};
        BYTE record[136];
        Win32ExtSystemTime time;
        unsigned long long t = 0xA5A5A5A5A5A5A5A5ull;
        long usage = static_cast<long>(kMark);
        Outs() {
            memset(record, 0xA5, sizeof record);
            memset(&time, 0xA5, sizeof time);
        }
        bool untouched() const {
            Outs fresh;
            return memcmp(a, fresh.a, sizeof a) == 0 && k == kMark && memcmp(name, fresh.name, sizeof name) == 0 &&
                   memcmp(record, fresh.record, sizeof record) == 0 && memcmp(&time, &fresh.time, sizeof time) == 0 &&
                   t == fresh.t && usage == fresh.usage;
        }
    };
    struct Query {
        const char* name;
        std::function<ULONG(Outs&)> call;
    };
    const std::vector<Query> queries = {
        {"GetProcessInformation", [](Outs& o) { return GetProcessInformation(1000, o.record); }},
        {"GetProcessModuleName", [](Outs& o) { return GetProcessModuleName(1000, o.name, 4); }},
        {"GetParentProcessId", [](Outs& o) { return GetParentProcessId(1000, &o.k); }},
        {"GetChildProcesses", [](Outs& o) { return GetChildProcesses(0, o.a, 4, &o.k); }},
        {"GetNumberOfProcesses", [](Outs& o) { return GetNumberOfProcesses(&o.k); }},
        {"GetProcessThreadHandles", [](Outs& o) { return GetProcessThreadHandles(1000, o.a, 4, &o.k); }},
        {"GetProcessHandle", [](Outs& o) { return GetProcessHandle(1000, &o.k); }},
        {"GetProcessThreadIds", [](Outs& o) { return GetProcessThreadIds(1000, o.a, 4, &o.k); }},
        {"GetProcessCommitCharge", [](Outs& o) { return GetProcessCommitCharge(1000, &o.k); }},
        {"GetProcessCreationTime", [](Outs& o) { return GetProcessCreationTime(1000, &o.time); }},
        {"GetProcessUserTime", [](Outs& o) { return GetProcessUserTime(1000, &o.t); }},
        {"GetProcessKernelTime", [](Outs& o) { return GetProcessKernelTime(1000, &o.t); }},
        {"GetProcessBasePriority", [](Outs& o) { return GetProcessBasePriority(1000, &o.k); }},
        {"GetProcessID", [](Outs& o) { return GetProcessID(GetCurrentProcess(), &o.k); }},
    };

    auto checkAll = [&] {
        for (const Query& q : queries) {
            SCOPED_TRACE(q.name);
            Outs o;
            EXPECT_EQ(1151u, q.call(o));
            EXPECT_TRUE(o.untouched());
        }
        long usage = 77;
        EXPECT_EQ(1151u, GetCPUUsage(&usage));
        EXPECT_EQ(0, usage);
        EXPECT_EQ(1151u, GetCPUUsage(nullptr)) << "no back end comes before the null check";
        EXPECT_TRUE(standin::ntCalls().empty());
        EXPECT_EQ(0u, standin::toolhelpSnapshots());
    };
    {
        SCOPED_TRACE("never selected");
        checkAll();
    }
    {
        SCOPED_TRACE("after a selection that found nothing");
        standin::hideModule("NTDLL");
        standin::hideModule("KERNEL32");
        ASSERT_EQ(0u, Win32Ext_VersionOK());
        checkAll();
    }
}

}  // namespace
