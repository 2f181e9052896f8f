#pragma once

#include "platform/clipboard.h"

namespace vindaro {

// The desktop's clipboard through Qt; needs the application's QGuiApplication.
class SystemClipboard : public Clipboard {
public:
    std::optional<QString> plainText() const override;
};

} // namespace vindaro
