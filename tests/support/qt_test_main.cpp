#include <gtest/gtest.h>

#include "tests/support/qt_test_session.h"

// The main of every test program with windows that needs nothing more than the session.
int main(int argc, char** argv) {
    QtTestSession session(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
