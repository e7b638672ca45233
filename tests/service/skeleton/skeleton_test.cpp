#include <gtest/gtest.h>
#include <windows.h>
TEST(Skeleton, RunsUnderWine) { EXPECT_NE(GetCurrentProcessId(), 0u); }
