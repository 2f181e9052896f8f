#pragma once

#include <QDateTime>
#include <QString>

#include <deque>
#include <functional>

namespace vindaro {

// The text of the window's event log, without any widget: one "[HH:mm:ss] message" line per
// entry, keeping only the newest maxCharacters user-perceived characters. Appending costs time in
// proportion to the new line, never to the whole log, so a flood of lines stays cheap; a view
// mirrors the text by taking the changes whenever it is ready to repaint.
class EventLog {
public:
    // The wall clock the time stamps are read from; local time.
    using Clock = std::function<QDateTime()>;

    static constexpr qsizetype maxCharacters = 20000;

    // Without a clock the log reads the current local time.
    explicit EventLog(Clock clock = {});

    // Appends "[", the time as HH:mm:ss, "] ", the message unchanged and a line feed, then drops
    // the oldest characters beyond the limit (the cut may fall inside a line).
    void append(const QString& message);

    QString text() const;
    qsizetype characterCount() const { return static_cast<qsizetype>(m_characterEnds.size()); }

    // What a view that mirrors the text must do to catch up since the previous call: drop
    // removedFromFront UTF-16 units from the front of what it shows, then append appended.
    struct Change {
        qsizetype removedFromFront = 0;
        QString appended;
    };
    Change takeChange();

private:
    qsizetype endOffset() const { return m_bufferStart + m_buffer.size(); }

    Clock m_clock;
    // Offsets below are counted from the start of the run, so they survive cuts at the front.
    // m_buffer holds the text from m_bufferStart on; the part before m_textStart is already cut
    // and is removed in bulk once it outgrows the rest, so that cutting stays cheap too.
    QString m_buffer;
    qsizetype m_bufferStart = 0;
    qsizetype m_textStart = 0;
    // Where each kept character ends: its size is the character count, and the front says where
    // the text may be cut without splitting a character.
    std::deque<qsizetype> m_characterEnds;
    // The span the last takeChange() handed to the view.
    qsizetype m_shownStart = 0;
    qsizetype m_shownEnd = 0;
};

} // namespace vindaro
