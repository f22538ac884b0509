// Test fixture for everything that runs driver code: a fresh host kernel
// before each test, and no block of the driver's tag left after it.
#pragma once

#include <gtest/gtest.h>

#include "driver/elam.h"
#include "hostkernel/hostkernel.h"

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override { hk::ResetKernel(); }
    void TearDown() override {
        EXPECT_EQ(hk::PoolLiveCount(ELAM_POOL_TAG), 0u) << "blocks of tag Elbl leaked";
    }
};
