#include <gtest/gtest.h>

#include "app/app_icon.h"
#include "tests/support/qt_test_session.h"

// The shell's windows also need the program's icons.
int main(int argc, char** argv) {
    QtTestSession session(argc, argv);
    installAppIconLoader();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
