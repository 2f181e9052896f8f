#include "main_window.h"

#include "app/agent_text.h"
#include "app/event_log_view.h"
#include "model/constants.h"

#include <QApplication>
#include <QBoxLayout>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>

#include <algorithm>
#include <limits>

namespace vindaro {

namespace {

// Sizes are logical pixels, the unit of the window's own size, so the rows keep the proportions
// they were designed with whatever point size the desktop's font uses.
constexpr QSize initialContentSize{720, 570};
constexpr QSize minimumWindowSize{640, 520};
constexpr int logMinimumHeight = 150;
constexpr int logTextInset = 8;

QFont systemFont(int pixelSize, QFont::Weight weight) {
    QFont font = QApplication::font();
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

QFont monospacedFont(int pixelSize) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(pixelSize);
    font.setWeight(QFont::Normal);
    return font;
}

// Every text here is plain: none may be read as markup, whatever it holds.
QLabel* makeLabel(const QString& objectName, const QString& text, const QFont& font,
                  bool wrapping = false) {
    auto* label = new QLabel(text);
    label->setObjectName(objectName);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    label->setWordWrap(wrapping);
    return label;
}

QPushButton* makeButton(const QString& objectName, const QString& title) {
    auto* button = new QPushButton(title);
    button->setObjectName(objectName);
    return button;
}

void setTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    widget->setPalette(palette);
}

} // namespace

MainWindow::MainWindow(AgentActions& actions, EventLog::Clock clock, QWidget* parent)
    : QMainWindow(parent)
    , m_actions(actions) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(text(AgentText::windowTitle));
    buildMenu();

    auto* content = new QWidget;
    content->setObjectName(QStringLiteral("content"));

    auto* title = makeLabel(QStringLiteral("titleLabel"), text(AgentText::appName),
                            systemFont(28, QFont::Bold));
    auto* subtitle = makeLabel(QStringLiteral("subtitleLabel"), text(AgentText::subtitle),
                               systemFont(14, QFont::Normal), true);
    setTextColor(subtitle, shade(StatusColor::secondary));

    const QFont statusFont = systemFont(13, QFont::DemiBold);
    m_permissionLabel = makeLabel(QStringLiteral("permissionLabel"), QString(), statusFont);
    m_connectionLabel = makeLabel(QStringLiteral("connectionLabel"), QString(), statusFont);
    m_activityLabel = makeLabel(QStringLiteral("activityLabel"), QString(), statusFont);
    m_stopKeyLabel = makeLabel(QStringLiteral("stopKeyLabel"), QString(), statusFont, true);
    // The lines keep one height whatever they say, so the rows below do not move when the
    // controller first fills them in; a line with its emoji gives that height.
    m_connectionLabel->setText(text(AgentText::notConnected));
    const int lineHeight = m_connectionLabel->sizeHint().height();
    m_connectionLabel->clear();
    for (QLabel* label : {m_permissionLabel, m_connectionLabel, m_activityLabel, m_stopKeyLabel})
        label->setMinimumHeight(lineHeight);
    auto* statusStack = new QVBoxLayout;
    statusStack->setSpacing(7);
    for (QLabel* label : {m_permissionLabel, m_connectionLabel, m_activityLabel})
        statusStack->addWidget(label, 0, Qt::AlignLeft);

    auto* requestPermissionButton = makeButton(QStringLiteral("requestPermissionButton"),
                                               text(AgentText::requestPermissionButton));
    auto* openSettingsButton =
        makeButton(QStringLiteral("openSettingsButton"), text(AgentText::openSettingsButton));
    auto* permissionButtons = new QHBoxLayout;
    permissionButtons->setSpacing(8);
    permissionButtons->addWidget(requestPermissionButton);
    permissionButtons->addWidget(openSettingsButton);

    auto* topRow = new QHBoxLayout;
    topRow->setSpacing(10);
    topRow->addLayout(statusStack);
    topRow->addStretch(1);
    topRow->addLayout(permissionButtons);
    topRow->setAlignment(statusStack, Qt::AlignVCenter);
    topRow->setAlignment(permissionButtons, Qt::AlignVCenter);

    auto* instructions =
        makeLabel(QStringLiteral("instructionsLabel"), text(AgentText::instructions),
                  systemFont(13, QFont::Medium), true);

    m_bundleField = new QLineEdit;
    m_bundleField->setObjectName(QStringLiteral("bundleField"));
    m_bundleField->setAccessibleName(text(AgentText::codeField));
    m_bundleField->setPlaceholderText(text(AgentText::codeField));
    // Tokens may be pasted here: shown as bullets, and the field refuses to copy them out.
    m_bundleField->setEchoMode(QLineEdit::Password);
    // Never shortened: a text cut at the field's usual limit could pass checks the whole fails.
    m_bundleField->setMaxLength(std::numeric_limits<int>::max());
    m_bundleField->setFont(systemFont(17, QFont::DemiBold));
    auto* pasteButton = makeButton(QStringLiteral("pasteButton"), text(AgentText::pasteButton));
    auto* clearButton = makeButton(QStringLiteral("clearButton"), text(AgentText::clearButton));
    auto* inputRow = new QHBoxLayout;
    inputRow->setSpacing(8);
    inputRow->addWidget(m_bundleField, 1);
    inputRow->addWidget(pasteButton);
    inputRow->addWidget(clearButton);

    m_connectButton = makeButton(QStringLiteral("connectButton"), text(AgentText::connectButton));
    // Titled by the controller: what pressing it does depends on the state.
    m_pauseButton = makeButton(QStringLiteral("pauseButton"), QString());
    m_stopButton = makeButton(QStringLiteral("stopButton"), text(AgentText::stopButton));
    m_testButton = makeButton(QStringLiteral("testButton"), text(AgentText::testButton));
    auto* buttonsRow = new QHBoxLayout;
    buttonsRow->setSpacing(9);
    for (QPushButton* button : {m_connectButton, m_pauseButton, m_stopButton, m_testButton})
        buttonsRow->addWidget(button);
    buttonsRow->addStretch(1);

    // Where the keys go, and which keys the viewers may not press: both only for this run's
    // streamer to decide, so they sit right under the buttons that start and stop the agent.
    m_pinButton = makeButton(QStringLiteral("pinButton"), QString());
    m_pinLabel = makeLabel(QStringLiteral("pinLabel"), QString(), statusFont, true);
    m_pinLabel->setMinimumHeight(lineHeight);
    auto* pinRow = new QHBoxLayout;
    pinRow->setSpacing(9);
    pinRow->addWidget(m_pinButton);
    pinRow->addWidget(m_pinLabel, 1);

    auto* blockedKeysLabel = makeLabel(QStringLiteral("blockedKeysLabel"),
                                       text(AgentText::blockedKeysLabel), statusFont);
    m_blockedKeysField = new QLineEdit;
    m_blockedKeysField->setObjectName(QStringLiteral("blockedKeysField"));
    m_blockedKeysField->setAccessibleName(text(AgentText::blockedKeysLabel));
    m_blockedKeysField->setPlaceholderText(text(AgentText::blockedKeysExample));
    auto* blockedKeysRow = new QHBoxLayout;
    blockedKeysRow->setSpacing(8);
    blockedKeysRow->addWidget(blockedKeysLabel);
    blockedKeysRow->addWidget(m_blockedKeysField, 1);
    // How often the viewers may press sits with which keys they may not.
    const auto addLimitField = [&](const char* name, AgentText label, int width) {
        auto* field = new QLineEdit;
        field->setObjectName(QString::fromLatin1(name));
        field->setAccessibleName(text(label));
        field->setPlaceholderText(text(AgentText::limitOff));
        field->setFixedWidth(width);
        blockedKeysRow->addWidget(makeLabel(QString::fromLatin1(name) + QStringLiteral("Label"),
                                            text(label), statusFont));
        blockedKeysRow->addWidget(field);
        connect(field, &QLineEdit::editingFinished, this, [this] { m_actions.limitsEdited(); });
        return field;
    };
    m_cooldownField = addLimitField("cooldownField", AgentText::cooldownLabel, 64);
    m_perMinuteField = addLimitField("perMinuteField", AgentText::perMinuteLabel, 52);

    auto* warning = makeLabel(QStringLiteral("warningLabel"), text(AgentText::warning),
                              systemFont(12, QFont::Medium), true);
    setTextColor(warning, shade(StatusColor::orange));
    auto* logTitle = makeLabel(QStringLiteral("logTitleLabel"), text(AgentText::logTitle),
                               systemFont(13, QFont::DemiBold));

    m_logView = new EventLogView(std::move(clock));
    m_logView->setObjectName(QStringLiteral("logView"));
    m_logView->setAccessibleName(text(AgentText::logTitle));
    m_logView->setFont(monospacedFont(11));
    m_logView->document()->setDocumentMargin(logTextInset);
    m_logView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_logView->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    m_logView->setMinimumHeight(logMinimumHeight);

    auto* footer = makeLabel(QStringLiteral("footerLabel"), text(AgentText::footer),
                             systemFont(11, QFont::Normal));
    QColor tertiary = palette().color(QPalette::WindowText);
    tertiary.setAlphaF(0.4f);
    setTextColor(footer, tertiary);
    m_startWithDesktop = new QCheckBox(text(AgentText::startWithDesktop));
    m_startWithDesktop->setObjectName(QStringLiteral("startWithDesktopBox"));
    connect(m_startWithDesktop, &QCheckBox::toggled, this, &MainWindow::startWithDesktopToggled);
    auto* footerRow = new QHBoxLayout;
    footerRow->addWidget(footer, 1, Qt::AlignLeft);
    footerRow->addWidget(m_startWithDesktop);

    auto* mainStack = new QVBoxLayout(content);
    mainStack->setContentsMargins(24, 22, 24, 20);
    mainStack->setSpacing(13);
    mainStack->addWidget(title, 0, Qt::AlignLeft);
    // Wrapping labels take the full width so they wrap at the window's edge; their text still
    // starts at the left.
    mainStack->addWidget(subtitle);
    mainStack->addLayout(topRow);
    mainStack->addWidget(instructions);
    mainStack->addLayout(inputRow);
    mainStack->addLayout(buttonsRow);
    mainStack->addLayout(pinRow);
    mainStack->addWidget(m_stopKeyLabel);
    mainStack->addLayout(blockedKeysRow);
    mainStack->addWidget(warning);
    mainStack->addWidget(logTitle, 0, Qt::AlignLeft);
    mainStack->addWidget(m_logView, 1);
    mainStack->addLayout(footerRow);
    setCentralWidget(content);

    connect(requestPermissionButton, &QPushButton::clicked, this,
            [this] { m_actions.requestPermissionTapped(); });
    connect(openSettingsButton, &QPushButton::clicked, this,
            [this] { m_actions.openSettingsTapped(); });
    connect(pasteButton, &QPushButton::clicked, this, [this] { m_actions.pasteTapped(); });
    connect(clearButton, &QPushButton::clicked, this, [this] { m_actions.clearTapped(); });
    connect(m_connectButton, &QPushButton::clicked, this, [this] { m_actions.connectTapped(); });
    connect(m_pauseButton, &QPushButton::clicked, this, [this] { m_actions.pauseTapped(); });
    connect(m_stopButton, &QPushButton::clicked, this, [this] { m_actions.stopTapped(); });
    connect(m_testButton, &QPushButton::clicked, this, [this] { m_actions.testSpaceTapped(); });
    connect(m_pinButton, &QPushButton::clicked, this, [this] { m_actions.pinTapped(); });
    connect(m_blockedKeysField, &QLineEdit::editingFinished, this,
            [this] { m_actions.blockedKeysEdited(); });

    // Return (and the keypad's Enter) press the connect button from anywhere in the window, as
    // a default button does; while connect is disabled the keys do nothing.
    m_returnKey = new QShortcut(QKeySequence(Qt::Key_Return), this);
    m_enterKey = new QShortcut(QKeySequence(Qt::Key_Enter), this);
    for (QShortcut* key : {m_returnKey, m_enterKey})
        connect(key, &QShortcut::activated, this, &MainWindow::pressConnectIfEnabled);

    // The code is typed first, so the field has the focus when the window opens.
    m_bundleField->setFocus();

    // Thai text stands taller on this desktop than on the one the sizes were chosen for, so the
    // rows may need more height than the nominal sizes give; the window then grows to fit them
    // rather than letting them overlap. It is never smaller than the nominal sizes.
    QLayout* const rows = content->layout();
    const int menuHeight = menuBar()->sizeHint().height();
    const auto neededHeight = [rows](int width) {
        return rows->hasHeightForWidth() ? rows->minimumHeightForWidth(width)
                                         : rows->minimumSize().height();
    };
    setMinimumSize(
        minimumWindowSize.width(),
        std::max(minimumWindowSize.height(), menuHeight + neededHeight(minimumWindowSize.width())));
    resize(initialContentSize.width(),
           menuHeight +
               std::max(initialContentSize.height(), neededHeight(initialContentSize.width())));
    if (const QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
}

MainWindow::~MainWindow() = default;

void MainWindow::buildMenu() {
    QMenu* menu = menuBar()->addMenu(text(AgentText::appName));
    menu->setObjectName(QStringLiteral("appMenu"));
    QAction* about = menu->addAction(text(AgentText::aboutItem));
    about->setObjectName(QStringLiteral("aboutAction"));
    about->setMenuRole(QAction::AboutRole);
    connect(about, &QAction::triggered, this, &MainWindow::showAbout);
    menu->addSeparator();
    QAction* quit = menu->addAction(text(AgentText::quitItem));
    quit->setObjectName(QStringLiteral("quitAction"));
    quit->setMenuRole(QAction::QuitRole);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, &MainWindow::quitRequested);
}

void MainWindow::showAbout() {
    if (m_about) {
        m_about->raise();
        m_about->activateWindow();
        return;
    }
    // Not modal: the agent keeps working while the panel is open.
    m_about = new QMessageBox(QMessageBox::Information, text(AgentText::aboutItem),
                              text(AgentText::appName), QMessageBox::Ok, this);
    m_about->setObjectName(QStringLiteral("aboutBox"));
    m_about->setTextFormat(Qt::PlainText);
    m_about->setInformativeText(
        Qt::convertFromPlainText(text(AgentText::version, toQString(appVersion))));
    m_about->setAttribute(Qt::WA_DeleteOnClose);
    m_about->setModal(false);
    m_about->show();
}

void MainWindow::pressConnectIfEnabled() {
    // Return in the list of blocked keys or a limit finishes it; it must not connect as well.
    if (m_blockedKeysField->hasFocus() || m_cooldownField->hasFocus() ||
        m_perMinuteField->hasFocus()) {
        m_bundleField->setFocus();
        return;
    }
    if (m_connectButton->isEnabled())
        m_connectButton->click();
}

QColor MainWindow::shade(StatusColor color) const {
    // The desktop has no named status colours; these are shades that stay legible on a light
    // or a dark window background.
    const bool dark = palette().color(QPalette::Window).lightness() < 128;
    switch (color) {
    case StatusColor::green:
        return dark ? QColor(0x30, 0xd1, 0x58) : QColor(0x24, 0x8a, 0x3d);
    case StatusColor::red:
        return dark ? QColor(0xff, 0x45, 0x3a) : QColor(0xd7, 0x00, 0x15);
    case StatusColor::orange:
        return dark ? QColor(0xff, 0x9f, 0x0a) : QColor(0xc9, 0x34, 0x00);
    case StatusColor::secondary:
        break;
    }
    QColor secondary = palette().color(QPalette::WindowText);
    secondary.setAlphaF(0.6f);
    return secondary;
}

void MainWindow::setLine(QLabel* label, const QString& text, StatusColor color) {
    label->setText(text);
    setTextColor(label, shade(color));
}

void MainWindow::setPermissionLine(const QString& text, StatusColor color) {
    setLine(m_permissionLabel, text, color);
}

void MainWindow::setConnectionLine(const QString& text, StatusColor color) {
    setLine(m_connectionLabel, text, color);
}

void MainWindow::setActivityLine(const QString& text, StatusColor color) {
    setLine(m_activityLabel, text, color);
}

void MainWindow::setConnectEnabled(bool enabled) {
    m_connectButton->setEnabled(enabled);
    m_returnKey->setEnabled(enabled);
    m_enterKey->setEnabled(enabled);
}

void MainWindow::setPauseEnabled(bool enabled) {
    m_pauseButton->setEnabled(enabled);
}

void MainWindow::setStopEnabled(bool enabled) {
    m_stopButton->setEnabled(enabled);
}

void MainWindow::setTestEnabled(bool enabled) {
    m_testButton->setEnabled(enabled);
}

void MainWindow::setPauseTitle(const QString& title) {
    m_pauseButton->setText(title);
}

void MainWindow::setPinLine(const QString& text, StatusColor color) {
    setLine(m_pinLabel, text, color);
}

void MainWindow::setPinTitle(const QString& title) {
    m_pinButton->setText(title);
}

void MainWindow::setPinEnabled(bool enabled) {
    m_pinButton->setEnabled(enabled);
}

void MainWindow::setStopKeyLine(const QString& text, StatusColor color) {
    setLine(m_stopKeyLabel, text, color);
}

QString MainWindow::blockedKeysText() const {
    return m_blockedKeysField->text();
}

void MainWindow::setBlockedKeysText(const QString& text) {
    m_blockedKeysField->setText(text);
}

QString MainWindow::limitText(Limit limit) const {
    return (limit == Limit::cooldownMs ? m_cooldownField : m_perMinuteField)->text();
}

void MainWindow::setLimitText(Limit limit, const QString& text) {
    (limit == Limit::cooldownMs ? m_cooldownField : m_perMinuteField)->setText(text);
}

void MainWindow::showAtStart(bool minimised) {
    if (minimised) {
        showMinimized();
        return;
    }
    show();
    raise();
    activateWindow();
}

void MainWindow::setStartWithDesktop(bool checked) {
    const QSignalBlocker quiet(m_startWithDesktop);
    m_startWithDesktop->setChecked(checked);
}

QString MainWindow::inputText() const {
    return m_bundleField->text();
}

void MainWindow::setInputText(const QString& text) {
    m_bundleField->setText(text);
}

void MainWindow::appendLog(const QString& message) {
    m_logView->appendLog(message);
}

QString MainWindow::logText() const {
    return m_logView->log().text();
}

void MainWindow::showAlert(const QString& description) {
    QMessageBox alert(QMessageBox::Warning, text(AgentText::appName), text(AgentText::appName),
                      QMessageBox::NoButton, this);
    alert.setObjectName(QStringLiteral("alert"));
    alert.setTextFormat(Qt::PlainText);
    // Descriptions can carry a server's or the network's own words: never read them as markup.
    alert.setInformativeText(Qt::convertFromPlainText(description));
    alert.addButton(text(AgentText::alertButton), QMessageBox::AcceptRole);
    alert.exec();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    Q_EMIT quitRequested();
}

} // namespace vindaro
