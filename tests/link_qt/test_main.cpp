// The serial port runs on a thread with a Qt event dispatcher, as in the programs; without one
// Qt still works in blocking mode but warns about its unused socket notifiers.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QStandardPaths>

int main(int argc, char** argv) {
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
