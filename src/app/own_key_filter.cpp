#include "own_key_filter.h"

#include <QCoreApplication>
#include <QEvent>

#include <utility>

namespace vindaro {

OwnKeyFilter::OwnKeyFilter(std::function<bool()> keysInFlight, QObject* parent)
    : QObject(parent)
    , m_keysInFlight(std::move(keysInFlight)) {
    QCoreApplication::instance()->installEventFilter(this);
}

OwnKeyFilter::~OwnKeyFilter() {
    if (QCoreApplication* application = QCoreApplication::instance())
        application->removeEventFilter(this);
}

bool OwnKeyFilter::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    // A shortcut is looked for before the key is delivered; an input method turns keys into
    // text of its own.
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::InputMethod:
        if (m_keysInFlight())
            return true;
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace vindaro
