#pragma once

#include "app/event_log.h"

#include <QPlainTextEdit>
#include <QTimer>

namespace vindaro {

// The event log on screen: a read-only, selectable text view that mirrors an EventLog. Lines are
// kept at once but shown at most once per frame, so a flood of lines costs one repaint per frame
// instead of one per line and the window stays responsive.
class EventLogView : public QPlainTextEdit {
    Q_OBJECT

public:
    explicit EventLogView(EventLog::Clock clock = {}, QWidget* parent = nullptr);

    // Adds one time-stamped line; the view shows it within a frame.
    void appendLog(const QString& message);

    const EventLog& log() const { return m_log; }

private:
    void showChanges();

    EventLog m_log;
    QTimer m_repaint;
    // How many UTF-16 units of the log the document holds; while no line holds "\r\n" (which
    // the document turns into one block break) this is also the document's length.
    qsizetype m_shownUnits = 0;
};

} // namespace vindaro
