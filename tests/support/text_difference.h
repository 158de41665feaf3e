// Compares long texts (whole files) and, when they differ, shows where: the
// first differing line of each rather than both texts whole.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace ulvane::test {

// Use as EXPECT_TRUE(same_text(actual, expected)).
::testing::AssertionResult same_text(const std::string& actual, const std::string& expected);

}  // namespace ulvane::test
