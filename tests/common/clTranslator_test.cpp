#include <gtest/gtest.h>
TEST(Translator, Placeholder) {}
