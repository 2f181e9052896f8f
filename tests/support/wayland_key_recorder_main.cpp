// A native Wayland window that takes the keyboard focus and prints every key event it receives,
// one line each: "key <down|up> <XKB keycode> <keysym> <event time ms> <CLOCK_MONOTONIC ns>".
// Run with QT_QPA_PLATFORM=wayland; the first argument becomes the window's title and app_id.
#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

#include <cstdio>
#include <ctime>

namespace {

long long monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

class Recorder final : public QWidget {
protected:
    void keyPressEvent(QKeyEvent* event) override { print("down", event); }
    void keyReleaseEvent(QKeyEvent* event) override { print("up", event); }

private:
    static void print(const char* direction, QKeyEvent* event) {
        // Repeats are the toolkit's own, made while a key is held; the compositor sent none.
        if (event->isAutoRepeat())
            return;
        std::printf("key %s %u %u %llu %lld\n", direction, event->nativeScanCode(),
                    event->nativeVirtualKey(), static_cast<unsigned long long>(event->timestamp()),
                    monotonicNs());
        std::fflush(stdout);
    }
};

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const QString name = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("recorder");
    QGuiApplication::setDesktopFileName(name);
    Recorder window;
    window.setWindowTitle(name);
    window.setFocusPolicy(Qt::StrongFocus);
    window.resize(200, 100);
    window.show();
    return QApplication::exec();
}
