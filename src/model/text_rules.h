#pragma once

#include <QString>

#include <vector>

namespace vindaro {

// Text lengths the user and the service reason about are user-perceived characters
// (grapheme clusters), never bytes or UTF-16 units.
qsizetype characterCount(const QString& text);

// The UTF-16 offset at which each character of the text ends, in order; the last is text.size().
std::vector<qsizetype> characterEnds(const QString& text);

// The first maximumCount characters of the text (all of it when shorter).
QString leadingCharacters(const QString& text, qsizetype maximumCount);

// Removes Unicode white space and line breaks from both ends.
QString trimmedText(const QString& text);

// LF, VT, FF, CR, NEL, LS or PS anywhere in the text.
bool containsLineBreak(const QString& text);

// Exactly six ASCII digits, nothing before or after.
bool isValidPairingCode(const QString& code);

} // namespace vindaro
