#include <gtest/gtest.h>
TEST(FatCore, Placeholder) {}
