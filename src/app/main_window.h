#pragma once

#include "app/agent_view.h"
#include "app/event_log.h"

#include <QMainWindow>
#include <QPointer>

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPushButton;
class QShortcut;

namespace vindaro {

class EventLogView;

// The agent's one window. It shows what the controller tells it through AgentView and passes
// every button to AgentActions; it decides nothing itself. Widgets carry object names
// ("connectButton", "bundleField", "logView", …) so tests find them without coordinates.
class MainWindow : public QMainWindow, public AgentView {
    Q_OBJECT

public:
    // The actions must outlive the window. Without a clock the log reads the local time.
    explicit MainWindow(AgentActions& actions, EventLog::Clock clock = {},
                        QWidget* parent = nullptr);
    ~MainWindow() override;
    Q_DISABLE_COPY_MOVE(MainWindow)

    void setPermissionLine(const QString& text, StatusColor color) override;
    void setConnectionLine(const QString& text, StatusColor color) override;
    void setActivityLine(const QString& text, StatusColor color) override;

    void setConnectEnabled(bool enabled) override;
    void setPauseEnabled(bool enabled) override;
    void setStopEnabled(bool enabled) override;
    void setTestEnabled(bool enabled) override;
    void setPauseTitle(const QString& title) override;
    void setPinLine(const QString& text, StatusColor color) override;
    void setPinTitle(const QString& title) override;
    void setPinEnabled(bool enabled) override;
    void setStopKeyLine(const QString& text, StatusColor color) override;

    QString inputText() const override;
    void setInputText(const QString& text) override;
    QString blockedKeysText() const override;
    void setBlockedKeysText(const QString& text) override;
    QString limitText(Limit limit) const override;
    void setLimitText(Limit limit, const QString& text) override;

    void appendLog(const QString& message) override;
    void showAlert(const QString& description) override;

    // The whole log as kept, including lines the view has not painted yet.
    QString logText() const;

    // Shows the window as the agent starts: in front, or minimised when the desktop started it.
    void showAtStart(bool minimised);
    // The "start with the desktop" box; setting it says nothing back.
    void setStartWithDesktop(bool checked);

Q_SIGNALS:
    // The user asked to quit: the menu item, Ctrl+Q, or closing the window (which then closes).
    // Whoever owns the application ends it from here, after releasing what it holds.
    void quitRequested();
    // The streamer ticked or cleared the "start with the desktop" box.
    void startWithDesktopToggled(bool checked);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildMenu();
    void showAbout();
    void pressConnectIfEnabled();
    QColor shade(StatusColor color) const;
    void setLine(QLabel* label, const QString& text, StatusColor color);

    AgentActions& m_actions;
    QLabel* m_permissionLabel = nullptr;
    QLabel* m_connectionLabel = nullptr;
    QLabel* m_activityLabel = nullptr;
    QLabel* m_stopKeyLabel = nullptr;
    QLabel* m_pinLabel = nullptr;
    QPushButton* m_pinButton = nullptr;
    QLineEdit* m_blockedKeysField = nullptr;
    QLineEdit* m_cooldownField = nullptr;
    QLineEdit* m_perMinuteField = nullptr;
    QCheckBox* m_startWithDesktop = nullptr;
    QLineEdit* m_bundleField = nullptr;
    QPushButton* m_connectButton = nullptr;
    QPushButton* m_pauseButton = nullptr;
    QPushButton* m_stopButton = nullptr;
    QPushButton* m_testButton = nullptr;
    EventLogView* m_logView = nullptr;
    QShortcut* m_returnKey = nullptr;
    QShortcut* m_enterKey = nullptr;
    QPointer<QMessageBox> m_about;
};

} // namespace vindaro
