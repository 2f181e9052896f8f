#pragma once

#include <QString>
#include <QStringView>
#include <QUrl>

#include <optional>

namespace vindaro {

// Builds a URL query item by item. Names and values are percent-encoded so that only
// unreserved characters stay literal: "&", "=", "+" and "/" inside a token can never
// split an item or be read back as a space by the service.
class QueryText {
public:
    QueryText() = default;
    // Starts from the URL's existing query, kept unchanged and first.
    explicit QueryText(const QUrl& url);

    void append(QStringView name, QStringView value);

    // The URL with this query, or nothing when no valid URL results.
    std::optional<QUrl> applyTo(QUrl url) const;

private:
    QString m_text;
};

} // namespace vindaro
