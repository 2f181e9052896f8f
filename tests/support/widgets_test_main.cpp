#include <QApplication>

#include <gtest/gtest.h>

// Widget tests draw offscreen: no display needed, and every run renders the same pixels.

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
