#include "entry/connection_test.h"
#include "entry/mode.h"
#include "entry/self_test.h"
#include "model/constants.h"
#include "relay/connection_probe.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMainWindow>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <span>

namespace {

constexpr std::chrono::seconds connectionTestTimeout{10};

int runApplication(int argc, char** argv) {
    QApplication application(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Vindaro Agent for macOS"));
    window.resize(720, 570);
    window.show();
    QApplication::exec();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // Parse the fixed endpoint before anything else: the process does not go on without it.
    (void)vindaro::pairingEndpoint();

    const std::span<const char* const> arguments(argv, static_cast<size_t>(argc));
    switch (vindaro::selectMode(arguments)) {
    case vindaro::Mode::selfTest: {
        const bool passed = vindaro::runSelfTest(std::cout);
        std::cout << (passed ? "SELF_TEST_OK" : "SELF_TEST_FAILED") << '\n' << std::flush;
        return passed ? 0 : 1;
    }
    case vindaro::Mode::connectionTest: {
        // The probe needs an event loop for its socket, but no window.
        QCoreApplication application(argc, argv);
        const int status = vindaro::runConnectionTest(stdin, std::cout, [](const QUrl& url) {
            return vindaro::ConnectionProbe().run(url, std::nullopt, connectionTestTimeout);
        });
        std::cout << std::flush;
        return status;
    }
    case vindaro::Mode::application:
        return runApplication(argc, argv);
    }
    return 1;
}
