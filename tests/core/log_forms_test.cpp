#include "app/log_forms.h"

#include <gtest/gtest.h>

TEST(LogForms, Placeholder) { EXPECT_EQ(logform::decimal(-5), "-5"); }
