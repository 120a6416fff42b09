#include <gtest/gtest.h>
TEST(varbridge, Builds) {}
