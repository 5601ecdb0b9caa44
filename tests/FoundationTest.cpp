#include <gtest/gtest.h>
#include "TestSupport.h"
TEST_F(DataBaseManagerTest, Smoke) { EXPECT_TRUE(IsInit()); }
