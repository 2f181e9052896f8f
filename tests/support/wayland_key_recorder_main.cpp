// A Wayland window (argument: title and app_id) that prints "focus" when active and each key as
// "key <down|up> <XKB keycode> <keysym> <event time ms> <CLOCK_MONOTONIC ns> <modifiers>".

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

#include <chrono>
#include <cstdio>

namespace {

class Recorder final : public QWidget {
protected:
    void keyPressEvent(QKeyEvent* event) override { print("down", event); }
    void keyReleaseEvent(QKeyEvent* event) override { print("up", event); }
    void focusInEvent(QFocusEvent*) override {
        std::printf("focus\n");
        std::fflush(stdout);
    }

private:
    static void print(const char* direction, QKeyEvent* event) {
        // Repeats are the toolkit's own, made while a key is held; the compositor sent none.
        if (event->isAutoRepeat())
            return;
        const std::chrono::nanoseconds now = std::chrono::steady_clock::now().time_since_epoch();
        std::printf("key %s %u %u %llu %lld %u\n", direction, event->nativeScanCode(),
                    event->nativeVirtualKey(), static_cast<unsigned long long>(event->timestamp()),
                    static_cast<long long>(now.count()), event->modifiers().toInt());
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
