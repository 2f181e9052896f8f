#include "support/service_namespace.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

// The test process enters the private namespace before Qt or gtest start any thread; the agents
// it starts inherit it.

int main(int argc, char** argv) {
    if (!ServiceNamespace::enter())
        return 1;
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
