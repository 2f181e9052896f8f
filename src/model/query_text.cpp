#include "query_text.h"

namespace vindaro {

QueryText::QueryText(const QUrl& url)
    : m_text(url.query(QUrl::FullyEncoded)) {}

void QueryText::append(QStringView name, QStringView value) {
    if (!m_text.isEmpty())
        m_text += QLatin1Char('&');
    m_text += QString::fromLatin1(QUrl::toPercentEncoding(name.toString()));
    m_text += QLatin1Char('=');
    m_text += QString::fromLatin1(QUrl::toPercentEncoding(value.toString()));
}

std::optional<QUrl> QueryText::applyTo(QUrl url) const {
    url.setQuery(m_text, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

} // namespace vindaro
