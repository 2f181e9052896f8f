#include "event_log.h"

#include "model/text_rules.h"

#include <algorithm>

namespace vindaro {

EventLog::EventLog(Clock clock)
    : m_clock(clock ? std::move(clock) : Clock(&QDateTime::currentDateTime)) {}

void EventLog::append(const QString& message) {
    const QString line = QLatin1Char('[') + m_clock().toString(QStringLiteral("HH:mm:ss")) +
                         QStringLiteral("] ") + message + QLatin1Char('\n');

    // Every line ends in a line feed, after which a character always ends, so the boundaries of
    // the line alone are the boundaries it has within the whole text.
    const qsizetype lineStart = endOffset();
    for (const qsizetype end : characterEnds(line))
        m_characterEnds.push_back(lineStart + end);
    m_buffer += line;

    while (characterCount() > maxCharacters) {
        m_textStart = m_characterEnds.front();
        m_characterEnds.pop_front();
    }
    const qsizetype cut = m_textStart - m_bufferStart;
    if (cut > m_buffer.size() - cut) {
        m_buffer.remove(0, cut);
        m_bufferStart = m_textStart;
    }
}

QString EventLog::text() const {
    return m_buffer.sliced(m_textStart - m_bufferStart);
}

EventLog::Change EventLog::takeChange() {
    // The view shows [m_shownStart, m_shownEnd); the text is now [m_textStart, endOffset()).
    // Whatever the view shows before m_textStart is gone, and what it lacks starts where it
    // stopped, or at m_textStart when everything it showed is gone.
    Change change;
    change.removedFromFront = std::min(m_textStart, m_shownEnd) - m_shownStart;
    change.appended = m_buffer.sliced(std::max(m_shownEnd, m_textStart) - m_bufferStart);
    m_shownStart = m_textStart;
    m_shownEnd = endOffset();
    return change;
}

} // namespace vindaro
