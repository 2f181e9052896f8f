#include "status_item.h"

#include "app/agent_text.h"
#include "app/main_window.h"

#include <QPainter>
#include <QPainterPath>

namespace vindaro {

namespace {

struct Look {
    const char* themeName = nullptr;
    QColor color;
};

Look lookOf(StatusItem::Standing standing) {
    switch (standing) {
    case StatusItem::Standing::notConnected:
        return {"network-offline", QColor(0x8e, 0x8e, 0x93)};
    case StatusItem::Standing::connecting:
        return {"network-idle", QColor(0xff, 0x9f, 0x0a)};
    case StatusItem::Standing::armed:
        return {"media-playback-start", QColor(0x30, 0xb8, 0x4f)};
    case StatusItem::Standing::paused:
        return {"media-playback-pause", QColor(0x0a, 0x84, 0xff)};
    case StatusItem::Standing::halted:
        return {"process-stop", QColor(0xe5, 0x26, 0x1c)};
    }
    return {};
}

// A disc in the state's colour with its sign in white, legible on a light or a dark panel.
QPixmap drawn(StatusItem::Standing standing, int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 32.0, size / 32.0);
    painter.setPen(QPen(QColor(0, 0, 0, 90), 1.5));
    painter.setBrush(lookOf(standing).color);
    painter.drawEllipse(QRectF(1.5, 1.5, 29, 29));
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    QPainterPath sign;
    switch (standing) {
    case StatusItem::Standing::notConnected: // a gap in a line: no link
        sign.addRect(7, 14.5, 7, 3);
        sign.addRect(18, 14.5, 7, 3);
        break;
    case StatusItem::Standing::connecting: // three dots: under way
        for (const qreal x : {8.0, 16.0, 24.0})
            sign.addEllipse(QPointF(x, 16), 2.5, 2.5);
        break;
    case StatusItem::Standing::armed: // play
        sign.moveTo(12, 8.5);
        sign.lineTo(24, 16);
        sign.lineTo(12, 23.5);
        sign.closeSubpath();
        break;
    case StatusItem::Standing::paused:
        sign.addRect(10.5, 9, 4, 14);
        sign.addRect(17.5, 9, 4, 14);
        break;
    case StatusItem::Standing::halted: // stop
        sign.addRect(10, 10, 12, 12);
        break;
    }
    painter.drawPath(sign);
    return pixmap;
}

} // namespace

StatusItem::Standing StatusItem::standingOf(const AgentState& state) {
    if (state.halted && !state.armed)
        return Standing::halted;
    switch (state.phase) {
    case ConnectionPhase::connected:
        return state.armed ? Standing::armed : Standing::paused;
    case ConnectionPhase::pairing:
    case ConnectionPhase::connecting:
    case ConnectionPhase::reconnecting:
        return Standing::connecting;
    case ConnectionPhase::notConnected:
    case ConnectionPhase::pairingFailed:
        break;
    }
    return state.pairing ? Standing::connecting : Standing::notConnected;
}

PanelItem::Status StatusItem::statusOf(Standing standing) {
    switch (standing) {
    case Standing::notConnected:
        return PanelItem::Status::passive;
    case Standing::connecting:
    case Standing::armed:
    case Standing::paused:
        break;
    case Standing::halted:
        return PanelItem::Status::needsAttention;
    }
    return PanelItem::Status::active;
}

QIcon StatusItem::icon(Standing standing) {
    QIcon fallback;
    for (const int size : {16, 22, 24, 32, 48, 64})
        fallback.addPixmap(drawn(standing, size));
    return QIcon::fromTheme(QString::fromLatin1(lookOf(standing).themeName), fallback);
}

QString StatusItem::toolTip(const AgentState& state, const ViewContent& content) {
    QStringList lines{text(AgentText::appName), content.connection.text, content.activity.text};
    if (state.pin == PinPhase::pinned)
        lines << content.pin.text;
    if (standingOf(state) == Standing::halted)
        lines << text(AgentText::haltedLine);
    return lines.join(u'\n');
}

StatusItem::StatusItem(AgentAppDelegate& agent, MainWindow& window, PanelItem* panel)
    : m_agent(agent)
    , m_window(window)
    , m_panel(panel) {
    m_pause = m_menu.addAction(QString(), this, [this] { m_agent.pauseTapped(); });
    m_stop = m_menu.addAction(text(AgentText::stopButton), this, [this] { m_agent.stopTapped(); });
    m_menu.addAction(text(AgentText::showWindowItem), this, [this] { showWindow(); });
    m_menu.addSeparator();
    // Closing the window is quitting; the panel's quit is the same way out.
    m_menu.addAction(text(AgentText::quitItem), this, [this] { Q_EMIT m_window.quitRequested(); });
    m_agent.observeState(
        [this](const AgentState& state, const ViewContent& content) { follow(state, content); });
    if (m_panel == nullptr) {
        useTrayIcon(true);
        return;
    }
    m_panel->show(m_menu.actions(), m_look,
                  {[this] { showWindow(); }, [this](bool onPanel) { useTrayIcon(!onPanel); }});
}

StatusItem::~StatusItem() {
    m_agent.observeState({});
    hide();
}

void StatusItem::hide() {
    if (m_panel != nullptr)
        m_panel->hide();
    if (m_trayIcon)
        m_trayIcon->hide();
}

void StatusItem::useTrayIcon(bool use) {
    if (!use) {
        if (m_trayIcon)
            m_trayIcon->hide();
        return;
    }
    if (!m_trayIcon) {
        m_trayIcon.emplace();
        m_trayIcon->setContextMenu(&m_menu);
        connect(&*m_trayIcon, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason why) {
                    if (why != QSystemTrayIcon::Context)
                        showWindow();
                });
    }
    m_trayIcon->setIcon(m_look.icon);
    m_trayIcon->setToolTip(m_look.toolTip);
    m_trayIcon->show();
}

void StatusItem::follow(const AgentState& state, const ViewContent& content) {
    // Each change is a message on the session bus for the panel: only real ones are sent.
    const Standing standing = standingOf(state);
    const QString tip = toolTip(state, content);
    if (m_standing != standing || m_look.toolTip != tip) {
        if (m_standing != standing)
            m_look = {statusOf(standing), icon(standing), tip};
        m_look.toolTip = tip;
        m_standing = standing;
        if (m_panel != nullptr)
            m_panel->setLook(m_look);
        if (m_trayIcon && m_trayIcon->isVisible())
            useTrayIcon(true);
    }
    m_pause->setText(content.pauseTitle);
    m_pause->setEnabled(content.pauseEnabled);
    m_stop->setEnabled(content.stopEnabled);
}

void StatusItem::showWindow() {
    if (m_window.isMinimized())
        m_window.showNormal();
    else
        m_window.show();
    m_window.raise();
    m_window.activateWindow();
}

} // namespace vindaro
