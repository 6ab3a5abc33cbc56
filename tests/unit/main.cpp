#include "support/controller_access.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Tests never wait for the library's half-second ticks.
    vt::controllerTestAccess::setDefaultSchedule(5, 4);
    return RUN_ALL_TESTS();
}
