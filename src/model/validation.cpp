#include "validation.h"

#include "constants.h"
#include "text_rules.h"

#include <algorithm>

namespace vindaro {

QUrl parseURL(const QString& text) {
    return QUrl(text, QUrl::StrictMode);
}

bool hasUserOrPassword(const QUrl& url) {
    // userInfo() is a null string only when the authority has no "@" at all.
    return !url.userInfo().isNull() || !url.password().isNull();
}

bool isTrustedURL(const QUrl& url, QStringView requiredScheme, QStringView requiredPath) {
    if (!url.isValid())
        return false;
    if (url.scheme().isEmpty() || url.scheme().toLower() != requiredScheme)
        return false;
    if (url.host().isEmpty() || !isAllowedHost(url.host().toLower()))
        return false;
    if (hasUserOrPassword(url))
        return false;
    if (url.port() != -1 && url.port() != 443)
        return false;
    if (url.hasFragment())
        return false;
    return url.path(QUrl::FullyDecoded) == requiredPath;
}

bool isIdentifierCharacters(QStringView text, bool allowLowerCase) {
    return std::all_of(text.begin(), text.end(), [&](QChar c) {
        const char16_t u = c.unicode();
        return (u >= u'A' && u <= u'Z') || (allowLowerCase && u >= u'a' && u <= u'z') ||
               (u >= u'0' && u <= u'9') || u == u'_' || u == u'-';
    });
}

bool isAllowedIdentifier(const QString& text, qsizetype maximumLength) {
    const qsizetype count = characterCount(text);
    if (count == 0 || count > maximumLength)
        return false;
    return isIdentifierCharacters(text, true);
}

} // namespace vindaro
