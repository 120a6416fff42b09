#include <gtest/gtest.h>
TEST(dirlaunch, Builds) {}
