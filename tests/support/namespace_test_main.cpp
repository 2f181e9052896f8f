#include "support/service_namespace.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

// For tests that run the real executable against fake services: the whole test process moves
// into the private namespace first, before Qt or gtest start any thread, and the agents it
// starts inherit it.
int main(int argc, char** argv) {
    if (!ServiceNamespace::enter())
        return 1;
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
