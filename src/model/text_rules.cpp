#include "text_rules.h"

#include <QTextBoundaryFinder>

#include <algorithm>

namespace vindaro {

qsizetype characterCount(const QString& text) {
    // Every cluster takes at least one UTF-16 unit, so pure ASCII needs no boundary search.
    if (std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; }) &&
        !text.contains(QLatin1String("\r\n")))
        return text.size();
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() != -1)
        ++count;
    return count;
}

QString leadingCharacters(const QString& text, qsizetype maximumCount) {
    if (text.size() <= maximumCount)
        return text;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
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
