#include "host_gtest.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    host::testing::InstallGTestGlue();
    return RUN_ALL_TESTS();
}
