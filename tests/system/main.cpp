#include "controller/vantorelle.h"
#include "support/controller_access.h"
#include "support/host_system.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testsupport::setProgram(argc > 0 ? argv[0] : nullptr);
    if (testsupport::runAsChild(argc, argv)) return 0;
    ::testing::InitGoogleTest(&argc, argv);
    // Tests never wait for the library's half-second ticks.
    vt::controllerTestAccess::setDefaultSchedule(20, 5);
    return RUN_ALL_TESTS();
}
