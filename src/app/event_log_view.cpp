#include "event_log_view.h"

#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>

#include <chrono>

namespace vindaro {

namespace {

// One frame at 60 Hz.
constexpr std::chrono::milliseconds repaintDelay{16};

} // namespace

EventLogView::EventLogView(EventLog::Clock clock, QWidget* parent)
    : QPlainTextEdit(parent)
    , m_log(std::move(clock)) {
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setUndoRedoEnabled(false);
    m_repaint.setSingleShot(true);
    m_repaint.setInterval(repaintDelay);
    connect(&m_repaint, &QTimer::timeout, this, &EventLogView::showChanges);
}

void EventLogView::appendLog(const QString& message) {
    m_log.append(message);
    // Not restarted by later lines: under a steady flood the view still catches up every frame.
    if (!m_repaint.isActive())
        m_repaint.start();
}

void EventLogView::showChanges() {
    const EventLog::Change change = m_log.takeChange();
    QTextDocument* const document = this->document();
    const auto documentUnits = [document] { return qsizetype{document->characterCount()} - 1; };

    // Edit the document in place while its positions match the log's text one to one, so the
    // user's selection survives new lines; otherwise, or when nothing shown survives, start over
    // from the log's text.
    bool edited = false;
    if (documentUnits() == m_shownUnits && change.removedFromFront < m_shownUnits) {
        QTextCursor cursor(document);
        if (change.removedFromFront > 0) {
            cursor.setPosition(static_cast<int>(change.removedFromFront), QTextCursor::KeepAnchor);
            cursor.removeSelectedText();
        }
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(change.appended);
        m_shownUnits += change.appended.size() - change.removedFromFront;
        edited = documentUnits() == m_shownUnits;
    }
    if (!edited) {
        const QString text = m_log.text();
        setPlainText(text);
        m_shownUnits = text.size();
    }

    QScrollBar* const scrollBar = verticalScrollBar();
    scrollBar->setValue(scrollBar->maximum());
}

} // namespace vindaro
