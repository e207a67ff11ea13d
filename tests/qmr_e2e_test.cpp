#include <gtest/gtest.h>
TEST(E2E, Placeholder) {}
