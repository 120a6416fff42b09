// Back-end selection and binding on the stand-in.
#include <gtest/gtest.h>
#include <standin/control.h>

#include "runwarden/procinfo/backend.h"

namespace {

class Backend : public ::testing::Test {
protected:
    void SetUp() override {
        standin::reset();
        rw::backendMode = rw::kBackendNone;
        rw::nativeServices = {};
        rw::toolhelpServices = {};
    }
};

TEST_F(Backend, PrefersTheNativeServicesWhereBothExist) {
    EXPECT_EQ(1u, Win32Ext_VersionOK());
    EXPECT_EQ(rw::kBackendNative, rw::backendMode);
}

TEST_F(Backend, FallsBackToToolhelpWithoutTheNativeServices) {
    standin::hideExport("NtQueryInformationProcess");
    EXPECT_EQ(1u, Win32Ext_VersionOK());
    EXPECT_EQ(rw::kBackendToolhelp, rw::backendMode);
    EXPECT_EQ(nullptr, rw::nativeServices.querySystemInformation) << "a half binding is never recorded";
}

}  // namespace
