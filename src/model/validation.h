#pragma once

#include <QString>
#include <QStringView>
#include <QUrl>

namespace vindaro {

// Whether the URL points at the trusted service over the required scheme and exact path.
// The query is not examined. Scheme and host compare in lower case; the decoded path exactly.
bool isTrustedURL(const QUrl& url, QStringView requiredScheme, QStringView requiredPath);

// Whether an identifier from the service is 1..maximumLength characters of A–Z, a–z, 0–9, "_", "-".
bool isAllowedIdentifier(const QString& text, qsizetype maximumLength);

// Parses text as a URL on its own, never resolved against a base. Invalid when it does not parse.
QUrl parseURL(const QString& text);

// Whether the URL names a user or a password, even an empty one ("wss://@host").
bool hasUserOrPassword(const QUrl& url);

// Only letters (lower case allowed when allowLowerCase), digits, "_" and "-".
bool isIdentifierCharacters(QStringView text, bool allowLowerCase);

} // namespace vindaro
