#include "system_clipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace vindaro {

std::optional<QString> SystemClipboard::plainText() const {
    if (!qGuiApp)
        return std::nullopt;
    const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    if (!data || !data->hasText())
        return std::nullopt;
    return data->text();
}

} // namespace vindaro
