#include "text_rules.h"

#include <QTextBoundaryFinder>

#include <algorithm>

namespace vindaro {

namespace {

bool hasTailoredBreaks(QChar::Script script) {
    return (script >= QChar::Script_Devanagari && script <= QChar::Script_Sinhala) ||
           script == QChar::Script_Thai || script == QChar::Script_Tibetan ||
           script == QChar::Script_Myanmar || script == QChar::Script_Khmer;
}

bool isMark(char32_t c) {
    switch (QChar::category(c)) {
    case QChar::Mark_NonSpacing:
    case QChar::Mark_SpacingCombining:
    case QChar::Mark_Enclosing:
        return true;
    default:
        return c == 0x0E33; // Thai sara am joins the letter before it like a mark
    }
}

// Qt replaces the standard character boundaries inside a run of Thai (through libthai), Indic,
// Tibetan, Myanmar or Khmer text with its own, and such a run takes in the digits, punctuation and
// emoji around it: after Thai text an emoji is split between its UTF-16 units, so counts would
// depend on what comes before. The boundary finder is therefore given a copy of the same length
// in which every letter of those scripts reads as a plain letter and every mark as a plain
// combining mark, so the standard rules hold for the whole text.
QTextBoundaryFinder characterBoundaries(const QString& text) {
    if (std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x0900; }))
        return QTextBoundaryFinder(QTextBoundaryFinder::Grapheme, text);
    QString standard = text;
    for (qsizetype i = 0; i < text.size();) {
        char32_t c = text[i].unicode();
        const bool pair = QChar::isHighSurrogate(c) && i + 1 < text.size() &&
                          QChar::isLowSurrogate(text[i + 1].unicode());
        if (pair)
            c = QChar::surrogateToUcs4(text[i], text[i + 1]);
        if (hasTailoredBreaks(QChar::script(c))) {
            if (!pair) {
                standard[i] = isMark(c) ? QChar(0x0301) : QLatin1Char('a');
            } else {
                const char32_t plain = isMark(c) ? 0x101FD : 0x10000;
                standard[i] = QChar(QChar::highSurrogate(plain));
                standard[i + 1] = QChar(QChar::lowSurrogate(plain));
            }
        }
        i += pair ? 2 : 1;
    }
    return QTextBoundaryFinder(QTextBoundaryFinder::Grapheme, standard);
}

} // namespace

qsizetype characterCount(const QString& text) {
    // Every cluster takes at least one UTF-16 unit, so pure ASCII needs no boundary search.
    if (std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; }) &&
        !text.contains(QLatin1String("\r\n")))
        return text.size();
    QTextBoundaryFinder finder = characterBoundaries(text);
    qsizetype count = 0;
    while (finder.toNextBoundary() != -1)
        ++count;
    return count;
}

std::vector<qsizetype> characterEnds(const QString& text) {
    std::vector<qsizetype> ends;
    QTextBoundaryFinder finder = characterBoundaries(text);
    for (qsizetype end = finder.toNextBoundary(); end != -1; end = finder.toNextBoundary())
        ends.push_back(end);
    return ends;
}

QString leadingCharacters(const QString& text, qsizetype maximumCount) {
    if (text.size() <= maximumCount)
        return text;
    QTextBoundaryFinder finder = characterBoundaries(text);
    qsizetype end = 0;
    for (qsizetype count = 0; count < maximumCount; ++count) {
        const qsizetype next = finder.toNextBoundary();
        if (next == -1)
            break;
        end = next;
    }
    return text.first(end);
}

QString trimmedText(const QString& text) {
    // QChar::isSpace covers the Unicode separators (Zs, Zl, Zp) and U+0009–U+000D and U+0085,
    // which is exactly the white-space-and-newline set.
    return text.trimmed();
}

bool containsLineBreak(const QString& text) {
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) {
        switch (c.unicode()) {
        case 0x000A:
        case 0x000B:
        case 0x000C:
        case 0x000D:
        case 0x0085:
        case 0x2028:
        case 0x2029:
            return true;
        default:
            return false;
        }
    });
}

bool isValidPairingCode(const QString& code) {
    return code.size() == 6 && std::all_of(code.cbegin(), code.cend(), [](QChar c) {
               return c >= QLatin1Char('0') && c <= QLatin1Char('9');
           });
}

} // namespace vindaro
