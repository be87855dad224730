#include "tests/e2e/e2e_support.h"

#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Before anything starts; removed after everything has ended.
    const quarn::test::TempDir drives("quarn-e2e-drives");
    quarn::e2e::SetProcessEnvironment(drives.path());
    // Offscreen unless a platform is named (xcb on Xvfb, to watch it run).
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
